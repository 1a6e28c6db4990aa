// Replication: a restore of type 4 that keeps one destination instance in step with its source.
//
// The host carries from one sync to the next, per disk record, the destination volume
// (SDisk.createdVolumeId) and its integrity snapshot (SDisk.snapshotId), and the destination
// instance (RestoreCtx.restoredVmGuid). Init keeps these as they came in (`replication`): they alone
// decide which destination volumes are still wanted and which records are new, and they are what a
// successful sync removes at its end. The last good copy is never touched before its replacement is
// whole and handed over: the new destination is launched beside the previous one (the cloud allows
// two instances of one name), its integrity snapshots are taken in Pre, and only Post, once it has
// handed the new destination over, removes the previous instance, its volumes (those of deselected
// disks too) and its integrity snapshots.
#include <algorithm>

#include "host/FXString.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
constexpr UINT64 kAllInfo = ~0ULL;

bool HasVolume(const std::vector<SDisk>& volumes, const string& id) {
  return !id.empty() &&
         std::any_of(volumes.begin(), volumes.end(), [&](const SDisk& volume) { return volume.guid == id; });
}
}  // namespace

bool COracleCloudInfo::InitRestoreVM_VMReplication(const RestoreCtx& ctx) {
  replication = SReplicationEntry();
  replication.recordedDestination = ctx.restoredVmGuid;
  for (const SDisk& disk : ctx.disks) {
    replication.volumes.push_back(disk.createdVolumeId);
    replication.snapshots.push_back(disk.snapshotId);
  }
  ctx.replicationType = 0;
  ctx.fullReplication = false;
  ctx.destinationExists = false;

  std::vector<SVMInfo> found;
  bool exists = false;
  if (!LookUpTargetName(ctx, found, exists)) return false;
  exists = exists && !found.empty();
  if (exists && ctx.isFirstSync) {
    EVDEBUG(evDebug, "Found Instance with name [%s] already in user [%s]", ctx.vmName.c_str(),
            ctx.compartmentId.c_str());
    if (!ctx.overwrite) return RefuseToOverwrite(VMERR_REPLICATION_DESTINATION_EXISTS);
  }
  if (exists && found.size() > 1) return RefuseAmbiguousTarget(ctx);
  if (exists) {
    const SVMInfo& instance = found[0];
    const bool recorded = !replication.recordedDestination.empty() && instance.guid == replication.recordedDestination;
    const bool replace = ctx.isFirstSync || ctx.forceFullSync;
    // An instance that merely carries the name is not the destination: only with overwrite may a
    // new first or full sync replace it.
    if (!recorded && !(replace && ctx.overwrite)) {
      const string details = FXString::Format(
          "Instance [%s] in user [%s] is not the destination of the previous sync. Please use a non-existing "
          "Instance name, or replace it with a full sync and the overwrite option",
          ctx.vmName.c_str(), ctx.compartmentId.c_str());
      EVERROR(evDebug, "%s", details.c_str());
      SetLastVMErrorDetails(details);
      SetLastVMError(VMERR_REPLICATION_DESTINATION_EXISTS);
      return false;
    }
    if (RefusesProxyAsTarget(ctx, found)) return false;
    ctx.destinationExists = true;
    ctx.restoredVmGuid = instance.guid;
    if (!replace) {
      ctx.replicationType = REPLICATION_TYPE_INCREMENTAL;
      return InitRestoreVM_VMIncrementalReplication(ctx);
    }
    replication.replacedInstance = instance.guid;
    replication.replacedIsRecorded = recorded;
  } else {
    ctx.restoredVmGuid.clear();
  }
  ctx.fullReplication = true;
  ctx.replicationType = REPLICATION_TYPE_FULL;
  return InitRestoreVM_VMFirstTimeReplication(ctx);
}

bool COracleCloudInfo::InitRestoreVM_VMFirstTimeReplication(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "Running Full replication for VM [%s]", ctx.vmName.c_str());
  // The restore's one root, registered by InitRestoreVM, holds everything this job creates.
  return UpdateDiskNames(ctx) && CreateEmptyVolumes(ctx, ctx.disks) &&
         AttachVolumes(ctx.restoreGuid, ctx.disks, true, true);
}

