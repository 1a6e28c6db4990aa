#pragma once
// The agent's base class of every hypervisor plug-in object: error reporting, cancellation, the
// connection fields, the host-info cache and its filters, and the host's defaults for every
// operation of IVMInfo (a hypervisor that does not override an operation does not support it).
#include <atomic>
#include <string>
#include <vector>

#include "host/EvDebug.h"
#include "host/IVMInfo.h"
#include "host/Mutex.h"

class CVMInfo : public IVMInfo {
 public:
  explicit CVMInfo(VirtualServerInstanceType type);
  ~CVMInfo() override;

  int Init(unsigned long flags) override;
  int DeInit(bool force) override;
  int Connect(const string& url, const string& user, const string& password) override;
  int Connect(const string& url, const string& user, const string& password,
              const std::vector<SHostCredentials>& credentials) override;
  int Disconnect() override;
  int GetVSInstType() const override { return vsInstType_; }
  int GetProxyVMInfo(string& identity, VMInfoStructs::SVMInfo& record) override;

  EVMInfoError GetLastVMError() const override { return lastError_.load(); }
  string GetLastVMErrorDetails() const override;
  virtual void SetLastVMError(EVMInfoError code);
  virtual void SetLastVMErrorDetails(const string& details);
  void SetJobCancelled(bool cancelled) override { cancelled_.store(cancelled); }
  bool IsJobCancelled() const override { return cancelled_.load(); }

