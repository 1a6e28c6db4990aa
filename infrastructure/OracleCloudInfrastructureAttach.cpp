// Attaching the job's volumes to the proxy (over iSCSI), detaching and deleting them, each step kept
// in step with the cleaner registry.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "plugin/DiskMapperBracket.h"
#include "util/IscsiUtils.h"
#include "util/OracleCloudInfoUtils.h"

using namespace VMInfoStructs;

namespace {
const char* const kConfigSection = "VirtualServer";
// Beside the disk mapper's lock: one batch attach at a time on the proxy, whatever the process.
const char* const kBatchAttachLockFile = "run/lock/tz-oci-batch-attach.lock";
constexpr uint64_t kBatchAttachLockPollMs = 1000;
constexpr uint64_t kSlotWaitCancelPollMs = 1000;
}  // namespace

string COracleCloudInfrastructureInfo::_GetVolumeAttachmentTypeToProxy() { return "iscsi"; }

bool COracleCloudInfrastructureInfo::IsVolumeToHandle(const SDisk& disk, const SVolumeStepTexts& texts,
                                                      const char* tag) {
  if (disk.selectedForRestore != 1) return false;
  if (disk.isFiltered) {
    if (texts.filteredIsError)
      evDebug.Error(tag, texts.filtered, disk.displayName.c_str());
    else
      evDebug.Debug(tag, texts.filtered, disk.displayName.c_str());
    return false;
  }
  if (disk.createdVolumeId.empty()) {
    evDebug.Error(tag, texts.noCreatedVolume,
                  (texts.noCreatedVolumeNamesTarget ? disk.targetVolume : disk.displayName).c_str());
    return false;
  }
  return true;
}

bool COracleCloudInfrastructureInfo::LogoutBeforeDetach(const SDisk& disk, const string& cleanerPath, const char* tag) {
  if (disk.iscsiSessionId.empty()) return true;
  evDebug.Debug(tag, "Iscsi attached disk found, trying to detach");
  if (iscsiDetach(disk, cleanerPath)) return true;
  evDebug.Error(tag, "Iscsi detach failed for disk, [%s]", disk.targetVolume.c_str());
  return false;
}

