#pragma once
// What `backups` and `verify` print alike: times.
#include <string>

#include "host/HostTypes.h"

namespace agent {

// "2026-12-08T18:44:08Z".
string IsoTimeUtc(long long seconds);

}  // namespace agent