bool COracleCloudInfo::InitRestoreVM_VMIncrementalReplication(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "Running incremental replication for VM [%s][%s]", ctx.vmName.c_str(), ctx.restoredVmGuid.c_str());
  SVMInfo destination;
  if (!GetVMInfoForVM(ctx.vmName, ctx.restoredVmGuid, "", kAllInfo, 0, destination)) {
    EVERROR(evDebug, "GetVMInfoForVM Failed for VM [%s][%s]", ctx.vmName.c_str(), ctx.restoredVmGuid.c_str());
    SetLastVMError(VMERR_REPLICATION_DESTINATION_UNREADABLE);
    return false;
  }
  if (destination.powerState == 1) {
    SetLastVMError(VMERR_REPLICATION_DESTINATION_IN_USE);
    const string text = FXString::Format("Instance [%s] is in use, failing Sync job", ctx.vmName.c_str());
    EVDEBUG(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    return false;
  }
  // From here on a fall-back to a full sync replaces the destination; until the restore phase it stays.
  replication.replacedInstance = ctx.restoredVmGuid;
  replication.replacedIsRecorded = true;
  bool queryFailed = false;
  if (!VerifyIntegritySnapshot(ctx, destination.disks, queryFailed)) {
    SetLastVMError(VMERR_REPLICATION_DESTINATION_UNREADABLE);
    if (queryFailed) return false;
    EVDEBUG(evDebug, "Integrity snapshots verification failed for Instance [%s];Forcing Full replication",
            ctx.vmName.c_str());
    ctx.fullReplication = true;
    return InitRestoreVM_VMFirstTimeReplication(ctx);
  }
  if (!HandleDeleteDisksDuringIncremental(ctx, destination) || !UpdateDiskNames(ctx)) return false;
  if (!RebuildVolumesFromIntegritySnapshots(ctx)) {
    SetLastVMError(VMERR_REPLICATION_REVERT_FAILED);
    EVDEBUG(evDebug, "Revert to integrity snapshots verification failed for Instance [%s];Forcing Full replication",
            ctx.vmName.c_str());
    ctx.fullReplication = true;
    return InitRestoreVM_VMFirstTimeReplication(ctx);
  }
  EVDEBUGLVL(evDebug, 2, "All replica volume creations have completed");
  if (!HandleNewDisksDuringIncremental(ctx, destination)) return false;
  if (!AttachVolumes(ctx.restoreGuid, ctx.disks, true, true)) {
    SetLastVMError(VMERR_REPLICATION_MOUNT_FAILED);
    EVDEBUG(evDebug, "Failed to mount volumes of instance to be sync");
    return false;
  }
  return true;
}

bool COracleCloudInfo::RebuildVolumesFromIntegritySnapshots(const RestoreCtx& ctx) {
  // Copies of the records that carried a destination volume, each with the snapshot it carried.
  std::vector<size_t> positions;
  std::vector<SDisk> copies;
  for (size_t i = 0; i < ctx.disks.size(); ++i) {
    if (ctx.disks[i].selectedForRestore != 1 || replication.volumes[i].empty()) continue;
    positions.push_back(i);
    copies.push_back(ctx.disks[i]);
    copies.back().snapshotId = replication.snapshots[i];
    copies.back().createdVolumeId.clear();
  }
  if (copies.empty()) return true;
  std::vector<string> targets;
  targets.reserve(copies.size());
  for (const SDisk& copy : copies) targets.push_back(copy.targetVolume);
  bool ok = CreateVolumesFromSnapshots(ctx.restoreGuid, copies);
  for (size_t k = 0; k < copies.size(); ++k) {
    SDisk& disk = ctx.disks[positions[k]];
    if (copies[k].createdVolumeId.empty()) {
      ok = false;
      continue;
    }
    disk.createdVolumeId = disk.targetVolume = copies[k].createdVolumeId;
  }
  if (ok) return true;
  // The full sync that follows names and makes its volumes afresh, as any full sync does.
  for (size_t k = 0; k < copies.size(); ++k) {
    SDisk& disk = ctx.disks[positions[k]];
    disk.targetVolume = targets[k];
    disk.createdVolumeId.clear();
  }
  // A partly rebuilt destination is of no use to the full sync that follows: its volumes go now.
  string path;
  if (cleaner.GetRegisteredVM(cleanerMode, ctx.restoreGuid, path)) {
    CleanupPendingCreates(path);
    CleanupMountedVolumes(path);
  }
  return false;
}

