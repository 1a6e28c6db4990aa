#pragma once
#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/JobOptions.h"

namespace agent {

// `backup`: the agent's road of a backup job. The instance's selected volumes, a new folder of the
// store, MountVM, the mount information, then every disk opened, read into the store with its
// SHA-256, closed and verified (several at once up to the plug-in's stream limit), the
// configuration files, UnmountVM and a JSON manifest. A selected disk that is not stored makes the
// backup partial: named on stderr and in the manifest ("complete": false, "missing_disks"). Every
// road out unwinds the mount (UnmountVM, and CleanupVM after a failure); a job that fails or is
// interrupted after its folder was claimed marks the folder failed. Returns the exit code: 0, 3 for a
// partial backup, 1 on failure, 2 on a usage error, 130 or 143 after SIGINT or SIGTERM.
int RunBackupCommand(const SAgentSandbox& sandbox, const SBackupOptions& options);

}  // namespace agent
