#pragma once
// The host's mutual-exclusion object and its scoped guard.
#include <mutex>

#include "host/ThreadAnnotations.h"

// Recursive underneath, but the analysis treats it as plain: a thread that takes it again while holding
// it gets a warning, which is what this code wants.
class CAPABILITY("mutex") TzCriticalSection {
 public:
  void Enter() ACQUIRE() { mutex_.lock(); }
  void Leave() RELEASE() { mutex_.unlock(); }
  bool TryEnter() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

class SCOPED_CAPABILITY TzAutoLock {
 public:
  explicit TzAutoLock(TzCriticalSection& cs) ACQUIRE(cs) : cs_(cs) { cs_.Enter(); }
  ~TzAutoLock() RELEASE() { cs_.Leave(); }
  TzAutoLock(const TzAutoLock&) = delete;
  TzAutoLock& operator=(const TzAutoLock&) = delete;

 private:
  TzCriticalSection& cs_;
};