// The volumes of deselected disks stay until the new destination is handed over: Post removes them
// with the rest of the previous destination. Here they are only named.
bool COracleCloudInfo::HandleDeleteDisksDuringIncremental(const RestoreCtx& ctx, SVMInfo& destination) {
  std::vector<string> unwanted;
  for (const SDisk& volume : destination.disks) {
    bool wanted = false, recorded = false;
    for (size_t i = 0; i < ctx.disks.size(); ++i) {
      if (replication.volumes[i] != volume.guid) continue;
      recorded = true;
      if (ctx.disks[i].selectedForRestore == 1) wanted = true;
    }
    if (wanted) continue;
    if (!recorded) {
      EVDEBUG(evDebug, "Volume [%s] of instance [%s] was not made by a sync: left as it is", volume.guid.c_str(),
              ctx.restoredVmGuid.c_str());
      continue;
    }
    unwanted.push_back(volume.guid);
  }
  if (unwanted.empty()) {
    EVDEBUG(evDebug, "All the volumes from sync destination are still present in the sync source");
    return true;
  }
  for (const string& id : unwanted)
    EVDEBUG(evDebug,
            "Volume [%s] of instance [%s] is no longer synced: it goes once the new destination is handed over",
            id.c_str(), ctx.restoredVmGuid.c_str());
  return true;
}

bool COracleCloudInfo::HandleNewDisksDuringIncremental(const RestoreCtx& ctx, SVMInfo& destination) {
  std::vector<size_t> positions;
  std::vector<SDisk> newDisks;
  for (size_t i = 0; i < ctx.disks.size(); ++i) {
    if (ctx.disks[i].selectedForRestore != 1 || HasVolume(destination.disks, replication.volumes[i])) continue;
    positions.push_back(i);
    newDisks.push_back(ctx.disks[i]);
  }
  if (newDisks.empty()) {
    EVDEBUG(evDebug, "All the volumes from sync source are already present in the sync destination");
    return true;
  }
  if (!CreateEmptyVolumes(ctx, newDisks)) {
    EVDEBUG(evDebug, "Operation failure during creation of  new volumes");
    return false;
  }
  for (size_t k = 0; k < newDisks.size(); ++k) {
    const SDisk& created = newDisks[k];
    SDisk& disk = ctx.disks[positions[k]];
    EVDEBUG(evDebug, "Added new volume [%s] ", created.displayName.c_str());
    disk.createdVolumeId = disk.targetVolume = disk.guid = created.createdVolumeId;
  }
  return true;
}

// The integrity snapshots are taken here, of the volumes exactly as the agent wrote and verified them,
// detached from the proxy and before any instance booted from them: they are the base the next
// incremental sync rebuilds from and then writes only what changed since. Taken before the launch,
// every id of the new destination is known once the restore phase is over, so the host can record it
// before Post hands it over. Each is registered under the restore until then.
bool COracleCloudInfo::PreRestoreVM_VMReplication(const RestoreCtx& ctx) {
  if (!_PreRestoreVM(ctx)) return false;
  if (!CreateIntegritySnapshot(ctx)) {
    EVERROR(evDebug, "Failed to create integrity snapshots ");
    return false;
  }
  std::vector<SDisk> snapshots;
  for (const SDisk& disk : ctx.disks)
    if (disk.selectedForRestore == 1) snapshots.push_back(disk);
  if (WaitForResourceToBecomeUsable(snapshots, ORACLE_CLOUD_RESOURCE_SNAPSHOT)) return true;
  EVERROR(evDebug, "Failed to create integrity snapshots ");
  if (GetLastVMError() != VMERR_JOB_CANCELLED) SetLastVMError(VMERR_SNAPSHOT_FAILED);
  return false;
}

bool COracleCloudInfo::RemoveReplacedDestination(const RestoreCtx& ctx) {
  // Nothing of the destination being replaced goes before the launch: it stays whole beside the new
  // one until Post has handed the new one over (RetirePreviousDestination).
  if (ctx.restoreType == RESTORE_TYPE_REPLICATION && !replication.replacedInstance.empty())
    EVDEBUG(evDebug, "Instance [%s] stays until its replacement is handed over", replication.replacedInstance.c_str());
  return true;
}

