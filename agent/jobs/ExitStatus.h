#pragma once
// How a command ends: the exit codes both tools share (cli/ExitCodes.h), and the message of a failure
// or a usage error on stderr.
#include <string>

#include "cli/ExitCodes.h"
#include "host/HostTypes.h"

namespace agent {

using cli::kExitFailed;
using cli::kExitDone;
using cli::kExitPartial;
using cli::kExitUsage;

// Prints "backup-agent: TEXT" on stderr and returns the exit code of a failure (1) or of a usage
// error (2).
int Fail(const string& text);
int Usage(const string& text);

}  // namespace agent
