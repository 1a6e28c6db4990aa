// Snapshots of an instance's volumes and the replica volumes made from them: the limit and expiry
// of backup snapshots, the requests (all outstanding together), and the one wait for all of them.

#include "cleanup/PendingCreate.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "host/TZPlatformInfo.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// What marks a snapshot as one a backup took.
const char* const kBackupSnapshotDescription = "Volume Snapshot created by Quillmark for backup Job ID";
const char* const kConfigSection = "VirtualServer";

void ClearRecordLists(SVMInfo& vm) {
  vm.disks.clear();
  vm.networkCards.clear();
  vm.keyPairs.clear();
  vm.securityGroups.clear();
}

bool IsBackupSnapshot(const SChildDisk& snapshot) {
  return snapshot.description.find(kBackupSnapshotDescription) != string::npos;
}
}  // namespace

bool COracleCloudInfo::CheckSnapshotLimit(const MountCtx& ctx) {
  uint32_t hours = 24;
  TZPlatformInfo::getNumber(kConfigSection, "nOracleCloudExpireSnapshotHours", &hours);
  ClearRecordLists(ctx.vmInfo);
  if (!InitBackupVMInfo(ctx)) return false;
  DeleteExpiredSnapshots(ctx.vmInfo.disks, static_cast<int>(hours));

  uint32_t maxCount = 2;
  TZPlatformInfo::getNumber(kConfigSection, "nOracleCloudSnapshotMaxCount", &maxCount);
  ClearRecordLists(ctx.vmInfo);
  if (!InitBackupVMInfo(ctx)) return false;

  for (const auto& disk : ctx.vmInfo.disks) {
    unsigned long count = 0;
    for (const auto& snapshot : disk.childDisks) {
      if (!IsBackupSnapshot(snapshot)) continue;
      EVDEBUG(evDebug, "Found dangling snapshot [%s]", snapshot.name.c_str());
      if (++count > maxCount) {
        EVERROR(evDebug, "There are [%lu] existing backup snapshots for VM [%s], whereas limit is [%lu]", count,
                ctx.vmGuid.c_str(), static_cast<unsigned long>(maxCount));
        SetLastVMError(VMERR_SNAPSHOT_LIMIT_EXCEEDED);
        return false;
      }
    }
  }
  return true;
}

bool COracleCloudInfo::DeleteExpiredSnapshots(const std::vector<SDisk>& disks, int hours) {
  bool result = true;
  for (const auto& disk : disks) {
    for (const auto& snapshot : disk.childDisks) {
      if (!IsBackupSnapshot(snapshot)) continue;
      const INT64 now = HostClock::Now();
      EVDEBUG(evDebug, "Snapshot [%s]/[%s] created at [%lld]; Current time [%lld]", snapshot.name.c_str(),
              snapshot.description.c_str(), static_cast<long long>(snapshot.creationTime), static_cast<long long>(now));
      const INT64 age = now - snapshot.creationTime;
      if (age <= static_cast<INT64>(hours) * 3600) continue;
      EVDEBUG(evDebug, "Snapshot [%s] exists for [%lld] secs, deleting it.", snapshot.name.c_str(),
              static_cast<long long>(age));
      if (!bridge->DeleteVolumeSnapshot(snapshot.id)) {
        EVDEBUG(evDebug, "Failed to delete snapshot [%s]", snapshot.name.c_str());
        result = false;
      } else {
        EVDEBUG(evDebug, "Successfuly deleted snapshot [%s]", snapshot.name.c_str());
      }
    }
  }
  return result;
}

