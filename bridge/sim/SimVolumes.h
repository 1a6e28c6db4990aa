#pragma once
// Block volumes asked for by restores: empty volumes, their deletion and the questions about them;
// and what an operator does to an instance's volumes between jobs (writes, new and detached data
// volumes), which is no job's doing. Refusals are thrown as CSimRefused naming the volume.
#include <string>

#include "bridge/sim/SimCloud.h"
#include "host/VMInfoStructs.h"

namespace sim {

class CSimVolumes {
 public:
  explicit CSimVolumes(CSimCloud& cloud) : cloud_(cloud) {}

  // A new empty (sparse) volume named volume.displayName of volume.size bytes in
  // volume.availabilityDomain (empty: the default region's first domain), with
  // volume.description. Returns once the volume has left provisioning (on the host clock);
  // `faulty` ends it faulty, which fails the call. Returns the new id.
  std::string Create(const VMInfoStructs::SDisk& volume, const std::string& compartmentId, bool faulty,
                     const std::string& op);
  // A copy of the volume or boot volume `sourceId` (of its kind, size, bytes kept sparse, image)
  // named `name` with `description`, in the compartment and in `ad` (empty: the source's), which
  // must be of the source's region. The source must be available; attached is fine. The copy is
  // provisioning for the volumes' provisioning time, then available (`faulty`: faulty); the call
  // does not wait. Returns the new id.
  std::string Clone(const std::string& sourceId, const std::string& name, const std::string& description,
                    const std::string& compartmentId, const std::string& ad, bool faulty, const std::string& op);
  // Removes the volume and its bytes; refused while it is attached or the boot volume of a live
  // instance.
  void Delete(const std::string& volumeId, const std::string& op);
  bool Exists(const std::string& volumeId);
  // Whether a volume of that display name exists in the compartment (any compartment when empty).
  bool ExistsNamed(const std::string& displayName, const std::string& compartmentId);
  void MakeBootable(const std::string& volumeId);
  void ClearDescription(const std::string& volumeId);

  // Writes `bytes` into the volume at `offset`; refused when the offset is negative or the bytes
  // would pass the volume's end.
  void Write(const std::string& volumeId, int64_t offset, const std::string& bytes);
  // A new empty data volume of `size` bytes named "<instance>-data<N>" (the lowest N from 2 that is
  // free) in the instance's compartment and domain, attached paravirtualized like the seeded ones
  // (taking a slot, or refused with CSimNoFreeSlot and not kept). Returns its id.
  std::string AddToInstance(const std::string& instance, uint64_t size);
  // Detaches the volume from the instance it is attached to; refused when it is not attached.
  void DetachFromInstance(const std::string& volumeId);

 private:
  CSimCloud& cloud_;
};

}  // namespace sim
