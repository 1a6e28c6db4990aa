// Discovery and browse of the infrastructure flavour: a host is a compartment, optionally narrowed
// to an availability domain.
#include "host/FXString.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace VMInfoStructs;

int COracleCloudInfrastructureInfo::BrowseVMList(std::vector<CWqString>& pathParts, const SInventoryInfo& node,
                                                 std::vector<SInventoryInfo>& out, UINT64 flags) {
  if (pathParts.size() == 1) {
    std::vector<SHostInfo> hosts;
    if (!bridge->GetHostInfoList(flags, 0, "", hosts)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
    SInventoryInfo::FillInventoryInfoListFromHostInfoList(out, hosts);
    return 1;
  }
  if (pathParts.size() == 2) {
    string parentId = node.parents.empty() ? string() : node.parents[0].guid;
    SHostInfo host;
    const UINT64 hostFlags = flags | OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS;
    if (!bridge->GetHostInfo(pathParts[1], parentId, "", host, hostFlags))
      return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
    SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, host.vms);
    return 1;
  }
  EVERROR(evDebug, "Invalid inventory browse path");
  return 0;
}

void COracleCloudInfrastructureInfo::_SplitHostNameStringFromBrowseRequest(const string& hostName, string& first,
                                                                           string& second) {
  std::vector<CWqString> tokens = CWqString(hostName).Tokenize("!");
  if (!tokens.empty()) first = tokens[0];
  if (tokens.size() > 1) second = tokens[1];
}

int COracleCloudInfrastructureInfo::GetHostInfoForHost(const string& hostName, UINT64 flags, int option,
                                                       SHostInfo& out) {
  string compartmentId, availabilityDomain;
  _SplitHostNameStringFromBrowseRequest(hostName, compartmentId, availabilityDomain);
  EVDEBUGLVL(evDebug, 2, "Compartment Id: [%s], availabilityDomain: [%s]", compartmentId.c_str(),
             availabilityDomain.c_str());
  if (!bridge->GetHostInfo("", compartmentId, availabilityDomain, out, flags))
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  return 1;
}

int COracleCloudInfrastructureInfo::GetVMInfoListForInventoryObject(const string& compartmentId, EInventoryType type,
                                                                    UINT64 flags, int option,
                                                                    std::vector<SVMInfo>& out) {
  if (type != INVENTORY_TYPE_COMPARTMENT) {
    EVERROR(evDebug, "Unsupported InventoryObject type.");
    return 0;
  }
  EVDEBUG(evDebug, "Getting VMs in Compartment: [%s]", compartmentId.c_str());
  if (!bridge->GetVMInfoListForHost(out, compartmentId, flags)) {
    EVERROR(evDebug, "Failed to get VMs in for Compartment: [%s]", compartmentId.c_str());
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

int COracleCloudInfrastructureInfo::GetLocalDSInfoList(std::vector<SDatastoreInfo>& out, UINT64 flags, int option) {
  if (!InitProxyVMInfo()) {
    EVDEBUG(evDebug, "Failed to get local vm info");
    SetLastVMErrorDetails(bridge->GetLastError());  // the code, proxy not found, is InitProxyVMInfo's
    return 0;
  }
  SDatastoreInfo store;
  {
    TzAutoLock guard(proxyLock);
    store.name = proxyVMInfo.availabilityDomain;
  }
  out.push_back(store);
  return 1;
}

int COracleCloudInfrastructureInfo::GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName,
                                                   UINT64 flags, int option, SVMInfo& out) {
  if (!out.isTemplate) {
    return bridge->GetVMInfo(vmName, vmGuid, out, flags) ? 1 : ReportBridgeFailure(VMERR_VM_NOT_FOUND);
  }
  if (!bridge->GetTemplateInfo(vmGuid, out, "")) {
    EVERROR(evDebug, "Getting full template info for [%s] failed", vmGuid.c_str());
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  return 1;
}

int COracleCloudInfrastructureInfo::GetAvailableVMSizesForHost(const string& hostName, std::vector<SVMSizeInfo>& out,
                                                               UINT64 flags, int option) {
  std::vector<SVMSizeInfo> shapes;
  if (!bridge->GetInstanceShapeInfoList(shapes, hostName)) {
    EVDEBUG(evDebug, "Failed to get instance shape list.");
    return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
  }
  // Flexible shapes are never offered.
  for (const auto& shape : shapes)
    if (!IsFlexibleShape(shape.name)) out.push_back(shape);
  return 1;
}

// Its lines are tagged "std::string COracleCloudInfrastructureInfo::_GetRegionNameForRegionKey(const string&)".
std::string COracleCloudInfrastructureInfo::_GetRegionNameForRegionKey(const string& regionKey) {
  std::vector<SDataCenterInfo> regions;
  if (bridge->GetDCInfoList(regions, 0, 0) == 0) {
    EVERROR(evDebug, "Failed to get region list");
    return string();
  }
  for (const auto& region : regions) {
    if (FXString::EqualsIgnoreCase(region.regionKey, regionKey)) {
      EVDEBUGLVL(evDebug, 2, "Found region name[%s] for key[%s]", region.name.c_str(), regionKey.c_str());
      return region.name;
    }
  }
  EVERROR(evDebug, "Failed to find the region key [%s] in the subscribed list of regions", regionKey.c_str());
  return string();
}
