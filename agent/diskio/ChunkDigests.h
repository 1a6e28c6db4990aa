#pragma once
// The digests of a disk's consecutive 1 MiB chunks (the last as long as what is left), each the raw
// 32-byte SHA-256 of the chunk, one after the other: what the chunked checksum is made of (their
// SHA-256 is the disk's ChunkedSha256 checksum), so a list of them is checked against the checksum
// a manifest or a replication state holds.
#include <string>

#include "agent/diskio/DiskRegions.h"
#include "disk/DiskChecksum.h"

namespace agent {

constexpr size_t kChunkDigestBytes = 32;

inline UINT64 ChunkCount(UINT64 size) { return (size + kChecksumChunk - 1) / kChecksumChunk; }

// Whether `digests` are those of a disk of `size` bytes whose checksum is `checksum`.
inline bool DigestsMatch(const string& digests, UINT64 size, const SDiskChecksum& checksum) {
  return checksum.scheme == EChecksumScheme::ChunkedSha256 && digests.size() == ChunkCount(size) * kChunkDigestBytes &&
         Sha256Hex(digests) == checksum.hex;
}

}  // namespace agent
