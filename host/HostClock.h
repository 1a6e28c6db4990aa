#pragma once
// The one clock the plug-in and the simulator read and sleep on. Tests install a virtual clock
// so that a wait of minutes runs in microseconds.
#include <atomic>
#include <cstdint>

class IHostClock {
 public:
  virtual ~IHostClock() = default;
  virtual int64_t NowSeconds() = 0;       // seconds since the epoch
  virtual int64_t NowMilliseconds() = 0;  // milliseconds since the epoch
  virtual void SleepMilliseconds(uint64_t ms) = 0;
};

namespace HostClock {
IHostClock& Get();
// Installs a clock for the whole process; nullptr restores the system clock. Not owned.
void Install(IHostClock* clock);
inline int64_t Now() { return Get().NowSeconds(); }
inline void Sleep(uint64_t ms) { Get().SleepMilliseconds(ms); }
}  // namespace HostClock

// A clock that only moves when slept on or advanced; sleeping never blocks.
class CVirtualClock : public IHostClock {
 public:
  explicit CVirtualClock(int64_t startSeconds = 1'800'000'000) : nowMs_(startSeconds * 1000) {}
  int64_t NowSeconds() override { return nowMs_.load() / 1000; }
  int64_t NowMilliseconds() override { return nowMs_.load(); }
  void SleepMilliseconds(uint64_t ms) override {
    nowMs_ += static_cast<int64_t>(ms);
    slept_ += ms;
  }
  void Advance(int64_t seconds) { nowMs_ += seconds * 1000; }
  uint64_t TotalSleptMilliseconds() const { return slept_.load(); }

 private:
  std::atomic<int64_t> nowMs_;
  std::atomic<uint64_t> slept_{0};
};
