#pragma once
// Runs a command line through /bin/sh -c, or a program with its arguments as they are (no shell),
// and captures what it prints.
#include <functional>
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace TzProcess {

// How a command ended.
enum class EEnd { Exited, Signalled, TimedOut, Stopped, NotStarted };

// Returns the command's exit status (0 = success), 128 + signal when a signal ended it, -1 when it
// could not be started or ran longer than timeoutSeconds (0 = no limit; the command is killed).
// The child inherits no descriptor but its standard ones and those shared with commands (below).
// `output` receives standard output and,
// when mergeStderr is set or `error` is null, standard error as well.
int system(const char* command, string* output, string* error, int timeoutSeconds = 0, bool mergeStderr = false);

// The same, and the command is also ended when `stopRequested` (asked a few times a second while it
// runs) answers true. A command that times out or is stopped is killed with its whole process group
// (it runs in a group of its own) and gives -1; `how` (optional) tells which end it met.
int system(const char* command, string* output, string* error, int timeoutSeconds, bool mergeStderr,
           const std::function<bool()>& stopRequested, EEnd* how);

// The same for the program at the path argv[0], started directly: each of argv[1..] reaches it as
// one argument, byte for byte, and nothing is interpreted by a shell. `environment` (NAME=VALUE
// entries) is its whole environment. A program that cannot be started exits with 127.
int run(const std::vector<string>& argv, const std::vector<string>& environment, string* output, string* error,
        int timeoutSeconds, bool mergeStderr, const std::function<bool()>& stopRequested, EEnd* how);

// Descriptors that every command started from now on inherits (as descriptors 3, 4, ...), until they
// are no longer shared: a registry session's lock, so that the session of a job killed while its
// commands run stays held until the last of them has ended.
void ShareWithCommands(int fd);
void StopSharingWithCommands(int fd);

// This process's environment with the variable `name` set to `value` (added or replaced).
std::vector<string> EnvironmentWith(const string& name, const string& value);

}  // namespace TzProcess
