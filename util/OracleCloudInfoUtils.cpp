#include "util/OracleCloudInfoUtils.h"

#include "host/TzProcess.h"

namespace OracleCloudInfoUtils {

EvEvent c_evEvent("vsagent");

bool executeCommand(const string& command, string& output) {
  const string line = command + " 2>&1";
  EVDEBUGLVL(c_evEvent, 2, "Executing Command: [%s]", line.c_str());
  int status = TzProcess::system(line.c_str(), &output, nullptr, 0, true);
  EVDEBUGLVL(c_evEvent, 2, "Command Output: [%s]", output.c_str());
  if (status != 0) {
    EVERROR(c_evEvent, "Failed to execute the Command [%s]", line.c_str());
    return false;
  }
  return true;
}

}  // namespace OracleCloudInfoUtils
