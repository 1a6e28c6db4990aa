#include "host/HostClock.h"

#include <chrono>
#include <thread>

namespace {

class CSystemClock : public IHostClock {
 public:
  int64_t NowSeconds() override {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t NowMilliseconds() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void SleepMilliseconds(uint64_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

CSystemClock g_systemClock;
std::atomic<IHostClock*> g_clock{&g_systemClock};

}  // namespace

namespace HostClock {
IHostClock& Get() { return *g_clock.load(); }
void Install(IHostClock* clock) { g_clock.store(clock ? clock : &g_systemClock); }
}  // namespace HostClock
