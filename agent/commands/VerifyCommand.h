#pragma once
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SVerifyOptions {
  string backupDir;
  bool json = false;
};

// `verify BACKUP_DIR [--json]`: checks every stored disk (its size, and its checksum read chunk by
// chunk, naming the first bad chunk where the backup holds the chunk digests) and every saved
// configuration file against the manifest, without the cloud. Exit 0 for a whole and good backup,
// 3 for a partial one whose stored disks and files are good, 1 for anything bad, a failed backup or
// a folder that holds no finished backup.
int RunVerifyCommand(const SVerifyOptions& options);

}  // namespace agent
