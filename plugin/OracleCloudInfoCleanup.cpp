// The sweep of what earlier, crashed jobs left registered, the resources of creates that were
// recorded but never registered, and the removal of what a restore registered.
#include "plugin/OracleCloudInfo.h"

using OracleCloudSDKCppBridge::EResourceKind;

namespace {
using Cleaner = COracleCloudCleaner;

// Names that only one job's request ever carries (job id, thread and second): a record of an
// earlier version, which has no token, may be looked up by such a name and no other.
bool IsNameOfOneRequest(const string& name) {
  return name.rfind("_QD_BACKUP_", 0) == 0 || name.rfind("_TZ_IMAGE_", 0) == 0;
}
}  // namespace

bool COracleCloudInfo::_CleanupAllVMs() {
  if (!cleaner.IsAllVMCleanupRequired()) return true;
  // Each orphan is taken over (one short transaction) before anything under it is touched, and is
  // then emptied as this job's own root, holding no lock: a job that took it over first keeps it,
  // and no other job can take it over half emptied.
  std::vector<CleanerEntity> orphans;
  if (!cleaner.GetOrphanedRootEntityListByType(cleanerMode, VM_CLEANER_ENTITY_VM, "", orphans)) return true;
  if (!orphans.empty()) EVDEBUGLVL(evDebug, 3, "Cleaning up [%d] VMs", static_cast<int>(orphans.size()));
  int cleaned = 0;
  for (const auto& orphan : orphans) {
    bool ok;
    if (cleanerMode == VM_CLEANER_MODE_BACKUP)
      ok = _CleanupMountedVM(orphan.name);
    else if (cleanerMode == VM_CLEANER_MODE_RESTORE)
      ok = _CleanupRestoreVM(orphan.name);
    else
      continue;
    if (ok)
      ++cleaned;
    else if (!cleaner.ReleaseRoot(orphan.path))  // what is left goes to a later sweep or job
      EVDEBUG(evDebug, "Root [%s] stays this job's until it ends", orphan.name.c_str());
  }
  if (!orphans.empty())
    EVDEBUGLVL(evDebug, 3, "Cleaned up [%d] of [%d] VMs", cleaned, static_cast<int>(orphans.size()));
  cleaner.PostAllVMCleanup();
  return true;
}

bool COracleCloudInfo::CleanupPendingCreates(const string& cleanerPath) {
  std::vector<string> keys;
  cleaner.GetRegisteredPendingCreates(cleanerPath, keys);
  bool result = true;
  for (const auto& key : keys) {
    VM_Cleaner_EntityType kind = VM_CLEANER_ENTITY_VM;
    string token, name;
    INT64 since = 0;
    EResourceKind resource = EResourceKind::Volume;
    std::vector<string> ids;
    bool found = false;
    if (COracleCloudCleaner::ParseTokenPendingCreateKey(key, kind, token, name)) {
      // What this request made carries its token: nothing else can match.
      if (Cleaner::ResourceKindOf(kind, resource)) found = bridge->FindResourcesByToken(resource, token, ids);
    } else if (!COracleCloudCleaner::ParsePendingCreateKey(key, kind, name, since)) {
      kind = VM_CLEANER_ENTITY_PENDING_CREATE;  // not a kind of resource: reported below
    } else if (Cleaner::ResourceKindOf(kind, resource) && !IsNameOfOneRequest(name)) {
      // A record of an earlier version under a name other jobs use too: what it made, if anything,
      // cannot be told from theirs, and is left rather than taken from them.
      EVERROR(evDebug, "Not looking up [%s]: other jobs' resources carry that name too; the record is dropped",
              name.c_str());
      if (!cleaner.UnRegisterPendingCreate(cleanerPath, key))
        EVERROR(evDebug, "Failed to unregister the pending creation [%s]", key.c_str());
      continue;
    } else if (Cleaner::ResourceKindOf(kind, resource)) {
      found = bridge->FindResourcesByName(resource, name, 0, ids);
    }
    if (!Cleaner::ResourceKindOf(kind, resource)) {
      EVERROR(evDebug, "Failed to parse the pending creation [%s]", key.c_str());
      result = false;
      continue;
    }
    if (!found) {
      EVERROR(evDebug, "Failed to look up resources named [%s]: %s", name.c_str(), bridge->GetLastError().c_str());
      result = false;
      continue;
    }
    // One registered meanwhile (the record outlived its registration) is removed by its own kind.
    bool deleted = true;
    for (const auto& id : ids) {
      if (cleaner.IsRegisteredAnywhere(kind, id)) continue;
      EVDEBUG(evDebug, "Deleting [%s] named [%s], created but never registered", id.c_str(), name.c_str());
      bool ok = resource == EResourceKind::VolumeSnapshot ? bridge->DeleteVolumeSnapshot(id)
                : resource == EResourceKind::Volume       ? bridge->DeleteVolume(id)
                : resource == EResourceKind::Image        ? bridge->DeleteImage(id)
                                                          : bridge->DeleteVM("", id, true, false);
      if (!ok) {
        EVERROR(evDebug, "Failed to delete [%s]: %s", id.c_str(), bridge->GetLastError().c_str());
        deleted = false;
      }
    }
    if (!deleted) {
      result = false;
      continue;
    }
    if (!cleaner.UnRegisterPendingCreate(cleanerPath, key))
      EVERROR(evDebug, "Failed to unregister the pending creation [%s]", key.c_str());
  }
  return result;
}

