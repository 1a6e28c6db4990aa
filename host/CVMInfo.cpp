#include "host/CVMInfo.h"

#include <sys/stat.h>

#include "host/CWqDirectory.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"

using namespace VMInfoStructs;

CVMInfo::CVMInfo(VirtualServerInstanceType type) : evDebug("vsagent"), vsInstType_(type) {}

CVMInfo::~CVMInfo() = default;

string CVMInfo::GetLastVMErrorDetails() const {
  MutexLock lock(detailsMutex_);
  return lastErrorDetails_;
}

void CVMInfo::SetLastVMError(EVMInfoError code) { lastError_.store(code); }

void CVMInfo::SetLastVMErrorDetails(const string& details) {
  MutexLock lock(detailsMutex_);
  lastErrorDetails_ = details;
}

int CVMInfo::NotSupported(const char* tag) {
  evDebug.Error(tag, "Operation is not supported by this hypervisor");
  return 0;
}

int CVMInfo::Init(unsigned long flags) { return 1; }
int CVMInfo::DeInit(bool force) { return 1; }
int CVMInfo::Connect(const string& url, const string& user, const string& password) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::Connect(const string& url, const string& user, const string& password,
                     const std::vector<SHostCredentials>& credentials) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::Disconnect() { return 1; }
int CVMInfo::GetProxyVMInfo(string& identity, SVMInfo& record) { return NotSupported(__PRETTY_FUNCTION__); }

