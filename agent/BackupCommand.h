#pragma once
#include <string>

#include "agent/AgentSandbox.h"

struct SBackupOptions {
  string instance;   // name or id
  string store;      // backup store folder
  long long jobId = 0;  // 0: made from the time
};

// `backup`: the agent's road of a backup job. MountVM, the mount information, then every disk
// opened, read into the store with its SHA-256 and closed (several at once up to the plug-in's
// stream limit), the configuration files and a JSON manifest, then UnmountVM. On failure the job
// is cleaned up (CleanupVM) and the plug-in's error is printed. Returns the exit code.
int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options);
