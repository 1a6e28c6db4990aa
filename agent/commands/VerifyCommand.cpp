// Stand-in until the backup's check lands: refuses, so nothing reads as verified.
#include "agent/commands/VerifyCommand.h"

#include "agent/jobs/ExitStatus.h"

namespace agent {

int RunVerifyCommand(const SVerifyOptions&) { return Fail("verify: not available in this build"); }

}  // namespace agent
