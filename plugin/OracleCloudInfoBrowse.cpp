// The browse tree: the root view "VMs", then regions, hosts and instances (the infrastructure
// flavour walks compartments and instances instead). A level whose bridge call fails fails the
// browse with the bridge's text in the error details.
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
// The views at the root of the tree, in order.
const char* const kBrowseViews[] = {"VMs"};
}  // namespace

int COracleCloudInfo::BrowseInventory(const string& path, const SInventoryInfo& node, std::vector<SInventoryInfo>& out,
                                      UINT64 flags, int option) {
  try {
    std::vector<CWqString> pathParts = CWqString(path).Tokenize("\\");
    if (pathParts.empty() || pathParts[0] == "\\") return BrowseViews(out);
    if (pathParts[0] == "VMs") return BrowseVMList(pathParts, node, out, flags);
    return 1;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

int COracleCloudInfo::BrowseViews(std::vector<SInventoryInfo>& out) {
  for (const char* view : kBrowseViews) {
    SInventoryInfo entry;
    entry.name = view;
    out.push_back(entry);
  }
  return 1;
}

int COracleCloudInfo::BrowseVMList(std::vector<CWqString>& pathParts, const SInventoryInfo& node,
                                   std::vector<SInventoryInfo>& out, UINT64 flags) {
  switch (pathParts.size()) {
    case 1: {
      std::vector<SDataCenterInfo> regions;
      if (bridge->GetDCInfoList(regions, flags, 0) == 0) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
      SInventoryInfo::FillInventoryInfoListFromDatacenterInfoList(out, regions);
      return 1;
    }
    case 2: {
      string regionId = node.parents.empty() ? string() : node.parents[0].guid;
      std::vector<SHostInfo> hosts;
      if (!bridge->GetHostInfoList(flags, 0, regionId, hosts)) return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
      SInventoryInfo::FillInventoryInfoListFromHostInfoList(out, hosts);
      return 1;
    }
    case 3: {
      string regionId =
          (!node.parents.empty() && !node.parents[0].parents.empty()) ? node.parents[0].parents[0].guid : string();
      SHostInfo host;
      const UINT64 hostFlags = flags | OracleCloudSDKCppBridge::HOSTINFO_FLAG_WITH_VMS;
      if (!bridge->GetHostInfo(pathParts[2], regionId, "", host, hostFlags))
        return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
      SInventoryInfo::FillInventoryInfoListFromVMInfoList(out, host.vms);
      return 1;
    }
    default:
      return 1;
  }
}
