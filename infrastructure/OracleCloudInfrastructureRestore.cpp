// The restore of an instance into the infrastructure cloud: Init makes an empty volume per disk and
// attaches them to the proxy, the agent writes the disks, Pre detaches them and settles the shape,
// Restore launches the instance from the boot volume and attaches the rest, Post hands the result
// over and leaves it in the asked power state. What a failed restore made is registered under the
// restore's id and removed by CleanupRestoreVM.
#include <sys/stat.h>

#include <algorithm>

#include "host/FXFile.h"
#include "host/FXString.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "util/OracleCloudInfoUtils.h"

using namespace VMInfoStructs;

namespace {
constexpr size_t kLoggedConfigBytes = 256;
}  // namespace

bool COracleCloudInfrastructureInfo::_InitRestoreVM(const RestoreCtx& ctx) {
  if (!_IsRestoreFeasible(ctx)) {
    EVERROR(evDebug, "Restore of VM:%s is not feasible and hence will not be attempted.", ctx.vmName.c_str());
    return false;
  }
  if (ctx.restoreType != RESTORE_TYPE_FULL_INSTANCE) {
    EVERROR(evDebug, "not implemented yet");
    SetLastVMErrorDetails(FXString::Format("Restore type [%u] is not supported", ctx.restoreType));
    SetLastVMError(VMERR_VM_OPERATION_NOT_SUPPORTED);
    return false;
  }
  return _InitRestoreVM_FullVM(ctx);
}

bool COracleCloudInfrastructureInfo::_IsRestoreFeasible(const RestoreCtx& ctx) {
  if (LocalVMGuid().empty()) {
    EVERROR(evDebug, "The proxy is not in Oracle Cloud Infrastructure.");
    SetLastVMError(VMERR_PROXY_NOT_FOUND);
    return false;
  }
  const string proxyDomain = ProxyRecord().availabilityDomain;
  if (ctx.availabilityDomain != proxyDomain) {
    EVERROR(evDebug,
            "\tThe selected destination AvailabilityDomain(%s) is different from the AvailabilityDomain of the "
            "proxy(%s)",
            ctx.availabilityDomain.c_str(), proxyDomain.c_str());
    SetLastVMError(VMERR_NOT_FEASIBLE);
    return false;
  }
  return true;
}

bool COracleCloudInfrastructureInfo::_InitRestoreVM_FullVM(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "****Start");
  EVDEBUG(evDebug, "ComapartMentID: [%s]", ctx.compartmentId.c_str());
  EVDEBUG(evDebug, "BucketName: [%s]", ctx.bucketName.c_str());
  if (ctx.disks.empty()) {
    SetLastVMError(VMERR_NO_VOLUMES);
    EVDEBUG(evDebug, "There are no disks to be restored");
  }
  overwrittenInstance.clear();
  if (!HandleOverwriteOption(ctx)) return false;
  if (!CreateEmptyVolumes(ctx, ctx.disks)) {
    EVERROR(evDebug, "Error while creating empty disks");
    return false;
  }
  return AttachVolumes(ctx.restoreGuid, ctx.disks, true, true);
}

int COracleCloudInfrastructureInfo::HandleOverwriteOption(const RestoreCtx& ctx) {
  std::vector<SVMInfo> found;
  bool exists = false;
  if (!LookUpTargetName(ctx, found, exists)) return 0;
  if (!exists) {
    EVDEBUG(evDebug, "Instance [%s] not found in  user [%s]", ctx.vmName.c_str(), ctx.compartmentId.c_str());
    return 1;
  }
  if (!ctx.inPlaceRestore && !ctx.overwrite) return RefuseToOverwrite(VMERR_VM_ALREADY_EXISTS);
  if (RefusesProxyAsTarget(ctx, found)) return 0;
  if (found.size() == 1) {
    // Replaced only once the new instance's volumes are written and verified, just before its launch:
    // a restore that fails before then leaves the instance as it was.
    EVDEBUG(evDebug, "Found one Instance with name [%s] exist in compartment [%s]; it is replaced at the launch",
            ctx.vmName.c_str(), ctx.compartmentId.c_str());
    overwrittenInstance = found[0].guid;
    return 1;
  }
  if (found.size() > 1) return RefuseAmbiguousTarget(ctx);
  return 1;
}

