// The four phases of a restore, the same for both flavours: common checks, then the flavour's
// hook (or the replication routine for a restore of type 4). Also the registration of a restore
// in the registry of created entities and the naming of restored volumes.
#include <algorithm>
#include <set>
#include <utility>

#include "cleanup/PendingCreate.h"
#include "host/CWqDirectory.h"
#include "host/CleanerHandle.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"
#include "plugin/JobTags.h"
#include "plugin/OracleCloudInfo.h"
#include "util/OracleCloudInfoUtils.h"

using namespace VMInfoStructs;

namespace {
// The folder is one a job may remove whole: absolute, without "." or ".." parts, not "/" and
// neither the agent's home nor one of its parents.
bool IsRemovableJobFolder(const string& path) {
  if (!OracleCloudInfoUtils::IsAbsoluteCleanPath(path)) return false;
  string folder = path, home = HostEnvironment::BaseHome();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return folder != "/" && folder != home && home.rfind(folder + "/", 0) != 0;
}
}  // namespace

bool COracleCloudInfo::CancelledBeforePhase() {
  if (!IsJobCancelled()) return false;
  EVDEBUG(evDebug, "Quit flag set, terminating JobWait");
  SetLastVMError(VMERR_JOB_CANCELLED);
  return true;
}

bool COracleCloudInfo::RefusesReplication(const RestoreCtx& ctx) {
  if (ctx.restoreType != RESTORE_TYPE_REPLICATION || GetVSInstType() == VSINST_ORACLE_CLOUD_INFRASTRUCTURE)
    return false;
  const char* text = "Replication is not supported for instances of the classic cloud";
  EVERROR(evDebug, "%s", text);
  SetLastVMErrorDetails(text);
  SetLastVMError(VMERR_VM_OPERATION_NOT_SUPPORTED);
  return true;
}

int COracleCloudInfo::GuardedEntry(const char* entry, EVMInfoError code, const std::function<int()>& body) {
  string cause;
  try {
    return body();
  } catch (const std::exception& e) {
    cause = e.what();
  } catch (...) {
    cause = "an exception of an unknown kind";
  }
  EVERROR(evDebug, "Caught unhandled exception in %s: %s", entry, cause.c_str());
  // Details are the body's own only when it set a code with them; older ones are replaced.
  const string details = GetLastVMError() == VMERR_NONE ? "" : GetLastVMErrorDetails();
  SetLastVMErrorDetails(details + (details.empty() ? "" : "; ") + entry + " failed unexpectedly: " + cause);
  if (GetLastVMError() == VMERR_NONE) SetLastVMError(code);
  return 0;
}

int COracleCloudInfo::InitRestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("InitRestoreVM", VMERR_RESOURCE_CREATION_FAILED, [&] { return _InitRestoreVMPhase(ctx); });
}

int COracleCloudInfo::_InitRestoreVMPhase(const RestoreCtx& ctx) {
  SetLastVMError(VMERR_NONE);
  if (CancelledBeforePhase()) return 0;
  ctx.vmCreated = false;
  handedOverRestore.clear();
  EVDEBUG(evDebug, "Original VMName : [%s] Restore VMName  : [%s]", ctx.originalVmName.c_str(), ctx.vmName.c_str());
  EVDEBUG(evDebug, "Restoring Instance to Oracle cloud , User: [%s]", ctx.compartmentId.c_str());
  if (!InitProxyVMInfo()) {
    if (GetLastVMError() == VMERR_NONE) SetLastVMError(VMERR_PROXY_NOT_FOUND);
    return 0;
  }
  if (RefusesReplication(ctx)) return 0;
  if (!RegisterCleanerForRestore(ctx)) return 0;
  // What was made before an unexpected failure is unwound as after any other.
  const bool ok = GuardedEntry("InitRestoreVM", VMERR_RESOURCE_CREATION_FAILED, [&] {
    return ctx.restoreType == RESTORE_TYPE_REPLICATION ? InitRestoreVM_VMReplication(ctx) : _InitRestoreVM(ctx);
  });
  if (ok) return 1;
  KeepFirstFailureAcross("clean-up", [&] { return CleanupRestoreVM(ctx) != 0; });
  return 0;
}

