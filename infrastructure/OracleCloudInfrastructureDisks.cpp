// The agent's disk interface on the infrastructure flavour: a replica is attached to the proxy when
// its disk is opened and detached when it is closed.
#include "host/TZPlatformInfo.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

using namespace VMInfoStructs;
using namespace OracleCloudInfrastructureDiskInfo;

int COracleCloudInfrastructureInfo::GetStreamLimit() {
  uint32_t limit = 32;
  if (TZPlatformInfo::getNumber("VirtualServer", "nOCIProxyStreamLimit", &limit))
    EVDEBUG(evDebug, "Proxy stream limit from registry: [%u]", limit);
  return static_cast<int>(limit);
}

bool COracleCloudInfrastructureInfo::InitDiskInfo() {
  if (diskInfo) return true;
  EVDEBUG(evDebug, "Creating DiskInfo object.");
  diskInfo.reset(new (std::nothrow) COracleCloudInfrastructureDiskInfo);
  if (!diskInfo) {
    EVERROR(evDebug, "Failed to create Diskinfo object");
    return false;
  }
  return true;
}

bool COracleCloudInfrastructureInfo::ConnectDiskInfo(const MountCtx& ctx) {
  if (!InitDiskInfo()) return false;
  EVDEBUG(evDebug, "Connecting to VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  if (!diskInfo->Connect(ctx.vmInfo)) {
    EVERROR(evDebug, "Failed to connect to VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
    SetLastVMError(VMERR_DISKINFO_CONNECT_FAILED);
    return false;
  }
  return true;
}

bool COracleCloudInfrastructureInfo::RegisterDisksWithDiskInfo(const MountCtx& ctx) {
  for (const auto& disk : ctx.vmInfo.disks) {
    if (disk.selectedForRestore != 1) continue;
    if (!diskInfo || !diskInfo->RegisterDisk(ctx.vmGuid, disk, false)) {
      EVDEBUG(evDebug, "Failed to register disk [%s] for VM [%s]", disk.guid.c_str(), ctx.vmGuid.c_str());
      return false;
    }
  }
  return true;
}

bool COracleCloudInfrastructureInfo::DisconnectDiskInfo(const MountCtx& ctx) {
  EVDEBUG(evDebug, "Disonnecting VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
  if (!diskInfo || !diskInfo->Disconnect(ctx.vmInfo)) {
    EVERROR(evDebug, "Failed to disconnect VM [%s][%s]", ctx.vmInfo.name.c_str(), ctx.vmInfo.guid.c_str());
    return false;
  }
  return true;
}

int COracleCloudInfrastructureInfo::OpenVmdk(const string& firstName, const string& vmGuid, const string& diskName,
                                             VmdkHandle& handle) {
  try {
    SetLastVMError(VMERR_NONE);
    EVDEBUG(evDebug, "Opening disk [%s] for VM [%s][%s]", diskName.c_str(), vmGuid.c_str(), firstName.c_str());
    if (vmGuid.empty() || diskName.empty()) {
      EVERROR(evDebug, "Invalid inputs.");
      return 0;
    }
    if (!diskInfo) {
      EVERROR(evDebug, "Disk info pointer is NULL.");
      return 0;
    }
    if (!diskInfo->GetVmdkHandle(firstName, vmGuid, diskName, handle)) {
      EVDEBUG(evDebug, "Failed to get disk handle");
      SetLastVMError(VMERR_DISK_OPEN_FAILED);
      return 0;
    }
    if (diskInfo->GetDiskState(handle) == OCI_DISK_STATE_OPEN) {
      EVDEBUG(evDebug, "Disk is already opened");
      return 1;
    }
    SDisk disk;
    bool isRestore = false;
    if (!diskInfo->GetDiskInfo(handle, disk, isRestore)) {
      EVDEBUG(evDebug, "Failed to get disk info");
      SetLastVMError(VMERR_DISK_OPEN_FAILED);
      return 0;
    }
    disk.attachmentType = _GetVolumeAttachmentTypeToProxy();
    if (!AttachVolumeToProxyWithSlotWait(disk, vmGuid, isRestore)) return 0;
    if (!diskInfo->UpdateDiskInfo(handle, disk)) {
      EVDEBUG(evDebug, "Failed to update disk info.");
      SetLastVMError(VMERR_DISK_OPEN_FAILED);
      return 0;
    }
    if (!diskInfo->UpdateDiskState(handle, OCI_DISK_STATE_OPEN)) {
      EVDEBUG(evDebug, "Failed to update disk state.");
      SetLastVMError(VMERR_DISK_OPEN_FAILED);
      return 0;
    }
    return 1;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

// Resets the error and copies the record out of a handle the agent passes back, logging under the
// caller's tag why it cannot.
bool COracleCloudInfrastructureInfo::ReadVmdkHandle(const VmdkHandle& handle, SDisk& disk, const char* tag) {
  SetLastVMError(VMERR_NONE);
  if (!handle.vmHandle || !handle.diskHandle) {
    evDebug.Error(tag, "Invalid vmdk handle");
    return false;
  }
  if (!diskInfo) {
    evDebug.Error(tag, "Disk info pointer is NULL.");
    return false;
  }
  bool isRestore = false;
  if (!diskInfo->GetDiskInfo(handle, disk, isRestore)) {
    evDebug.Error(tag, "Failed to get disk info");
    return false;
  }
  return true;
}

int COracleCloudInfrastructureInfo::GetVmdkInfo(const VmdkHandle& handle, SDisk& disk) {
  return ReadVmdkHandle(handle, disk, __PRETTY_FUNCTION__) ? 1 : 0;
}

int COracleCloudInfrastructureInfo::CloseVmdk(const VmdkHandle& handle) {
  try {
    SDisk disk;
    if (!ReadVmdkHandle(handle, disk, __PRETTY_FUNCTION__)) return 0;
    EVDEBUG(evDebug, "Closing disk [%s][%s]", disk.createdVolumeId.c_str(), disk.displayName.c_str());
    if (diskInfo->GetDiskState(handle) == OCI_DISK_STATE_CLOSED) {
      EVDEBUG(evDebug, "Disk is already closed");
      return 1;
    }
    SVMInfo vm;
    if (!diskInfo->GetVMInfo(handle, vm)) {
      EVERROR(evDebug, "Failed to get vm info");
      return 0;
    }
    if (!DetachVolumeFromProxy(disk, vm.guid)) {
      EVERROR(evDebug, "Failed to detach volume from proxy");
      return 0;
    }
    if (!diskInfo->UpdateDiskState(handle, OCI_DISK_STATE_CLOSED)) {
      EVDEBUG(evDebug, "Failed to update disk state");
      return 0;
    }
    return 1;
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}
