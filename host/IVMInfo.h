#pragma once
// The hypervisor interface through which the agent drives a plug-in object. Results follow the
// agent's convention: 1 success, 0 failure; the reason is in GetLastVMError/GetLastVMErrorDetails.
#include <string>
#include <vector>

#include "host/JobContexts.h"
#include "host/VMInfoErrors.h"
#include "host/VMInfoStructs.h"

class IVMInfo {
 public:
  virtual ~IVMInfo() = default;

  // Session.
  virtual int Init(unsigned long flags) = 0;
  virtual int DeInit(bool force) = 0;
  virtual int Connect(const string& url, const string& user, const string& password) = 0;
  virtual int Connect(const string& url, const string& user, const string& password,
                      const std::vector<SHostCredentials>& credentials) = 0;
  virtual int Disconnect() = 0;
  virtual int GetVSInstType() const = 0;
  // The identity of the machine the agent runs on, as the plug-in detected it, and its cloud record.
  virtual int GetProxyVMInfo(string& identity, VMInfoStructs::SVMInfo& record) = 0;

  // Errors and cancellation.
  virtual EVMInfoError GetLastVMError() const = 0;
  virtual string GetLastVMErrorDetails() const = 0;
  virtual void SetJobCancelled(bool cancelled) = 0;
  virtual bool IsJobCancelled() const = 0;

  // Discovery and browse.
  virtual int BrowseInventory(const string& path, const VMInfoStructs::SInventoryInfo& node,
                              std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) = 0;
  virtual int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags,
                             int option, VMInfoStructs::SVMInfo& out) = 0;
  virtual int GetHostInfoForHost(const string& hostName, UINT64 flags, int option, VMInfoStructs::SHostInfo& out) = 0;
  virtual int GetDSInfoForDS(const string& dsName, UINT64 flags, int option, VMInfoStructs::SDatastoreInfo& out) = 0;
  virtual int GetVMInfoListForInventoryObject(const string& name, VMInfoStructs::EInventoryType type, UINT64 flags,
                                              int option, std::vector<VMInfoStructs::SVMInfo>& out) = 0;
  virtual int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, UINT64 flags, int option) = 0;
  virtual int GetHostInfoList(std::vector<VMInfoStructs::SHostInfo>& out, UINT64 flags, int option,
                              const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) = 0;
  virtual int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, UINT64 flags, int option,
                            const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) = 0;
  virtual int GetDSInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SDatastoreInfo>& out,
                                   UINT64 flags, int option) = 0;
  virtual int GetRPInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SResourcePoolInfo>& out,
                                   UINT64 flags, int option) = 0;
  virtual int GetDCInfoList(std::vector<VMInfoStructs::SDataCenterInfo>& out, UINT64 flags, int option) = 0;
  virtual int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) = 0;
  virtual int GetVMInventoryInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SInventoryInfo>& out,
                                            UINT64 flags, int option) = 0;
  virtual int GetAvailableVMSizesForHost(const string& hostName, std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                         UINT64 flags, int option) = 0;
  virtual int GetSecurityGroupsForHost(const string& hostName, std::vector<VMInfoStructs::SSecurityGroupInfo>& out,
                                       UINT64 flags, int option) = 0;
  virtual int GetKeyPairForHost(const string& hostName, std::vector<VMInfoStructs::SKeyPairInfo>& out, UINT64 flags,
                                int option) = 0;
  virtual int GetStagingStorageListForHost(const string& hostName, std::vector<VMInfoStructs::SStagingStorage>& out,
                                           UINT64 flags, int option) = 0;
  virtual int GetLocalDSInfoList(std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags, int option) = 0;

  // Backup.
  virtual int MountVM(const MountCtx& ctx) = 0;
  virtual int UnmountVM(const MountCtx& ctx) = 0;
  virtual int CleanupVM(const MountCtx& ctx) = 0;
  virtual int GetFileMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out) = 0;
  virtual int GetFullMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out) = 0;
  virtual int CollectMetadata(const MountCtx& ctx) = 0;
  virtual int GetStreamLimit() = 0;
  virtual int OpenVmdk(const string& firstName, const string& vmGuid, const string& diskName, VmdkHandle& handle) = 0;
  virtual int GetVmdkInfo(const VmdkHandle& handle, VMInfoStructs::SDisk& disk) = 0;
  virtual int CloseVmdk(const VmdkHandle& handle) = 0;

  // Restore.
  virtual int InitRestoreVM(const RestoreCtx& ctx) = 0;
  virtual int PreRestoreVM(const RestoreCtx& ctx) = 0;
  virtual int RestoreVM(const RestoreCtx& ctx) = 0;
  virtual int PostRestoreVM(const RestoreCtx& ctx) = 0;
  virtual int CleanupRestoreVM(const RestoreCtx& ctx) = 0;
  virtual int InitVirtualizeMe(const RestoreCtx& ctx) = 0;
  virtual int FinalizeVirtualizeMe(const RestoreCtx& ctx) = 0;
  virtual int CleanupVirtualizeMe(const RestoreCtx& ctx) = 0;

  // Instance operations.
  virtual int PerformVMOperation(const OperationCtx& ctx) = 0;
};

// The factory every hypervisor plug-in exports.
extern "C" {
typedef int (*CreateVMInfoObjectFn)(VirtualServerInstanceType type, IVMInfo** out);
}