bool COracleCloudInfo::_CleanupRestoreVM(const string& restoreGuid) {
  const bool classic = GetVSInstType() == VSINST_ORACLE_CLOUD_CLASSIC;
  EVDEBUGLVL(evDebug, classic ? 3 : 2, "Cleaning up VM [%s]", restoreGuid.c_str());
  string path;
  if (!cleaner.GetRegisteredVM(cleanerMode, restoreGuid, path)) return true;
  // A result handed over is the user's, also while its hand-over waits in the registry's ledger.
  if (restoreGuid == handedOverRestore || cleaner.IsHandOverPending(path)) {
    EVDEBUG(evDebug, "Restore [%s] handed its result over: nothing of it is removed", restoreGuid.c_str());
    return true;
  }
  bool ok = true;
  // Creates the job did not live to register first: an instance among them may hold a volume.
  if (!CleanupPendingCreates(path)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup pending creations");
    ok = false;
  }
  if (!CleanupCreatedVMs(path)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup VMs");
    ok = false;
  }
  if (!CleanupMountedVolumes(path)) {
    EVDEBUGLVL(evDebug, 2, "Failed to cleanup mounted volumes");
    ok = false;
  }
  // A replication's integrity snapshots, taken before the job could hand them over.
  if (!CleanupSnapshots(path)) ok = false;
  if (!CleanupRestoreImages(path)) ok = false;
  if (ok) cleaner.UnRegisterVM(path);
  return ok;
}

bool COracleCloudInfo::CleanupCreatedVMs(const string& cleanerPath) {
  std::vector<string> ids;
  cleaner.GetRegisteredCreatedVMs(cleanerPath, ids);
  for (const auto& id : ids) {
    // Waits for the termination: the volumes it releases are deleted next, and the cloud refuses to
    // delete a volume that is still attached.
    if (!bridge->DeleteVM("", id, true, false)) {
      if (GetVSInstType() == VSINST_ORACLE_CLOUD_CLASSIC)
        EVDEBUG(evDebug, "Failed to delete instance [%s], Error [%s]", id.c_str(), bridge->GetLastError().c_str());
      else
        EVERROR(evDebug, "Error while deleting created VM:[%s]", id.c_str());
      continue;
    }
    if (!cleaner.UnRegisterCreatedVM(cleanerPath, id))
      EVERROR(evDebug, "Failed to unregister created VM:[%s]", id.c_str());
  }
  return true;
}
