// The classic flavour's identity, instance records, backup feasibility and resource states.
#include "classic/OracleCloudClassicInfo.h"

#include "host/FXString.h"

using namespace VMInfoStructs;

namespace {
// A classic instance has ten storage attachment slots and the proxy's boot volume takes one.
constexpr int kMaxVolumesPerBackup = 9;
}  // namespace

COracleCloudClassicInfo::COracleCloudClassicInfo(VirtualServerInstanceType type) : COracleCloudInfo(type) {}

COracleCloudClassicInfo::~COracleCloudClassicInfo() = default;

void COracleCloudClassicInfo::DetectLocalVMGuid() {
  TzAutoLock guard(c_localVMGuidCS);
  if (!c_localVMGuid.empty()) return;
  string manufacturer, serialNumber, extra;
  if (!CVMInfo::getBiosInfo(manufacturer, serialNumber, c_localVMGuid, extra)) {
    EVERROR(evDebug, "Unable to get BIOS Serial Number");
    return;
  }
  if (manufacturer.find("Red Hat") == string::npos && manufacturer.find("RedHat") == string::npos) {
    EVDEBUG(evDebug, "Bios manufacturer is not Red Hat; Manufacturer [%s] Serial Number [%s] UUID [%s]",
            manufacturer.c_str(), serialNumber.c_str(), c_localVMGuid.c_str());
  }
  c_localVMGuid = FXString::ToLower(c_localVMGuid);
  EVDEBUG(evDebug, "Local VM Guid [%s]", c_localVMGuid.c_str());
}

int COracleCloudClassicInfo::GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName,
                                            UINT64 flags, int option, SVMInfo& out) {
  if (out.isTemplate) {
    if (!bridge->GetTemplateInfo(vmName, out, "")) {
      EVERROR(evDebug, "Getting full template info for [%s] failed", vmName.c_str());
      return ReportBridgeFailure(VMERR_HOST_QUERY_FAILED);
    }
    return 1;
  }
  return bridge->GetVMInfo(vmName, vmGuid, out, flags) ? 1 : ReportBridgeFailure(VMERR_VM_NOT_FOUND);
}

bool COracleCloudClassicInfo::FormDiskIndexName(const string& volumeName, int diskNumber, string& guid,
                                                string& indexName) {
  if (diskNumber == 0) return false;
  indexName = volumeName + "_" + std::to_string(diskNumber);
  EVDEBUG(evDebug, "Volume name [%s] , index [%d] => Index Name [%s]", volumeName.c_str(), diskNumber,
          indexName.c_str());
  return true;
}

bool COracleCloudClassicInfo::_IsBackupFeasibleForVM(const MountCtx& ctx) {
  if (ctx.vmInfo.powerState != 1) {
    const string text =
        FXString::Format("Cannot backup shutdown Instance [%s][%s]", ctx.vmName.c_str(), ctx.vmGuid.c_str());
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_VM_NOT_RUNNING);
    return false;
  }
  const int count = static_cast<int>(ctx.vmInfo.disks.size());
  if (count > kMaxVolumesPerBackup) {
    string proxyName;
    {
      TzAutoLock guard(proxyLock);
      proxyName = proxyVMInfo.name;
    }
    const string text = FXString::Format(
        "[%d] volumes of [%s] Instance cannot be attached to  [%s] Proxy as it exceeds the maximum limit. Maximum "
        "limit is [%d].",
        count, ctx.vmInfo.name.c_str(), proxyName.c_str(), kMaxVolumesPerBackup);
    EVERROR(evDebug, "%s", text.c_str());
    SetLastVMErrorDetails(text);
    SetLastVMError(VMERR_TOO_MANY_VOLUMES);
    return false;
  }
  return true;
}

bool COracleCloudClassicInfo::GetResourceStatus(const string& id, const OracleCloudResourceType& kind, bool& usable,
                                                bool& failed) {
  return QueryResourceState(id, kind, {"completed", "Online"}, "error", usable, failed);
}
