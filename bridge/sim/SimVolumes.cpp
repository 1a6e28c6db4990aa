#include "bridge/sim/SimVolumes.h"

#include <algorithm>

#include "bridge/sim/SimAttachments.h"
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
      ad = db.QueryText(
          "SELECT name FROM availability_domains WHERE region = (SELECT value FROM meta WHERE key = ?) "
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

std::string CSimVolumes::Clone(const std::string& sourceId, const std::string& name, const std::string& description,
                               const std::string& compartmentId, const std::string& ad, bool faulty,
                               const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  if (name.empty()) throw CSimRefused("No display name was given for the copy of volume [" + sourceId + "]");
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  std::string id = cloud_.Write([&](CSimDb& db) {
    SVolumeRow source = LoadVolume(db, sourceId);
    if (source.state != w.volumeAvailable) {
      throw CSimRefused("Volume [" + source.id + "] cannot be copied while it is " + source.state);
    }
    if (db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, compartmentId) == 0) {
      throw CSimRefused("Compartment [" + compartmentId + "] was not found");
    }
    SNewVolume copy;
    copy.ad = ad.empty() ? source.ad : ad;
    const std::string region = db.QueryText("SELECT region FROM availability_domains WHERE name = ?", "", copy.ad);
    if (region.empty()) throw CSimRefused("Availability domain [" + copy.ad + "] was not found");
    if (region != db.QueryText("SELECT region FROM availability_domains WHERE name = ?", "", source.ad)) {
      throw CSimRefused("Volume [" + source.id + "] cannot be copied to availability domain [" + copy.ad +
                        "] of another region");
    }
    copy.name = name;
    copy.boot = source.boot;
    copy.id = CIdMaker(db, cloud_.Flavour()).Volume(copy.name, copy.ad, copy.boot);
    copy.file = SafeFileName(copy.id, ".img");
    copy.compartmentId = compartmentId;
    copy.size = source.size;
    copy.description = description;
    copy.imageId = db.QueryText("SELECT image_id FROM volumes WHERE id = ?", "", source.id);
    copy.faulty = faulty;
    // Inside the transaction, so that no other process removes the source and its file meanwhile.
    CopySparseFile(cloud_.VolumeFilePath(source.file), files.Add(copy.file));
    InsertVolume(db, w, copy, now, op);
    return copy.id;
  });
  files.Keep();
  return id;
}

void CSimVolumes::Delete(const std::string& volumeId, const std::string& op) {
  const SFlavourWords& w = cloud_.Words();
  int64_t now = HostClock::Now();
  std::string file = cloud_.Write([&](CSimDb& db) {
    SVolumeRow volume = LoadVolume(db, volumeId);
    std::string holder = AttachedInstanceOf(db, w, volume.id);
    if (!holder.empty()) {
      throw CSimRefused("Volume [" + volume.id + "] cannot be deleted while it is attached to instance [" + holder +
                        "]");
    }
    std::string owner = BootInstanceOf(db, w, volume.id);
    if (!owner.empty()) {
      throw CSimRefused("Volume [" + volume.id + "] cannot be deleted: it is the boot volume of instance [" + owner +
                        "]");
    }
    db.Run("DELETE FROM volumes WHERE id = ?", volume.id);
    RecordDeleted(db, kKindVolume, volume.id, op, now);
    return volume.file;
  });
  RemoveVolumeFiles(cloud_, {file});
}

bool CSimVolumes::Exists(const std::string& volumeId) {
  return cloud_.Read(
      [&](CSimDb& db) { return db.QueryInt("SELECT COUNT(*) FROM volumes WHERE id = ?", 0, volumeId) > 0; });
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

void CSimVolumes::Write(const std::string& volumeId, int64_t offset, const std::string& bytes) {
  cloud_.Write([&](CSimDb& db) {
    SVolumeRow volume = LoadVolume(db, volumeId);
    if (offset < 0) throw CSimRefused("Offset " + std::to_string(offset) + " is negative");
    if (static_cast<uint64_t>(offset) > volume.size || bytes.size() > volume.size - static_cast<uint64_t>(offset)) {
      throw CSimRefused("Writing " + std::to_string(bytes.size()) + " bytes at offset " + std::to_string(offset) +
                        " would pass the end of volume [" + volume.id + "] (" + std::to_string(volume.size) +
                        " bytes)");
    }
    // Inside the transaction, so that no other process removes the volume and its file meanwhile.
    WriteBytesAt(cloud_.VolumeFilePath(volume.file), static_cast<uint64_t>(offset), bytes);
  });
}

std::string CSimVolumes::AddToInstance(const std::string& instance, uint64_t size) {
  const SFlavourWords& w = cloud_.Words();
  if (size == 0) throw CSimRefused("A new volume needs a size of 1 byte or more");
  int64_t now = HostClock::Now();
  CNewFiles files(cloud_);
  auto [id, instanceId] = cloud_.Write([&](CSimDb& db) {
    SInstanceRef target = ResolveInstance(db, instance);
    if (target.state == w.instanceTerminating || target.state == w.instanceTerminated) {
      throw CSimRefused("Instance [" + target.id + "] is " + target.state + ": no volume can be added to it");
    }
    SNewVolume volume;
    for (int n = 2; volume.name.empty(); ++n) {
      std::string name = target.name + "-data" + std::to_string(n);
      if (db.QueryInt("SELECT COUNT(*) FROM volumes WHERE display_name = ?", 0, name) == 0) volume.name = name;
    }
    volume.id = CIdMaker(db, cloud_.Flavour()).Volume(volume.name, target.ad, false);
    volume.file = SafeFileName(volume.id, ".img");
    volume.compartmentId = target.compartmentId;
    volume.ad = target.ad;
    volume.size = size;
    volume.provisioned = false;
    CreateSparseFile(files.Add(volume.file), volume.size);
    InsertVolume(db, w, volume, now, "");
    return std::make_pair(volume.id, target.id);
  });
  files.Keep();
  // A volume that could not be attached is not kept.
  struct SUnlessAttached {
    CSimVolumes& volumes;
    const std::string& id;
    bool attached = false;
    ~SUnlessAttached() {
      try {
        if (!attached) volumes.Delete(id, "");
      } catch (const CSimError&) {
        // The refusal of the attach is the news; a volume left over shows in `ls volumes`.
      }
    }
  } unlessAttached{*this, id};
  CSimAttachments(cloud_).Attach(id, instanceId, kAttachParavirtualized, false, "");
  unlessAttached.attached = true;
  return id;
}

void CSimVolumes::DetachFromInstance(const std::string& volumeId) {
  std::string holder = cloud_.Read([&](CSimDb& db) {
    SVolumeRow volume = LoadVolume(db, volumeId);
    std::string instance = AttachedInstanceOf(db, cloud_.Words(), volume.id);
    if (instance.empty()) throw CSimRefused("Volume [" + volume.id + "] is not attached to any instance");
    return instance;
  });
  CSimAttachments(cloud_).Detach({volumeId}, holder, "");
}

}  // namespace sim
