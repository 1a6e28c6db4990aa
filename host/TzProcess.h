#pragma once
// Runs a command line through /bin/sh -c and captures what it prints.
#include <functional>
#include <string>

#include "host/HostTypes.h"

namespace TzProcess {

// How a command ended.
enum class EEnd { Exited, Signalled, TimedOut, Stopped, NotStarted };

// Returns the command's exit status (0 = success), 128 + signal when a signal ended it, -1 when it
// could not be started or ran longer than timeoutSeconds (0 = no limit; the command is killed).
// The child inherits no descriptor but its standard ones. `output` receives standard output and,
// when mergeStderr is set or `error` is null, standard error as well.
int system(const char* command, string* output, string* error, int timeoutSeconds = 0, bool mergeStderr = false);

// The same, and the command is also ended when `stopRequested` (asked a few times a second while it
// runs) answers true. A command that times out or is stopped is killed with its whole process group
// (it runs in a group of its own) and gives -1; `how` (optional) tells which end it met.
int system(const char* command, string* output, string* error, int timeoutSeconds, bool mergeStderr,
           const std::function<bool()>& stopRequested, EEnd* how);

}  // namespace TzProcess
