#pragma once
// Discovery and instance commands of the stand-in agent: browse, list, and the instance operations.
#include <string>

#include "agent/jobs/AgentSession.h"

namespace agent {

struct SInventoryOptions {
  string path;             // browse
  string kind;             // list
  string compartment;      // list --compartment
  string instance;         // operations: name or id
  string newName;          // clone --as
  string shape;            // reconfigure --shape
  long long cpus = 0;      // reconfigure --cpus
  long long memoryMB = 0;  // reconfigure --memory-mb
  bool json = false;
};

int RunBrowseCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options);
int RunListCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options);
// operation: "power-on", "power-off", "delete", "clone", "reconfigure".
int RunOperationCommand(const SAgentSandbox& sandbox, const string& operation, const SInventoryOptions& options);

}  // namespace agent