void COracleCloudInfo::KeepFirstFailureAcross(const char* what, const std::function<bool()>& unwind) {
  const EVMInfoError code = GetLastVMError();
  const string details = GetLastVMErrorDetails();
  SetLastVMErrorDetails("");
  SetLastVMError(VMERR_NONE);
  const bool unwound = unwind();
  if (code == VMERR_NONE) return;  // a failure without a code: what the unwinding said is all there is
  string kept = details;
  if (!unwound) {
    string cause = GetLastVMError() == VMERR_NONE ? "" : "error " + std::to_string(GetLastVMError());
    if (!GetLastVMErrorDetails().empty()) cause += (cause.empty() ? "" : ": ") + GetLastVMErrorDetails();
    EVERROR(evDebug, "The %s after the failure failed too: %s", what, cause.c_str());
    if (!cause.empty()) kept += string(kept.empty() ? "" : "; ") + "the " + what + " failed too (" + cause + ")";
  }
  SetLastVMErrorDetails(kept);
  SetLastVMError(code);
}

int COracleCloudInfo::PreRestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("PreRestoreVM", VMERR_VM_CREATION_FAILED, [&] {
    SetLastVMError(VMERR_NONE);
    if (CancelledBeforePhase()) return 0;
    if (RefusesReplication(ctx)) return 0;
    if (ctx.restoreType == RESTORE_TYPE_REPLICATION) return PreRestoreVM_VMReplication(ctx) ? 1 : 0;
    if (_PreRestoreVM(ctx)) return 1;
    EVERROR(evDebug, "PreRestore phase failed");
    return 0;
  });
}

int COracleCloudInfo::RestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("RestoreVM", VMERR_VM_CREATION_FAILED, [&] {
    SetLastVMError(VMERR_NONE);
    if (_RestoreVM(ctx)) return 1;
    EVERROR(evDebug, "Restore phase failed");
    return 0;
  });
}

int COracleCloudInfo::PostRestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("PostRestoreVM", VMERR_VM_CREATION_FAILED, [&] {
    SetLastVMError(VMERR_NONE);
    if (RefusesReplication(ctx)) return 0;
    const bool ok =
        ctx.restoreType == RESTORE_TYPE_REPLICATION ? PostRestoreVM_VMReplication(ctx) : _PostRestoreVM(ctx);
    if (ok) return 1;
    EVERROR(evDebug, "PostRestore phase failed");
    return 0;
  });
}

int COracleCloudInfo::CleanupRestoreVM(const RestoreCtx& ctx) { return 1; }

int COracleCloudInfo::InitVirtualizeMe(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "Invoked for VM [%s]", ctx.vmName.c_str());
  if (!InitRestoreVM(ctx)) return 0;
  EVDEBUG(evDebug, "Successful for VM [%s]", ctx.vmName.c_str());
  return 1;
}

int COracleCloudInfo::FinalizeVirtualizeMe(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "Invoked for VM [%s]", ctx.vmName.c_str());
  return PreRestoreVM(ctx) && RestoreVM(ctx) && PostRestoreVM(ctx) ? 1 : 0;
}

int COracleCloudInfo::CleanupVirtualizeMe(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "Invoked for VM [%s]", ctx.vmName.c_str());
  return CleanupRestoreVM(ctx) != 0 ? 1 : 0;
}

bool COracleCloudInfo::RefuseToOverwrite(EVMInfoError code) {
  const char* text =
      "As per task option not overwriting existing Instance. Please use a non-existing Instance name to continue "
      "restore";
  EVDEBUG(evDebug, "%s", text);
  SetLastVMErrorDetails(text);
  SetLastVMError(code);
  return false;
}