  int BrowseInventory(const string& path, const VMInfoStructs::SInventoryInfo& node,
                      std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) override;
  int GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags, int option,
                     VMInfoStructs::SVMInfo& out) override;
  int GetHostInfoForHost(const string& hostName, UINT64 flags, int option, VMInfoStructs::SHostInfo& out) override;
  int GetDSInfoForDS(const string& dsName, UINT64 flags, int option, VMInfoStructs::SDatastoreInfo& out) override;
  int GetVMInfoListForInventoryObject(const string& name, VMInfoStructs::EInventoryType type, UINT64 flags, int option,
                                      std::vector<VMInfoStructs::SVMInfo>& out) override;
  int GetLocalHostInfo(VMInfoStructs::SHostInfo& out, UINT64 flags, int option) override;
  int GetHostInfoList(std::vector<VMInfoStructs::SHostInfo>& out, UINT64 flags, int option,
                      const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) override;
  int GetVMInfoList(std::vector<VMInfoStructs::SVMInfo>& out, UINT64 flags, int option,
                    const std::vector<string>* filters, VMInfoStructs::EFilterType filterType) override;
  int GetDSInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags,
                           int option) override;
  int GetRPInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SResourcePoolInfo>& out, UINT64 flags,
                           int option) override;
  int GetDCInfoList(std::vector<VMInfoStructs::SDataCenterInfo>& out, UINT64 flags, int option) override;
  int GetInventoryInfoList(std::vector<VMInfoStructs::SInventoryInfo>& out, UINT64 flags, int option) override;
  int GetVMInventoryInfoListForHost(const string& hostName, std::vector<VMInfoStructs::SInventoryInfo>& out,
                                    UINT64 flags, int option) override;
  int GetAvailableVMSizesForHost(const string& hostName, std::vector<VMInfoStructs::SVMSizeInfo>& out, UINT64 flags,
                                 int option) override;
  int GetSecurityGroupsForHost(const string& hostName, std::vector<VMInfoStructs::SSecurityGroupInfo>& out,
                               UINT64 flags, int option) override;
  int GetKeyPairForHost(const string& hostName, std::vector<VMInfoStructs::SKeyPairInfo>& out, UINT64 flags,
                        int option) override;
  int GetStagingStorageListForHost(const string& hostName, std::vector<VMInfoStructs::SStagingStorage>& out,
                                   UINT64 flags, int option) override;
  int GetLocalDSInfoList(std::vector<VMInfoStructs::SDatastoreInfo>& out, UINT64 flags, int option) override;

  int MountVM(const MountCtx& ctx) override;
  int UnmountVM(const MountCtx& ctx) override;
  int CleanupVM(const MountCtx& ctx) override;
  int GetFileMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFile>& out) override;
  int GetFullMountInfo(const MountCtx& ctx, std::vector<VMInfoStructs::SMountInfoFull>& out) override;
  int CollectMetadata(const MountCtx& ctx) override;
  int GetStreamLimit() override;
  int OpenVmdk(const string& firstName, const string& vmGuid, const string& diskName, VmdkHandle& handle) override;
  int GetVmdkInfo(const VmdkHandle& handle, VMInfoStructs::SDisk& disk) override;
  int CloseVmdk(const VmdkHandle& handle) override;

  int InitRestoreVM(const RestoreCtx& ctx) override;
  int PreRestoreVM(const RestoreCtx& ctx) override;
  int RestoreVM(const RestoreCtx& ctx) override;
  int PostRestoreVM(const RestoreCtx& ctx) override;
  int CleanupRestoreVM(const RestoreCtx& ctx) override;
  int InitVirtualizeMe(const RestoreCtx& ctx) override;
  int FinalizeVirtualizeMe(const RestoreCtx& ctx) override;
  int CleanupVirtualizeMe(const RestoreCtx& ctx) override;

  int PerformVMOperation(const OperationCtx& ctx) override;

  // BIOS identity of the machine the agent runs on, read from the platform's DMI files:
  // manufacturer (sys_vendor), serial number, UUID, and the chassis asset tag as `extra`.
  static bool getBiosInfo(string& manufacturer, string& serialNumber, string& uuid, string& extra);

 protected:
  // Drops the cached host, data-store and resource-pool lists.
  void ResetCaches();
  // Creates the job's mount directory (and its parents) when missing; false when it cannot be used.
  bool _PrepareMountPathDirectory(const char* path, bool create);

  // Host-info cache. A new discovery is due when the cache was never filled, was reset, or was filled
  // for other flags or another option.
  bool IsNewHostDiscoveryReq(UINT64 flags, int option);
  virtual int _RefreshHostInfoCache(UINT64 flags, int option);
  // Empties the host-info cache and marks it unfilled: the next refresh, for any flags, asks again.
  void DropHostInfoCache();
  virtual int _RefreshClusterInfoCache(UINT64 flags, int option);
  std::vector<VMInfoStructs::SHostInfo> _FilterHostInfoList(const std::vector<VMInfoStructs::SHostInfo>& hosts,
                                                            const std::vector<string>& filters,
                                                            VMInfoStructs::EFilterType filterType);
  std::vector<VMInfoStructs::SVMInfo> _FilterVMInfoList(const std::vector<VMInfoStructs::SVMInfo>& vms,
                                                        const std::vector<string>& filters,
                                                        VMInfoStructs::EFilterType filterType);

  // Logs that the operation is not supported by this hypervisor and returns 0.
  int NotSupported(const char* tag);

  EvDebug evDebug;

  string connectUrl;
  string connectUser;
  string connectPassword;
  string webProxyHost;
  string webProxyUser;
  string webProxyPassword;

  std::vector<VMInfoStructs::SHostInfo> hostInfoCache;
  std::vector<VMInfoStructs::SDatastoreInfo> dsInfoCache;
  std::vector<VMInfoStructs::SResourcePoolInfo> rpInfoCache;
  bool hostCacheValid = false;
  UINT64 hostCacheFlags = 0;
  int hostCacheOption = 0;
  INT64 hostCacheRefreshedAt = 0;

 private:
  VirtualServerInstanceType vsInstType_;
  std::atomic<EVMInfoError> lastError_{VMERR_NONE};
  mutable Mutex detailsMutex_;
  string lastErrorDetails_ GUARDED_BY(detailsMutex_);
  std::atomic<bool> cancelled_{false};
};
