#pragma once
// Runs a command line through /bin/sh -c and captures what it prints.
#include <string>

#include "host/HostTypes.h"

namespace TzProcess {
// Returns the command's exit status (0 = success), 128 + signal when a signal ended it, -1 when it
// could not be started or ran longer than timeoutSeconds (0 = no limit; the command is killed).
// The child inherits no descriptor but its standard ones. `output` receives standard output and,
// when mergeStderr is set or `error` is null, standard error as well.
int system(const char* command, string* output, string* error, int timeoutSeconds = 0, bool mergeStderr = false);
}  // namespace TzProcess
