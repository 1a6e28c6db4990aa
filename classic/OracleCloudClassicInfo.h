#pragma once
// The classic cloud flavour (instance type 1101).
#include <vector>

#include "plugin/OracleCloudInfo.h"

class COracleCloudClassicInfo : public COracleCloudInfo {
 public:
  explicit COracleCloudClassicInfo(VirtualServerInstanceType type);
  ~COracleCloudClassicInfo() override;

  int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags, int option,
                     VMInfoStructs::SVMInfo& out) override;
  int CleanupRestoreVM(const RestoreCtx& ctx) override;

 protected:
  // Restores of classic instances are refused until they are built; the refusal leaves no root.
  bool _InitRestoreVM(const RestoreCtx& ctx) override;
  void DetectLocalVMGuid() override;
  bool FormDiskIndexName(const string& volumeName, int diskNumber, string& guid, string& indexName) override;
  using COracleCloudInfo::DetachVolumes;
  // Detaches the job's volumes from the proxy in one request.
  virtual bool DetachVolumes(const std::vector<VMInfoStructs::SDisk>& disks);
};
