// Integrity snapshots: a snapshot of each destination volume, taken at the end of every successful
// sync before its destination is launched, from which the next incremental sync rebuilds the
// destination. They outlive the job that made them: registered under the restore while it runs (a job
// that dies leaves them to the sweep), handed over with the destination.
#include <algorithm>

#include "cleanup/PendingCreate.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
const char* const kIntegritySnapshotName = "_QD_INTEGRITY_SNAPSHOT";
const char* const kIntegritySnapshotDescription = "Volume Snapshot created by Quillmark for Replication Job ID";

// The snapshot is one of the volume's own and carries the integrity name.
bool IsIntegritySnapshotOf(const SDisk& volume, const string& snapshotId) {
  return std::any_of(volume.childDisks.begin(), volume.childDisks.end(), [&](const SChildDisk& snapshot) {
    return snapshot.id == snapshotId && snapshot.name == kIntegritySnapshotName;
  });
}
}  // namespace

bool COracleCloudInfo::VerifyIntegritySnapshot(const RestoreCtx& ctx, const std::vector<SDisk>& destinationDisks,
                                               bool& queryFailed) {
  queryFailed = false;
  for (const SDisk& volume : destinationDisks) {
    bool matched = false, found = false;
    for (size_t i = 0; i < ctx.disks.size() && !found; ++i) {
      if (ctx.disks[i].selectedForRestore != 1 || replication.volumes[i] != volume.guid) continue;
      matched = true;
      const string& snapshotId = replication.snapshots[i];
      if (snapshotId.empty() || !IsIntegritySnapshotOf(volume, snapshotId)) continue;
      bool usable = false, faulty = false;
      if (!GetResourceStatus(snapshotId, ORACLE_CLOUD_RESOURCE_SNAPSHOT, usable, faulty)) {
        EVERROR(evDebug, "Failed to query integrity snapshot [%s]: %s", snapshotId.c_str(),
                bridge->GetLastError().c_str());
        SetLastVMErrorDetails(bridge->GetLastError());
        queryFailed = true;
        return false;
      }
      if (!usable) continue;
      EVDEBUG(evDebug, "Integrity snapshot for volume [%s] found", volume.displayName.c_str());
      found = true;
    }
    if (matched && !found) {
      EVDEBUG(evDebug, "Integrity snapshot for volume [%s] not found.", volume.displayName.c_str());
      return false;
    }
  }
  // A volume the previous sync made that the destination no longer has cannot be rebuilt either.
  for (size_t i = 0; i < ctx.disks.size(); ++i) {
    const string& id = replication.volumes[i];
    if (ctx.disks[i].selectedForRestore != 1 || id.empty()) continue;
    if (std::none_of(destinationDisks.begin(), destinationDisks.end(),
                     [&](const SDisk& volume) { return volume.guid == id; })) {
      EVDEBUG(evDebug, "Volume [%s] of [%s] is no longer on the destination", id.c_str(),
              ctx.disks[i].indexName.c_str());
      return false;
    }
  }
  return true;
}

bool COracleCloudInfo::DeleteExistingIntegritySnapshot(const RestoreCtx& ctx) {
  // Called once the new destination is handed over: a cancel no longer stops it. Each is registered
  // under the restore already (RetirePreviousDestination): one that cannot be deleted is left to a
  // later sweep.
  bool ok = true;
  for (size_t i = 0; i < replication.snapshots.size(); ++i) {
    const string& id = replication.snapshots[i];
    if (id.empty()) {
      // A selected record without one is named all the same.
      if (i < ctx.disks.size() && ctx.disks[i].selectedForRestore == 1)
        EVDEBUG(evDebug, "Removed Integrity snapshot's  ID was [%s] ", id.c_str());
      continue;
    }
    string error;
    if (!DeleteSnapshotUnlessGone(id, error)) {
      EVERROR(evDebug, "Failed to delete snapshot [%s]", id.c_str());
      ok = false;
      continue;
    }
    if (!cleaner.UnRegisterSnapshot(cleanerMode, ctx.restoreGuid, id))
      EVERROR(evDebug, "Failed to unregister snapshot [%s]", id.c_str());
    EVDEBUG(evDebug, "Removed Integrity snapshot's  ID was [%s] ", id.c_str());
  }
  if (ok) EVDEBUG(evDebug, "Successfully removed all Integrity snapshot's for VM [%s] ", ctx.vmName.c_str());
  return ok;
}

bool COracleCloudInfo::CreateIntegritySnapshot(const RestoreCtx& ctx) {
  for (SDisk& disk : ctx.disks) {
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.selectedForRestore != 1) continue;
    const string description =
        FXString::Format("%s%lld at %lld", kIntegritySnapshotDescription, static_cast<long long>(EvEvent::getJobId()),
                         static_cast<long long>(HostClock::Now()));
    EVDEBUG(evDebug, "Creating Integrity snapshot for Volume [%s] ", disk.targetVolume.c_str());
    CPendingCreate pending(cleaner, cleanerMode, ctx.restoreGuid, VM_CLEANER_ENTITY_SNAPSHOT, kIntegritySnapshotName);
    if (!RecordedBeforeCreate(pending, kIntegritySnapshotName, VMERR_SNAPSHOT_FAILED)) return false;
    string id;
    if (!bridge->CreateVolumeSnapshot(disk.createdVolumeId, description, kIntegritySnapshotName, id)) {
      EVERROR(evDebug, "Volume Snapshot creation for [%s] failed", disk.targetVolume.c_str());
      return ReportBridgeFailure(VMERR_SNAPSHOT_FAILED);
    }
    disk.snapshotId = id;
    EVDEBUG(evDebug, "Integrity snapshot's  ID was [%s] ", id.c_str());
    if (cleaner.RegisterSnapshot(cleanerMode, ctx.restoreGuid, id))
      DropPendingCreate(pending, kIntegritySnapshotName);
    else
      EVERROR(evDebug, "Failed to register snapshot [%s]", id.c_str());
  }
  return true;
}
