// Removal of what a job registered, kind by kind: iSCSI sessions, then volumes (detached, then
// deleted); images and object-storage objects of a restore.
#include "host/FXString.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "plugin/DiskMapperBracket.h"
#include "util/IscsiUtils.h"

using namespace VMInfoStructs;

bool COracleCloudInfrastructureInfo::CleanupRestoreImages(const string& cleanerPath) {
  bool ok = true;
  if (!CleanupImages(cleanerPath)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup images");
    ok = false;
  }
  if (!CleanupVmdkObjects(cleanerPath)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup objects");
    ok = false;
  }
  return ok;
}

bool COracleCloudInfrastructureInfo::CleanupMountedVolumes(const string& cleanerPath) {
  // A volume under a session that would not log out stays attached: a detach would cut the session
  // under the proxy. Both stay registered, and the next job's sweep tries again.
  if (!CleanupIscsiSessions(cleanerPath)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup iSCSI sessions; the volumes stay attached");
    return false;
  }
  std::vector<SDisk> disks;
  cleaner.GetRegisteredDisks(cleanerPath, disks);
  return DetachAndDeleteVolumes(disks, cleanerPath);
}

bool COracleCloudInfrastructureInfo::CleanupIscsiSessions(const string& cleanerPath) {
  std::vector<string> sessions;
  cleaner.GetRegisteredIscsiSessions(cleanerPath, sessions);
  CDetachBracket bracket(*diskMapper, "");
  if (!bracket.IsOpen()) {
    EVERROR(evDebug, "DiskMapper PreDetach failed ");
    return false;
  }
  bool ok = true;
  for (const auto& cleanupString : sessions) {
    EVDEBUG(evDebug, "Cleaning up iSCSI session, cleanupString:[%s]", cleanupString.c_str());
    if (!IscsiUtils::iscsiDetach(cleanupString)) {
      EVERROR(evDebug, "Error while disconnecting the iSCSI session:[%s]", cleanupString.c_str());
      // An entry that names no session iscsiadm could log out is dropped: no later job could either.
      IscsiAttachment session;
      string reason;
      if (IscsiUtils::parseSessionCleanupString(cleanupString, session) &&
          IscsiUtils::isSafeAttachment(session, reason)) {
        SetLastVMErrorDetails(FXString::Format(
            "The iSCSI session [%s] would not log out; it stays registered, and its volume attached, for the next job",
            cleanupString.c_str()));
        SetLastVMError(VMERR_VOLUME_ATTACH_FAILED);
        ok = false;
        continue;
      }
    }
    if (!cleaner.UnRegisterIsciSession(cleanerPath, cleanupString))
      EVERROR(evDebug, "Failed to unregister iSCSI session:[%s]", cleanupString.c_str());
  }
  if (!bracket.Close()) EVERROR(evDebug, "DiskMapper PostDetatch failed ");
  return ok;
}

bool COracleCloudInfrastructureInfo::CleanupImages(const string& cleanerPath) {
  std::vector<string> ids;
  cleaner.GetRegisteredImages(cleanerPath, ids);
  for (const auto& id : ids) {
    // An image already gone (its deletion went through before a job died) only leaves its entry.
    bool exists = true;
    if (!bridge->DoesImageExist(id, exists) || (exists && !bridge->DeleteImage(id))) {
      EVERROR(evDebug, "Error while deleting image:[%s]", id.c_str());
      continue;
    }
    if (!cleaner.UnRegisterImage(cleanerPath, id)) EVERROR(evDebug, "Failed to unregister image:[%s]", id.c_str());
  }
  return true;
}

bool COracleCloudInfrastructureInfo::CleanupVmdkObjects(const string& cleanerPath) {
  std::vector<string> keys;
  cleaner.GetRegisteredVmdkObjects(cleanerPath, keys);
  for (const auto& key : keys) {
    string bucket, object;
    if (!COracleCloudCleaner::parseVmdkObjectId(key, bucket, object)) {
      EVERROR(evDebug, "Failed to parse the object ID:[%s]", key.c_str());
      continue;
    }
    EVDEBUGLVL(evDebug, 3, "Parsed O/P: bucketName:[%s], objectName:[%s]", bucket.c_str(), object.c_str());
    // Objects are registered before their upload: one that never arrived, or is gone, only leaves
    // its entry. One still in the bucket keeps its entry for the next sweep.
    bool exists = true;
    if (!bridge->DoesStorageObjectExist(bucket, object, exists) ||
        (exists && !bridge->DeleteStorageObject(bucket, object))) {
      EVERROR(evDebug, "Error while deleting object:[%s]", key.c_str());
      continue;
    }
    if (!cleaner.UnRegisterVmdkObject(cleanerPath, key))
      EVERROR(evDebug, "Failed to unregister object:[%s]", key.c_str());
  }
  return true;
}
