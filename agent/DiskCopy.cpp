#include "agent/DiskCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr size_t kChunk = 1 << 20;

struct SDigest {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  SDigest() { EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr); }
  void Update(const void* data, size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
  string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    static const char digits[] = "0123456789abcdef";
    string hex;
    for (unsigned int i = 0; i < length; ++i) {
      hex += digits[digest[i] >> 4];
      hex += digits[digest[i] & 15];
    }
    return hex;
  }
};

struct SFd {
  int fd = -1;
  ~SFd() {
    if (fd >= 0) ::close(fd);
  }
};

// The next data region at or after `offset`: [start, end). False at the end of the data. A source
// that cannot tell (a real block device) is all data.
bool NextDataRegion(int fd, UINT64 offset, UINT64 size, UINT64& start, UINT64& end) {
  off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) {
    if (errno == ENXIO) return false;  // only a hole remains
    start = offset;
    end = size;
    return offset < size;
  }
  off_t hole = ::lseek(fd, data, SEEK_HOLE);
  start = static_cast<UINT64>(data);
  end = hole < 0 ? size : std::min<UINT64>(static_cast<UINT64>(hole), size);
  return start < size;
}

bool ReadFully(int fd, char* buffer, size_t length, UINT64 offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, const char* buffer, size_t length, UINT64 offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd, buffer + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void HashZeros(SDigest& digest, UINT64 count) {
  static const std::vector<char> zeros(kChunk, 0);
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<UINT64>(count, kChunk));
    digest.Update(zeros.data(), n);
    count -= n;
  }
}

}  // namespace

bool CopyDiskSparse(const string& source, UINT64 size, const string& destination, SDiskCopyResult& result,
                    string& error, const std::atomic<bool>* cancel, const std::function<void(UINT64)>& progress) {
  SFd in, out;
  in.fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) {
    error = "cannot open [" + source + "]: " + strerror(errno);
    return false;
  }
  out.fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out.fd < 0 || ::ftruncate(out.fd, static_cast<off_t>(size)) != 0) {
    error = "cannot create [" + destination + "]: " + strerror(errno);
    return false;
  }
  SDigest digest;
  std::vector<char> buffer(kChunk);
  UINT64 hashed = 0, read = 0, start = 0, end = 0;
  while (hashed < size && NextDataRegion(in.fd, hashed, size, start, end)) {
    HashZeros(digest, start - hashed);
    for (UINT64 offset = start; offset < end;) {
      if (cancel && cancel->load()) {
        error = "cancelled";
        return false;
      }
      size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kChunk));
      if (!ReadFully(in.fd, buffer.data(), n, offset)) {
        error = "read of [" + source + "] failed at " + std::to_string(offset);
        return false;
      }
      if (!WriteFully(out.fd, buffer.data(), n, offset)) {
        error = "write of [" + destination + "] failed: " + strerror(errno);
        return false;
      }
      digest.Update(buffer.data(), n);
      offset += n;
      read += n;
      if (progress) progress(offset);
    }
    hashed = end;
  }
  HashZeros(digest, size - hashed);
  if (::fsync(out.fd) != 0) {
    error = "sync of [" + destination + "] failed: " + strerror(errno);
    return false;
  }
  if (progress) progress(size);
  result.size = size;
  result.bytesRead = read;
  result.sha256 = digest.Hex();
  return true;
}

bool Sha256OfFile(const string& path, string& hex, string& error) {
  SFd in;
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in.fd < 0) {
    error = "cannot open [" + path + "]: " + strerror(errno);
    return false;
  }
  SDigest digest;
  std::vector<char> buffer(kChunk);
  while (true) {
    ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "read of [" + path + "] failed: " + strerror(errno);
      return false;
    }
    if (n == 0) break;
    digest.Update(buffer.data(), static_cast<size_t>(n));
  }
  hex = digest.Hex();
  return true;
}

bool VerifyStoredCopy(const string& path, const SDiskCopyResult& copied, string& error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    error = "cannot read back [" + path + "]: " + strerror(errno);
    return false;
  }
  if (static_cast<UINT64>(st.st_size) != copied.size) {
    error = "[" + path + "] holds " + std::to_string(st.st_size) + " bytes, not the " + std::to_string(copied.size) +
            " read";
    return false;
  }
  string stored;
  if (!Sha256OfFile(path, stored, error)) return false;
  if (stored != copied.sha256) {
    error = "[" + path + "] does not hold what was read: sha256 " + stored + ", read " + copied.sha256;
    return false;
  }
  return true;
}
