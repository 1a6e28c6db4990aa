// The host's conversions of discovery records into browse-tree entries.
#include "host/VMInfoStructs.h"

namespace VMInfoStructs {

void SInventoryInfo::FillInventoryInfoListFromDatacenterInfoList(std::vector<SInventoryInfo>& out,
                                                                 const std::vector<SDataCenterInfo>& in) {
  for (const auto& dc : in) out.push_back(SInventoryInfo{dc.name, dc.name, INVENTORY_TYPE_DATACENTER, {}});
}

void SInventoryInfo::FillInventoryInfoListFromHostInfoList(std::vector<SInventoryInfo>& out,
                                                           const std::vector<SHostInfo>& in) {
  for (const auto& host : in) out.push_back(SInventoryInfo{host.name, host.guid, INVENTORY_TYPE_HOST, {}});
}

void SInventoryInfo::FillInventoryInfoListFromVMInfoList(std::vector<SInventoryInfo>& out,
                                                         const std::vector<SVMInfo>& in) {
  for (const auto& vm : in) out.push_back(SInventoryInfo{vm.name, vm.guid, INVENTORY_TYPE_VM, {}});
}

}  // namespace VMInfoStructs
