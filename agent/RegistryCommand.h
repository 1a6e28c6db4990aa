#pragma once
#include <vector>

#include "agent/AgentSandbox.h"
#include "host/VMCleaner.h"

// Every root of the sandbox's registry with its children; none when it has no registry folder. False
// with `error` naming the folder when the registry cannot be read.
bool ReadSandboxRegistry(const SAgentSandbox& sandbox, std::vector<SRegistryRoot>& roots, string& error);

// `registry`: prints the sandbox's registry of created entities as a tree (or JSON: a list of roots,
// each {"mode", "name", "orphan", "children": [{"type", "name"}]}). Returns the exit code.
int RunRegistryCommand(const SAgentSandbox& sandbox, bool json);