bool COracleCloudInfo::CreateVolumeSnapshots(const string& instanceId, std::vector<SDisk>& disks) {
  int selected = 0, filtered = 0, snapped = 0;
  std::vector<SDisk> snappedDisks;
  for (auto& disk : disks) {
    if (disk.selectedForRestore != 1) continue;
    ++selected;
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.isFiltered) {
      EVDEBUG(evDebug, "Skipping creating a snapshot for filtered volume [%s]", disk.displayName.c_str());
      ++filtered;
      continue;
    }
    disk.snapshotId.clear();
    string name;
    GetUniqueResourceName(name);
    CPendingCreate pending(cleaner, cleanerMode, instanceId, VM_CLEANER_ENTITY_SNAPSHOT, name);
    if (!RecordedBeforeCreate(pending, name, VMERR_SNAPSHOT_FAILED) || !CreateVolumeSnapshotForBackup(disk, name)) {
      EVERROR(evDebug, "Failed to create a snapshot for volume [%s]", disk.displayName.c_str());
      continue;
    }
    if (!cleaner.RegisterSnapshot(cleanerMode, instanceId, disk.snapshotId))
      EVERROR(evDebug, "Failed to register snapshot [%s]", disk.snapshotId.c_str());
    else
      DropPendingCreate(pending, name);
    ++snapped;
    snappedDisks.push_back(disk);
  }
  if (filtered == selected) {
    SetLastVMError(VMERR_ALL_DISKS_FILTERED);
    return false;
  }
  if (snapped == 0) {
    EVDEBUG(evDebug, "Failed to snap atleast one volume. Failing the job");
    return false;
  }
  if (snapped != selected) {
    EVDEBUGLVL(evDebug, 2, "Only [%d] volumes could be successfully snapped, continuing backup job for these volumes",
               snapped);
    disks = snappedDisks;
  }
  EVDEBUG(evDebug, "Waiting for creation of snapshot for all volumes");
  return WaitForResourceToBecomeUsable(disks, ORACLE_CLOUD_RESOURCE_SNAPSHOT);
}

bool COracleCloudInfo::CreateVolumeSnapshotForBackup(SDisk& disk, const string& name) {
  const string description =
      FXString::Format("%s%lld at %lld", kBackupSnapshotDescription, static_cast<long long>(EvEvent::getJobId()),
                       static_cast<long long>(HostClock::Now()));
  EVDEBUG(evDebug, "Creating snapshot [%s] for Volume [%s] ", name.c_str(), disk.displayName.c_str());
  if (!bridge->CreateVolumeSnapshot(disk.volumeId, description, name, disk.snapshotId)) {
    EVERROR(evDebug, "Volume Snapshot creation for [%s] failed", disk.displayName.c_str());
    SetLastVMError(VMERR_SNAPSHOT_FAILED);
    return false;
  }
  EVDEBUG(evDebug, "Volume snapshot's  ID was [%s] ", disk.snapshotId.c_str());
  return true;
}

bool COracleCloudInfo::CreateVolumesFromSnapshots(const string& instanceId, std::vector<SDisk>& disks) {
  const int total = static_cast<int>(disks.size());
  int selected = 0, failed = 0, created = 0;
  std::vector<SDisk> createdDisks;
  for (auto& disk : disks) {
    if (disk.selectedForRestore != 1) continue;
    ++selected;
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.snapshotId.empty()) {
      EVERROR(evDebug, "volume [%s] does not have a valid snapshot id ", disk.displayName.c_str());
      ++failed;
      continue;
    }
    string name;
    GetUniqueResourceName(name);
    CPendingCreate pending(cleaner, cleanerMode, instanceId, VM_CLEANER_ENTITY_DISK, name);
    if (!RecordedBeforeCreate(pending, name, VMERR_RESOURCE_CREATION_FAILED) || !CreateVolumeFromSnapshot(disk, name)) {
      EVERROR(evDebug, "Cannot create replica volume from snapshot [%s] for [%s] ", disk.snapshotId.c_str(),
              disk.displayName.c_str());
      ++failed;
      continue;
    }
    if (!cleaner.RegisterDisk(cleanerMode, instanceId, disk.targetVolume))
      EVERROR(evDebug, "Failed to register volume [%s]", disk.targetVolume.c_str());
    else
      DropPendingCreate(pending, name);
    ++created;
    createdDisks.push_back(disk);
  }
  if (failed != 0) {
    // Every selected disk failing is a failure even when unselected records share the list.
    if (failed == selected) {
      EVDEBUG(evDebug, "All to volumes were skipped before its replica volume was created");
      return false;
    }
    EVDEBUG(evDebug, "Created replica volume for [%d / %d] volumes", created, total);
  }
  EVDEBUG(evDebug, "Waiting for creation of volumes from snapshots");
  return WaitForResourceToBecomeUsable(createdDisks, ORACLE_CLOUD_RESOURCE_VOLUME);
}

