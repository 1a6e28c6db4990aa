// The restore of an instance into the classic cloud: Init makes an empty volume per disk and
// attaches them to the proxy, the agent writes the disks, Pre detaches them, Restore launches the
// instance from its saved orchestration (or through a launch plan) with the volumes under their
// disk numbers, Post hands the result over and leaves it in the asked power state. What a failed
// restore made is registered under the restore's id and removed by CleanupRestoreVM.
#include <algorithm>

#include "classic/OracleCloudClassicInfo.h"
#include "cleanup/PendingCreate.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/TZPlatformInfo.h"

using namespace VMInfoStructs;

bool COracleCloudClassicInfo::_InitRestoreVM(const RestoreCtx& ctx) {
  if (!HandleOverwriteOption(ctx)) return false;
  if (ctx.disks.empty()) {
    SetLastVMError(VMERR_NO_VOLUMES);
    EVDEBUG(evDebug, "There are no disks to be restored");
  }
  if (!UpdateDiskNames(ctx)) return false;
  if (!CreateEmptyVolumes(ctx, ctx.disks)) return false;
  if (!AttachVolumes(ctx.restoreGuid, ctx.disks, true, true)) return false;
  if (ctx.isConversion) ResetDiskTypeForConversion(ctx.disks);
  return true;
}

int COracleCloudClassicInfo::HandleOverwriteOption(const RestoreCtx& ctx) {
  std::vector<SVMInfo> found;
  bool exists = false;
  if (!LookUpTargetName(ctx, found, exists)) return 0;
  if (exists) {
    // The classic flavour never replaces an instance, whatever the overwrite option says.
    const string text = FXString::Format("Found Instance with name [%s] already in user [%s]", ctx.vmName.c_str(),
                                         ctx.compartmentId.c_str());
    EVDEBUG(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_ALREADY_EXISTS);
    return 0;
  }
  EVDEBUG(evDebug, "Instance [%s] not found in  user [%s]", ctx.vmName.c_str(), ctx.compartmentId.c_str());
  return 1;
}

bool COracleCloudClassicInfo::CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<SDisk>& disks) {
  for (SDisk& disk : disks) {
    if (QuitRequested(__PRETTY_FUNCTION__)) return false;
    if (disk.selectedForRestore != 1) continue;
    if (disk.isFiltered) {
      EVDEBUG(evDebug, "Not creating new volume for filtered [%s][%s]", disk.displayName.c_str(),
              disk.indexName.c_str());
      continue;
    }
    SDisk volume;
    volume.size = disk.size;
    volume.displayName = disk.displayName;
    volume.storageProperty = disk.storageProperty;
    volume.description = disk.description;
    // Every create is recorded before its request and dropped once its volume is registered;
    // volumes made for earlier records stay registered for the clean-up.
    CPendingCreate pending(cleaner, cleanerMode, ctx.restoreGuid, VM_CLEANER_ENTITY_DISK, volume.displayName);
    if (!RecordedBeforeCreate(pending, volume.displayName, VMERR_RESOURCE_CREATION_FAILED)) return false;
    if (!bridge->CreateVolume(volume, ctx.compartmentId)) {
      EVERROR(evDebug, "Failed to create volume for [%s], Error [%s]", disk.indexName.c_str(),
              bridge->GetLastError().c_str());
      return ReportBridgeFailure(VMERR_RESOURCE_CREATION_FAILED);
    }
    disk.volumeId = disk.targetVolume = disk.createdVolumeId = volume.volumeId;
    if (cleaner.RegisterDisk(cleanerMode, ctx.restoreGuid, disk.targetVolume))
      DropPendingCreate(pending, volume.displayName);
    else
      EVERROR(evDebug, "Failed to register volume [%s]", disk.targetVolume.c_str());
    EVDEBUG(evDebug, "Successfully created volume [%s] for [%s]", disk.targetVolume.c_str(), disk.indexName.c_str());
  }
  return true;
}

bool COracleCloudClassicInfo::_PreRestoreVM(const RestoreCtx& ctx) {
  if (!DetachVolumes(ctx.disks)) return false;
  if (!ctx.isConversion && !ctx.useDiskNames) return true;
  return AdjustConvertedVMSize(ctx);
}

