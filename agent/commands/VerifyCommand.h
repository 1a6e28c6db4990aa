#pragma once
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SVerifyOptions {
  string backupDir;
  bool json = false;
};
// `verify BACKUP_DIR [--json]`: reads a stored backup back against its manifest.
int RunVerifyCommand(const SVerifyOptions& options);

}  // namespace agent
