#include "agent/DiskCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "agent/DiskRegions.h"
#include "agent/PipelinedDigest.h"

bool CopyDiskSparse(const string& source, UINT64 size, const string& destination, SDiskCopyResult& result,
                    string& error, const std::atomic<bool>* cancel, const std::function<void(UINT64)>& progress) {
  SFd in, out;
  in.fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) {
    error = "cannot open [" + source + "]: " + strerror(errno);
    return false;
  }
  out.fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out.fd < 0 || ::ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
    error = "cannot create [" + destination + "]: " + strerror(errno);
    return false;
  }
  // Each chunk is hashed on the digest's thread while the next one is read and written.
  CPipelinedDigest digest;
  UINT64 hashed = 0, read = 0, start = 0, end = 0;
  while (hashed < size && NextDataRegion(in.fd, hashed, size, start, end)) {
    digest.Zeros(start - hashed);
    for (UINT64 offset = start; offset < end;) {
      if (cancel && cancel->load()) {
        error = "cancelled";
        return false;
      }
      size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kDiskChunk));
      const size_t buffer = digest.Borrow();
      if (!ReadFully(in.fd, digest.BufferData(buffer), n, offset)) {
        error = "read of [" + source + "] failed at " + std::to_string(offset);
        return false;
      }
      if (!WriteFully(out.fd, digest.BufferData(buffer), n, offset)) {
        error = "write of [" + destination + "] failed: " + strerror(errno);
        return false;
      }
      digest.Data(buffer, n);
      offset += n;
      read += n;
      if (progress) progress(offset);
    }
    hashed = end;
  }
  digest.Zeros(size - hashed);
  if (::fsync(out.fd) != 0) {
    error = "sync of [" + destination + "] failed: " + strerror(errno);
    return false;
  }
  if (progress) progress(size);
  result.size = size;
  result.bytesRead = read;
  result.checksum = digest.Finish();
  return true;
}

namespace {

// The length of the file at `path`; `failure` starts the error when it cannot be found.
bool FileSize(const string& path, const char* failure, UINT64& size, string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = failure + (" [" + path + "]: ") + strerror(errno);
    return false;
  }
  size = static_cast<UINT64>(st.st_size);
  return true;
}

}  // namespace

bool Sha256OfFile(const string& path, string& hex, string& error) {
  SDiskChecksum checksum;
  UINT64 size = 0;
  if (!FileSize(path, "cannot open", size, error) ||
      !ChecksumOfFile(path, size, EChecksumScheme::WholeSha256, checksum, error))
    return false;
  hex = checksum.hex;
  return true;
}

bool VerifyStoredCopy(const string& path, const SDiskCopyResult& copied, string& error) {
  UINT64 size = 0;
  if (!FileSize(path, "cannot read back", size, error)) return false;
  if (size != copied.size) {
    error = "[" + path + "] holds " + std::to_string(size) + " bytes, not the " + std::to_string(copied.size) + " read";
    return false;
  }
  SDiskChecksum stored;
  if (!ChecksumOfFile(path, size, copied.checksum.scheme, stored, error)) return false;
  if (stored != copied.checksum) {
    error = "[" + path + "] does not hold what was read: " + stored.Shown() + ", read " + copied.checksum.hex;
    return false;
  }
  return true;
}
