#pragma once
// Volume snapshots and the volumes made from them. A snapshot holds the volume's bytes as they
// were when it was requested (a sparse copy); it is usable after the snapshot provisioning time,
// a volume made from it after the volume provisioning time. Refusals are thrown as CSimRefused
// naming the volume or snapshot.
#include <cstdint>
#include <string>

#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimVolumeStore.h"

namespace sim {

struct SNewSnapshot {
  std::string volumeId, name, description;
  int64_t created = 0;
  bool faulty = false;      // ends faulty and holds no bytes
  bool provisioned = true;  // false: usable at once, whatever the provisioning time
};

// Inserts a snapshot of the volume (which must be available) inside the caller's transaction,
// its bytes copied into a file that `files` removes unless kept; returns its id. Not recorded as
// made by a job.
std::string InsertSnapshot(CSimCloud& cloud, CSimDb& db, CNewFiles& files, const SNewSnapshot& snapshot, int64_t now);

class CSimSnapshots {
 public:
  explicit CSimSnapshots(CSimCloud& cloud) : cloud_(cloud) {}

  std::string Create(const std::string& volumeId, const std::string& description, const std::string& name, bool faulty,
                     const std::string& op);
  std::string State(const std::string& snapshotId);
  bool Exists(const std::string& snapshotId);
  // Removes the snapshot and its bytes (op empty: an operator removes it).
  void Delete(const std::string& snapshotId, const std::string& op);
  // Sets the lifecycle state of a snapshot as the cloud would end it: the flavour's available or
  // faulty word.
  void SetState(const std::string& snapshotId, const std::string& state);
  // A new volume in the source volume's domain and compartment holding the snapshot's bytes; a
  // boot volume when the snapshot is a boot volume's.
  std::string CreateVolume(const std::string& snapshotId, const std::string& name, bool faulty, const std::string& op);
  std::string VolumeState(const std::string& volumeId);

  // A usable snapshot with a chosen description and creation time, as an operator (or an earlier
  // job) would have left it; not recorded as made by a job.
  std::string Add(const std::string& volumeId, const std::string& description, int64_t created,
                  const std::string& name);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
