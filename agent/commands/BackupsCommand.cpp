// Stand-in until the store's listing lands: refuses, so nothing reads as an empty store.
#include "agent/commands/BackupsCommand.h"

#include "agent/jobs/ExitStatus.h"

namespace agent {

int RunBackupsCommand(const SBackupsOptions&) { return Fail("backups: not available in this build"); }

}  // namespace agent
