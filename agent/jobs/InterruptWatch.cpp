#include "agent/jobs/InterruptWatch.h"

#include <chrono>

namespace agent {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<int> g_signal{0};

void OnInterrupt(int signo) {
  int none = 0;
  g_signal.compare_exchange_strong(none, signo);  // the first signal decides the exit code
  g_interrupted.store(true);
}

}  // namespace

const std::atomic<bool>& InterruptFlag() { return g_interrupted; }

int InterruptSignal() { return g_signal.load(); }

std::string InterruptSignalName() {
  switch (g_signal.load()) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case 0:
      return std::string();
  }
  return "signal " + std::to_string(g_signal.load());
}

CInterruptWatch::CInterruptWatch(IVMInfo& plugin) : plugin_(plugin) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, &previous_);
  sigaction(SIGTERM, &action, &previousTerm_);
  thread_ = std::thread([this] {
    while (!stop_.load()) {
      if (g_interrupted.load()) {
        plugin_.SetJobCancelled(true);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
}

CInterruptWatch::~CInterruptWatch() {
  stop_.store(true);
  thread_.join();
  sigaction(SIGINT, &previous_, nullptr);
  sigaction(SIGTERM, &previousTerm_, nullptr);
}

}  // namespace agent