bool COracleCloudInfrastructureInfo::_PreRestoreVM(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "****Start");
  string cleanerPath;
  if (!cleaner.GetRegisteredVM(cleanerMode, ctx.restoreGuid, cleanerPath)) {
    EVERROR(evDebug, "Failed to get the cleanerpath");
    SetLastVMErrorDetails(FXString::Format("Restore [%s] is not registered", ctx.restoreGuid.c_str()));
    SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  EVDEBUGLVL(evDebug, 2, "CleanerPath: %s", cleanerPath.c_str());
  if (!DetachVolumes(ctx.disks, cleanerPath)) {
    EVERROR(evDebug, "Failed to detach volumes from proxy");
    if (GetLastVMError() == VMERR_NONE) SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  if (_IsAutoVMShapeOptionSelected(ctx)) {
    if (ctx.isConversion) {
      // The image the boot volume came from decides the shapes: a temporary one was kept until now.
      const string shape = _GetAutoSelectedVMSize(ctx);
      if (!ctx.tempImageId.empty()) _DeleteTemporaryImage(ctx.tempImageId, ctx.restoreGuid);
      if (shape.empty()) {
        EVERROR(evDebug, "Failed to Auto-Select VmSize for VM");
        if (GetLastVMErrorDetails().empty()) SetLastVMErrorDetails("Failed to Auto-Select VmSize for VM");
        SetLastVMError(VMERR_VM_CREATION_FAILED);
        return false;
      }
      ctx.vmSize = shape;
    } else {
      ctx.vmSize = ctx.sourceVmSize;
      EVDEBUG(evDebug, "Using source Shape [%s]", ctx.vmSize.c_str());
    }
  }
  return true;
}

bool COracleCloudInfrastructureInfo::_RestoreVM(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "****Start");
  return _PopulateRestoreCtxVMInfo(ctx) && _RestoreInstance(ctx);
}

