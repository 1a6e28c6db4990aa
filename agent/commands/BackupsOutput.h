#pragma once
// What `backups` and `verify` print alike: times and sizes.
#include <string>

#include "host/HostTypes.h"

namespace agent {

// "2026-12-08T18:44:08Z".
string IsoTimeUtc(long long seconds);
// "1.5 GiB", "512 B".
string ShownBytes(UINT64 bytes);

}  // namespace agent