bool COracleCloudInfrastructureInfo::AttachVolumes(const string& rootName, std::vector<SDisk>& disks, bool makeWritable,
                                                   bool bringOffline) {
  const string type = _GetVolumeAttachmentTypeToProxy();
  static const SVolumeStepTexts kTexts = {"Skipping attaching volume for filtered volume [%s]", false,
                                          "Cannot attach volume [%s] , it has no created disk ID", false};
  // A batch waits for free slots like a single disk does, and one job at a time attaches a batch:
  // two jobs each holding part of their volumes while waiting for the other's slots would wait
  // forever. Jobs past their batch give their slots back as they finish.
  CFileLock batch;
  if (!AcquireBatchAttachLock(batch)) return false;
  for (auto& disk : disks) {
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (!IsVolumeToHandle(disk, kTexts, __PRETTY_FUNCTION__)) continue;
    disk.attachmentType = type;
    if (!AttachVolumeToProxyWithSlotWait(disk, rootName, makeWritable, bringOffline)) return false;
    if (!cleaner.RegisterDisk(cleanerMode, rootName, disk.createdVolumeId))
      EVERROR(evDebug, "Failed to register volume [%s][%s]", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
  }
  return true;
}

bool COracleCloudInfrastructureInfo::AttachVolumeToProxy(SDisk& disk, const string& instanceId, bool makeWritable,
                                                         bool bringOffline, bool& noFreeSlot) {
  // An iSCSI device is told by its by-path name, which carries its target: no lock is held across
  // the cloud's attach or the login, however long they take. Only another kind of attachment
  // (never asked for by this flavour itself) needs the mapper's bracket around the cloud's attach.
  std::optional<CAttachBracket> bracket;
  if (disk.attachmentType != _GetVolumeAttachmentTypeToProxy()) {
    bracket.emplace(*diskMapper, disk.createdVolumeId);
    if (!bracket->IsOpen()) {
      EVERROR(evDebug, "Pre attach disk operations failed.");
      SetLastVMError(IsJobCancelled() ? VMERR_JOB_CANCELLED : VMERR_VOLUME_ATTACH_FAILED);
      SetLastVMErrorDetails("The proxy's disk mapper could not begin the attach of volume [" + disk.createdVolumeId +
                            "]");
      return false;
    }
  }
  const string proxyId = ProxyRecord().guid;
  EVDEBUG(evDebug, "Attaching volume [%s] to instance [%s] ", disk.targetVolume.c_str(), proxyId.c_str());
  if (!bridge->AttachVolume(disk, proxyId, noFreeSlot)) {
    EVERROR(evDebug, "Attaching volume [%s] failed", disk.targetVolume.c_str());
    ReportBridgeFailure(noFreeSlot ? VMERR_NO_FREE_ATTACH_SLOT : VMERR_VOLUME_ATTACH_FAILED);
    return false;
  }
  bool found = false;
  if (disk.iscsiIqn.empty()) {
    found = bracket && bracket->FindDevice(disk.name, disk.size);
  } else {
    EVDEBUG(evDebug, "The volume attachment type is iSCSI, attempting iscsi attach. iqn: [%s], portal [%s].",
            disk.iscsiIqn.c_str(), disk.iscsiTargetPortal.c_str());
    string sessionId;
    const bool loggedIn = iscsiAttach(disk, instanceId, sessionId);
    disk.iscsiSessionId = sessionId;
    EVDEBUG(evDebug, "Created iSCSI session. SessionID: %s", disk.iscsiSessionId.c_str());
    if (!loggedIn) {
      EVERROR(evDebug, "iSCSI attach failed");
      // A login stopped because the job was cancelled reports the cancellation.
      SetLastVMError(IsJobCancelled() ? VMERR_JOB_CANCELLED : VMERR_VOLUME_ATTACH_FAILED);
      return false;
    }
    found =
        diskMapper->FindIscsiDevice(disk.iscsiTargetPortal, disk.iscsiTargetPort, disk.iscsiIqn, disk.name, disk.size);
  }
  if (!found || disk.name.empty()) {
    EVERROR(evDebug, "Post attach disk operation failed.");
    SetLastVMError(IsJobCancelled() ? VMERR_JOB_CANCELLED : VMERR_VOLUME_ATTACH_FAILED);
    return false;
  }
  if (bringOffline) diskMapper->BringDiskOffline(disk.name);
  if (makeWritable) diskMapper->MakeDiskWriteable(disk.name);
  return true;
}

bool COracleCloudInfrastructureInfo::AcquireBatchAttachLock(CFileLock& lock) {
  const string path = HostEnvironment::UnderRoot(kBatchAttachLockFile);
  CWqDirectory::Create(FXPath::GetParent(path));  // a folder that cannot be made shows in the lock's failure
  while (!lock.TryAcquire(path)) {
    if (errno != EWOULDBLOCK) {
      const string text = "Cannot lock [" + path + "]: " + ErrnoText(errno);
      EVERROR(evDebug, "%s", text.c_str());
      SetLastVMErrorDetails(text);
      SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
      return false;
    }
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    HostClock::Sleep(kBatchAttachLockPollMs);
  }
  return true;
}

bool COracleCloudInfrastructureInfo::AttachVolumeToProxyWithSlotWait(SDisk& disk, const string& instanceId,
                                                                     bool makeWritable, bool bringOffline) {
  uint32_t intervalMinutes = 10, maximumMinutes = 1440;
  if (TZPlatformInfo::getNumber(kConfigSection, "nOCIDiskSlotWaitIntervalInMinutes", &intervalMinutes))
    EVDEBUG(evDebug, "Using disk slot wait interval from registry: [%u]", intervalMinutes);
  if (TZPlatformInfo::getNumber(kConfigSection, "nOCIDiskSlotMaximumWaitTimeInMinutes", &maximumMinutes))
    EVDEBUG(evDebug, "Using disk slot maximum wait time from registry: [%u]", maximumMinutes);

  const INT64 start = HostClock::Now();
  while (true) {
    if (IsJobCancelled()) {
      EVDEBUG(evDebug, "Detected quit flag during attach disk [%s][%s]", disk.displayName.c_str(),
              disk.createdVolumeId.c_str());
      SetLastVMError(VMERR_JOB_CANCELLED);
      return false;
    }
    bool noFreeSlot = false;
    if (AttachVolumeToProxy(disk, instanceId, makeWritable, bringOffline, noFreeSlot)) {
      EVDEBUG(evDebug, "Successfully attached disk [%s] to proxy", disk.createdVolumeId.c_str());
      return true;
    }
    if (!noFreeSlot) {
      EVDEBUG(evDebug, "Failed to attach disk [%s] to proxy", disk.createdVolumeId.c_str());
      return false;
    }
    if (HostClock::Now() - start > static_cast<INT64>(maximumMinutes) * 60) {
      EVERROR(evDebug, "Reached timeout waiting for free slots to attach disk [%s] to proxy",
              disk.createdVolumeId.c_str());
      return false;
    }
    EVDEBUG(evDebug,
            "No free slots are available on the proxy for attachment of volume [%s]. Will retry after [%u] minutes.",
            disk.createdVolumeId.c_str(), intervalMinutes);
    // The pause looks at the cancel flag every second; the loop's head reports the cancel.
    for (uint64_t left = static_cast<uint64_t>(intervalMinutes) * 60000; left > 0 && !IsJobCancelled();) {
      const uint64_t step = std::min<uint64_t>(left, kSlotWaitCancelPollMs);
      HostClock::Sleep(step);
      left -= step;
    }
  }
}

bool COracleCloudInfrastructureInfo::DetachVolumes(std::vector<SDisk>& disks, const string& cleanerPath) {
  CDetachBracket bracket(*diskMapper, "");
  if (!bracket.IsOpen()) {
    EVERROR(evDebug, "DiskMapper PreDetach failed ");
    return false;
  }
  static const SVolumeStepTexts kTexts = {"Skipping unmount for  filtered volume [%s] ", true,
                                          "Cannot unmount volume [%s] ,  created disk ID is empty.", false};
  bool result = true;
  std::vector<string> ids;
  for (auto& disk : disks) {
    if (!IsVolumeToHandle(disk, kTexts, __PRETTY_FUNCTION__)) continue;
    if (!LogoutBeforeDetach(disk, cleanerPath, __PRETTY_FUNCTION__)) {
      result = false;
      break;  // the volumes collected so far are still detached
    }
    disk.iscsiSessionId.clear();
    ids.push_back(disk.createdVolumeId);
  }
  if (!ids.empty()) {
    EVDEBUGLVL(evDebug, 2, "Detaching [%d] volumes concurrently", static_cast<int>(ids.size()));
    const string proxyId = ProxyRecord().guid;
    if (!bridge->DetachVolumes(ids, proxyId)) {
      EVERROR(evDebug, "Failed to detach volumes from instance [%s]", proxyId.c_str());
      result = false;
    } else {
      EVDEBUG(evDebug, "Successfully detached [%d] volumes ", static_cast<int>(ids.size()));
    }
  }
  bracket.Close();
  return result;
}

bool COracleCloudInfrastructureInfo::DetachVolumeFromProxy(SDisk& disk, const string& instanceId) {
  string cleanerPath;
  if (!cleaner.GetRegisteredVM(cleanerMode, instanceId, cleanerPath)) {
    EVERROR(evDebug, "Failed to get the cleanerpath for id [%s]", instanceId.c_str());
    return false;
  }
  if (disk.createdVolumeId.empty()) {
    EVERROR(evDebug, "Skipping unmount for volume [%s]. Created disk ID is empty.", disk.displayName.c_str());
    return true;
  }
  CDetachBracket bracket(*diskMapper, "");
  if (!bracket.IsOpen()) {
    EVERROR(evDebug, "DiskMapper PreDetach failed ");
    return false;
  }
  // A volume whose session would not log out stays attached and registered: a detach would cut the
  // live session under the proxy. The clean-up of the job logs it out first, then detaches it.
  if (!LogoutBeforeDetach(disk, cleanerPath, __PRETTY_FUNCTION__)) return false;
  disk.iscsiSessionId.clear();
  const string proxyId = ProxyRecord().guid;
  if (!bridge->DetachVolume(disk.createdVolumeId, proxyId)) {
    EVERROR(evDebug, "Failed to detach volume [%s] from instance [%s]", disk.createdVolumeId.c_str(), proxyId.c_str());
    return false;
  }
  EVDEBUG(evDebug, "Successfully detached volume [%s] ", disk.createdVolumeId.c_str());
  return bracket.Close();
}

bool COracleCloudInfrastructureInfo::DeleteVolumes(const std::vector<SDisk>& disks, const string& cleanerPath) {
  bool result = true;
  static const SVolumeStepTexts kTexts = {"Skipping filtered volume [%s] ", true,
                                          "Cannot delete volume [%s] , Disk ID is empty", true};
  for (const auto& disk : disks) {
    if (!IsVolumeToHandle(disk, kTexts, __PRETTY_FUNCTION__)) continue;
    bool exists = true;
    if (!bridge->DoesVolumeExist(disk.createdVolumeId, exists))
      EVERROR(evDebug, "Error while checking if the disk exists");
    if (exists) {
      EVDEBUGLVL(evDebug, 3, "Deleting [%s][%s] volume", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
      if (!bridge->DeleteVolume(disk.createdVolumeId)) {
        EVERROR(evDebug, "Failed to delete volume [%s][%s]", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
        result = false;
        continue;
      }
      EVDEBUG(evDebug, "Successfully deleted volume [%s][%s] ", disk.targetVolume.c_str(),
              disk.createdVolumeId.c_str());
    }
    if (!cleaner.UnRegisterDisk(cleanerPath, disk.createdVolumeId))
      EVDEBUG(evDebug, "Failed to unregister volume [%s]", disk.targetVolume.c_str());
  }
  return result;
}

bool COracleCloudInfrastructureInfo::DetachAndDeleteVolumes(std::vector<SDisk>& disks, const string& cleanerPath) {
  if (disks.empty()) return true;
  bool detached = DetachVolumes(disks, cleanerPath);
  if (!detached) EVERROR(evDebug, "Could not detach volumes from proxy");
  if (!DeleteVolumes(disks, cleanerPath)) {
    EVERROR(evDebug, "Could not delete volumes");
    return false;
  }
  return detached;
}

bool COracleCloudInfrastructureInfo::iscsiAttach(SDisk& disk, const string& instanceId, string& sessionId) {
  IscsiAttachment attachment;
  attachment.targetPortal = disk.iscsiTargetPortal;
  attachment.targetPort = disk.iscsiTargetPort;
  attachment.iqn = disk.iscsiIqn;
  attachment.isBootDisk = disk.isBootDisk;
  // The session is registered before the first command runs: a job killed anywhere in the login
  // leaves an entry from which the sweep logs out and removes the node record.
  const string cleanupString = IscsiUtils::generateSessionCleanupString(attachment);
  if (cleanupString.empty()) {
    EVERROR(evDebug, "Could not form iSCSI cleanup string");
    EVERROR(evDebug, "Failed to connect to iscsi target");
    return false;
  }
  if (!cleaner.RegisterIscsiSession(cleanerMode, instanceId, cleanupString))
    EVERROR(evDebug, "Failed to register iSCSI session to cleaner. cleanupString:[%s],diskName:[%s]",
            cleanupString.c_str(), disk.targetVolume.c_str());
  bool loggedIn = false;
  {
    OracleCloudInfoUtils::CStopCommandsWhen stop([this] { return IsJobCancelled(); });
    loggedIn = IscsiUtils::iscsiAttach(attachment);
  }
  if (!loggedIn) {
    // The entry stays: the job's unmount (or a later sweep) logs out of whatever the failed or
    // stopped login left, and finds nothing when the login removed its node record itself.
    EVERROR(evDebug, "Failed to connect to iscsi target");
    return false;
  }
  sessionId = attachment.sessionId;
  return true;
}

bool COracleCloudInfrastructureInfo::iscsiDetach(const SDisk& disk, const string& cleanerPath) {
  IscsiAttachment attachment;
  attachment.iqn = disk.iscsiIqn;
  attachment.targetPortal = disk.iscsiTargetPortal;
  attachment.targetPort = disk.iscsiTargetPort;
  attachment.sessionId = disk.iscsiSessionId;
  string cleanupString;
  if (!IscsiUtils::iscsiDetach(attachment, cleanupString)) {
    EVERROR(evDebug, "Failed to disconnect from iscsi target");
    return false;
  }
  if (!cleaner.UnRegisterIsciSession(cleanerPath, cleanupString))
    EVERROR(evDebug, "Failed to unregister iSCSI session from cleaner, cleanup:[%s].", cleanupString.c_str());
  return true;
}
