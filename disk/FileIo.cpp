#include "disk/FileIo.h"

#include <unistd.h>

#include <cerrno>

SFd::~SFd() {
  if (fd >= 0) ::close(fd);
}

bool ReadFully(int fd, char* buffer, size_t length, uint64_t offset) {
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

bool WriteFully(int fd, const char* buffer, size_t length, uint64_t offset) {
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
