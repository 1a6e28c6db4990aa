#pragma once
#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/JobOptions.h"

namespace agent {

// `replicate`: keeps the destination instance in step with the backups of a source. A sync is a
// restore through the plug-in's replication phases: a full sync writes every selected disk into its
// new volume; an incremental one writes into the volumes the plug-in rebuilt from the previous sync's
// integrity snapshots only the chunks that differ between the backup last synced and this one (a
// disk new to the destination is written whole). Every disk is verified against the manifest. The
// state that the next sync needs (replication/<destination>.json under the agent's home) is replaced
// only after everything succeeded; the destination's lock keeps a second job for it out. Returns 0
// when the sync succeeded and verified, 1 on failure, 2 on a usage error.
int RunReplicateCommand(const SAgentSandbox& sandbox, const SReplicateOptions& options);

}  // namespace agent
