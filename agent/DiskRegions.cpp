#include "agent/DiskRegions.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

SDigest::SDigest() { EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr); }

void SDigest::Update(const void* data, size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }

void SDigest::UpdateZeros(UINT64 count) {
  static const std::vector<char> zeros(kDiskChunk, 0);
  while (count > 0) {
    size_t n = static_cast<size_t>(std::min<UINT64>(count, kDiskChunk));
    Update(zeros.data(), n);
    count -= n;
  }
}

string SDigest::Hex() {
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

SFd::~SFd() {
  if (fd >= 0) ::close(fd);
}

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
    if (n == 0) errno = EIO;
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

bool Sha256OfRange(int fd, UINT64 size, string& hex) {
  SDigest digest;
  std::vector<char> buffer(kDiskChunk);
  UINT64 hashed = 0, start = 0, end = 0;
  while (hashed < size && NextDataRegion(fd, hashed, size, start, end)) {
    digest.UpdateZeros(start - hashed);
    for (UINT64 offset = start; offset < end;) {
      size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kDiskChunk));
      if (!ReadFully(fd, buffer.data(), n, offset)) return false;
      digest.Update(buffer.data(), n);
      offset += n;
    }
    hashed = end;
  }
  digest.UpdateZeros(size - hashed);
  hex = digest.Hex();
  return true;
}
