#pragma once
// An exclusive advisory lock (flock) on a lock file, shared by every process of the machine: held
// from Acquire() until Release() or the end of the object, and dropped by the kernel when the holder
// dies.
#include <functional>
#include <string>

#include "host/HostTypes.h"

class CFileLock {
 public:
  CFileLock() = default;
  ~CFileLock() { Release(); }
  CFileLock(const CFileLock&) = delete;
  CFileLock& operator=(const CFileLock&) = delete;

  // Opens `path` (creating it, never through a symbolic link) and takes the lock, waiting while
  // another holder has it; `beforeWaiting` runs once when it must wait. With `stop`, the wait polls
  // (every kStopPollMs) and gives up once `stop` says so: false with errno ECANCELED. False, holding
  // nothing, with errno set and `opened` (when given) telling whether the file could be opened at all.
  bool Acquire(const string& path, const std::function<void()>& beforeWaiting = {}, bool* opened = nullptr,
               const std::function<bool()>& stop = {});
  static constexpr int kStopPollMs = 20;
  // As Acquire, but never waits: false with errno EWOULDBLOCK while another holder has the lock.
  bool TryAcquire(const string& path, bool* opened = nullptr);
  void Release();
  bool Held() const { return fd_ >= 0; }
  // True while some process holds the lock on `path`; false when nobody does or the file cannot be
  // opened. It looks under a shared lock, so that two processes looking at once never see each other.
  static bool IsHeldByAnyone(const string& path);

 private:
  bool Lock(const string& path, bool wait, const std::function<void()>& beforeWaiting, bool* opened,
            const std::function<bool()>& stop);
  int fd_ = -1;
};
