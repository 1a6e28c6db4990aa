// The empty volumes a restore writes the disks into: a plain volume per data disk, and for the boot
// disk a boot volume taken from a temporary instance launched from an image. Also the launch mode
// and attachment type of a restored instance.
#include <algorithm>

#include "cleanup/PendingCreate.h"
#include "host/FXString.h"
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"
#include "plugin/JobWorkers.h"

using namespace VMInfoStructs;

namespace {
constexpr int kGiBShift = 30;
constexpr long long kMinVolumeGiB = 50;
// A temporary instance of a flexible shape only has to boot once.
constexpr int kTempVmFlexCpus = 1;
constexpr INT64 kTempVmFlexMemoryMB = 1024;
}  // namespace

long long COracleCloudInfrastructureInfo::_GetAdjustedVolumeSize(long long bytes) {
  long long gib = bytes >> kGiBShift;
  if (bytes & ((1LL << kGiBShift) - 1)) ++gib;
  if (gib < kMinVolumeGiB) gib = kMinVolumeGiB;
  return gib << kGiBShift;
}

bool COracleCloudInfrastructureInfo::CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<SDisk>& disks) {
  std::vector<SDisk*> wanted;
  for (SDisk& disk : disks) {
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.selectedForRestore != 1) continue;
    if (disk.isFiltered) {
      EVDEBUG(evDebug, "Not creating new volume for filtered [%s][%s]", disk.displayName.c_str(),
              disk.indexName.c_str());
      continue;
    }
    disk.size = static_cast<UINT64>(_GetAdjustedVolumeSize(static_cast<long long>(disk.size)));
    wanted.push_back(&disk);
  }
  // The boot volume's image comes first: a restore that cannot have one (a temporary image without a
  // bucket, say) creates nothing at all.
  SBootImage bootImage;
  if (std::any_of(wanted.begin(), wanted.end(), [](const SDisk* disk) { return disk->isBootDisk; }) &&
      !_GetImageIdForVMRestore(ctx, bootImage.id, bootImage.isTemporary)) {
    EVERROR(evDebug, "Failed to get Image Id for VM");
    if (GetLastVMError() == VMERR_NONE) SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
    return false;
  }
  ctx.bootImageId = bootImage.id;
  // The cloud takes its provisioning time per volume: the volumes are made side by side, each by a
  // worker of the job, and the restore goes on once all are there. A volume made before another
  // failed, or before a worker could not be started, stays registered for the clean-up.
  CJobWorkers workers(CVMInfo::evDebug);
  for (SDisk* disk : wanted) {
    if (!workers.Start("create the volume of disk [" + disk->indexName + "]",
                       [this, &ctx, disk, &bootImage] { return CreateEmptyVolumeOfDisk(ctx, *disk, bootImage); }))
      break;
  }
  if (workers.Wait()) return true;
  workers.ReportFirstFailure(*this, VMERR_RESOURCE_CREATION_FAILED);
  return false;
}

