#pragma once
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SBackupsOptions {
  string store;
  bool json = false;
};

// `backups --store DIR [--json]`: every backup folder of the store, newest first: job id, instance,
// time, status (complete, partial, failed, or incomplete: its job still running or killed), the bytes
// stored (allocated on disk) and the disks' logical size, and its disks. Reads the store only; it
// never waits for a running backup. Returns the exit code (1 for a store that is missing or no store).
int RunBackupsCommand(const SBackupsOptions& options);

}  // namespace agent
