#pragma once
#include <vector>

#include "agent/jobs/AgentSandbox.h"
#include "host/VMCleaner.h"

namespace agent {

// Every root of the sandbox's registry with its children; none when it has no registry folder. False
// with `error` naming the folder when the registry cannot be read.
bool ReadSandboxRegistry(const SAgentSandbox& sandbox, std::vector<SRegistryRoot>& roots, string& error);
// What the registry holds under the backup root of `instanceId` (the name compared without case), as
// "<type> <name>" each: what a job left for the next one to remove.
bool RegisteredUnderBackupOf(const SAgentSandbox& sandbox, const string& instanceId, std::vector<string>& entries,
                             string& error);

// `registry`: prints the sandbox's registry of created entities as a tree (or JSON: a list of roots,
// each {"mode", "name", "orphan", "children": [{"type", "name"}]}). Returns the exit code.
int RunRegistryCommand(const SAgentSandbox& sandbox, bool json);

}  // namespace agent
