#include "util/OracleCloudInfoUtils.h"

#include <utility>

#include "host/TZPlatformInfo.h"
#include "host/TzProcess.h"

namespace OracleCloudInfoUtils {

EvEvent c_evEvent("vsagent");
const char* const kCommandTimeoutKey = "nOCICommandTimeoutInSeconds";

namespace {
thread_local std::function<bool()> t_stopRequested;
}

CStopCommandsWhen::CStopCommandsWhen(std::function<bool()> stopRequested) : saved_(std::move(t_stopRequested)) {
  t_stopRequested = std::move(stopRequested);
}

CStopCommandsWhen::~CStopCommandsWhen() { t_stopRequested = std::move(saved_); }

uint32_t CommandTimeoutSeconds() {
  uint32_t seconds = kDefaultCommandTimeoutSeconds;
  TZPlatformInfo::getNumber("VirtualServer", kCommandTimeoutKey, &seconds);
  // No command may run unbounded: 0 means the default.
  return seconds != 0 ? seconds : kDefaultCommandTimeoutSeconds;
}

bool executeCommand(const string& command, string& output, int* exitStatus) {
  const string line = command + " 2>&1";
  const uint32_t timeout = CommandTimeoutSeconds();
  EVDEBUGLVL(c_evEvent, 2, "Executing Command: [%s]", line.c_str());
  TzProcess::EEnd end = TzProcess::EEnd::NotStarted;
  int status = TzProcess::system(line.c_str(), &output, nullptr, static_cast<int>(timeout), true, t_stopRequested, &end);
  if (exitStatus) *exitStatus = (end == TzProcess::EEnd::Exited) ? status : -1;
  EVDEBUGLVL(c_evEvent, 2, "Command Output: [%s]", output.c_str());
  if (end == TzProcess::EEnd::TimedOut)
    EVERROR(c_evEvent, "The Command ran longer than [%u] seconds and was stopped", timeout);
  if (end == TzProcess::EEnd::Stopped) EVERROR(c_evEvent, "Detected Quit flag; the Command was stopped");
  if (status != 0) {
    EVERROR(c_evEvent, "Failed to execute the Command [%s]", line.c_str());
    return false;
  }
  return true;
}

}  // namespace OracleCloudInfoUtils