bool COracleCloudInfo::CreateVolumeFromSnapshot(SDisk& disk, const string& name) {
  EVDEBUG(evDebug, "Creating replica volume [%s] from snapshot [%s] ", name.c_str(), disk.snapshotId.c_str());
  if (!bridge->CreateVolumeFromSnapshot(disk.snapshotId, name, disk.targetVolume)) {
    EVERROR(evDebug, "Creation of volume [%s] has failed!", name.c_str());
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  disk.createdVolumeId = disk.targetVolume;
  if (GetVSInstType() == VSINST_ORACLE_CLOUD_INFRASTRUCTURE) disk.name = disk.guid;
  return true;
}

bool COracleCloudInfo::WaitForResourceToBecomeUsable(const std::vector<SDisk>& disks, OracleCloudResourceType kind) {
  std::vector<string> pending;
  for (const auto& disk : disks) {
    if (kind == ORACLE_CLOUD_RESOURCE_SNAPSHOT) {
      if (!disk.snapshotId.empty()) pending.push_back(disk.snapshotId);
    } else if (kind == ORACLE_CLOUD_RESOURCE_VOLUME) {
      if (!disk.targetVolume.empty()) pending.push_back(disk.targetVolume);
    } else {
      EVERROR(evDebug, "Unknown resource type [%d]", static_cast<int>(kind));
    }
  }
  uint32_t intervalMinutes = 1;
  TZPlatformInfo::getNumber(kConfigSection, "nOracleCloudOperationRetryInternvalTimeInMinutes", &intervalMinutes);

  do {
    HostClock::Sleep(static_cast<uint64_t>(intervalMinutes) * 60000);
    std::vector<string> stillPending;
    for (const auto& id : pending) {
      if (QuitRequested(__PRETTY_FUNCTION__)) return false;
      bool usable = false, faulty = false;
      // A query that knows why it failed leaves its reason in the details; else the bridge's text is it.
      const string detailsBefore = GetLastVMErrorDetails();
      SetLastVMErrorDetails("");
      const bool queried = GetResourceStatus(id, kind, usable, faulty);
      if (queried) SetLastVMErrorDetails(detailsBefore);
      if (!queried) {
        EVERROR(evDebug, "Operation check failed for [%s]", id.c_str());
        if (GetLastVMErrorDetails().empty()) SetLastVMErrorDetails(bridge->GetLastError());
        SetLastVMError(kind == ORACLE_CLOUD_RESOURCE_SNAPSHOT ? VMERR_SNAPSHOT_FAILED : VMERR_RESOURCE_CREATION_FAILED);
        return false;
      }
      if (usable) {
        EVDEBUG(evDebug, "Resource with id [%s] is usable", id.c_str());
      } else if (faulty) {
        EVDEBUG(evDebug, "Resource with id [%s] has reached error state", id.c_str());
        SetLastVMError(kind == ORACLE_CLOUD_RESOURCE_SNAPSHOT ? VMERR_SNAPSHOT_FAILED : VMERR_RESOURCE_CREATION_FAILED);
      } else {
        stillPending.push_back(id);
      }
    }
    pending.swap(stillPending);
  } while (!pending.empty());
  return true;
}

bool COracleCloudInfo::CleanupSnapshots(const string& cleanerPath) {
  std::vector<string> ids;
  cleaner.GetRegisteredSnapshots(cleanerPath, ids);
  bool result = true;
  for (const auto& id : ids) {
    if (id.empty()) continue;
    EVDEBUG(evDebug, "Deleting volume snapshot [%s]", id.c_str());
    string error;
    if (!DeleteSnapshotUnlessGone(id, error)) {
      EVERROR(evDebug, "Failed to delete snapshot [%s]", id.c_str());
      SetLastVMErrorDetails(error);
      SetLastVMError(VMERR_SNAPSHOT_FAILED);
      result = false;
      continue;
    }
    if (!cleaner.UnRegisterSnapshot(cleanerPath, id))
      EVERROR(evDebug, "Failed to unregister snapshot [%s]", id.c_str());
  }
  return result;
}

bool COracleCloudInfo::DeleteSnapshotUnlessGone(const string& id, string& error) {
  if (bridge->DeleteVolumeSnapshot(id)) return true;
  error = bridge->GetLastError();
  // A snapshot that is gone already counts as deleted; a failed lookup does not.
  bool exists = true;
  if (!bridge->DoesVolumeSnapshotExist(id, exists) || exists) return false;
  EVDEBUG(evDebug, "Volume snapshot [%s] does not exist any more", id.c_str());
  return true;
}

bool COracleCloudInfo::RecordedBeforeCreate(const CPendingCreate& pending, const string& name, EVMInfoError code) {
  if (pending.Recorded()) return true;
  EVERROR(evDebug, "Failed to record the coming creation of [%s]; not creating it", name.c_str());
  SetLastVMError(code);
  return false;
}

void COracleCloudInfo::DropPendingCreate(CPendingCreate& pending, const string& name) {
  if (!pending.Done()) EVERROR(evDebug, "Failed to drop the record of the creation of [%s]", name.c_str());
}
