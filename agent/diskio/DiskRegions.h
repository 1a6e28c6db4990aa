#pragma once
// The pieces every disk transfer of the agent shares: the chunk size, and (from disk/) a file
// descriptor closed at scope end, whole reads and writes, the walk over a file's data regions and
// the disk checksum.
#include <string>

#include "disk/DataRegions.h"
#include "host/HostTypes.h"

namespace agent {

// The bytes a transfer moves at once.
constexpr size_t kDiskChunk = 1 << 20;

// The SHA-256 (hex) of a byte string.
string Sha256Hex(const string& bytes);

}  // namespace agent
