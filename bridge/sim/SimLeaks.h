#pragma once
// What jobs left behind in a sandbox: resources the bridge made that still exist, attachments of
// such volumes (or to the proxy), iSCSI devices and node records on the proxy, loop devices still bound
// to the sandbox's files, and iSCSI sessions
// that a detach cut while the proxy was still logged in. What the sandbox was seeded with is
// never a leak.
#include <string>
#include <vector>

#include "bridge/sim/SimCloud.h"

namespace sim {

struct SLeak {
  std::string kind;  // instance, volume, snapshot, attachment, image, object, device, loop, iscsi-node, cut-session
  std::string id;
  std::string name;
};

// Settles the lifecycles first, so that what is on its way out is not counted. Each instance named
// in `keep` is a job's result, and so is what belongs to it: its boot volume, the volumes attached
// to it and their attachments. Refused when no live instance carries a name of `keep`.
std::vector<SLeak> ListLeaks(CSimCloud& cloud, const std::vector<std::string>& keep = {});

}  // namespace sim
