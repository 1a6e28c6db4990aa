#include "agent/commands/BackupsOutput.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "agent/jobs/ExitStatus.h"

namespace agent {

string IsoTimeUtc(long long seconds) {
  const std::time_t at = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char text[32] = "";
  if (::gmtime_r(&at, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace agent
