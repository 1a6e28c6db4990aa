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

namespace {

// Runs what `start` starts, within the command time limit and the thread's stop condition, and
// logs it as every command of the plug-in is logged.
bool RunLogged(const char* tag, const string& text, string& output, int* exitStatus,
               const std::function<int(int timeoutSeconds, TzProcess::EEnd* end)>& start) {
  const uint32_t timeout = CommandTimeoutSeconds();
  output.clear();
  c_evEvent.DebugLvl(tag, 2, "Executing Command: [%s]", text.c_str());
  TzProcess::EEnd end = TzProcess::EEnd::NotStarted;
  int status = start(static_cast<int>(timeout), &end);
  if (exitStatus) *exitStatus = (end == TzProcess::EEnd::Exited) ? status : -1;
  c_evEvent.DebugLvl(tag, 2, "Command Output: [%s]", output.c_str());
  if (end == TzProcess::EEnd::TimedOut)
    c_evEvent.Error(tag, "The Command ran longer than [%u] seconds and was stopped", timeout);
  if (end == TzProcess::EEnd::Stopped) c_evEvent.Error(tag, "Detected Quit flag; the Command was stopped");
  if (status != 0) {
    c_evEvent.Error(tag, "Failed to execute the Command [%s]", text.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool executeCommand(const string& command, string& output, int* exitStatus) {
  const string line = command + " 2>&1";
  return RunLogged(__PRETTY_FUNCTION__, line, output, exitStatus, [&](int timeout, TzProcess::EEnd* end) {
    return TzProcess::system(line.c_str(), &output, nullptr, timeout, true, t_stopRequested, end);
  });
}

bool executeProgram(const std::vector<string>& argv, const std::vector<string>& environment, const string& text,
                    string& output, int* exitStatus) {
  return RunLogged(__PRETTY_FUNCTION__, text + " 2>&1", output, exitStatus, [&](int timeout, TzProcess::EEnd* end) {
    return TzProcess::run(argv, environment, &output, nullptr, timeout, true, t_stopRequested, end);
  });
}

}  // namespace OracleCloudInfoUtils