bool COracleCloudInfrastructureInfo::CreateEmptyVolumeOfDisk(const RestoreCtx& ctx, SDisk& disk,
                                                             const SBootImage& bootImage) {
  // A worker of the job: a cancel stops it before its create.
  if (QuitRequested(__PRETTY_FUNCTION__)) return false;
  if (disk.isBootDisk) {
    // Registered as soon as its id was known, before the temporary instance went.
    if (!CreateEmptyBootVolume(ctx, disk, bootImage)) return false;
  } else {
    // Every create is recorded before its request and dropped once its resource is registered.
    const string name = disk.targetVolume.empty() ? disk.displayName : disk.targetVolume;
    CPendingCreate pending(cleaner, cleanerMode, ctx.restoreGuid, VM_CLEANER_ENTITY_DISK, name);
    if (!RecordedBeforeCreate(pending, name, VMERR_RESOURCE_CREATION_FAILED) ||
        !CreateEmptyVolume(disk, ctx.availabilityDomain, ctx.compartmentId))
      return false;
    if (cleaner.RegisterDisk(cleanerMode, ctx.restoreGuid, disk.createdVolumeId))
      DropPendingCreate(pending, name);
    else
      EVDEBUG(evDebug, "Failed to register volume [%s][%s]", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
  }
  EVDEBUG(evDebug, "Successfully created volume [%s] for [%s]", disk.targetVolume.c_str(), disk.indexName.c_str());
  return true;
}

bool COracleCloudInfrastructureInfo::CreateEmptyVolume(SDisk& disk, const string& availabilityDomain,
                                                       const string& compartmentId) {
  EVDEBUG(evDebug, "Creating blockVolume for disk: [%s]", disk.displayName.c_str());
  SDisk volume;
  volume.displayName = disk.targetVolume.empty() ? disk.displayName : disk.targetVolume;
  volume.size = disk.size;
  volume.availabilityDomain = availabilityDomain;
  if (!bridge->CreateVolume(volume, compartmentId)) {
    EVDEBUG(evDebug, "Failed to create volume for [%s], Error [%s]", disk.indexName.c_str(),
            bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
  }
  disk.targetVolume = disk.displayName;
  disk.createdVolumeId = volume.guid;
  disk.guid = disk.createdVolumeId;
  return true;
}

SVMInfo COracleCloudInfrastructureInfo::CreateTempVmInfo(const RestoreCtx& ctx) {
  SVMInfo vm;
  vm.name = ctx.vmName;
  vm.vmSize = ctx.vmSize;
  vm.compartmentId = ctx.compartmentId;
  vm.availabilityDomain = ctx.availabilityDomain;
  vm.networkCards = ctx.networkCards;
  return vm;
}

bool COracleCloudInfrastructureInfo::CreateEmptyBootVolume(const RestoreCtx& ctx, SDisk& disk,
                                                           const SBootImage& bootImage) {
  const string& imageId = bootImage.id;
  SVMInfo tempVm = CreateTempVmInfo(ctx);
  const bool autoShape = _IsAutoVMShapeOptionSelected(ctx);
  if (autoShape && ctx.isConversion) {
    tempVm.vmSize = _GetSmallestCompatibleVmSizeForImage(imageId, ctx.compartmentId, ctx.availabilityDomain);
    if (tempVm.vmSize.empty()) {
      SetLastVMError(VMERR_RESOURCE_CREATION_FAILED);
      return false;
    }
  } else if (autoShape) {
    tempVm.vmSize = ctx.sourceVmSize;
  }
  if (IsFlexibleShape(tempVm.vmSize)) {
    tempVm.cpuCount = kTempVmFlexCpus;
    tempVm.memoryMB = kTempVmFlexMemoryMB;
  }
  if (!_CreateEmptyBootVolume(disk, tempVm, imageId, ctx.restoreGuid)) return false;
  // A converted machine's shape is chosen among those of this image in the pre phase: a temporary
  // image stays (registered) until then.
  if (bootImage.isTemporary && !(autoShape && ctx.isConversion)) _DeleteTemporaryImage(imageId, ctx.restoreGuid);
  return true;
}

bool COracleCloudInfrastructureInfo::_CreateEmptyBootVolume(SDisk& disk, SVMInfo& tempVm, const string& imageId,
                                                            const string& restoreGuid) {
  if (QuitRequested(__PRETTY_FUNCTION__)) return false;
  EVDEBUG(evDebug, "Creating bootVolume for disk: [%s]", disk.displayName.c_str());
  const int sizeGiB = static_cast<int>(disk.size >> kGiBShift);
  CPendingCreate pending(cleaner, cleanerMode, restoreGuid, VM_CLEANER_ENTITY_VM, tempVm.name);
  if (!RecordedBeforeCreate(pending, tempVm.name, VMERR_RESOURCE_CREATION_FAILED)) return false;
  if (!bridge->DeployVM(tempVm, imageId, sizeGiB)) {
    EVDEBUG(evDebug, "Failed to create temp VM [%s], Error [%s]", tempVm.name.c_str(), bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
  }
  EVDEBUGLVL(evDebug, 2, "Intermediate VM: [%s]", tempVm.guid.c_str());
  if (cleaner.RegisterCreatedVM(cleanerMode, restoreGuid, tempVm.guid))
    DropPendingCreate(pending, tempVm.name);
  else
    EVERROR(evDebug, "Failed to register VM to cleaner:[%s].", tempVm.guid.c_str());
  if (!bridge->GetBootVolumeIdForInstance(tempVm, disk.createdVolumeId)) {
    EVERROR(evDebug, "Failed to obtain the boot volume ID for VM: %s, Error: %s.", tempVm.name.c_str(),
            bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
  }
  // The volume is the restore's from here on: registered before the instance that made it goes,
  // so that a job dying in between leaves it to the sweep.
  if (!cleaner.RegisterDisk(cleanerMode, restoreGuid, disk.createdVolumeId))
    EVDEBUG(evDebug, "Failed to register volume [%s][%s]", tempVm.name.c_str(), disk.createdVolumeId.c_str());
  disk.targetVolume = tempVm.name;
  disk.guid = disk.createdVolumeId;
  EVDEBUGLVL(evDebug, 2, "BootDisk:: Name:%s, Ocid:%s.", disk.targetVolume.c_str(), disk.createdVolumeId.c_str());
  // Waits for the termination: the boot volume stays held (it cannot be attached) until then.
  if (!bridge->DeleteVM(tempVm.name, tempVm.guid, true, true)) {
    EVDEBUG(evDebug, "Failed to delete temp VM: %s, Error: %s.", tempVm.name.c_str(), bridge->GetLastError().c_str());
    return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
  }
  if (!cleaner.UnRegisterCreatedVM(cleanerMode, restoreGuid, tempVm.guid))
    EVERROR(evDebug, "Failed to unregister VM from cleaner:[%s].", tempVm.guid.c_str());
  return true;
}

string COracleCloudInfrastructureInfo::_GetImageLaunchMode(const RestoreCtx& ctx) {
  string mode = ctx.launchMode.empty() ? "NATIVE" : ctx.launchMode;
  if (ctx.isConversion) {
    mode =
        _IsLinuxVM(ctx.guestOs) && _IsParavirtualizedModeForLinuxVMConversionEnabled() ? "PARAVIRTUALIZED" : "EMULATED";
  }
  EVDEBUG(evDebug, "LaunchMode: [%s] will be used for Instance: [%s]", mode.c_str(), ctx.vmName.c_str());
  return mode;
}

string COracleCloudInfrastructureInfo::_GetVolumeAttachmentTypeToRestoredInstance(const RestoreCtx& ctx) {
  const bool paravirtualized =
      ctx.isConversion && _IsLinuxVM(ctx.guestOs) && _IsParavirtualizedModeForLinuxVMConversionEnabled();
  string type = paravirtualized ? "paravirtualized" : "iscsi";
  EVDEBUG(evDebug, "AttachmentType: [%s] will be used for Instance: %s", type.c_str(), ctx.vmName.c_str());
  return type;
}

bool COracleCloudInfrastructureInfo::_IsLinuxVM(const string& guestOs) {
  if (!FXString::FindString(guestOs, "linux") && !FXString::FindString(guestOs, "centos")) return false;
  EVDEBUG(evDebug, "Guest OS is Linux");
  return true;
}

bool COracleCloudInfrastructureInfo::_IsParavirtualizedModeForLinuxVMConversionEnabled() {
  bool enabled = true;
  TZPlatformInfo::getBoolean("VirtualServer", "bOCIEnableParavirtualizedModeForLinuxVMConversion", &enabled);
  if (enabled) EVDEBUG(evDebug, "Paravirtualized mode is enabled for conversion of Linux VMs");
  return enabled;
}
