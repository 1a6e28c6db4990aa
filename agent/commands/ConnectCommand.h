#pragma once
#include "agent/jobs/AgentSession.h"

namespace agent {

// `connect`: connects to the sandbox's cloud through the plug-in and prints the proxy's identity
// and record. Returns the process exit code.
int RunConnectCommand(const SAgentSandbox& sandbox, const SConnectOptions& options, bool json);

}  // namespace agent