bool COracleCloudInfo::RefuseAmbiguousTarget(const RestoreCtx& ctx) {
  EVDEBUG(evDebug, "More than one VM with name [%s] exists in compartment [%s]", ctx.vmName.c_str(),
          ctx.compartmentId.c_str());
  const char* text =
      "Though overwrite option is selected, can't decide which VM to delete.Please use a non existing VM name to "
      "continue restore.";
  EVDEBUG(evDebug, "%s", text);
  SetLastVMErrorDetails(FXString::Format("More than one VM with name [%s] exists in compartment [%s]. %s",
                                         ctx.vmName.c_str(), ctx.compartmentId.c_str(), text));
  SetLastVMError(VMERR_MULTIPLE_VMS_WITH_NAME);
  return false;
}

bool COracleCloudInfo::RefusesProxyAsTarget(const RestoreCtx& ctx, const std::vector<SVMInfo>& found) {
  const string proxyGuid = LocalVMGuid();
  for (const SVMInfo& vm : found) {
    if (!FXString::EqualsIgnoreCase(vm.guid, proxyGuid)) continue;
    const string details =
        FXString::Format("Instance [%s] is the proxy itself and is never replaced by a restore", ctx.vmName.c_str());
    EVERROR(evDebug, "%s", details.c_str());
    SetLastVMErrorDetails(details);
    SetLastVMError(VMERR_VM_ALREADY_EXISTS);
    return true;
  }
  return false;
}

bool COracleCloudInfo::RegisterCleanerForRestore(const RestoreCtx& ctx) {
  ctx.restoreGuid.clear();
  if (!CreateGuid(ctx.restoreGuid) || ctx.restoreGuid.empty()) {
    SetLastVMErrorDetails("No identifier could be made for the restore");
    SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
    return false;
  }
  if (!InitMapperAndCleaner()) {
    if (!cleaner.IsInitialized()) {
      SetLastVMErrorDetails("The registry of created entities cannot be opened for the restore: " +
                            cleaner.InitError());
      SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
    }
    return false;
  }
  cleanerMode = VM_CLEANER_MODE_RESTORE;
  StartJobTagging(!staleJobsCleaned);
  staleJobsCleaned = true;
  // The first write of the job: nothing is created in the cloud unless it succeeded, since an
  // unregistered restore would leave whatever it made to nobody.
  if (cleaner.RegisterVM(cleanerMode, ctx.restoreGuid)) return true;
  EVERROR(evDebug, "Failed to register VM [%s]", ctx.restoreGuid.c_str());
  SetLastVMErrorDetails(FXString::Format("The registry of created entities [%s] cannot record restore [%s]",
                                         cleaner.DatabasePath().c_str(), ctx.restoreGuid.c_str()));
  SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
  return false;
}

COracleCloudInfo::ENameState COracleCloudInfo::ClaimVolumeName(const string& name, const string& compartmentId) {
  string error;
  switch (nameClaims.Claim(name, error)) {
    case CNameClaims::EClaim::Taken:
      return ENameState::Taken;
    case CNameClaims::EClaim::Failed:
      EVERROR(evDebug, "Cannot claim volume name [%s]: %s", name.c_str(), error.c_str());
      SetLastVMErrorDetails("Cannot claim volume name [" + name + "]: " + error);
      SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
      return ENameState::Failed;
    case CNameClaims::EClaim::Claimed:
      break;
  }
  return bridge->DoesVolumeExist(name, compartmentId) ? ENameState::Taken : ENameState::Free;
}

