#pragma once
// Times as the API writes them (RFC 3339 in UTC, "2026-12-08T07:59:56.000Z") and reads them back.
#include <cstdint>
#include <string>

namespace cloudsim {

std::string ApiTime(int64_t secondsSinceEpoch);

}  // namespace cloudsim
