// Test support: snapshots with a chosen description and age, and checksums of volume bytes.
#include <cstdio>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/VolumeChecksum.h"

namespace cloudsim {

int RunSnapshotAdd(const std::string& sandbox, const SSnapshotAddArgs& args) {
  if (args.created < 0)
    return Failure("--created must be seconds since the epoch, not " + std::to_string(args.created));
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    std::string id = sim::CSimSnapshots(*cloud).Add(args.volumeId, args.description, args.created, args.name);
    printf("%s\n", id.c_str());
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

int RunVolumeChecksum(const std::string& sandbox, const std::string& id, uint64_t bytes) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    printf("%s\n", sim::VolumeSha256(*cloud, id, bytes).c_str());
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
