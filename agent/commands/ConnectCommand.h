#pragma once
#include "agent/commands/SecretOption.h"
#include "agent/jobs/AgentSession.h"

namespace agent {

struct SConnectCommandOptions {
  SConnectOptions connect;  // its passwords come from the sources below
  SSecretSources password;
  SSecretSources webProxyPassword;
  bool json = false;
};

// `connect`: connects to the sandbox's cloud through the plug-in and prints the proxy's identity
// and record. Returns the process exit code.
int RunConnectCommand(const SAgentSandbox& sandbox, const SConnectCommandOptions& options);

}  // namespace agent