bool COracleCloudInfo::UpdateDiskNames(const RestoreCtx& ctx) {
  nameClaims.ReleaseAll();
  for (SDisk& disk : ctx.disks) {
    if (disk.selectedForRestore != 1) continue;
    string base;
    if (ctx.isConversion || ctx.useDiskNames) base = disk.targetVolume;
    if (!disk.targetVolume.empty()) {
      disk.displayName = disk.targetVolume;
    } else {
      int number = 0;
      ParseDiskIndexName(disk.indexName, base, number);
    }
    if (ctx.isConversion) disk.storageProperty = "/oracle/public/storage/latency";
    // A name of the base and a second: two jobs of the same second take the next free second.
    const INT64 now = HostClock::Now();
    const int seconds = base.empty() ? 1 : kVolumeNameSeconds;
    ENameState state = ENameState::Taken;
    for (int second = 0; second < seconds && state == ENameState::Taken; ++second) {
      if (!base.empty()) disk.displayName = base + "_" + std::to_string(now + second);
      state = ClaimVolumeName(disk.displayName, ctx.compartmentId);
    }
    if (state == ENameState::Failed) return false;
    if (state == ENameState::Taken) {
      EVERROR(evDebug, "Volume [%s] already exists for user [%s]. Cannot continue with restore.",
              disk.displayName.c_str(), ctx.compartmentId.c_str());
      const string text =
          base.empty()
              ? FXString::Format("Volume [%s] already exists in compartment [%s] or another job is making it",
                                 disk.displayName.c_str(), ctx.compartmentId.c_str())
              : FXString::Format(
                    "Volumes [%s_%lld] to [%s] already exist in compartment [%s] or other jobs "
                    "are making them",
                    base.c_str(), static_cast<long long>(now), disk.displayName.c_str(), ctx.compartmentId.c_str());
      SetLastVMError(VMERR_VOLUME_NAME_EXISTS);
      SetLastVMErrorDetails(text);
      return false;
    }
    if (!base.empty())
      disk.description = FXString::Format("Volume Created by Veltrio for Job %lld_at_%lld_from_%s",
                                          static_cast<long long>(EvEvent::getJobId()), static_cast<long long>(now),
                                          EvEvent::getClientName().c_str());
    EVDEBUG(evDebug, "Volume display name [%s] for volume [%s]", disk.displayName.c_str(), disk.indexName.c_str());
  }
  return true;
}

bool COracleCloudInfo::MakeVolumesBootable(const RestoreCtx& ctx) {
  for (const SDisk& disk : ctx.disks) {
    if (!disk.isBootDisk) continue;
    // A boot disk that is not bootable cannot start the instance: the failure ends the restore.
    if (!bridge->MakeVolumeBootable(disk.targetVolume)) {
      EVERROR(evDebug, "Failed to make volume [%s] bootable: %s", disk.targetVolume.c_str(),
              bridge->GetLastError().c_str());
      ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
      return false;
    }
    EVDEBUG(evDebug, "Make volume bootable for disk [%s]", disk.targetVolume.c_str());
  }
  return true;
}

bool COracleCloudInfo::_IsAutoVMShapeOptionSelected(const RestoreCtx& ctx) {
  if (ctx.vmSize.empty() || FXString::EqualsIgnoreCase(ctx.vmSize, kAutoSelectShape)) return true;
  EVDEBUGLVL(evDebug, 2, "Auto-Select VMShape not selected for VM:%s", ctx.originalVmName.c_str());
  return false;
}

bool COracleCloudInfo::LookUpTargetName(const RestoreCtx& ctx, std::vector<SVMInfo>& found, bool& exists) {
  if (bridge->DoesVMExist(ctx.vmName, found, ctx.compartmentId, exists)) return true;
  EVERROR(evDebug, "Failed to look up instance [%s] in user [%s]: %s", ctx.vmName.c_str(), ctx.compartmentId.c_str(),
          bridge->GetLastError().c_str());
  ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
  return false;
}

