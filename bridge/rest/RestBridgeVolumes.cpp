// The REST backend's volumes, boot volumes, their backups and attachments. A snapshot of a volume is
// a volume backup, of a boot volume a boot volume backup; which one an id names is read from its OCID,
// as any client of the API does. A description (which the API does not keep) travels as the freeform
// tag kDescriptionTag (bridge/rest/ApiConventions.h).
#include <cctype>
#include <set>
#include <stdexcept>

#include "bridge/rest/ApiConventions.h"
#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestCompartments.h"
#include "bridge/rest/RestFields.h"
#include "bridge/rest/RestPaths.h"
#include "bridge/rest/RestResources.h"

namespace OracleCloudSDKCppBridge {
namespace {

std::string VolumesPath(bool boot) { return boot ? kBootVolumes : kVolumes; }
std::string BackupsPath(bool boot) { return boot ? kBootVolumeBackups : kVolumeBackups; }
std::string AttachmentPath(const std::string& id) { return ItemPath(kVolumeAttachments, id); }

// Attaches and returns the attachment once it is ATTACHED. A full instance is the service's
// LimitExceeded, which also sets noFreeSlot.
json Attach(CRestApi& api, const std::string& volumeId, const std::string& instanceId, std::string type,
            bool& noFreeSlot) {
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  json made;
  try {
    made = api.Post(ERestService::Core, kVolumeAttachments,
                    {{"type", type}, {"instanceId", instanceId}, {"volumeId", volumeId}});
  } catch (const CRestError& e) {
    if (e.Code() == "LimitExceeded") noFreeSlot = true;
    throw;
  }
  json attached = WaitForState(api, AttachmentPath(TextOf(made, "id")), "ATTACHED", {"ATTACHING"});
  // The target as the service reported it when it took the request, unless that answer had none yet.
  for (const char* field : {"iqn", "ipv4", "port"})
    if (made.contains(field)) attached[field] = made[field];
  return attached;
}

// Ends every live attachment of the listed volumes to the instance and waits until each is DETACHED;
// volumes not attached to it are passed over. The attachments are found in each compartment.
void DetachAll(CRestApi& api, const std::string& tenancy, const std::vector<std::string>& volumeIds,
               const std::string& instanceId) {
  const std::set<std::string> wanted(volumeIds.begin(), volumeIds.end());
  std::vector<std::string> ending;
  for (const std::string& compartment : CompartmentIds(api, tenancy)) {
    SQuery query{{"compartmentId", compartment}, {"instanceId", instanceId}};
    if (volumeIds.size() == 1) query.emplace_back("volumeId", volumeIds.front());
    for (const json& attachment : api.List(ERestService::Core, kVolumeAttachments, query)) {
      const std::string state = TextOf(attachment, "lifecycleState");
      if (!wanted.count(TextOf(attachment, "volumeId")) || state == "DETACHED") continue;
      if (state != "DETACHING") {
        try {
          api.Delete(ERestService::Core, AttachmentPath(TextOf(attachment, "id")));
        } catch (const CRestError& e) {
          if (!e.NotFound()) throw;
        }
      }
      ending.push_back(TextOf(attachment, "id"));
    }
  }
  for (const std::string& id : ending)
    WaitForState(api, AttachmentPath(id), "DETACHED", {"ATTACHED", "DETACHING"}, true);
}

}  // namespace

bool CRestBridge::CreateVolumeSnapshot(const string& volumeId, const string& description, const string& name,
                                       string& snapshotId) {
  return Run("CreateVolumeSnapshot", [&](CRestApi& api) {
    const bool boot = IsBootVolumeId(volumeId);
    json tags = CreateTags();
    if (!description.empty()) tags[kDescriptionTag] = description;
    json body = {{boot ? "bootVolumeId" : "volumeId", volumeId}, {"type", "FULL"}, {"freeformTags", tags}};
    if (!name.empty()) body["displayName"] = name;
    snapshotId = TextOf(api.Post(ERestService::Core, BackupsPath(boot), body), "id");
    return true;
  });
}

bool CRestBridge::GetSnapshotStatus(const string& snapshotId, string& state) {
  return Run("GetSnapshotStatus", [&](CRestApi& api) {
    state = TextOf(api.Get(ERestService::Core, BackupPath(snapshotId)), "lifecycleState");
    return true;
  });
}

bool CRestBridge::DeleteVolumeSnapshot(const string& snapshotId) {
  return Run("DeleteVolumeSnapshot", [&](CRestApi& api) {
    api.Delete(ERestService::Core, BackupPath(snapshotId));
    return true;
  });
}

bool CRestBridge::CreateVolumeFromSnapshot(const string& snapshotId, const string& name, string& volumeId) {
  return Run("CreateVolumeFromSnapshot", [&](CRestApi& api) {
    const bool boot = IsBootVolumeBackupId(snapshotId);
    const json backup = api.Get(ERestService::Core, BackupPath(snapshotId));
    // A backup belongs to the region: the new volume goes to the domain of the volume it was taken of.
    const std::string sourceId = TextOf(backup, boot ? "bootVolumeId" : "volumeId");
    const json source = GetLive(api, ItemPath(boot ? kBootVolumes : kVolumes, sourceId));
    if (source.is_null())
      throw std::runtime_error("the volume [" + sourceId + "] that backup [" + snapshotId +
                               "] was taken of is gone, and with it the availability domain for the new volume");
    json body = {{"compartmentId", TextOf(backup, "compartmentId")},
                 {"availabilityDomain", TextOf(source, "availabilityDomain")},
                 {"sourceDetails", {{"type", boot ? "bootVolumeBackup" : "volumeBackup"}, {"id", snapshotId}}},
                 {"freeformTags", CreateTags()}};
    if (!name.empty()) body["displayName"] = name;
    volumeId = TextOf(api.Post(ERestService::Core, VolumesPath(boot), body), "id");
    return true;
  });
}

bool CRestBridge::GetVolumeStatus(const string& volumeId, string& state) {
  return Run("GetVolumeStatus", [&](CRestApi& api) {
    state = TextOf(api.Get(ERestService::Core, VolumePath(volumeId)), "lifecycleState");
    return true;
  });
}

bool CRestBridge::DoesVolumeSnapshotExist(const string& snapshotId, bool& exists) {
  return Run("DoesVolumeSnapshotExist", [&](CRestApi& api) {
    exists = !GetLive(api, BackupPath(snapshotId)).is_null();
    return true;
  });
}

// The API sizes a volume in GB or MB: a size of whole GiB is asked for in GB, any other in MB, rounded
// up to the next whole MiB. The call returns once the volume is AVAILABLE, as a restore attaches it
// right away.
bool CRestBridge::CreateVolume(SDisk& volume, const string& compartmentId) {
  return Run("CreateVolume", [&](CRestApi& api) {
    json tags = CreateTags();
    if (!volume.description.empty()) tags[kDescriptionTag] = volume.description;
    std::string domain = volume.availabilityDomain;
    if (domain.empty()) domain = FirstAvailabilityDomain(api, Tenancy());
    if (domain.empty()) throw std::runtime_error("the tenancy has no availability domain");
    json body = {{"compartmentId", compartmentId},
                 {"availabilityDomain", domain},
                 {"displayName", volume.displayName},
                 {"freeformTags", tags}};
    if (volume.size % uint64_t{kGiB} == 0)
      body["sizeInGBs"] = volume.size / uint64_t{kGiB};
    else
      body["sizeInMBs"] = (volume.size + uint64_t{kMiB} - 1) / uint64_t{kMiB};
    const std::string id = TextOf(api.Post(ERestService::Core, VolumesPath(false), body), "id");
    WaitForState(api, VolumePath(id), "AVAILABLE", {"PROVISIONING", "RESTORING"});
    volume.guid = id;
    volume.volumeId = id;
    return true;
  });
}

bool CRestBridge::AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot) {
  noFreeSlot = false;
  return Run("AttachVolume", [&](CRestApi& api) {
    // The volume the job made for the disk, never the disk's source volume.
    const json attached = Attach(api, disk.createdVolumeId, instanceId, disk.attachmentType, noFreeSlot);
    disk.attachmentId = TextOf(attached, "id");
    disk.iscsiIqn = TextOf(attached, "iqn");
    disk.iscsiTargetPortal = TextOf(attached, "ipv4");
    const json port = attached.value("port", json());
    disk.iscsiTargetPort = port.is_number() ? port.dump() : TextOf(attached, "port");
    return true;
  });
}

