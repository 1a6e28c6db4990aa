#pragma once
// The host's mutual-exclusion object and its scoped guard.
#include <mutex>

class TzCriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

class TzAutoLock {
 public:
  explicit TzAutoLock(TzCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~TzAutoLock() { cs_.Leave(); }
  TzAutoLock(const TzAutoLock&) = delete;
  TzAutoLock& operator=(const TzAutoLock&) = delete;

 private:
  TzCriticalSection& cs_;
};
