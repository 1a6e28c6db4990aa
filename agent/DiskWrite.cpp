#include "agent/DiskWrite.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "agent/DiskRegions.h"

namespace {

// Makes [offset, offset + length) of the target read as zeros. A target that cannot drop a range
// gets zeros written, counted as written bytes.
bool ZeroRange(int fd, bool blockDevice, UINT64 offset, UINT64 length, SDiskWriteResult& result) {
  if (length == 0) return true;
  int rc;
  if (blockDevice) {
    uint64_t range[2] = {offset, length};
    rc = ::ioctl(fd, BLKZEROOUT, range);
  } else {
    rc = ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  }
  if (rc == 0) {
    result.bytesZeroed += length;
    return true;
  }
  if (errno != EOPNOTSUPP && errno != ENOTTY) return false;
  static const std::vector<char> zeros(kDiskChunk, 0);
  for (UINT64 done = 0; done < length;) {
    size_t n = static_cast<size_t>(std::min<UINT64>(length - done, kDiskChunk));
    if (!WriteFully(fd, zeros.data(), n, offset + done)) return false;
    done += n;
    result.bytesWritten += n;
  }
  return true;
}

// The bytes a target can hold.
bool TargetSize(int fd, const struct stat& st, UINT64& size) {
  if (S_ISREG(st.st_mode)) {
    size = static_cast<UINT64>(st.st_size);
    return true;
  }
  return S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &size) == 0;
}

}  // namespace

bool WriteDiskFromBackup(const string& source, UINT64 size, const string& target, const string& expectedSha256,
                         SDiskWriteResult& result, string& error, const std::atomic<bool>* cancel) {
  result = SDiskWriteResult();
  SFd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat sourceStat;
  if (in.fd < 0 || ::fstat(in.fd, &sourceStat) != 0) {
    error = "cannot open [" + source + "]: " + strerror(errno);
    return false;
  }
  if (static_cast<UINT64>(sourceStat.st_size) != size) {
    error = "[" + source + "] holds " + std::to_string(sourceStat.st_size) + " bytes, not the " +
            std::to_string(size) + " stored";
    return false;
  }
  // Never created: the target is the device the plug-in attached.
  SFd out(::open(target.c_str(), O_RDWR | O_CLOEXEC));
  struct stat targetStat;
  if (out.fd < 0 || ::fstat(out.fd, &targetStat) != 0) {
    error = "cannot open [" + target + "]: " + strerror(errno);
    return false;
  }
  const bool blockDevice = S_ISBLK(targetStat.st_mode);
  UINT64 capacity = 0;
  if (!TargetSize(out.fd, targetStat, capacity)) {
    error = "[" + target + "] is neither a block device nor a file";
    return false;
  }
  if (capacity < size) {
    error = "[" + target + "] holds " + std::to_string(capacity) + " bytes, fewer than the " + std::to_string(size) +
            " of the disk";
    return false;
  }
  std::vector<char> buffer(kDiskChunk);
  UINT64 written = 0, start = 0, end = 0;
  while (written < size) {
    if (!NextDataRegion(in.fd, written, size, start, end)) start = end = size;
    if (!ZeroRange(out.fd, blockDevice, written, start - written, result)) {
      error = "zeroing [" + target + "] at " + std::to_string(written) + " failed: " + strerror(errno);
      return false;
    }
    for (UINT64 offset = start; offset < end;) {
      if (cancel && cancel->load()) {
        error = "cancelled";
        return false;
      }
      size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kDiskChunk));
      if (!ReadFully(in.fd, buffer.data(), n, offset)) {
        error = "read of [" + source + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
        return false;
      }
      if (!WriteFully(out.fd, buffer.data(), n, offset)) {
        error = "write of [" + target + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
        return false;
      }
      offset += n;
      result.bytesWritten += n;
    }
    written = end;
  }
  if (::fsync(out.fd) != 0) {
    error = "flush of [" + target + "] failed: " + strerror(errno);
    return false;
  }
  // Read back from the device, not from what the page cache kept of the writes.
  ::posix_fadvise(out.fd, 0, static_cast<off_t>(size), POSIX_FADV_DONTNEED);
  string written256;
  if (!Sha256OfRange(out.fd, size, written256)) {
    error = "read back of [" + target + "] failed: " + strerror(errno);
    return false;
  }
  if (written256 != expectedSha256) {
    error = "[" + target + "] does not hold the stored disk: sha256 " + written256 + ", stored " + expectedSha256;
    return false;
  }
  return true;
}