bool COracleCloudInfrastructureInfo::_PopulateRestoreCtxVMInfo(const RestoreCtx& ctx) {
  // Only the saved size is used; a record that could not be read (or a conversion's) has none.
  SVMInfo saved;
  string unread;
  if (ctx.isConversion || !_PopulateVMInfoFromVMConfigFile(ctx, saved, &unread)) {
    if (!ctx.isConversion) EVDEBUG(evDebug, "Could not populate VMInfo from config file.");
    saved.cpuCount = 0;
    saved.memoryMB = -1;
  } else if (saved.cpuCount <= 0 || saved.memoryMB <= 0) {
    unread = "the saved configuration [" + SavedConfigPath(ctx) + "] holds no CPU count or memory";
  }
  SVMInfo& vm = ctx.vmInfo;
  vm.guid.clear();
  vm.disks.clear();
  vm.name = ctx.vmName;
  vm.compartmentId = ctx.compartmentId;
  vm.availabilityDomain = ctx.availabilityDomain;
  EVDEBUG(evDebug, "AD [%s] ; Instance name [%s] ; compartmentId [%s] ", vm.availabilityDomain.c_str(), vm.name.c_str(),
          vm.compartmentId.c_str());
  vm.vmSize = ctx.vmSize;
  if (IsFlexibleShape(vm.vmSize)) {
    // A flexible shape's CPUs and memory are the source's: without them the cloud would choose.
    if (!ctx.isConversion && !unread.empty()) {
      const string text = FXString::Format(
          "The CPU count and memory of instance [%s] of flexible shape [%s] are "
          "missing: %s",
          vm.name.c_str(), vm.vmSize.c_str(), unread.c_str());
      EVERROR(evDebug, "%s", text.c_str());
      SetLastVMErrorDetails(text);
      SetLastVMError(VMERR_VM_CREATION_FAILED);
      return false;
    }
    vm.cpuCount = saved.cpuCount;
    vm.memoryMB = saved.memoryMB;
  }
  EVDEBUG(evDebug, "Instance type: [%s], CPU count: [%ld], Memory (in MB): [%lld] ", vm.vmSize.c_str(),
          static_cast<long>(vm.cpuCount), static_cast<long long>(vm.memoryMB));
  vm.networkCards = ctx.networkCards;
  for (SVMNetworkCard& card : vm.networkCards) {
    card.optionFlag = ctx.networkOptionFlag;
    EVDEBUG(evDebug, " Network [%s] [%s]", card.name.c_str(), card.subnetId.c_str());
  }
  for (SDisk& disk : ctx.disks) {
    if (disk.selectedForRestore != 1) continue;
    disk.guid = disk.createdVolumeId;
    vm.disks.push_back(disk);
    EVDEBUG(evDebug, "Disk [%s] [%s]", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
  }
  return true;
}

string COracleCloudInfrastructureInfo::SavedConfigPath(const RestoreCtx& ctx) {
  return ctx.configFilesPath + "/" + ctx.sourceConfigName + ".json";
}

bool COracleCloudInfrastructureInfo::_PopulateVMInfoFromVMConfigFile(const RestoreCtx& ctx, SVMInfo& out, string* why) {
  const string path = SavedConfigPath(ctx);
  auto fails = [&](const string& what) {
    if (why) *why = "the saved configuration [" + path + "] " + what;
    return false;
  };
  if (!FXPath::IsBareName(ctx.sourceConfigName + ".json")) {
    EVERROR(evDebug, "Refusing config file [%s]: its name leaves the configuration folder", path.c_str());
    return fails("is refused: its name leaves the configuration folder");
  }
  if (!OracleCloudInfoUtils::IsAbsoluteCleanPath(ctx.configFilesPath)) {
    EVERROR(evDebug, "Refusing config file [%s]: its folder is not an absolute path without . or .. parts",
            path.c_str());
    return fails("is refused: its folder is not an absolute path without . or .. parts");
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    EVDEBUG(evDebug, "Config file [%s] not found", path.c_str());
    return fails("was not found");
  }
  string contents;
  if (!ReadRegularFile(path, contents)) {
    EVDEBUG(evDebug, "Failed to read config file :[%s]", path.c_str());
    return fails("is not a regular file or could not be read");
  }
  if (!bridge->ReadInstanceConfig(contents, out)) {
    const bool cut = contents.size() > kLoggedConfigBytes;
    EVDEBUG(evDebug, "Failed to parse config file [%s] contents:[%s%s]", path.c_str(),
            contents.substr(0, kLoggedConfigBytes).c_str(), cut ? "..." : "");
    return fails("could not be parsed: " + bridge->GetLastError());
  }
  return true;
}

bool COracleCloudInfrastructureInfo::_RestoreInstance(const RestoreCtx& ctx) {
  SVMInfo& vm = ctx.vmInfo;
  // A disk without a created volume (a filtered one) has nothing to attach.
  std::vector<SDisk> disks;
  for (const SDisk& disk : vm.disks) {
    if (!disk.createdVolumeId.empty()) disks.push_back(disk);
  }
  vm.disks = disks;
  auto boot = std::find_if(vm.disks.begin(), vm.disks.end(), [](const SDisk& d) { return d.isBootDisk; });
  if (boot == vm.disks.end()) {
    EVDEBUG(evDebug, "No boot disk found in disk List");
    SetLastVMError(VMERR_VM_CREATION_FAILED);
    return false;
  }
  const SDisk bootDisk = *boot;
  vm.disks.erase(boot);
  EVDEBUG(evDebug, "BootDisk:: Ocid:%s,  Name:%s.", bootDisk.createdVolumeId.c_str(), bootDisk.targetVolume.c_str());
  if (!RemoveReplacedDestination(ctx) || !DeleteOverwrittenInstance(ctx)) return false;
  if (!LaunchRestoredInstance(ctx, [&] { return bridge->RestoreVM(vm, bootDisk); })) return false;

  const string type = _GetVolumeAttachmentTypeToRestoredInstance(ctx);
  for (SDisk& disk : vm.disks) {
    disk.attachmentType = type;
    bool noFreeSlot = false;
    if (!bridge->AttachVolume(disk, ctx.restoredVmGuid, noFreeSlot)) {
      EVERROR(evDebug, "Failed to attach disk[%s][%s] to instance[%s][%s]", disk.targetVolume.c_str(),
              disk.createdVolumeId.c_str(), ctx.vmName.c_str(), ctx.restoredVmGuid.c_str());
      return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
    }
  }
  for (size_t card = 1; card < ctx.networkCards.size(); ++card) {
    if (!bridge->AttachVnic(vm, vm.networkCards[card])) {
      EVERROR(evDebug, "Failed to attach secondary VNIC to instance[%s][%s]", ctx.vmName.c_str(),
              ctx.restoredVmGuid.c_str());
      return ReportBridgeFailure(VMERR_VM_CREATION_FAILED);
    }
  }
  EVDEBUG(evDebug, "Successfully created VM [%s] / [%s]", ctx.restoredVmGuid.c_str(), ctx.vmName.c_str());
  return true;
}

bool COracleCloudInfrastructureInfo::DeleteOverwrittenInstance(const RestoreCtx& ctx) {
  if (overwrittenInstance.empty()) return true;
  EVDEBUG(evDebug, "Deleting existing vm [%s]", ctx.vmName.c_str());
  if (!bridge->DeleteVM(ctx.vmName, overwrittenInstance, true, false)) {
    EVDEBUG(evDebug, "Failed to delete instance [%s]. Aborting restore.! Error [%s]", ctx.vmName.c_str(),
            bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_VM_DELETE_FAILED);
  }
  EVDEBUG(evDebug, "Successfully deleted the Instance [%s] in compartment [%s].", overwrittenInstance.c_str(),
          ctx.compartmentId.c_str());
  overwrittenInstance.clear();
  return true;
}

bool COracleCloudInfrastructureInfo::_PostRestoreVM(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "****Start");
  return FinishRestoredInstance(ctx, ctx.restoreType == RESTORE_TYPE_FULL_INSTANCE);
}

int COracleCloudInfrastructureInfo::CleanupRestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("CleanupRestoreVM", VMERR_VM_DELETE_FAILED, [&] { return CleanupRestoredResources(ctx); });
}

int COracleCloudInfrastructureInfo::CleanupRestoredResources(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "Cleaning created VM during restore");
  if (!InitProxyVMInfo() || !InitMapperAndCleaner()) return 0;
  cleanerMode = VM_CLEANER_MODE_RESTORE;
  // Only what this restore registered goes: volumes and instances it did not record as its own
  // (a source volume named in the context, another job's) are never touched.
  string cleanerPath;
  if (!cleaner.GetRegisteredVM(cleanerMode, ctx.restoreGuid, cleanerPath)) {
    EVDEBUG(evDebug, "Could not find cleanerpath for VM");
    return 1;
  }
  return _CleanupRestoreVM(ctx.restoreGuid) ? 1 : 0;
}