bool COracleCloudInfo::PostRestoreVM_VMReplication(const RestoreCtx& ctx) {
  // Stopped before it is handed over; a destination left running would fail every later sync.
  if (!bridge->PowerOffInstance(ctx.vmInfo.uri)) {
    EVDEBUG(evDebug, "Powering off instance [%s] failed", ctx.vmInfo.uri.c_str());
    return ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
  }
  EVDEBUG(evDebug, "Instance [%s] powered off", ctx.vmInfo.uri.c_str());
  if (!HandOverNewDestination(ctx)) return false;
  // The new destination is the user's: what the previous sync left goes, without a way back.
  RetirePreviousDestination(ctx);
  if (!cleaner.UnRegisterVM(cleanerMode, ctx.restoreGuid, false))
    EVDEBUG(evDebug, "Could not unregister VM[%s] from cleaner, some resources may require cleanup",
            ctx.restoreGuid.c_str());
  return true;
}

bool COracleCloudInfo::HandOverNewDestination(const RestoreCtx& ctx) {
  // One registry transaction: the new destination is either still wholly the job's (a clean-up or
  // sweep removes it entire) or wholly the user's. The root stays for the retirement that follows.
  std::vector<string> snapshots;
  for (const SDisk& disk : ctx.disks)
    if (disk.selectedForRestore == 1 && !disk.snapshotId.empty()) snapshots.push_back(disk.snapshotId);
  return HandOverResult(ctx, snapshots, true);
}

void COracleCloudInfo::RetirePreviousDestination(const RestoreCtx& ctx) {
  // Everything is registered under the restore before the first deletion: a job killed among them
  // leaves the rest to the next sweep, and the new destination, handed over, is not part of it.
  const string& replaced = replication.replacedInstance;
  if (!replaced.empty() && !cleaner.RegisterCreatedVM(cleanerMode, ctx.restoreGuid, replaced))
    EVERROR(evDebug, "Failed to register instance [%s]", replaced.c_str());
  const std::vector<string> volumes = PreviousDestinationVolumes(ctx);
  for (const string& id : volumes)
    if (!cleaner.RegisterDisk(cleanerMode, ctx.restoreGuid, id))
      EVERROR(evDebug, "Failed to register volume [%s]", id.c_str());
  for (const string& id : replication.snapshots)
    if (!id.empty() && !cleaner.RegisterSnapshot(cleanerMode, ctx.restoreGuid, id))
      EVERROR(evDebug, "Failed to register snapshot [%s]", id.c_str());
  // The instance first: its volumes are free once it is gone. Ours keeps its boot volume, which is one
  // of the recorded volumes deleted below; another instance replaced with overwrite takes its own along.
  if (!replaced.empty()) {
    if (bridge->DeleteVM(ctx.vmName, replaced, true, replication.replacedIsRecorded)) {
      if (!cleaner.UnRegisterCreatedVM(cleanerMode, ctx.restoreGuid, replaced))
        EVERROR(evDebug, "Failed to unregister instance [%s]", replaced.c_str());
      replication.replacedInstance.clear();
    } else {
      EVERROR(evDebug, "Failed to delete instance [%s], Error [%s]", replaced.c_str(), bridge->GetLastError().c_str());
    }
  }
  ctx.destinationExists = false;
  if (!DeleteExistingIntegritySnapshot(ctx))
    EVERROR(evDebug, "Warning: Failed to delete previous integrity snapshots ");
  for (const string& id : volumes) {
    if (DeleteRetiredVolume(ctx.restoreGuid, id))
      EVDEBUG(evDebug, "Deleted volume [%s] of the previous sync", id.c_str());
    else
      EVERROR(evDebug, "Warning: Failed to delete volume [%s] of the previous sync: %s", id.c_str(),
              bridge->GetLastError().c_str());
  }
}

std::vector<string> COracleCloudInfo::PreviousDestinationVolumes(const RestoreCtx& ctx) const {
  std::vector<string> current, previous;
  for (const SDisk& disk : ctx.disks)
    if (disk.selectedForRestore == 1) current.push_back(disk.createdVolumeId);
  for (const string& id : replication.volumes) {
    if (id.empty() || std::find(current.begin(), current.end(), id) != current.end() ||
        std::find(previous.begin(), previous.end(), id) != previous.end())
      continue;
    previous.push_back(id);
  }
  return previous;
}

bool COracleCloudInfo::DeleteRetiredVolume(const string& restoreGuid, const string& volumeId) {
  bool exists = true;
  if (!bridge->DoesVolumeExist(volumeId, exists) || (exists && !bridge->DeleteVolume(volumeId))) return false;
  if (!cleaner.UnRegisterDisk(cleanerMode, restoreGuid, volumeId))
    EVERROR(evDebug, "Failed to unregister volume [%s]", volumeId.c_str());
  return true;
}
