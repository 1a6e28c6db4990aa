#include "agent/DiskRegions.h"

#include <unistd.h>

#include <cerrno>

SFd::~SFd() {
  if (fd >= 0) ::close(fd);
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

string Sha256Hex(const string& bytes) {
  CDiskDigest digest(EChecksumScheme::WholeSha256);
  digest.Update(bytes.data(), bytes.size());
  return digest.Finish().hex;
}
