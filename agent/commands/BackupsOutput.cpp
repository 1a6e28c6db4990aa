#include "agent/commands/BackupsOutput.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "agent/jobs/ExitStatus.h"

namespace agent {

string IsoTimeUtc(long long seconds) {
  const std::time_t at = static_cast<std::time_t>(seconds);
  std::tm utc {};
  char text[32] = "";
  if (::gmtime_r(&at, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

string ShownBytes(UINT64 bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < sizeof kUnits / sizeof *kUnits) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  if (unit == 0)
    std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace agent
