#pragma once
// Operating-system utilities of the plug-in: running a shell command with its output captured.
#include <string>

#include "host/EvDebug.h"

namespace OracleCloudInfoUtils {

// The namespace's own log channel.
extern EvEvent c_evEvent;

// Runs `command` with " 2>&1" appended, capturing everything it prints into `output`; false when it
// ends with a non-zero status.
bool executeCommand(const string& command, string& output);

}  // namespace OracleCloudInfoUtils
