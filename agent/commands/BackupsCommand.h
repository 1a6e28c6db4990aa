#pragma once
#include <string>

#include "host/HostTypes.h"

namespace agent {

struct SBackupsOptions {
  string store;
  bool json = false;
};
// `backups --store DIR [--json]`: the backups of a store.
int RunBackupsCommand(const SBackupsOptions& options);

}  // namespace agent
