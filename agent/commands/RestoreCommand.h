#pragma once
#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/JobOptions.h"

namespace agent {

// `restore`: the agent's road of a full instance restore from a stored backup. InitRestoreVM creates
// and attaches the volumes, every stored disk is written into its volume and verified, then
// PreRestoreVM, RestoreVM and PostRestoreVM; CleanupRestoreVM after any failed phase or disk write.
// The plug-in works on copies of the saved configuration in a per-job folder of the agent's home,
// removed at the end. Returns 0 when every disk was written and verified and every phase succeeded,
// 1 on failure, 2 on a usage error, 130 or 143 when SIGINT or SIGTERM stopped it (CCommandReport).
int RunRestoreCommand(const SAgentSandbox& sandbox, const SRestoreOptions& options);

}  // namespace agent
