// Volumes of a classic job on the proxy: attached directly through the cloud and found by the disk
// mapper, detached in one request, deleted one by one; each step kept in step with the registry.
#include "classic/OracleCloudClassicInfo.h"
#include "plugin/DiskMapperBracket.h"

using namespace VMInfoStructs;

namespace {
// What the cloud allows on one classic instance; the proxy's boot volume takes one of them.
constexpr unsigned long kProxyAttachmentSlots = 10;
}  // namespace

bool COracleCloudClassicInfo::AttachVolumes(const string& rootName, std::vector<SDisk>& disks, bool makeWritable,
                                            bool bringOffline) {
  for (auto& disk : disks) {
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.selectedForRestore != 1) continue;
    if (disk.isFiltered) {
      EVDEBUG(evDebug, "Skipping attaching volume for filtered volume [%s]", disk.displayName.c_str());
      continue;
    }
    if (disk.targetVolume.empty()) {
      EVERROR(evDebug, "Cannot attach volume [%s] , it has no new volume name", disk.displayName.c_str());
      continue;
    }
    // Volumes attached before a failing one stay attached and registered for the clean-up.
    if (!AttachVolume(disk)) return false;
    if (!cleaner.RegisterDisk(cleanerMode, rootName, disk.targetVolume))
      EVERROR(evDebug, "Failed to register volume [%s]", disk.targetVolume.c_str());
    if (bringOffline) diskMapper->BringDiskOffline(disk.name);
    if (makeWritable) diskMapper->MakeDiskWriteable(disk.name);
  }
  return true;
}

bool COracleCloudClassicInfo::AttachVolume(SDisk& disk) {
  CAttachBracket bracket(*diskMapper, disk.targetVolume);
  if (!bracket.IsOpen()) {
    EVERROR(evDebug, "Pre attach disk operations failed.");
    SetLastVMErrorDetails("The proxy's disk mapper could not begin the attach of volume [" + disk.targetVolume + "]");
    SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
    return false;
  }
  string proxyId;
  {
    TzAutoLock guard(proxyLock);
    proxyId = proxyVMInfo.guid;
  }
  EVDEBUG(evDebug, "Attaching volume [%s] to instance [%s] ", disk.targetVolume.c_str(), proxyId.c_str());
  bool noFreeSlot = false;
  if (!bridge->AttachVolume(disk.targetVolume, proxyId, noFreeSlot)) {
    if (noFreeSlot)
      EVERROR(evDebug, "[%s] volume cannot be attached to Proxy as it already has reached the max limt of [%lu]",
              disk.targetVolume.c_str(), kProxyAttachmentSlots);
    else
      EVERROR(evDebug, "Attaching volume [%s] failed", disk.targetVolume.c_str());
    return ReportBridgeFailure(noFreeSlot ? VMERR_NO_FREE_ATTACH_SLOT : VMERR_VOLUME_ATTACH_FAILED);
  }
  if (!bracket.FindDevice(disk.name, disk.size) || disk.name.empty()) {
    EVERROR(evDebug, "Post attach disk operation failed.");
    SetLastVMErrorDetails("No device of the proxy could be found for volume [" + disk.targetVolume + "]");
    SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
    return false;
  }
  return true;
}

namespace {
// The volumes a detach or delete handles, in order: selected, not filtered, with a volume id.
std::vector<string> VolumesToHandle(const std::vector<SDisk>& disks, CPluginLog& log) {
  std::vector<string> ids;
  for (const auto& disk : disks) {
    if (disk.selectedForRestore != 1) continue;
    if (disk.isFiltered)
      EVERROR(log, "Skipping unmount for  filtered volume [%s] ", disk.displayName.c_str());
    else if (disk.targetVolume.empty())
      EVERROR(log, "Cannot unmount volume [%s] , it doesn't have a new attached volume URI ", disk.displayName.c_str());
    else
      ids.push_back(disk.targetVolume);
  }
  return ids;
}
}  // namespace

bool COracleCloudClassicInfo::DetachVolumes(const std::vector<SDisk>& disks) {
  const std::vector<string> ids = VolumesToHandle(disks, evDebug);
  if (ids.empty()) return true;
  // The mapper's bracket is closed on every road out, a failed request included.
  CDetachBracket bracket(*diskMapper, "");
  if (!bracket.IsOpen()) {
    EVERROR(evDebug, "Pre detach disk operations failed.");
    SetLastVMErrorDetails("The proxy's disk mapper could not begin the detach of the job's volumes");
    SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
    return false;
  }
  string proxyId, proxyUri;
  {
    TzAutoLock guard(proxyLock);
    proxyId = proxyVMInfo.guid;
    proxyUri = proxyVMInfo.uri;
  }
  EVDEBUGLVL(evDebug, 2, "Detaching [%d] volumes concurrently", static_cast<int>(ids.size()));
  if (!bridge->DetachVolumes(ids, proxyUri)) {
    EVERROR(evDebug, "Failed to detach volumes from instance [%s]", proxyId.c_str());
    return ReportBridgeFailure(VMERR_VOLUME_ATTACH_FAILED);
  }
  bracket.Close();
  EVDEBUG(evDebug, "Successfully detached [%d] volumes ", static_cast<int>(ids.size()));
  return true;
}

bool COracleCloudClassicInfo::DetachVolumes(std::vector<SDisk>& disks) {
  return DetachVolumes(static_cast<const std::vector<SDisk>&>(disks));
}

bool COracleCloudClassicInfo::DeleteVolumes(const std::vector<SDisk>& disks, const string& cleanerPath) {
  bool result = true;
  for (const string& id : VolumesToHandle(disks, evDebug)) {
    bool exists = true;
    if (!bridge->DoesVolumeExist(id, exists)) {
      EVERROR(evDebug, "Failed to delete volume [%s]", id.c_str());
      ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
      result = false;
      continue;
    }
    if (exists) {
      EVDEBUGLVL(evDebug, 2, "Deleting [%s] volume", id.c_str());
      if (!bridge->DeleteVolume(id)) {
        EVERROR(evDebug, "Failed to delete volume [%s]", id.c_str());
        ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
        result = false;
        continue;
      }
      EVDEBUG(evDebug, "Successfully deleted volume [%s] ", id.c_str());
    } else {
      EVDEBUG(evDebug, "Volume [%s] is already gone", id.c_str());
    }
    if (!cleaner.UnRegisterDisk(cleanerPath, id)) EVERROR(evDebug, "Failed to unregister volume [%s]", id.c_str());
  }
  return result;
}

bool COracleCloudClassicInfo::CleanupMountedVolumes(const string& cleanerPath) {
  std::vector<SDisk> disks;
  cleaner.GetRegisteredDisks(cleanerPath, disks);
  if (disks.empty()) return true;
  return DetachVolumes(disks) && DeleteVolumes(disks, cleanerPath);
}
