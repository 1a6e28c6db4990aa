// The mount of a backup job and its unwinding: feasibility, registration with the cleaner, the
// snapshots and replicas, and the configuration files saved with the backup.
#include <pthread.h>

#include <functional>
#include <utility>

#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// Runs the unwinding of a mount unless the mount was dismissed as done, also when an exception
// leaves it.
class CMountUnwind {
 public:
  explicit CMountUnwind(std::function<void()> unwind) : unwind_(std::move(unwind)) {}
  ~CMountUnwind() {
    if (unwind_) unwind_();
  }
  CMountUnwind(const CMountUnwind&) = delete;
  CMountUnwind& operator=(const CMountUnwind&) = delete;
  void Dismiss() { unwind_ = nullptr; }

 private:
  std::function<void()> unwind_;
};
}  // namespace

int COracleCloudInfo::MountVM(const MountCtx& ctx) {
  try {
    SetLastVMError(VMERR_NONE);
    if (!bridge->CheckConnection()) {
      SetLastVMError(VMERR_CONNECTION_FAILED);
      SetLastVMErrorDetails(bridge->GetLastError());
      EVDEBUG(evDebug, "Connection lost [%s]", bridge->GetLastError().c_str());
      return 0;
    }
    // UnmountVM catches everything itself, so the unwinding never throws out of the guard.
    CMountUnwind unwind([&] { KeepFirstFailureAcross("unmount", [&] { return UnmountVM(ctx) != 0; }); });
    int result = _MountVM(ctx);
    if (result != 0) unwind.Dismiss();
    return result;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

int COracleCloudInfo::_MountVM(const MountCtx& ctx) {
  if (!_PrepareMountPathDirectory(ctx.mountPath.c_str(), true)) {
    EVERROR(evDebug, "Failed to prepare mount dir [%s]", ctx.mountPath.c_str());
    return 0;
  }
  if (!IsBackupFeasible(ctx)) return 0;
  if (!RegisterCleanerForBackup(ctx)) return 0;
  if (!ConnectDiskInfo(ctx)) return 0;
  if (!CheckSnapshotLimit(ctx)) return 0;

  EVDEBUG(evDebug, "Mounting [%d] volumes concurrently", static_cast<int>(ctx.vmInfo.disks.size()));
  if (!CreateVolumeSnapshots(ctx.vmGuid, ctx.vmInfo.disks)) {
    EVERROR(evDebug, "Parallel volume snapshot creation has failed!");
    return 0;
  }
  EVDEBUGLVL(evDebug, 2, "All snapshots have completed");
  if (!CreateVolumesFromSnapshots(ctx.vmGuid, ctx.vmInfo.disks)) {
    EVERROR(evDebug, "Parallel volume creation from snapshots has failed!");
    return 0;
  }
  EVDEBUGLVL(evDebug, 2, "All replica volume creations have completed");
  if (!RegisterDisksWithDiskInfo(ctx)) {
    EVERROR(evDebug, "Failed to register volumes with diskInfo");
    return 0;
  }
  // The infrastructure flavour attaches each replica when the agent opens that disk.
  if (GetVSInstType() != VSINST_ORACLE_CLOUD_INFRASTRUCTURE &&
      !AttachVolumes(ctx.vmGuid, ctx.vmInfo.disks, false, true))
    return 0;

  std::map<string, string> files;
  if (!bridge->GetInstanceConfigurations(ctx.vmInfo.uri, files)) {
    EVERROR(evDebug, "Unable to download configurations for instance [%s]", ctx.vmInfo.name.c_str());
    SetLastVMError(VMERR_CONFIG_DOWNLOAD_FAILED);
    return 0;
  }
  if (!SaveVMConfigFiles(ctx, files)) {
    SetLastVMError(VMERR_CONFIG_SAVE_FAILED);
    return 0;
  }
  return 1;
}

bool COracleCloudInfo::IsBackupFeasible(const MountCtx& ctx) {
  if (FXString::EqualsIgnoreCase(ctx.vmGuid, LocalVMGuid())) {
    SetLastVMErrorDetails(
        FXString::Format("Instance [%s] [%s] is the proxy this agent runs on: cannot back up the proxy itself",
                         ctx.vmName.c_str(), ctx.vmGuid.c_str()));
    SetLastVMError(VMERR_BACKUP_OF_PROXY);
    EVDEBUG(evDebug, "Instance [%s][%s] cannot backup itself!!", ctx.vmName.c_str(), ctx.vmGuid.c_str());
    return false;
  }
  if (!InitProxyVMInfo()) {
    EVERROR(evDebug, "The proxy was not found in Oracle cloud, cannot continue backup ");
    SetLastVMError(VMERR_PROXY_NOT_FOUND);
    return false;
  }
  if (!InitBackupVMInfo(ctx)) return false;
  return IsBackupFeasibleForVM(ctx);
}

bool COracleCloudInfo::InitBackupVMInfo(const MountCtx& ctx) {
  if (bridge->GetVMInfo(ctx.vmName, ctx.vmGuid, ctx.vmInfo, VMINFO_FLAGS_BACKUP)) return true;
  EVERROR(evDebug, "Failed to get VMInfo for Instance [%s][%s]", ctx.vmName.c_str(), ctx.vmGuid.c_str());
  SetLastVMError(VMERR_VM_NOT_FOUND);
  return false;
}

bool COracleCloudInfo::IsBackupFeasibleForVM(const MountCtx& ctx) {
  if (ctx.vmInfo.disks.empty()) {
    SetLastVMError(VMERR_NO_VOLUMES);
    EVERROR(evDebug, "No attached volumes found for instance [%s]", ctx.vmInfo.name.c_str());
    return false;
  }
  return _IsBackupFeasibleForVM(ctx);
}

bool COracleCloudInfo::RegisterCleanerForBackup(const MountCtx& ctx) {
  if (!InitMapperAndCleaner()) {
    if (!cleaner.IsInitialized()) {
      SetLastVMErrorDetails(FXString::Format("The registry of created entities cannot be opened for instance [%s]: %s",
                                             ctx.vmGuid.c_str(), cleaner.InitError().c_str()));
      SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
    }
    return false;
  }
  cleanerMode = VM_CLEANER_MODE_BACKUP;
  StartJobTagging(!staleJobsCleaned);
  staleJobsCleaned = true;
  // The first write of the job: nothing is created in the cloud unless it succeeded.
  bool heldByAnotherJob = false;
  if (cleaner.RegisterVM(cleanerMode, ctx.vmGuid, heldByAnotherJob)) return true;
  if (heldByAnotherJob) {
    const string details = FXString::Format("Instance [%s] is being backed up by another job", ctx.vmGuid.c_str());
    EVERROR(evDebug, "%s", details.c_str());
    SetLastVMErrorDetails(details);
    SetLastVMError(VMERR_VM_BACKED_UP_BY_ANOTHER_JOB);
    return false;
  }
  EVDEBUG(evDebug, "Failed to register VM [%s]", ctx.vmGuid.c_str());
  SetLastVMErrorDetails(FXString::Format("The registry of created entities [%s] cannot record instance [%s]",
                                         cleaner.DatabasePath().c_str(), ctx.vmGuid.c_str()));
  SetLastVMError(VMERR_REGISTRY_WRITE_FAILED);
  return false;
}

bool COracleCloudInfo::SaveVMConfigFiles(const MountCtx& ctx, const std::map<string, string>& files) {
  if (ctx.vmInfo.guid.empty()) {
    EVDEBUG(evDebug, "Instance GUID is empty for [%s]", ctx.vmInfo.name.c_str());
    return false;
  }
  const string prefix = ctx.mountPath + "/" + ctx.vmInfo.guid;
  for (const auto& [suffix, content] : files) {
    const string path = prefix + suffix;
    if (!FXPath::IsBareName(ctx.vmInfo.guid + suffix)) {
      EVERROR(evDebug, "Refusing instance config [%s]: its name leaves the mount directory", path.c_str());
      return false;
    }
    if (content.empty()) {
      EVDEBUG(evDebug, "Skipping config file [%s] because of its absence on oracle cloud", path.c_str());
      continue;
    }
    if (!WriteWholeFile(path, content)) {
      EVERROR(evDebug, "Failed to write instance config [%s]", path.c_str());
      return false;
    }
    EVDEBUG(evDebug, "Wrote instance config file [%s] successfully", path.c_str());
  }
  return true;
}

void COracleCloudInfo::GetUniqueResourceName(string& name) {
  name = FXString::Format("%s%lld_%d_%ld", "_QD_BACKUP_", static_cast<long long>(EvEvent::getJobId()),
                          static_cast<int>(pthread_self()), static_cast<long>(HostClock::Now()));
}

int COracleCloudInfo::UnmountVM(const MountCtx& ctx) {
  try {
    if (!InitProxyVMInfo()) return 0;
    int result = 1;
    if (!_CleanupMountedVM(ctx.vmGuid)) result = 0;
    if (!DisconnectDiskInfo(ctx)) result = 0;
    return result;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

int COracleCloudInfo::CleanupVM(const MountCtx& ctx) {
  try {
    if (!InitProxyVMInfo() || !InitMapperAndCleaner()) return 0;
    cleanerMode = VM_CLEANER_MODE_BACKUP;
    return _CleanupMountedVM(ctx.vmGuid) ? 1 : 0;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

int COracleCloudInfo::CollectMetadata(const MountCtx& ctx) { return 1; }

bool COracleCloudInfo::_CleanupMountedVM(const string& instanceId) {
  EVDEBUGLVL(evDebug, 3, "Cleaning up VM [%s].", instanceId.c_str());
  string path;
  if (!cleaner.GetRegisteredVM(cleanerMode, instanceId, path)) return true;
  if (!CleanupMountedVolumes(path)) return false;
  if (!CleanupPendingCreates(path)) return false;
  if (!CleanupSnapshots(path)) return false;
  if (!cleaner.UnRegisterVM(path)) EVDEBUG(evDebug, "Failed to unregister VM [%s]", instanceId.c_str());
  return true;
}
