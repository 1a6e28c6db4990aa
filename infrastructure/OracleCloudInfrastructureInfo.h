#pragma once
// The infrastructure cloud flavour (instance type 1102).
#include <memory>

#include "host/CFileLock.h"
#include "infrastructure/OracleCloudInfrastructureDiskInfo.h"
#include "plugin/OracleCloudInfo.h"

class COracleCloudInfrastructureInfo : public COracleCloudInfo {
 public:
  explicit COracleCloudInfrastructureInfo(VirtualServerInstanceType type);
  ~COracleCloudInfrastructureInfo() override;

  int BrowseVMList(std::vector<CWqString>& pathParts, const VMInfoStructs::SInventoryInfo& node,
                   std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags) override;
  int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags, int option,
                     VMInfoStructs::SVMInfo& out) override;
  int GetHostInfoForHost(const string& hostName, UINT64 flags, int option, VMInfoStructs::SHostInfo& out) override;
  int GetVMInfoListForInventoryObject(const string& compartmentId, VMInfoStructs::EInventoryType type, UINT64 flags,
                                      int option, std::vector<VMInfoStructs::SVMInfo>& out) override;
  int GetLocalDSInfoList(std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags, int option) override;
  int GetAvailableVMSizesForHost(const string& hostName, std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                 int option) override;

  // Disk streaming: each replica is attached to the proxy when the agent opens that disk.
  int GetStreamLimit() override;
  int OpenVmdk(const string& firstName, const string& vmGuid, const string& diskName, VmdkHandle& handle) override;
  int GetVmdkInfo(const VmdkHandle& handle, VMInfoStructs::SDisk& disk) override;
  int CloseVmdk(const VmdkHandle& handle) override;

  int CleanupRestoreVM(const RestoreCtx& ctx) override;
  // The clean-up itself; CleanupRestoreVM guards it.
  int CleanupRestoredResources(const RestoreCtx& ctx);

 protected:
  void DetectLocalVMGuid() override;
  bool _IsBackupFeasibleForVM(const MountCtx& ctx) override;
  bool GetResourceStatus(const string& id, const OracleCloudResourceType& kind, bool& usable, bool& failed) override;
  bool FormDiskIndexName(const string& volumeName, int diskNumber, string& guid, string& indexName) override;

  // Proxy attachment of volumes.
  using COracleCloudInfo::DetachVolumes;
  bool AttachVolumes(const string& rootName, std::vector<VMInfoStructs::SDisk>& disks, bool makeWritable,
                     bool bringOffline) override;
  bool AttachVolumeToProxy(VMInfoStructs::SDisk& disk, const string& instanceId, bool makeWritable, bool bringOffline,
                           bool& noFreeSlot);
  // Attaches one disk, waiting for a free attachment slot while the proxy has none.
  bool AttachVolumeToProxyWithSlotWait(VMInfoStructs::SDisk& disk, const string& instanceId, bool makeWritable,
                                       bool bringOffline = true);
  // The proxy-wide lock of batch attaches, waited for until the job is cancelled (4000).
  bool AcquireBatchAttachLock(CFileLock& lock);
  bool DetachVolumes(std::vector<VMInfoStructs::SDisk>& disks, const string& cleanerPath);
  bool DetachVolumeFromProxy(VMInfoStructs::SDisk& disk, const string& instanceId);
  bool DeleteVolumes(const std::vector<VMInfoStructs::SDisk>& disks, const string& cleanerPath);
  bool DetachAndDeleteVolumes(std::vector<VMInfoStructs::SDisk>& disks, const string& cleanerPath);
  string _GetVolumeAttachmentTypeToProxy();

  // What a batch step over the job's volumes logs for a record it passes over.
  struct SVolumeStepTexts {
    const char* filtered;  // with the display name
    bool filteredIsError;
    const char* noCreatedVolume;  // with the display name, or with the target volume when so marked
    bool noCreatedVolumeNamesTarget;
  };
  // The records attach, detach and delete handle: selected (1), not filtered, with a created volume.
  // The others are logged under the caller's tag with the step's texts.
  bool IsVolumeToHandle(const VMInfoStructs::SDisk& disk, const SVolumeStepTexts& texts, const char* tag);
  // Logs out of the record's iSCSI session before its volume is detached, when it has one; false when
  // the logout failed.
  bool LogoutBeforeDetach(const VMInfoStructs::SDisk& disk, const string& cleanerPath, const char* tag);

  // iSCSI sessions of attached volumes, kept in step with the cleaner registry.
  bool iscsiAttach(VMInfoStructs::SDisk& disk, const string& instanceId, string& sessionId);
  bool iscsiDetach(const VMInfoStructs::SDisk& disk, const string& cleanerPath);

  // Disk bookkeeping of a backup.
  bool ConnectDiskInfo(const MountCtx& ctx) override;
  bool InitDiskInfo();
  bool RegisterDisksWithDiskInfo(const MountCtx& ctx) override;
  bool ReadVmdkHandle(const VmdkHandle& handle, VMInfoStructs::SDisk& disk, const char* tag);
  bool DisconnectDiskInfo(const MountCtx& ctx) override;

  // Restore of an instance.
  bool _InitRestoreVM(const RestoreCtx& ctx) override;
  bool _IsRestoreFeasible(const RestoreCtx& ctx);
  bool _InitRestoreVM_FullVM(const RestoreCtx& ctx);
  int HandleOverwriteOption(const RestoreCtx& ctx) override;
  bool _PreRestoreVM(const RestoreCtx& ctx) override;
  bool _RestoreVM(const RestoreCtx& ctx) override;
  bool _PostRestoreVM(const RestoreCtx& ctx) override;
  // The record of the instance to launch. False (error 20) for a flexible shape whose CPU count and
  // memory the saved configuration cannot give: it is not launched at the cloud's defaults.
  bool _PopulateRestoreCtxVMInfo(const RestoreCtx& ctx);
  // The instance record saved with the backup; when it cannot be had, `why` (if given) says so,
  // naming the file.
  bool _PopulateVMInfoFromVMConfigFile(const RestoreCtx& ctx, VMInfoStructs::SVMInfo& out, string* why = nullptr);
  static string SavedConfigPath(const RestoreCtx& ctx);
  bool _RestoreInstance(const RestoreCtx& ctx);
  // Deletes the instance an overwriting restore replaces (found in Init), just before the launch;
  // false (error 61) when it could not be deleted.
  bool DeleteOverwrittenInstance(const RestoreCtx& ctx);

  // The restore's empty volumes.
  bool CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<VMInfoStructs::SDisk>& disks) override;
  // The image a boot volume is made from, and whether the restore imported it for that.
  struct SBootImage {
    string id;
    bool isTemporary = false;
  };
  // One disk's volume (the boot volume through a temporary instance), recorded and registered; run by
  // a worker of the job (CJobWorkers), which looks for a cancel before its create.
  bool CreateEmptyVolumeOfDisk(const RestoreCtx& ctx, VMInfoStructs::SDisk& disk, const SBootImage& bootImage);
  bool CreateEmptyBootVolume(const RestoreCtx& ctx, VMInfoStructs::SDisk& disk, const SBootImage& bootImage);
  bool _CreateEmptyBootVolume(VMInfoStructs::SDisk& disk, VMInfoStructs::SVMInfo& tempVm, const string& imageId,
                              const string& restoreGuid);
  bool CreateEmptyVolume(VMInfoStructs::SDisk& disk, const string& availabilityDomain, const string& compartmentId);
  VMInfoStructs::SVMInfo CreateTempVmInfo(const RestoreCtx& ctx);
  // Whole GiB, at least 50.
  static long long _GetAdjustedVolumeSize(long long bytes);
  string _GetImageLaunchMode(const RestoreCtx& ctx);
  string _GetVolumeAttachmentTypeToRestoredInstance(const RestoreCtx& ctx);
  bool _IsLinuxVM(const string& guestOs);
  bool _IsParavirtualizedModeForLinuxVMConversionEnabled();

  // The image of a restore's boot volume.
  bool _GetImageIdForVMRestore(const RestoreCtx& ctx, string& imageId, bool& isTemporary);
  bool _GetImageIdForVMRestoreFromSourceImage(const string& sourceImageId, const string& sourceRegionKey,
                                              const string& compartmentId, string& imageId);
  bool _GetMatchingImageInRegion(const VMInfoStructs::SVMInfo& sourceImage, const string& region,
                                 const string& compartmentId, VMInfoStructs::SVMInfo& match);
  // A temporary image imported from a 1 MB stub disk made in `workDir`; object and image are
  // registered under the restore for their whole life.
  bool _CreateTemporaryImage(const string& bucket, const string& launchMode, const string& compartmentId,
                             const string& workDir, const string& restoreGuid, string& imageId);
  // Asks after every "nImageImportCompletionQueryIntervalInMinutes" (1) until the import completed;
  // false (error 24) once "nImageImportMaximumWaitTimeInMinutes" (180) have passed without it.
  bool _WaitForImageImportCompletion(const string& imageId);
  static constexpr uint32_t kImageImportMaximumMinutes = 180;
  // Always true: an image that could not be deleted stays registered for the clean-up.
  bool _DeleteTemporaryImage(const string& imageId, const string& restoreGuid);

  // Shapes of a restored instance.
  string _GetAutoSelectedVMSize(const RestoreCtx& ctx);
  string _GetSmallestCompatibleVmSizeForImage(const string& imageId, const string& compartmentId,
                                              const string& availabilityDomain);
  bool _GetInstanceShapeInfoListForImage(std::vector<VMInfoStructs::SVMSizeInfo>& list, const string& compartmentId,
                                         const string& imageId, const string& availabilityDomain);
  // The fixed shape that launches the image best fitting `memoryMB` and `cpuCount`; one with an empty
  // name, the reason in the details, when the query fails or finds none.
  VMInfoStructs::SVMSizeInfo BestShapeForImage(const string& imageId, const string& compartmentId,
                                               const string& availabilityDomain, int memoryMB, int cpuCount);

  // Removal of what a job registered.
  bool CleanupMountedVolumes(const string& cleanerPath) override;
  bool CleanupRestoreImages(const string& cleanerPath) override;
  bool CleanupIscsiSessions(const string& cleanerPath);
  bool CleanupImages(const string& cleanerPath);
  bool CleanupVmdkObjects(const string& cleanerPath);

  // A browse request names a host as "<compartment id>[!<availability domain>]".
  void _SplitHostNameStringFromBrowseRequest(const string& hostName, string& first, string& second);
  // The name of the subscribed region with this key (compared without case); empty when unknown.
  string _GetRegionNameForRegionKey(const string& regionKey);

  // Empty until the first backup connects an instance to it.
  std::unique_ptr<COracleCloudInfrastructureDiskInfo> diskInfo;
  string overwrittenInstance;  // the instance of the target name that the restore replaces
};
