#pragma once
#include <string>

#include "agent/AgentSandbox.h"

// Exit codes of the backup command (the other commands use 0, 1 and 2 alike).
constexpr int kExitComplete = 0;  // every selected disk stored and verified
constexpr int kExitFailure = 1;   // the job failed (nothing usable stored, interrupted, or not unwound)
constexpr int kExitUsage = 2;     // wrong command line
constexpr int kExitPartial = 3;   // stored, but at least one selected disk is missing

// Prints "backup-agent: TEXT" on stderr and returns the exit code of a failure (1) or of a usage
// error (2).
int Fail(const string& text);
int Usage(const string& text);

struct SBackupOptions {
  string instance;   // name or id
  string store;      // backup store folder
  long long jobId = 0;  // 0: the first from the current time up that the store does not use
};

// `backup`: the agent's road of a backup job. The instance's selected volumes, a new folder of the
// store, MountVM, the mount information, then every disk opened, read into the store with its
// SHA-256, closed and verified (several at once up to the plug-in's stream limit), the
// configuration files, UnmountVM and a JSON manifest. A selected disk that is not stored makes the
// backup partial: named on stderr and in the manifest ("complete": false, "missing_disks"). Every
// road out unwinds the mount (UnmountVM, and CleanupVM after a failure). Returns the exit code.
int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options);