bool COracleCloudInfo::LaunchRestoredInstance(const RestoreCtx& ctx, const std::function<bool()>& launch) {
  SVMInfo& vm = ctx.vmInfo;
  CPendingCreate pending(cleaner, cleanerMode, ctx.restoreGuid, VM_CLEANER_ENTITY_VM, vm.name);
  if (!RecordedBeforeCreate(pending, vm.name, VMERR_VM_CREATION_FAILED)) return false;
  if (!launch()) {
    EVERROR(evDebug, "Failed to restore VM [%s], Error [%s]", ctx.vmName.c_str(), bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
  }
  if (cleaner.RegisterCreatedVM(cleanerMode, ctx.restoreGuid, vm.guid))
    DropPendingCreate(pending, vm.name);
  else
    EVERROR(evDebug, "Failed to register VM:[%s] to cleaner", vm.guid.c_str());
  ctx.vmCreated = true;
  ctx.restoredVmGuid = ctx.createdVmGuid = vm.guid;
  return true;
}

bool COracleCloudInfo::HandOverResult(const RestoreCtx& ctx, const std::vector<string>& snapshotIds, bool keepRoot) {
  if (!DropJobMarks(ctx, snapshotIds)) return false;
  handedOverRestore = ctx.restoreGuid;
  const string root =
      CleanerHandle::Root(cleanerMode, VM_CLEANER_ENTITY_VM, COracleCloudCleaner::RootKey(ctx.restoreGuid));
  std::vector<string> result;
  std::set<string> ids(snapshotIds.begin(), snapshotIds.end());
  std::set<std::pair<VM_Cleaner_EntityType, string>> names{{VM_CLEANER_ENTITY_VM, ctx.vmInfo.name}};
  auto add = [&](VM_Cleaner_EntityType type, const string& key) {
    if (!key.empty()) result.push_back(CleanerHandle::Child(root, type, key));
  };
  add(VM_CLEANER_ENTITY_VM, ctx.createdVmGuid);
  ids.insert(ctx.createdVmGuid);
  for (const SDisk& disk : ctx.disks) {
    if (disk.selectedForRestore != 1 || disk.isFiltered) continue;
    add(VM_CLEANER_ENTITY_DISK, disk.createdVolumeId);
    ids.insert(disk.createdVolumeId);
    names.emplace(VM_CLEANER_ENTITY_DISK, disk.displayName);
  }
  for (const string& id : snapshotIds) add(VM_CLEANER_ENTITY_SNAPSHOT, id);
  // A create of the result whose registration failed left its record, through which a sweep would
  // find the result. Records of creates that made something else stay, and with them the root.
  std::vector<string> pending;
  cleaner.GetRegisteredPendingCreates(root, pending);
  for (const string& key : pending)
    if (PendingCreateMadeOnly(key, ids, names)) add(VM_CLEANER_ENTITY_PENDING_CREATE, key);
  string error;
  if (cleaner.HandOver(root, result, keepRoot, error)) return true;
  const string details = FXString::Format("Instance [%s] [%s] is restored, but its hand-over could not be recorded: %s",
                                          ctx.vmName.c_str(), ctx.createdVmGuid.c_str(), error.c_str());
  EVERROR(evDebug, "%s", details.c_str());
  SetLastVMErrorDetails(details);
  SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
  return false;
}

bool COracleCloudInfo::PendingCreateMadeOnly(const string& key, const std::set<string>& ids,
                                             const std::set<std::pair<VM_Cleaner_EntityType, string>>& names) {
  using OracleCloudSDKCppBridge::EResourceKind;
  VM_Cleaner_EntityType kind = VM_CLEANER_ENTITY_VM;
  string token, name;
  INT64 since = 0;
  if (!COracleCloudCleaner::ParseTokenPendingCreateKey(key, kind, token, name))
    return COracleCloudCleaner::ParsePendingCreateKey(key, kind, name, since) && names.count({kind, name});
  EResourceKind resource = EResourceKind::Instance;
  if (!COracleCloudCleaner::ResourceKindOf(kind, resource)) return false;  // no resource: not the result's
  std::vector<string> made;
  // Without an answer only a record of the result's own name goes: it could only lead to the result.
  if (!bridge->FindResourcesByToken(resource, token, made)) return names.count({kind, name}) != 0;
  return std::all_of(made.begin(), made.end(), [&](const string& id) { return ids.count(id) != 0; });
}

bool COracleCloudInfo::DropJobMarks(const RestoreCtx& ctx, const std::vector<string>& snapshotIds) {
  using OracleCloudSDKCppBridge::EResourceKind;
  std::vector<std::pair<EResourceKind, string>> result = {{EResourceKind::Instance, ctx.createdVmGuid}};
  for (const SDisk& disk : ctx.disks)
    if (disk.selectedForRestore == 1 && !disk.isFiltered)
      result.emplace_back(EResourceKind::Volume, disk.createdVolumeId);
  for (const string& id : snapshotIds) result.emplace_back(EResourceKind::VolumeSnapshot, id);
  for (const auto& [kind, id] : result) {
    if (id.empty() || bridge->RemoveResourceTag(kind, id, JobTags::kJob)) continue;
    EVERROR(evDebug, "Failed to hand [%s] over: %s", id.c_str(), bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
  }
  return true;
}

bool COracleCloudInfo::FinishRestoredInstance(const RestoreCtx& ctx, bool reboot) {
  // The instance and its volumes are the job's result: handed over first, so that nothing after
  // this point (a failed power-off included) can make a clean-up delete them. A hand-over the
  // registry could not take fails the job, and its error is the one reported.
  bool ok = HandOverResult(ctx);
  if (reboot) {
    EVDEBUG(evDebug, "Rebooting converted instance [%s]", ctx.vmInfo.uri.c_str());
    bridge->RebootInstance(ctx.vmInfo.uri);
  }
  if (!ctx.powerOnAfterRestore) {
    if (bridge->PowerOffInstance(ctx.vmInfo.uri)) {
      EVDEBUG(evDebug, "Instance [%s] powered off", ctx.vmInfo.uri.c_str());
    } else {
      EVDEBUG(evDebug, "Powering off instance [%s] failed", ctx.vmInfo.uri.c_str());
      if (ok) ReportBridgeFailure(VMERR_VM_OPERATION_FAILED);
      ok = false;
    }
  }
  RemoveJobResultsDir(ctx.jobResultsDir);
  return ok;
}

void COracleCloudInfo::RemoveJobResultsDir(const string& dir) {
  if (dir.empty()) return;
  if (!IsRemovableJobFolder(dir)) {
    EVERROR(evDebug, "Refusing to remove job results directory [%s]", dir.c_str());
    return;
  }
  EVDEBUG(evDebug, "Removing job results directory [%s]", dir.c_str());
  string error;
  if (!CWqDirectory::Remove(dir, true, true, &error))
    EVDEBUG(evDebug, "Failed to remove job results directory [%s]: %s", dir.c_str(), error.c_str());
}

bool COracleCloudInfo::UnRegisterCreatedVMandDisksFromCleaner(const string& restoreGuid, const string& createdVmGuid,
                                                              const std::vector<SDisk>& disks) {
  EVDEBUGLVL(evDebug, 2, "CreatedVMID: [%s]", createdVmGuid.c_str());
  bool result = true;
  if (!cleaner.UnRegisterCreatedVM(cleanerMode, restoreGuid, createdVmGuid)) {
    EVDEBUG(evDebug, "Failed to unregister created VM:[%s]", createdVmGuid.c_str());
    result = false;
  }
  for (const SDisk& disk : disks) {
    if (disk.selectedForRestore != 1 || disk.isFiltered) continue;
    if (disk.createdVolumeId.empty()) {
      EVDEBUGLVL(evDebug, 2, "Skipping disk unregister as createdDiskId is empty, displayName [%s]",
                 disk.displayName.c_str());
      continue;
    }
    EVDEBUGLVL(evDebug, 2, "CreatedDiskID: [%s]", disk.createdVolumeId.c_str());
    if (!cleaner.UnRegisterDisk(cleanerMode, restoreGuid, disk.createdVolumeId)) {
      EVDEBUG(evDebug, "Failed to unregister created disk:[%s]", disk.createdVolumeId.c_str());
      result = false;
    }
  }
  return result;
}