bool COracleCloudClassicInfo::_RestoreVM(const RestoreCtx& ctx) {
  if (!MakeVolumesBootable(ctx) || !_PopulateRestoreCtxVMInfo(ctx) || !_RestoreInstance(ctx)) return false;
  for (const SDisk& disk : ctx.disks) {
    if (disk.selectedForRestore != 1 || disk.volumeId.empty()) continue;
    if (!bridge->ClearDescriptionForVolume(disk.volumeId))
      EVDEBUG(evDebug, "Failed to clear description for volume [%s].", disk.volumeId.c_str());
  }
  return true;
}

bool COracleCloudClassicInfo::_PopulateRestoreCtxVMInfo(const RestoreCtx& ctx) {
  // Only an in-place restore takes anything from the saved configuration: its network, without which
  // the instance would come back on the cloud's default network.
  SVMInfo saved;
  string unread;
  if (!_PopulateRestoreCtxVMInfoFromConfig(ctx, saved, &unread) && ctx.inPlaceRestore) {
    const string text = FXString::Format("Instance [%s] restored in place cannot be given its saved network: %s",
                                         ctx.vmName.c_str(), unread.c_str());
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_CREATION_FAILED);
    return false;
  }
  SVMInfo& vm = ctx.vmInfo;
  vm.guid.clear();
  vm.disks.clear();
  vm.compartmentId = ctx.compartmentId;
  vm.name = ctx.vmName;
  // "Auto Select" of a plain restore keeps the source's shape (a conversion's was chosen in Pre).
  if (FXString::EqualsIgnoreCase(ctx.vmSize, kAutoSelectShape) && !ctx.isConversion && !ctx.useDiskNames)
    vm.vmSize = ctx.sourceVmSize;
  else if (!ctx.vmSize.empty())
    vm.vmSize = ctx.vmSize;
  EVDEBUG(evDebug, "User [%s] ; Instance name [%s] ; Instance type [%s] ", vm.compartmentId.c_str(), vm.name.c_str(),
          vm.vmSize.c_str());
  // An in-place restore keeps the saved network; any other takes the one the job names.
  vm.networkCards = ctx.inPlaceRestore ? saved.networkCards : ctx.networkCards;
  vm.securityGroups = ctx.inPlaceRestore ? saved.securityGroups : ctx.securityGroups;
  vm.keyPairs = ctx.inPlaceRestore ? saved.keyPairs : ctx.keyPairs;
  for (const auto& card : vm.networkCards)
    EVDEBUG(evDebug, " Network [%s] [%s]", card.name.c_str(), card.subnetId.c_str());
  for (const auto& key : vm.keyPairs) EVDEBUG(evDebug, " SSH Key [%s] [%s]", key.guid.c_str(), key.name.c_str());
  for (const auto& group : vm.securityGroups)
    EVDEBUG(evDebug, " Security List [%s] [%s]", group.guid.c_str(), group.name.c_str());
  return NumberDisksOfInstance(ctx);
}

bool COracleCloudClassicInfo::NumberDisksOfInstance(const RestoreCtx& ctx) {
  SVMInfo& vm = ctx.vmInfo;
  // A disk without a volume (a filtered one) has nothing to attach.
  std::vector<SDisk*> selected;
  for (SDisk& disk : ctx.disks)
    if (disk.selectedForRestore == 1 && !disk.targetVolume.empty()) selected.push_back(&disk);
  if (!ctx.isConversion && !ctx.useDiskNames) {
    // The saved index name carries the disk's storage attachment index.
    for (SDisk* disk : selected) {
      string name;
      int number = 0;
      ParseDiskIndexName(disk->indexName, name, number);
      disk->diskNumber = static_cast<UINT32>(number);
      vm.disks.push_back(*disk);
    }
    return true;
  }
  // The instance boots from disk 1: the boot disk, then every other selected disk once, in order.
  auto boot = std::find_if(selected.begin(), selected.end(), [](const SDisk* disk) { return disk->isBootDisk; });
  if (boot == selected.end() && ctx.isConversion) {
    const char* text = "The converted machine has no boot disk: the instance cannot be launched";
    EVERROR(evDebug, "%s", text);
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_CREATION_FAILED);
    return false;
  }
  UINT32 number = 1;
  if (boot != selected.end()) {
    (*boot)->diskNumber = number++;
    vm.disks.push_back(**boot);
    EVDEBUG(evDebug, "Set OS disk [%s]", (*boot)->targetVolume.c_str());
  }
  for (auto it = selected.begin(); it != selected.end(); ++it) {
    if (it == boot) continue;
    (*it)->diskNumber = number++;
    vm.disks.push_back(**it);
  }
  return true;
}

