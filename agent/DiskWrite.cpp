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

// The bytes a target can hold.
bool TargetSize(int fd, const struct stat& st, UINT64& size) {
  if (S_ISREG(st.st_mode)) {
    size = static_cast<UINT64>(st.st_size);
    return true;
  }
  return S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &size) == 0;
}

}  // namespace

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

// Opens the device the plug-in attached (never created), which must hold at least `size` bytes.
bool OpenTarget(const string& target, UINT64 size, SFd& out, bool& blockDevice, string& error) {
  out.fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st;
  if (out.fd < 0 || ::fstat(out.fd, &st) != 0) {
    error = "cannot open [" + target + "]: " + strerror(errno);
    return false;
  }
  blockDevice = S_ISBLK(st.st_mode);
  UINT64 capacity = 0;
  if (!TargetSize(out.fd, st, capacity)) {
    error = "[" + target + "] is neither a block device nor a file";
    return false;
  }
  if (capacity < size) {
    error = "[" + target + "] holds " + std::to_string(capacity) + " bytes, fewer than the " + std::to_string(size) +
            " of the disk";
    return false;
  }
  return true;
}

// Reads `n` bytes at `offset`, holes as zeros; `empty` tells that the range holds no data at all.
bool ReadChunk(int fd, UINT64 offset, size_t n, char* buffer, bool& empty) {
  UINT64 start = 0, end = 0;
  empty = !NextDataRegion(fd, offset, offset + n, start, end);
  if (!empty) return ReadFully(fd, buffer, n, offset);
  std::memset(buffer, 0, n);
  return true;
}

bool VerifyWrittenDisk(int fd, const string& target, int sourceFd, const string& source, UINT64 size,
                       const SDiskChecksum& expected, string& error) {
  if (::fsync(fd) != 0) {
    error = "flush of [" + target + "] failed: " + strerror(errno);
    return false;
  }
  // Read back from the device, not from what the page cache kept of the writes.
  ::posix_fadvise(fd, 0, static_cast<off_t>(size), POSIX_FADV_DONTNEED);
  SDiskChecksum written, stored;
  if (!ChecksumOfRange(fd, size, expected.scheme, written)) {
    error = "read back of [" + target + "] failed: " + strerror(errno);
    return false;
  }
  if (written == expected) return true;
  if (!ChecksumOfRange(sourceFd, size, expected.scheme, stored)) {
    error = "[" + target + "] differs from the manifest and the stored disk [" + source + "] cannot be read: " +
            strerror(errno);
  } else if (stored != expected) {
    error = "the stored disk [" + source + "] is damaged: its data has " + stored.Shown() + ", the manifest " +
            expected.hex;
  } else {
    error = "the read-back of [" + target + "] differs from the stored disk: " + written.Shown() + ", stored " +
            expected.hex;
  }
  return false;
}

bool OpenStoredDisk(const string& path, UINT64 size, SFd& in, string& error) {
  // Never a link (whose target is not the backup's) nor a pipe, whose open would wait for a writer.
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  struct stat st;
  const string shown = "the stored disk [" + path + "]";
  if (in.fd < 0 || ::fstat(in.fd, &st) != 0) {
    error = shown + (errno == ENOENT ? string(" is missing")
                     : errno == ELOOP ? string(" is a symbolic link")
                                      : string(" cannot be opened: ") + strerror(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = shown + " is not a regular file";
    return false;
  }
  if (static_cast<UINT64>(st.st_size) != size) {
    error = shown + " holds " + std::to_string(st.st_size) + " bytes, not the " + std::to_string(size) +
            " of the manifest";
    return false;
  }
  return true;
}

bool WriteDiskFromBackup(const string& source, UINT64 size, const string& target, const SDiskChecksum& expected,
                         SDiskWriteResult& result, string& error, const std::atomic<bool>* cancel) {
  result = SDiskWriteResult();
  SFd in, out;
  bool blockDevice = false;
  if (!OpenStoredDisk(source, size, in, error) || !OpenTarget(target, size, out, blockDevice, error)) return false;
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
  return VerifyWrittenDisk(out.fd, target, in.fd, source, size, expected, error);
}

bool WriteChangedChunks(const string& base, const SDiskChecksum& baseChecksum, const string& source, UINT64 size,
                        const string& target, const SDiskChecksum& expected, SDiskWriteResult& result, string& error,
                        const std::atomic<bool>* cancel) {
  result = SDiskWriteResult();
  SFd old, in, out;
  bool blockDevice = false;
  if (!OpenStoredDisk(base, size, old, error) || !OpenStoredDisk(source, size, in, error) ||
      !OpenTarget(target, size, out, blockDevice, error))
    return false;
  std::vector<char> before(kDiskChunk), after(kDiskChunk);
  CDiskDigest baseDigest(baseChecksum.scheme);
  for (UINT64 offset = 0; offset < size; offset += kDiskChunk) {
    if (cancel && cancel->load()) {
      error = "cancelled";
      return false;
    }
    const size_t n = static_cast<size_t>(std::min<UINT64>(size - offset, kDiskChunk));
    bool beforeEmpty = false, afterEmpty = false;
    if (!ReadChunk(old.fd, offset, n, before.data(), beforeEmpty) ||
        !ReadChunk(in.fd, offset, n, after.data(), afterEmpty)) {
      error = "read of [" + base + "] or [" + source + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    if (beforeEmpty && afterEmpty) {
      baseDigest.Zeros(n);
      continue;
    }
    baseDigest.Update(before.data(), n);
    if (std::memcmp(before.data(), after.data(), n) == 0) continue;
    const bool done = afterEmpty ? ZeroRange(out.fd, blockDevice, offset, n, result)
                                 : WriteFully(out.fd, after.data(), n, offset);
    if (!done) {
      error = "write of [" + target + "] failed at " + std::to_string(offset) + ": " + strerror(errno);
      return false;
    }
    if (!afterEmpty) result.bytesWritten += n;
  }
  // The target was made from the disk last synced: a base that is no longer that disk means the
  // changes were taken against the wrong bytes.
  if (baseDigest.Finish() != baseChecksum) {
    error = "[" + base + "] is not the disk last synced (its checksum changed)";
    return false;
  }
  return VerifyWrittenDisk(out.fd, target, in.fd, source, size, expected, error);
}
