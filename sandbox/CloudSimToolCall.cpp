#include <cstdio>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/SimOperations.h"

namespace cloudsim {

// Counts one call of a sandbox tool and prints what the fault rules ask of it, one line each, in the
// order the tool acts on them: "delay MS", "kill-before", "fail TEXT", "faulty", "kill-after".
int RunToolCall(const std::string& sandbox, const std::string& op) {
  if (!sim::IsToolOperation(op)) return Failure("[" + op + "] is not an operation of a sandbox tool");
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    const sim::SCallFaults faults = sim::CSimFaults(*cloud).CountCall(op);
    if (faults.delayMs > 0) printf("delay %lld\n", static_cast<long long>(faults.delayMs));
    if (faults.killBefore) printf("kill-before\n");
    if (faults.fail) printf("fail %s\n", faults.failText.c_str());
    if (faults.faulty) printf("faulty\n");
    if (faults.killAfter) printf("kill-after\n");
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