int CVMInfo::BrowseInventory(const string& path, const SInventoryInfo& node, std::vector<SInventoryInfo>& out,
                             UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags,
                            int option, SVMInfo& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetHostInfoForHost(const string& hostName, UINT64 flags, int option, SHostInfo& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetDSInfoForDS(const string& dsName, UINT64 flags, int option, SDatastoreInfo& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetVMInfoListForInventoryObject(const string& name, EInventoryType type, UINT64 flags, int option,
                                             std::vector<SVMInfo>& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetLocalHostInfo(SHostInfo& out, UINT64 flags, int option) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::GetHostInfoList(std::vector<SHostInfo>& out, UINT64 flags, int option, const std::vector<string>* filters,
                             EFilterType filterType) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetVMInfoList(std::vector<SVMInfo>& out, UINT64 flags, int option, const std::vector<string>* filters,
                           EFilterType filterType) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetDSInfoListForHost(const string& hostName, std::vector<SDatastoreInfo>& out, UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetRPInfoListForHost(const string& hostName, std::vector<SResourcePoolInfo>& out, UINT64 flags,
                                  int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetDCInfoList(std::vector<SDataCenterInfo>& out, UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetInventoryInfoList(std::vector<SInventoryInfo>& out, UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetVMInventoryInfoListForHost(const string& hostName, std::vector<SInventoryInfo>& out, UINT64 flags,
                                           int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetAvailableVMSizesForHost(const string& hostName, std::vector<SVMSizeInfo>& out, UINT64 flags,
                                        int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetSecurityGroupsForHost(const string& hostName, std::vector<SSecurityGroupInfo>& out, UINT64 flags,
                                      int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetKeyPairForHost(const string& hostName, std::vector<SKeyPairInfo>& out, UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetStagingStorageListForHost(const string& hostName, std::vector<SStagingStorage>& out, UINT64 flags,
                                          int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetLocalDSInfoList(std::vector<SDatastoreInfo>& out, UINT64 flags, int option) {
  return NotSupported(__PRETTY_FUNCTION__);
}

int CVMInfo::MountVM(const MountCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::UnmountVM(const MountCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::CleanupVM(const MountCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::GetFileMountInfo(const MountCtx& ctx, std::vector<SMountInfoFile>& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::CollectMetadata(const MountCtx& ctx) { return 1; }
// The agent streams one disk at a time unless the hypervisor says otherwise.
int CVMInfo::GetStreamLimit() { return 1; }
// Without a disk interface of its own, a hypervisor's disks are the local devices its mount
// information names; the agent reads those directly.
int CVMInfo::OpenVmdk(const string& firstName, const string& vmGuid, const string& diskName, VmdkHandle& handle) {
  return NotSupported(__PRETTY_FUNCTION__);
}
int CVMInfo::GetVmdkInfo(const VmdkHandle& handle, SDisk& disk) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::CloseVmdk(const VmdkHandle& handle) { return NotSupported(__PRETTY_FUNCTION__); }

int CVMInfo::InitRestoreVM(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::PreRestoreVM(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::RestoreVM(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::PostRestoreVM(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::CleanupRestoreVM(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::InitVirtualizeMe(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::FinalizeVirtualizeMe(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }
int CVMInfo::CleanupVirtualizeMe(const RestoreCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }

int CVMInfo::PerformVMOperation(const OperationCtx& ctx) { return NotSupported(__PRETTY_FUNCTION__); }

namespace {
// One line of a DMI file, without its line end; false when the file cannot be read.
bool ReadDmiValue(const char* name, string& value) {
  string content;
  if (!ReadWholeFile(HostEnvironment::UnderRoot(string("sys/class/dmi/id/") + name), content)) return false;
  size_t end = content.find_first_of("\r\n");
  value = content.substr(0, end);
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return true;
}
}  // namespace

bool CVMInfo::getBiosInfo(string& manufacturer, string& serialNumber, string& uuid, string& extra) {
  string vendor, serial, id, tag;
  if (!ReadDmiValue("sys_vendor", vendor) || !ReadDmiValue("product_uuid", id)) return false;
  ReadDmiValue("product_serial", serial);
  ReadDmiValue("chassis_asset_tag", tag);
  manufacturer = vendor;
  serialNumber = serial;
  uuid = id;
  extra = tag;
  return true;
}

void CVMInfo::ResetCaches() {
  DropHostInfoCache();
  dsInfoCache.clear();
  rpInfoCache.clear();
}

void CVMInfo::DropHostInfoCache() {
  hostInfoCache.clear();
  hostCacheValid = false;
}

bool CVMInfo::_PrepareMountPathDirectory(const char* path, bool create) {
  if (!path || !*path) return false;
  struct stat st;
  if (::stat(path, &st) == 0) return S_ISDIR(st.st_mode);
  return create && CWqDirectory::Create(path) && MakeOwnerOnly(path, true);
}

bool CVMInfo::IsNewHostDiscoveryReq(UINT64 flags, int option) {
  return !hostCacheValid || hostCacheFlags != flags || hostCacheOption != option;
}

int CVMInfo::_RefreshHostInfoCache(UINT64 flags, int option) {
  hostCacheValid = true;
  hostCacheFlags = flags;
  hostCacheOption = option;
  hostCacheRefreshedAt = HostClock::Now();
  return 1;
}

int CVMInfo::_RefreshClusterInfoCache(UINT64 flags, int option) { return 0; }

namespace {
template <class Record>
std::vector<Record> FilterByName(const std::vector<Record>& records, const std::vector<string>& filters,
                                 EFilterType filterType) {
  if (filterType != FILTER_TYPE_INCLUDE && filterType != FILTER_TYPE_EXCLUDE) return records;
  std::vector<Record> kept;
  for (const auto& record : records) {
    bool matched = false;
    for (const auto& pattern : filters)
      if (FXString::WildcardMatch(pattern, record.name, true)) {
        matched = true;
        break;
      }
    if (matched == (filterType == FILTER_TYPE_INCLUDE)) kept.push_back(record);
  }
  return kept;
}
}  // namespace

std::vector<SHostInfo> CVMInfo::_FilterHostInfoList(const std::vector<SHostInfo>& hosts,
                                                    const std::vector<string>& filters, EFilterType filterType) {
  return FilterByName(hosts, filters, filterType);
}

std::vector<SVMInfo> CVMInfo::_FilterVMInfoList(const std::vector<SVMInfo>& vms, const std::vector<string>& filters,
                                                EFilterType filterType) {
  return FilterByName(vms, filters, filterType);
}
