#pragma once
// The checksum of a volume's (or snapshot's) bytes over its whole logical size, holes read as zeros,
// so that equal contents give equal sums however sparse each file is: the same disk checksum the
// agent stores with a backup (disk/DiskChecksum.h).
// Kept with cloud-sim, not in the bridge: the bridge library neither links nor includes the disk
// library; cloud-sim and the tests, which include this, link both.
#include <string>

#include "bridge/sim/SimVolumeStore.h"
#include "disk/DataRegions.h"

namespace sim {

inline std::string ChecksumOfSparseFile(const std::string& path, uint64_t logicalSize) {
  SDiskChecksum checksum;
  std::string error;
  if (!ChecksumOfFile(path, logicalSize, EChecksumScheme::ChunkedSha256, checksum, error)) throw CSimError(error);
  return checksum.hex;
}

// The checksum of the volume or snapshot with the id `id`: of its first `count` bytes, or of all
// of them when `count` is 0. Refused when it has fewer.
inline std::string VolumeChecksum(CSimCloud& cloud, const std::string& id, uint64_t count = 0) {
  SBytesFile bytes = BytesFileOf(cloud, id);
  if (count > bytes.size) {
    throw CSimRefused("[" + id + "] holds " + std::to_string(bytes.size) + " bytes, fewer than " +
                      std::to_string(count));
  }
  return ChecksumOfSparseFile(bytes.path, count > 0 ? count : bytes.size);
}

}  // namespace sim