bool CRestBridge::AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot) {
  noFreeSlot = false;
  return Run("AttachVolume", [&](CRestApi& api) {
    Attach(api, volumeId, instanceId, "paravirtualized", noFreeSlot);
    return true;
  });
}

bool CRestBridge::DetachVolume(const string& volumeId, const string& instanceId) {
  return Run("DetachVolume", [&](CRestApi& api) {
    DetachAll(api, Tenancy(), {volumeId}, instanceId);
    return true;
  });
}

bool CRestBridge::DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId) {
  return Run("DetachVolumes", [&](CRestApi& api) {
    DetachAll(api, Tenancy(), volumeIds, instanceId);
    return true;
  });
}

bool CRestBridge::DeleteVolume(const string& volumeId) {
  return Run("DeleteVolume", [&](CRestApi& api) {
    api.Delete(ERestService::Core, VolumePath(volumeId));
    return true;
  });
}

bool CRestBridge::DoesVolumeExist(const string& volumeId, bool& exists) {
  return Run("DoesVolumeExist", [&](CRestApi& api) {
    exists = !GetLive(api, VolumePath(volumeId)).is_null();
    return true;
  });
}

// A volume or boot volume of that display name in the compartment, or in any when none is named.
bool CRestBridge::DoesVolumeExist(const string& displayName, const string& compartmentId) {
  return Run("DoesVolumeExist", [&](CRestApi& api) {
    const std::vector<std::string> compartments =
        compartmentId.empty() ? CompartmentIds(api, Tenancy()) : std::vector<std::string>{compartmentId};
    for (const std::string& compartment : compartments) {
      for (bool boot : {false, true}) {
        SQuery query{{"compartmentId", compartment}};
        if (!boot) query.emplace_back("displayName", displayName);  // boot volumes are not listed by name
        for (const json& volume : api.List(ERestService::Core, VolumesPath(boot), query))
          if (TextOf(volume, "displayName") == displayName && TextOf(volume, "lifecycleState") != "TERMINATED")
            return true;
      }
    }
    return false;
  });
}

// On this cloud a volume is bootable by its kind: a boot volume is, a block volume is not and no update
// makes it one. So the nearest honest form is to confirm a boot volume (GET) and refuse a block volume.
bool CRestBridge::MakeVolumeBootable(const string& volumeId) {
  return Run("MakeVolumeBootable", [&](CRestApi& api) {
    api.Get(ERestService::Core, VolumePath(volumeId));
    if (!IsBootVolumeId(volumeId))
      throw std::runtime_error("[" + volumeId +
                               "] is a block volume: instances launch only from boot volumes, "
                               "and no update of the API makes a block volume one");
    return true;
  });
}

// The description is the freeform tag kDescriptionTag: the volume is updated (PUT) with its freeform
// tags without it; an update replaces them all.
bool CRestBridge::ClearDescriptionForVolume(const string& volumeId) {
  return Run("ClearDescriptionForVolume", [&](CRestApi& api) {
    json tags = api.Get(ERestService::Core, VolumePath(volumeId)).value("freeformTags", json::object());
    if (tags.erase(kDescriptionTag) == 0) return true;
    api.Put(ERestService::Core, VolumePath(volumeId), {{"freeformTags", tags}});
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
