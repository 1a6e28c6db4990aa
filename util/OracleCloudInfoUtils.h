#pragma once
// Operating-system utilities of the plug-in: running a shell command with its output captured.
#include <functional>
#include <string>

#include "host/EvDebug.h"

namespace OracleCloudInfoUtils {

// The namespace's own log channel.
extern EvEvent c_evEvent;

// The configuration key (section "VirtualServer") of the longest time a command may run, and its
// default (also taken for 0).
extern const char* const kCommandTimeoutKey;  // "nOCICommandTimeoutInSeconds"
constexpr uint32_t kDefaultCommandTimeoutSeconds = 300;
uint32_t CommandTimeoutSeconds();

// Runs `command` with " 2>&1" appended, capturing everything it prints into `output`; false when it
// ends with a non-zero status, runs longer than CommandTimeoutSeconds(), or is stopped (see below).
// A command that is ended is killed with its whole process group. `exitStatus` (optional) receives
// the command's exit status, or -1 when it did not end by itself.
bool executeCommand(const string& command, string& output, int* exitStatus = nullptr);

// While an object lives, commands that this thread runs are also stopped (within a fraction of a
// second) as soon as `stopRequested` answers true: a cancelled job does not wait for a hung command.
// A scope with an empty function lets a command run to its end or its time limit (clean-up steps).
class CStopCommandsWhen {
 public:
  explicit CStopCommandsWhen(std::function<bool()> stopRequested);
  ~CStopCommandsWhen();
  CStopCommandsWhen(const CStopCommandsWhen&) = delete;
  CStopCommandsWhen& operator=(const CStopCommandsWhen&) = delete;

 private:
  std::function<bool()> saved_;
};

}  // namespace OracleCloudInfoUtils
