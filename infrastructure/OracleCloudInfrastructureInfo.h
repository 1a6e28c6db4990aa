#pragma once
// The infrastructure cloud flavour (instance type 1102).
#include <memory>

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

 protected:
  void DetectLocalVMGuid() override;

  // A browse request names a host as "<compartment id>[!<availability domain>]".
  void _SplitHostNameStringFromBrowseRequest(const string& hostName, string& first, string& second);
  // The name of the subscribed region with this key (compared without case); empty when unknown.
  string _GetRegionNameForRegionKey(const string& regionKey);

  // Empty until the first backup connects an instance to it.
  std::unique_ptr<COracleCloudInfrastructureDiskInfo> diskInfo;
};
