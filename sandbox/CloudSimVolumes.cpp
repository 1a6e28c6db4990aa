// Test support: snapshots with a chosen description and age, checksums of volume bytes, and the
// changes an operator makes to volumes and snapshots between jobs.
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "VolumeChecksum.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/SimVolumes.h"

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
    if (!(in && content << in.rdbuf())) return Failure("Cannot read [" + args.file + "]: give a readable file");
    bytes = content.str();
  }
  return OnCloud(sandbox,
                 [&](sim::CSimCloud& cloud) { sim::CSimVolumes(cloud).Write(args.volumeId, args.offset, bytes); });
}

int RunVolumeAdd(const std::string& sandbox, const std::string& instance, uint64_t size, bool json) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) {
    const std::string id = sim::CSimVolumes(cloud).AddToInstance(instance, size);
    if (json) {
      PrintJson({{"id", id}, {"instance", instance}, {"size_bytes", size}});
    } else {
      printf("%s\n", id.c_str());
    }
  });
}

int RunVolumeDetach(const std::string& sandbox, const std::string& id) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) { sim::CSimVolumes(cloud).DetachFromInstance(id); });
}

int RunSnapshotAdd(const std::string& sandbox, const SSnapshotAddArgs& args, bool json) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) {
    const std::string id = sim::CSimSnapshots(cloud).Add(args.volumeId, args.description, args.created, args.name);
    if (json) {
      PrintJson(
          {{"id", id}, {"volume_id", args.volumeId}, {"description", args.description}, {"created", args.created}});
    } else {
      printf("%s\n", id.c_str());
    }
  });
}

int RunVolumeChecksum(const std::string& sandbox, const std::string& id, uint64_t bytes, bool json) {
  return OnCloud(sandbox, [&](sim::CSimCloud& cloud) {
    const std::string checksum = sim::VolumeChecksum(cloud, id, bytes);
    if (json) {
      const uint64_t covered = bytes > 0 ? bytes : sim::BytesFileOf(cloud, id).size;
      PrintJson({{"id", id}, {"chunked_sha256", checksum}, {"bytes", covered}});
    } else {
      printf("%s\n", checksum.c_str());
    }
  });
}

}  // namespace cloudsim
