#pragma once
// Ctrl-C and SIGTERM during a job: the signal sets the job's cancel flag, which the plug-in notices
// at its next poll and unwinds; the agent's own loops read the same flag. The signal is remembered,
// so that the command, once the job unwound, ends with its exit code (130 or 143).
#include <signal.h>

#include <atomic>
#include <string>
#include <thread>

#include "host/IVMInfo.h"

namespace agent {

// True once SIGINT or SIGTERM arrived while a watch was held.
const std::atomic<bool>& InterruptFlag();
// The first of them that arrived (SIGINT or SIGTERM); 0 when none did.
int InterruptSignal();
// "SIGINT" or "SIGTERM" for the signal that arrived; empty when none did.
std::string InterruptSignalName();

// Installs the handlers for its lifetime and passes an interrupt on to the plug-in.
class CInterruptWatch {
 public:
  explicit CInterruptWatch(IVMInfo& plugin);
  ~CInterruptWatch();
  CInterruptWatch(const CInterruptWatch&) = delete;
  CInterruptWatch& operator=(const CInterruptWatch&) = delete;

 private:
  IVMInfo& plugin_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  struct sigaction previous_ {
  }, previousTerm_{};
};

}  // namespace agent
