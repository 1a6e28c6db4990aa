// Test support: snapshots with a chosen description and age, checksums of volume bytes, and the
// changes an operator makes to volumes and snapshots between jobs.
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/SimVolumes.h"
#include "bridge/sim/VolumeChecksum.h"

namespace cloudsim {

namespace {

// Runs fn on the sandbox's cloud; a refusal is the command's failure.
int OnCloud(const std::string& sandbox, const std::function<void(sim::CSimCloud&)>& fn) {
  try {
    auto cloud = OpenSandboxCloud(sandbox);
    fn(*cloud);
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace

int RunSnapshotRemove(const std::string& sandbox, const std::string& id) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) { sim::CSimSnapshots(cloud).Delete(id, ""); });
}

int RunSnapshotState(const std::string& sandbox, const std::string& id, const std::string& state) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) { sim::CSimSnapshots(cloud).SetState(id, state); });
}

int RunVolumeWrite(const std::string& sandbox, const SVolumeWriteArgs& args) {
  std::string bytes = args.text;
  if (!args.file.empty()) {
    std::ifstream in(args.file, std::ios::binary);
    std::ostringstream content;
    if (!(in && content << in.rdbuf())) return Failure("Cannot read [" + args.file + "]");
    bytes = content.str();
  }
  return OnCloud(sandbox,
                 [&](sim::CSimCloud& cloud) { sim::CSimVolumes(cloud).Write(args.volumeId, args.offset, bytes); });
}

int RunVolumeAdd(const std::string& sandbox, const std::string& instance, uint64_t size) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) {
    printf("%s\n", sim::CSimVolumes(cloud).AddToInstance(instance, size).c_str());
  });
}

int RunVolumeDetach(const std::string& sandbox, const std::string& id) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) { sim::CSimVolumes(cloud).DetachFromInstance(id); });
}

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
    printf("%s\n", sim::VolumeChecksum(*cloud, id, bytes).c_str());
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
