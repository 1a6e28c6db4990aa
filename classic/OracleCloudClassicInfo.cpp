#include "classic/OracleCloudClassicInfo.h"

#include "host/FXString.h"

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

bool COracleCloudClassicInfo::DetachVolumes(const std::vector<VMInfoStructs::SDisk>& disks) {
  return NotAvailableYet(__PRETTY_FUNCTION__);
}

bool COracleCloudClassicInfo::_InitRestoreVM(const RestoreCtx& ctx) {
  SetLastVMErrorDetails("Restores of classic instances are not available yet");
  SetLastVMError(VMERR_VM_OPERATION_NOT_SUPPORTED);
  return NotAvailableYet(__PRETTY_FUNCTION__);
}

int COracleCloudClassicInfo::CleanupRestoreVM(const RestoreCtx& ctx) {
  if (!InitMapperAndCleaner()) return 0;
  cleanerMode = VM_CLEANER_MODE_RESTORE;
  return _CleanupRestoreVM(ctx.restoreGuid) ? 1 : 0;
}

int COracleCloudClassicInfo::GetVMInfoForVM(const string& vmName, const string& vmGuid, const string& hostName,
                                            UINT64 flags, int option, VMInfoStructs::SVMInfo& out) {
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
