#include "disk/DataRegions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

bool NextDataRegion(int fd, uint64_t offset, uint64_t size, uint64_t& start, uint64_t& end) {
  off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) return false;  // only a hole remains
    start = offset;
    end = size;
    return offset < size;
  }
  off_t hole = ::lseek(fd, data, SEEK_HOLE);
  start = static_cast<uint64_t>(data);
  end = hole < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(hole), size);
  return start < size;
}

bool ChecksumOfRange(int fd, uint64_t size, EChecksumScheme scheme, SDiskChecksum& checksum) {
  CDiskDigest digest(scheme);
  std::vector<char> buffer(kChecksumChunk);
  // A file shorter than `size` has no data past its end: that part is a hole.
  const off_t fileEnd = ::lseek(fd, 0, SEEK_END);
  const uint64_t dataEnd = fileEnd < 0 ? size : std::min<uint64_t>(size, static_cast<uint64_t>(fileEnd));
  uint64_t hashed = 0, start = 0, end = 0;
  while (hashed < dataEnd && NextDataRegion(fd, hashed, dataEnd, start, end)) {
    digest.Zeros(start - hashed);
    for (uint64_t offset = start; offset < end;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(end - offset, buffer.size()));
      if (!ReadFully(fd, buffer.data(), n, offset)) return false;
      digest.Update(buffer.data(), n);
      offset += n;
    }
    hashed = end;
  }
  digest.Zeros(size - hashed);
  checksum = digest.Finish();
  return true;
}

bool ChecksumOfFile(const std::string& path, uint64_t size, EChecksumScheme scheme, SDiskChecksum& checksum,
                    std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open [" + path + "]: " + std::generic_category().message(errno);
    return false;
  }
  const bool read = ChecksumOfRange(fd, size, scheme, checksum);
  if (!read) error = "read of [" + path + "] failed: " + std::generic_category().message(errno);
  ::close(fd);
  return read;
}
