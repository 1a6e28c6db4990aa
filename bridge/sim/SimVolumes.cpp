#include "bridge/sim/SimVolumes.h"

#include <algorithm>

#include "bridge/sim/SimIds.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimVolumeStore.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/HostClock.h"

namespace sim {

std::string CSimVolumes::Create(const VMInfoStructs::SDisk& request, const std::string& compartmentId, bool faulty,
                                const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  if (request.displayName.empty()) throw CSimRefused("No display name was given for the new volume");
  if (request.size == 0) throw CSimRefused("Volume [" + request.displayName + "] needs a size of 1 byte or more");
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  std::string id = cloud_.Write([&](CSimDb& db) {
    if (db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
      throw CSimRefused("Compartment [" + compartmentId + "] was not found");
    }
    std::string ad = request.availabilityDomain;
    if (ad.empty()) {
      ad = db.QueryText("SELECT name FROM availability_domains WHERE region = (SELECT value FROM meta WHERE key = ?) "
                        "ORDER BY name LIMIT 1",
                        "", kMetaDefaultRegion);
    } else if (db.QueryInt("SELECT COUNT(*) FROM availability_domains WHERE name = ?", 0, ad) == 0) {
      throw CSimRefused("Availability domain [" + ad + "] was not found");
    }
    SNewVolume volume;
    volume.name = request.displayName;
    volume.id = CIdMaker(db, cloud_.Flavour()).Volume(volume.name, ad, false);
    volume.file = SafeFileName(volume.id, ".img");
    volume.compartmentId = compartmentId;
    volume.ad = ad;
    volume.size = request.size;
    volume.description = request.description;
    volume.faulty = faulty;
    CreateSparseFile(files.Add(volume.file), volume.size);
    InsertVolume(db, w, volume, now, op);
    return volume.id;
  });
  files.Keep();
  // The restore attaches the volume right away: the call returns once it is usable.
  for (;;) {
    Settle(cloud_);
    auto [state, readyAt] = cloud_.Read([&](CSimDb& db) {
      CSimStatement stmt = db.Prepare("SELECT state, ready_at FROM volumes WHERE id = ?");
      stmt.BindAll(id);
      if (!stmt.Step()) throw CSimRefused("Volume [" + id + "] vanished while it was provisioned");
      return std::make_pair(stmt.Text(0), stmt.Int(1));
    });
    if (state == w.volumeAvailable) return id;
    if (state != w.volumeProvisioning) throw CSimRefused("Volume [" + id + "] could not be created: it is " + state);
    int64_t ms = readyAt * 1000 - HostClock::Get().NowMilliseconds();
    HostClock::Sleep(static_cast<uint64_t>(std::max<int64_t>(ms, 1)));
  }
}

void CSimVolumes::Delete(const std::string& volumeId, const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  std::string file = cloud_.Write([&](CSimDb& db) {
    SVolumeRow volume = LoadVolume(db, volumeId);
    std::string holder = AttachedInstanceOf(db, w, volume.id);
    if (!holder.empty()) {
      throw CSimRefused("Volume [" + volume.id + "] cannot be deleted while it is attached to instance [" + holder + "]");
    }
    std::string owner = BootInstanceOf(db, w, volume.id);
    if (!owner.empty()) {
      throw CSimRefused("Volume [" + volume.id + "] cannot be deleted: it is the boot volume of instance [" + owner + "]");
    }
    db.Run("DELETE FROM volumes WHERE id = ?", volume.id);
    RecordDeleted(db, kKindVolume, volume.id, op, now);
    return volume.file;
  });
  RemoveVolumeFiles(cloud_, {file});
}

bool CSimVolumes::Exists(const std::string& volumeId) {
  return cloud_.Read([&](CSimDb& db) { return db.QueryInt("SELECT COUNT(*) FROM volumes WHERE id = ?", 0, volumeId) > 0; });
}

bool CSimVolumes::ExistsNamed(const std::string& displayName, const std::string& compartmentId) {
  return cloud_.Read([&](CSimDb& db) {
    return db.QueryInt("SELECT COUNT(*) FROM volumes WHERE display_name = ? AND (? = '' OR compartment_id = ?)", 0,
                       displayName, compartmentId, compartmentId) > 0;
  });
}

void CSimVolumes::MakeBootable(const std::string& volumeId) {
  cloud_.Write([&](CSimDb& db) {
    LoadVolume(db, volumeId);
    db.Run("UPDATE volumes SET bootable = 1 WHERE id = ?", volumeId);
  });
}

void CSimVolumes::ClearDescription(const std::string& volumeId) {
  cloud_.Write([&](CSimDb& db) {
    LoadVolume(db, volumeId);
    db.Run("UPDATE volumes SET description = '' WHERE id = ?", volumeId);
  });
}

}  // namespace sim