bool COracleCloudClassicInfo::_PopulateRestoreCtxVMInfoFromConfig(const RestoreCtx& ctx, SVMInfo& out, string* why) {
  string orchestration, config;
  for (const SDisk& disk : ctx.disks) {
    if (disk.selectedForRestore != 0 || !IsFileExtnMatching(disk.indexName, ".json")) continue;
    // Names come from the host: one that would leave the results folder is never opened.
    if (!FXPath::IsBareName(disk.indexName)) {
      EVERROR(evDebug, "Refusing config file [%s]: its name leaves the results folder", disk.indexName.c_str());
      continue;
    }
    const string path = FXPath::Append(ctx.jobResultsDir, disk.indexName);
    EVDEBUG(evDebug, "Reading config file [%s]", path.c_str());
    if (FXString::FindString(disk.indexName, "_instance.json")) {
      EVDEBUG(evDebug, "Orchestration exists.");
      orchestration = path;
      break;
    }
    if (!FXString::FindString(disk.indexName, "_storage.json") &&
        !FXString::FindString(disk.indexName, "_master.json")) {
      EVDEBUG(evDebug, "Config file exists.");
      config = path;
    }
  }
  if (orchestration.empty() && config.empty() && why)
    *why = "no saved configuration (a \".json\" file) is listed among the backup's files";
  return orchestration.empty() ? _ReadInstanceConfigFile(config, out, why)
                               : _ReadInstanceOrchestration(orchestration, out, why);
}

bool COracleCloudClassicInfo::_ReadInstanceOrchestration(const string& path, SVMInfo& out, string* why) {
  return ReadSavedRecord(path, &OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::ReadInstanceOrchestration,
                         "Failed to get orchestration file content.", "Failed to parse instance orchestraion.", out,
                         why);
}

bool COracleCloudClassicInfo::_ReadInstanceConfigFile(const string& path, SVMInfo& out, string* why) {
  return ReadSavedRecord(path, &OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::ReadInstanceConfig,
                         "Failed to get config file content.", "Failed to parse config file.", out, why);
}

bool COracleCloudClassicInfo::ReadSavedRecord(const string& path, SavedRecordReader read, const char* notRead,
                                              const char* notParsed, SVMInfo& out, string* why) {
  string content;
  if (!ReadRegularFile(path, content)) {
    EVDEBUG(evDebug, "%s", notRead);
    if (why && !path.empty()) *why = "the saved configuration [" + path + "] is missing or not a regular file";
    return false;
  }
  EVDEBUGLVL(evDebug, 3, "Content [%s]", content.c_str());
  if (!((*bridge).*read)(content, out)) {
    EVDEBUG(evDebug, "%s", notParsed);
    if (why) *why = "the saved configuration [" + path + "] could not be parsed: " + bridge->GetLastError();
    return false;
  }
  return true;
}

bool COracleCloudClassicInfo::_RestoreInstance(const RestoreCtx& ctx) {
  uint32_t useLaunchPlan = 0;
  TZPlatformInfo::getNumber("VirtualServer", "bUseLaunchPlanForOracleCloudRestore", &useLaunchPlan);
  SVMInfo& vm = ctx.vmInfo;
  const bool byLaunchPlan = useLaunchPlan == 1 && !ctx.inPlaceRestore && !ctx.isConversion;
  if (!LaunchRestoredInstance(
          ctx, [&] { return byLaunchPlan ? bridge->RestoreVM(vm) : bridge->DeployVMFromOrchestration(vm); }))
    return false;
  EVDEBUG(evDebug, "Successfully created VM [%s] / [%s]", ctx.restoredVmGuid.c_str(), ctx.vmName.c_str());
  return true;
}

bool COracleCloudClassicInfo::_PostRestoreVM(const RestoreCtx& ctx) {
  return FinishRestoredInstance(ctx, ctx.isConversion && ctx.restoreType != RESTORE_TYPE_REPLICATION);
}

int COracleCloudClassicInfo::CleanupRestoreVM(const RestoreCtx& ctx) {
  return GuardedEntry("CleanupRestoreVM", VMERR_VM_DELETE_FAILED, [&] { return CleanupRestoredResources(ctx); });
}

int COracleCloudClassicInfo::CleanupRestoredResources(const RestoreCtx& ctx) {
  EVDEBUGLVL(evDebug, 2, "Cleaning created VM during restore");
  if (!InitProxyVMInfo() || !InitMapperAndCleaner()) return 0;
  cleanerMode = VM_CLEANER_MODE_RESTORE;
  return _CleanupRestoreVM(ctx.restoreGuid) ? 1 : 0;
}
