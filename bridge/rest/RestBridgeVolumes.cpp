// The REST backend's volumes, boot volumes, their backups and attachments. A snapshot of a volume is
// a volume backup, of a boot volume a boot volume backup; which one an id names is read from its OCID,
// as any client of the API does. A description (which the API does not keep) travels as the freeform
// tag kDescriptionTag (bridge/rest/BlockStorageApi.h).
#include <algorithm>
#include <cctype>
#include <set>
#include <stdexcept>

#include "bridge/rest/BlockStorageApi.h"
#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestResources.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;
constexpr const char* kAttachments = "/20160918/volumeAttachments";

std::string VolumesPath(bool boot) { return boot ? "/20160918/bootVolumes" : "/20160918/volumes"; }
std::string VolumePath(const std::string& id) { return VolumesPath(IsBootVolumeId(id)) + "/" + UrlEncode(id); }
std::string BackupsPath(bool boot) { return boot ? "/20160918/bootVolumeBackups" : "/20160918/volumeBackups"; }
std::string BackupPath(const std::string& id) { return BackupsPath(IsBootVolumeBackupId(id)) + "/" + UrlEncode(id); }
std::string AttachmentPath(const std::string& id) { return std::string(kAttachments) + "/" + UrlEncode(id); }

std::string Text(const json& resource, const char* field) {
  if (!resource.contains(field) || resource[field].is_null()) return "";
  return resource[field].is_string() ? resource[field].get<std::string>() : resource[field].dump();
}

// The first availability domain of the tenancy, where a volume asked for without one goes.
std::string FirstAvailabilityDomain(CRestApi& api, const std::string& tenancy) {
  std::vector<std::string> names;
  for (const json& domain : api.List(ERestService::Identity, "/20160918/availabilityDomains", {{"compartmentId", tenancy}}))
    names.push_back(Text(domain, "name"));
  if (names.empty()) throw std::runtime_error("the tenancy has no availability domain");
  return *std::min_element(names.begin(), names.end());
}

// Attaches and returns the attachment once it is ATTACHED. A full instance is the service's
// LimitExceeded, which also sets noFreeSlot.
json Attach(CRestApi& api, const std::string& volumeId, const std::string& instanceId, std::string type,
            bool& noFreeSlot) {
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  json made;
  try {
    made = api.Post(ERestService::Core, kAttachments, {{"type", type}, {"instanceId", instanceId}, {"volumeId", volumeId}});
  } catch (const CRestError& e) {
    if (e.Code() == "LimitExceeded") noFreeSlot = true;
    throw;
  }
  json attached = WaitForState(api, AttachmentPath(Text(made, "id")), "ATTACHED", {"ATTACHING"});
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
  for (const std::string& compartment : AllCompartments(api, tenancy)) {
    SQuery query{{"compartmentId", compartment}, {"instanceId", instanceId}};
    if (volumeIds.size() == 1) query.emplace_back("volumeId", volumeIds.front());
    for (const json& attachment : api.List(ERestService::Core, kAttachments, query)) {
      const std::string state = Text(attachment, "lifecycleState");
      if (!wanted.count(Text(attachment, "volumeId")) || state == "DETACHED") continue;
      if (state != "DETACHING") {
        try {
          api.Delete(ERestService::Core, AttachmentPath(Text(attachment, "id")));
        } catch (const CRestError& e) {
          if (!e.NotFound()) throw;
        }
      }
      ending.push_back(Text(attachment, "id"));
    }
  }
  for (const std::string& id : ending) WaitForState(api, AttachmentPath(id), "DETACHED", {"ATTACHED", "DETACHING"}, true);
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
    snapshotId = Text(api.Post(ERestService::Core, BackupsPath(boot), body), "id");
    return true;
  });
}

bool CRestBridge::GetSnapshotStatus(const string& snapshotId, string& state) {
  return Run("GetSnapshotStatus", [&](CRestApi& api) {
    state = Text(api.Get(ERestService::Core, BackupPath(snapshotId)), "lifecycleState");
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
    const std::string sourceId = Text(backup, boot ? "bootVolumeId" : "volumeId");
    const json source = GetLive(api, VolumesPath(boot) + "/" + UrlEncode(sourceId));
    if (source.is_null())
      throw std::runtime_error("the volume [" + sourceId + "] that backup [" + snapshotId +
                               "] was taken of is gone, and with it the availability domain for the new volume");
    json body = {{"compartmentId", Text(backup, "compartmentId")},
                 {"availabilityDomain", Text(source, "availabilityDomain")},
                 {"sourceDetails", {{"type", boot ? "bootVolumeBackup" : "volumeBackup"}, {"id", snapshotId}}},
                 {"freeformTags", CreateTags()}};
    if (!name.empty()) body["displayName"] = name;
    volumeId = Text(api.Post(ERestService::Core, VolumesPath(boot), body), "id");
    return true;
  });
}

bool CRestBridge::GetVolumeStatus(const string& volumeId, string& state) {
  return Run("GetVolumeStatus", [&](CRestApi& api) {
    state = Text(api.Get(ERestService::Core, VolumePath(volumeId)), "lifecycleState");
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
    json body = {{"compartmentId", compartmentId},
                 {"availabilityDomain", volume.availabilityDomain.empty() ? FirstAvailabilityDomain(api, Tenancy())
                                                                          : volume.availabilityDomain},
                 {"displayName", volume.displayName},
                 {"freeformTags", tags}};
    if (volume.size % kGiB == 0) body["sizeInGBs"] = volume.size / kGiB;
    else body["sizeInMBs"] = (volume.size + kMiB - 1) / kMiB;
    const std::string id = Text(api.Post(ERestService::Core, VolumesPath(false), body), "id");
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
    disk.attachmentId = Text(attached, "id");
    disk.iscsiIqn = Text(attached, "iqn");
    disk.iscsiTargetPortal = Text(attached, "ipv4");
    disk.iscsiTargetPort = Text(attached, "port");
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
        compartmentId.empty() ? AllCompartments(api, Tenancy()) : std::vector<std::string>{compartmentId};
    for (const std::string& compartment : compartments) {
      for (bool boot : {false, true}) {
        SQuery query{{"compartmentId", compartment}};
        if (!boot) query.emplace_back("displayName", displayName);  // boot volumes are not listed by name
        for (const json& volume : api.List(ERestService::Core, VolumesPath(boot), query))
          if (Text(volume, "displayName") == displayName && Text(volume, "lifecycleState") != "TERMINATED") return true;
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
      throw std::runtime_error("[" + volumeId + "] is a block volume: instances launch only from boot volumes, "
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
