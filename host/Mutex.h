#pragma once
// The product's mutex and its scope guard, both known to Clang's thread-safety analysis (libstdc++'s
// std::mutex carries no attributes). Waits on a condition variable go through the guard, so the
// condition is always read with the lock held.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "host/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Gives the lock up while waiting for a notification (or a spurious wake-up) and holds it again on
  // return; the caller tests its condition in a loop.
  void Wait(std::condition_variable& changed) {
    std::unique_lock<std::mutex> held(mutex_.mutex_, std::adopt_lock);
    changed.wait(held);
    held.release();
  }
  // As Wait, for at most `timeout`; false once it ran out.
  template <class Rep, class Period>
  bool WaitFor(std::condition_variable& changed, const std::chrono::duration<Rep, Period>& timeout) {
    std::unique_lock<std::mutex> held(mutex_.mutex_, std::adopt_lock);
    const bool notified = changed.wait_for(held, timeout) == std::cv_status::no_timeout;
    held.release();
    return notified;
  }
  template <class Clock, class Duration>
  bool WaitUntil(std::condition_variable& changed, const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> held(mutex_.mutex_, std::adopt_lock);
    const bool notified = changed.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return notified;
  }

 private:
  Mutex& mutex_;
};
