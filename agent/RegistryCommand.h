#pragma once
#include "agent/AgentSandbox.h"

// `registry`: prints the sandbox's registry of created entities as a tree (or JSON: a list of roots,
// each {"mode", "name", "orphan", "children": [{"type", "name"}]}). Returns the exit code.
int RunRegistryCommand(const SAgentSandbox& sandbox, bool json);
