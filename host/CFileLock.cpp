#include "host/CFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

bool CFileLock::Acquire(const string& path, const std::function<void()>& beforeWaiting, bool* opened,
                        const std::function<bool()>& stop) {
  return Lock(path, true, beforeWaiting, opened, stop);
}

bool CFileLock::TryAcquire(const string& path, bool* opened) { return Lock(path, false, {}, opened, {}); }

bool CFileLock::Lock(const string& path, bool wait, const std::function<void()>& beforeWaiting, bool* opened,
                     const std::function<bool()>& stop) {
  Release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (opened) *opened = fd >= 0;
  if (fd < 0) return false;
  int rc = ::flock(fd, LOCK_EX | LOCK_NB);
  if (rc != 0 && errno == EWOULDBLOCK && wait) {
    if (beforeWaiting) beforeWaiting();
    if (stop) {
      // The holder's work may take long: the waiter looks at its stop condition between attempts.
      while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
        if (stop()) {
          errno = ECANCELED;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
      }
    } else {
      while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
      }
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

bool CFileLock::IsHeldByAnyone(const string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

void CFileLock::Release() {
  if (fd_ >= 0) ::close(fd_);  // closing drops the lock
  fd_ = -1;
}
