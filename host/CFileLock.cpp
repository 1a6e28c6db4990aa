#include "host/CFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

bool CFileLock::Acquire(const string& path, const std::function<void()>& beforeWaiting, bool* opened) {
  return Lock(path, true, beforeWaiting, opened);
}

bool CFileLock::TryAcquire(const string& path, bool* opened) { return Lock(path, false, {}, opened); }

bool CFileLock::Lock(const string& path, bool wait, const std::function<void()>& beforeWaiting, bool* opened) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (opened) *opened = fd >= 0;
  if (fd < 0) return false;
  int rc = ::flock(fd, LOCK_EX | LOCK_NB);
  if (rc != 0 && errno == EWOULDBLOCK && wait) {
    if (beforeWaiting) beforeWaiting();
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
  }
  if (rc != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  return true;
}

void CFileLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
}
