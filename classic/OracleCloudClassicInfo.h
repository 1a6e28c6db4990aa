#pragma once
// The classic cloud flavour (instance type 1101). Volumes reach the proxy directly through the cloud
// and the disk mapper (no iSCSI); a restored instance is launched from its saved orchestration or
// through a launch plan.
#include <vector>

#include "plugin/OracleCloudInfo.h"

class COracleCloudClassicInfo : public COracleCloudInfo {
 public:
  explicit COracleCloudClassicInfo(VirtualServerInstanceType type);
  ~COracleCloudClassicInfo() override;

  int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags, int option,
                     VMInfoStructs::SVMInfo& out) override;
  int CleanupRestoreVM(const RestoreCtx& ctx) override;
  // The clean-up itself; CleanupRestoreVM guards it.
  int CleanupRestoredResources(const RestoreCtx& ctx);

 protected:
  void DetectLocalVMGuid() override;
  bool FormDiskIndexName(const string& volumeName, int diskNumber, string& guid, string& indexName) override;
  // Running, and no more volumes than the proxy can take beside its own boot volume.
  bool _IsBackupFeasibleForVM(const MountCtx& ctx) override;
  bool GetResourceStatus(const string& id, const OracleCloudResourceType& kind, bool& usable, bool& failed) override;

  // Volumes on the proxy: attached one by one (stopping at the first failure), detached in one
  // request, deleted one by one; each kept in step with the registry.
  bool AttachVolumes(const string& rootName, std::vector<VMInfoStructs::SDisk>& disks, bool makeWritable,
                     bool bringOffline) override;
  bool AttachVolume(VMInfoStructs::SDisk& disk);
  virtual bool DetachVolumes(const std::vector<VMInfoStructs::SDisk>& disks);
  // The base's form (a non-const list) is the same detach.
  bool DetachVolumes(std::vector<VMInfoStructs::SDisk>& disks) override;
  // A volume that is already gone only loses its entry.
  bool DeleteVolumes(const std::vector<VMInfoStructs::SDisk>& disks, const string& cleanerPath);
  bool CleanupMountedVolumes(const string& cleanerPath) override;

  // Restore of an instance.
  bool _InitRestoreVM(const RestoreCtx& ctx) override;
  int HandleOverwriteOption(const RestoreCtx& ctx) override;
  bool CreateEmptyVolumes(const RestoreCtx& ctx, std::vector<VMInfoStructs::SDisk>& disks) override;
  bool _PreRestoreVM(const RestoreCtx& ctx) override;
  bool _RestoreVM(const RestoreCtx& ctx) override;
  bool _PostRestoreVM(const RestoreCtx& ctx) override;
  bool _RestoreInstance(const RestoreCtx& ctx);
  // The record of the instance to launch. False (error 20) for a restore in place whose saved
  // configuration, which gives it its network, cannot be read.
  bool _PopulateRestoreCtxVMInfo(const RestoreCtx& ctx);
  // The disks of the instance to launch, each with its storage attachment index; false (with a
  // message) when a conversion has no boot disk.
  bool NumberDisksOfInstance(const RestoreCtx& ctx);
  // The saved orchestration ("_instance.json") when one is listed, else the last other ".json"
  // configuration; both read from the job's results folder.
  // When the record cannot be had, `why` (if given) says so, naming the file.
  bool _PopulateRestoreCtxVMInfoFromConfig(const RestoreCtx& ctx, VMInfoStructs::SVMInfo& out, string* why = nullptr);
  bool _ReadInstanceOrchestration(const string& path, VMInfoStructs::SVMInfo& out, string* why = nullptr);
  bool _ReadInstanceConfigFile(const string& path, VMInfoStructs::SVMInfo& out, string* why = nullptr);
  // Reads the saved file (a regular file, no link) and parses it with the bridge's `read`.
  using SavedRecordReader = bool (OracleCloudSDKCppBridge::COracleCloudSDKCppBridge::*)(const string&,
                                                                                        VMInfoStructs::SVMInfo&);
  bool ReadSavedRecord(const string& path, SavedRecordReader read, const char* notRead, const char* notParsed,
                       VMInfoStructs::SVMInfo& out, string* why);
};
