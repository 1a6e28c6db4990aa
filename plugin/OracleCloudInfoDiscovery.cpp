// Discovery queries of the base class: hosts, instances, images, regions, availability domains,
// shapes, security lists, SSH keys and staging buckets, and the host-info cache. A failed bridge
// call fails the query with the bridge's text in the error details, whatever it returned; an empty
// answer of a call that succeeded is an empty list.
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// The host's value for "everything": it does not ask for image templates.
constexpr UINT64 kAllFlags = 0xFFFFFFFFFFFFFFFFULL;
constexpr UINT64 kIncludeTemplatesFlag = 0x4000000000000000ULL;
}  // namespace

int COracleCloudInfo::GetHostInfoList(std::vector<SHostInfo>& out, UINT64 flags, int option,
                                      const std::vector<string>* filters, EFilterType filterType) {
  std::vector<SHostInfo> hosts;
  if (!bridge->GetHostInfoList(flags, option, "", hosts)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);

  if (flags != kAllFlags && (flags & kIncludeTemplatesFlag)) {
    if (GetVSInstType() == VSINST_ORACLE_CLOUD_INFRASTRUCTURE) {
      for (auto& host : hosts) {
        if (!bridge->GetTemplateInfoList(host.vms, host.guid, flags, option)) {
          EVDEBUG(evDebug, "getting templates failed ");
          return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
        }
        EVDEBUG(evDebug, "Got [%d] templates", static_cast<int>(host.vms.size()));
      }
    } else {
      SHostInfo templates;
      if (!bridge->GetTemplateInfoList(templates.vms, "", flags, option)) {
        EVDEBUG(evDebug, "getting templates failed ");
        return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
      }
      EVDEBUG(evDebug, "Got [%d] templates", static_cast<int>(templates.vms.size()));
      hosts.push_back(templates);
    }
  }

  if (filters && filterType != FILTER_TYPE_NONE)
    out = CVMInfo::_FilterHostInfoList(hosts, *filters, filterType);
  else
    out = hosts;
  return 1;
}

int COracleCloudInfo::_RefreshHostInfoCache(UINT64 flags, int option) {
  if (!CVMInfo::IsNewHostDiscoveryReq(flags, option)) return 1;
  hostInfoCache.clear();
  if (!bridge->GetHostInfoList(flags, option, "", hostInfoCache)) {
    // Nothing of the earlier filling survives, and nothing reads as current.
    CVMInfo::DropHostInfoCache();
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  CVMInfo::_RefreshHostInfoCache(flags, option);
  return 1;
}

int COracleCloudInfo::_RefreshClusterInfoCache(UINT64 flags, int option) { return 0; }

int COracleCloudInfo::GetHostInfoForHost(const string& hostName, UINT64 flags, int option, SHostInfo& out) {
  if (!bridge->GetHostInfo(hostName, hostName, "", out, flags)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  return 1;
}

int COracleCloudInfo::GetVMInfoList(std::vector<SVMInfo>& out, UINT64 flags, int option,
                                    const std::vector<string>* filters, EFilterType filterType) {
  std::vector<SVMInfo> all;
  if (!bridge->GetVMInfoList(all, flags)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  if (filters && filterType != FILTER_TYPE_NONE)
    out = CVMInfo::_FilterVMInfoList(all, *filters, filterType);
  else
    out = all;
  return 1;
}

int COracleCloudInfo::GetVMInfoListForInventoryObject(const string& name, EInventoryType type, UINT64 flags, int option,
                                                      std::vector<SVMInfo>& out) {
  if (type != INVENTORY_TYPE_VM) {
    EVERROR(evDebug, "Unsupported Inventory Type [%d]", static_cast<int>(type));
    return 0;
  }
  return bridge->GetVMInfoList(out, flags) ? 1 : ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
}

int COracleCloudInfo::GetVMInventoryInfoListForHost(const string& hostName, std::vector<SInventoryInfo>& out,
                                                    UINT64 flags, int option) {
  std::vector<SVMInfo> templates;
  if (!bridge->GetTemplateInfoList(templates, hostName, 0, 0)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, templates);
  return 1;
}

int COracleCloudInfo::GetInventoryInfoList(std::vector<SInventoryInfo>& out, UINT64 flags, int option) {
  EVDEBUG(evDebug, "Error : Not yet implmented.");
  return 0;
}

int COracleCloudInfo::GetDCInfoList(std::vector<SDataCenterInfo>& out, UINT64 flags, int option) {
  return bridge->GetDCInfoList(out, flags, option) != 0 ? 1 : ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
}

int COracleCloudInfo::GetRPInfoListForHost(const string& hostName, std::vector<SResourcePoolInfo>& out, UINT64 flags,
                                           int option) {
  std::vector<SVMInfo> domains;
  if (!bridge->GetAvailabilityDomainInfoList(domains, hostName, flags, option)) {
    EVDEBUG(evDebug, "Failed to get AD list.");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  for (const auto& domain : domains) {
    SResourcePoolInfo pool;
    pool.name = domain.name;
    out.push_back(pool);
  }
  return 1;
}

int COracleCloudInfo::GetAvailableVMSizesForHost(const string& hostName, std::vector<SVMSizeInfo>& out, UINT64 flags,
                                                 int option) {
  if (!bridge->GetInstanceShapeInfoList(out, hostName)) {
    EVDEBUG(evDebug, "Failed to get instance shape list.");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

int COracleCloudInfo::GetSecurityGroupsForHost(const string& hostName, std::vector<SSecurityGroupInfo>& out,
                                               UINT64 flags, int option) {
  if (!bridge->GetSecurityGroupList(out)) {
    EVERROR(evDebug, "Failed to fetch security group list");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

int COracleCloudInfo::GetKeyPairForHost(const string& hostName, std::vector<SKeyPairInfo>& out, UINT64 flags,
                                        int option) {
  if (!bridge->GetKeyPairInfoList(out)) {
    EVERROR(evDebug, "Failed to fetch SSH Keys list");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

int COracleCloudInfo::GetStagingStorageListForHost(const string& hostName, std::vector<SStagingStorage>& out,
                                                   UINT64 flags, int option) {
  if (!bridge->GetStagingStorageListForHost(out, hostName, flags, option)) {
    EVDEBUG(evDebug, "Failed to get bucket list for the compartment");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

// Data stores are not listed per host.
int COracleCloudInfo::GetDSInfoListForHost(const string& hostName, std::vector<SDatastoreInfo>& out, UINT64 flags,
                                           int option) {
  return 0;
}

int COracleCloudInfo::GetDSInfoForDS(const string& dsName, UINT64 flags, int option, SDatastoreInfo& out) { return 1; }

int COracleCloudInfo::GetLocalHostInfo(SHostInfo& out, UINT64 flags, int option) { return 0; }

int COracleCloudInfo::GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName, UINT64 flags,
                                     int option, SVMInfo& out) {
  return 1;
}
