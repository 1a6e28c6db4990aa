#pragma once
// Launches of classic instances from existing storage volumes: through the instance's
// orchestration (restores) or through a launch plan. Refusals are thrown as CSimRefused in the
// cloud's words; what is made is recorded as made by the operation.
#include <string>

#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

class CSimClassicLaunch {
 public:
  enum class EBy { Orchestration, LaunchPlan };

  explicit CSimClassicLaunch(CSimCloud& cloud) : cloud_(cloud) {}

  // A new instance named vm.name in vm.compartmentId on shape vm.vmSize (a flexible shape takes
  // vm.cpuCount and vm.memoryMB when positive). Each of vm.disks names a volume (targetVolume,
  // else volumeId) and its storage attachment index (diskNumber, 1 to 10, each once); the
  // instance boots from index 1, which must be bootable. Every volume must be available, free
  // (attached nowhere, no live instance's boot volume) and in the boot volume's site. The cards
  // of vm.networkCards go into their IP networks (empty: one of the site), at their IP when one
  // is given (refused when another instance uses it), else at the network's next free one; no
  // cards: one card in a network of the site. SSH keys and security lists as the record names
  // them. Returns once the instance runs (the orchestration reads completed); `faulty`: the
  // instance never starts, the orchestration reads error, the instance is deleted with its
  // volumes kept and free, and the call fails. Fills vm.guid, vm.uri and what the cloud chose.
  void Launch(VMInfoStructs::SVMInfo& vm, EBy by, bool faulty, const std::string& op);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
