#include "infrastructure/OracleCloudInfrastructureDiskInfo.h"

#include <memory>

#include "host/FXString.h"

using namespace OracleCloudInfrastructureDiskInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {
DiskHandle* DiskOf(const VmdkHandle& handle) { return static_cast<DiskHandle*>(handle.diskHandle); }
VMHandle* VMOf(const VmdkHandle& handle) { return static_cast<VMHandle*>(handle.vmHandle); }
}  // namespace

COracleCloudInfrastructureDiskInfo::COracleCloudInfrastructureDiskInfo() : evDebug("vsagent") {}

COracleCloudInfrastructureDiskInfo::~COracleCloudInfrastructureDiskInfo() {
  for (const auto& vm : vmHandles)
    EVDEBUG(evDebug, "Cleaning up left behind vmHandle [%s][%s].", vm->name.c_str(), vm->guid.c_str());
}

VMHandle* COracleCloudInfrastructureDiskInfo::FindVMHandle(const string& guid) {
  TzAutoLock guard(lock);
  for (const auto& vm : vmHandles)
    if (FXString::EqualsIgnoreCase(vm->guid, guid)) return vm.get();
  return nullptr;
}

DiskHandle* COracleCloudInfrastructureDiskInfo::FindVMDiskHandle(VMHandle* vmHandle, const string& diskId) {
  if (!vmHandle) return nullptr;
  for (const auto& disk : vmHandle->diskHandles)
    if (FXString::EqualsIgnoreCase(disk->diskId, diskId)) return disk.get();
  return nullptr;
}

bool COracleCloudInfrastructureDiskInfo::Connect(const SVMInfo& vm) {
  {
    TzAutoLock guard(lock);
    for (const auto& known : vmHandles)
      if (FXString::EqualsIgnoreCase(known->guid, vm.guid)) return true;
    auto handle = std::make_unique<VMHandle>();
    handle->name = vm.name;
    handle->guid = vm.guid;
    handle->vmInfo = vm;
    vmHandles.push_back(std::move(handle));
  }
  EVDEBUG(evDebug, "VM [%s][%s] added.", vm.guid.c_str(), vm.name.c_str());
  return true;
}

bool COracleCloudInfrastructureDiskInfo::Disconnect(const SVMInfo& vm) {
  EVDEBUG(evDebug, "Disconnecting VM [%s][%s] from DiskInfo", vm.name.c_str(), vm.guid.c_str());
  VMHandle* handle = FindVMHandle(vm.guid);
  if (!handle) {
    EVERROR(evDebug, "Failed to find VMHandle for VM [%s]", vm.guid.c_str());
    return false;
  }
  DeleteVMHandle(handle);
  return true;
}

void COracleCloudInfrastructureDiskInfo::DeleteVMHandle(VMHandle* vmHandle) {
  if (!vmHandle) return;
  for (const auto& disk : vmHandle->diskHandles)
    if (disk->state == OCI_DISK_STATE_OPEN) EVERROR(evDebug, "Disk handle is still open. [%s]", disk->diskId.c_str());
  TzAutoLock guard(lock);
  vmHandles.remove_if([vmHandle](const std::unique_ptr<VMHandle>& vm) { return vm.get() == vmHandle; });
}

bool COracleCloudInfrastructureDiskInfo::RegisterDisk(const string& guid, const SDisk& disk, bool isRestore) {
  EVDEBUGLVL(evDebug, 1, "Registering disk [%s][%s] for %s of VM [%s]", disk.createdVolumeId.c_str(), disk.guid.c_str(),
             isRestore ? "restore" : "backup", guid.c_str());
  VMHandle* vm = FindVMHandle(guid);
  if (!vm) {
    EVDEBUG(evDebug, "Unable to find VMHandle for VM [%s]", guid.c_str());
    return false;
  }
  if (FindVMDiskHandle(vm, disk.guid)) {
    EVERROR(evDebug, "Disk [%s] is already registered", disk.createdVolumeId.c_str());
    return true;
  }
  auto handle = std::make_unique<DiskHandle>();
  handle->diskId = disk.guid;
  handle->volumeId = disk.createdVolumeId;
  handle->isRestore = isRestore;
  handle->state = OCI_DISK_STATE_REGISTERED;
  handle->disk = disk;
  vm->diskHandles.push_back(std::move(handle));
  return true;
}

bool COracleCloudInfrastructureDiskInfo::GetVmdkHandle(const string& firstName, const string& guid,
                                                       const string& diskName, VmdkHandle& handle) {
  VMHandle* vm = FindVMHandle(guid);
  if (!vm) {
    EVERROR(evDebug, "Unable to find open VM Handle for [%s][%s]", firstName.c_str(), guid.c_str());
    return false;
  }
  DiskHandle* disk = FindVMDiskHandle(vm, diskName);
  if (!disk) {
    EVERROR(evDebug, "Unable to find open Disk Handle for VM [%s] Disk [%s]", guid.c_str(), diskName.c_str());
    return false;
  }
  handle.vmHandle = vm;
  handle.diskHandle = disk;
  return true;
}

bool COracleCloudInfrastructureDiskInfo::GetDiskInfo(const VmdkHandle& handle, SDisk& disk, bool& isRestore) {
  DiskHandle* diskHandle = DiskOf(handle);
  if (!diskHandle) {
    EVERROR(evDebug, "diskHandle is NULL");
    return false;
  }
  disk = diskHandle->disk;
  isRestore = diskHandle->isRestore;
  return true;
}

bool COracleCloudInfrastructureDiskInfo::UpdateDiskInfo(const VmdkHandle& handle, const SDisk& disk) {
  DiskHandle* diskHandle = DiskOf(handle);
  if (!diskHandle) {
    EVERROR(evDebug, "diskHandle is NULL");
    return false;
  }
  diskHandle->disk = disk;
  return true;
}

OracleCloudInfrastructureDiskInfo::OCIDiskState COracleCloudInfrastructureDiskInfo::GetDiskState(
    const VmdkHandle& handle) {
  DiskHandle* diskHandle = DiskOf(handle);
  if (!diskHandle) {
    EVDEBUG(evDebug, "Disk Handle is NULL");
    return OCI_DISK_STATE_NONE;
  }
  return diskHandle->state;
}

bool COracleCloudInfrastructureDiskInfo::UpdateDiskState(const VmdkHandle& handle, OCIDiskState state) {
  DiskHandle* diskHandle = DiskOf(handle);
  if (!diskHandle) {
    EVDEBUG(evDebug, "Disk Handle is NULL");
    return false;
  }
  diskHandle->state = state;
  return true;
}

bool COracleCloudInfrastructureDiskInfo::GetVMInfo(const VmdkHandle& handle, SVMInfo& vm) {
  VMHandle* vmHandle = VMOf(handle);
  if (!vmHandle) {
    EVERROR(evDebug, "vmHandle is NULL");
    return false;
  }
  vm = vmHandle->vmInfo;
  return true;
}
