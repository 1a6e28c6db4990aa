#include "ApiTimes.h"

#include <ctime>

namespace cloudsim {

std::string ApiTime(int64_t secondsSinceEpoch) {
  const time_t when = static_cast<time_t>(secondsSinceEpoch);
  struct tm parts = {};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &parts);
  return text;
}

}  // namespace cloudsim
