#pragma once
// Names of the bridge's operations, as counted and as fault rules name them. Overloads share
// one name.
#include <string>

namespace sim {

constexpr const char* kOperations[] = {
    "SetWebProxy",
    "Connect",
    "CheckConnection",
    "GetDCInfoList",
    "GetHostInfoList",
    "GetHostInfo",
    "GetVMInfoList",
    "GetVMInfoListForHost",
    "GetVMInfo",
    "GetTemplateInfo",
    "GetTemplateInfoList",
    "GetTemplateInfoListFilterByName",
    "GetAvailabilityDomainInfoList",
    "GetInstanceShapeInfoList",
    "GetInstanceShapeInfoListForImage",
    "GetSecurityGroupList",
    "GetKeyPairInfoList",
    "GetStagingStorageListForHost",
    "GetDefaultRegion",
    "GetInstanceConfigurations",
    "CreateVolumeSnapshot",
    "GetSnapshotStatus",
    "DeleteVolumeSnapshot",
    "CreateVolumeFromSnapshot",
    "GetVolumeStatus",
    "DoesVolumeSnapshotExist",
    "FindResourcesByName",
    "FindResourcesByToken",
    "FindTaggedResources",
    "RemoveResourceTag",
    "CreateVolume",
    "AttachVolume",
    "DetachVolume",
    "DetachVolumes",
    "DeleteVolume",
    "DoesVolumeExist",
    "MakeVolumeBootable",
    "ClearDescriptionForVolume",
    "DeployVM",
    "DeployVMFromOrchestration",
    "RestoreVM",
    "AttachVnic",
    "GetBootVolumeIdForInstance",
    "DoesVMExist",
    "ReConfigureVM",
    "PowerOnInstance",
    "PowerOffInstance",
    "RebootInstance",
    "WaitForBoot",
    "DeleteVM",
    "ReadInstanceConfig",
    "ReadInstanceOrchestration",
    "UploadToObjectStorage",
    "DeleteStorageObject",
    "CreateImage",
    "IsImageImportOperationCompleted",
    "DeleteImage",
    "DoesImageExist",
    "DoesStorageObjectExist",
};

// The proxy's tools in the sandbox (SandboxTools.h) count their calls and meet fault rules under these
// names: one per iscsiadm command, and the virtual-disk tool's disk creation.
constexpr const char* kToolOperations[] = {"iscsiadm:new", "iscsiadm:login", "iscsiadm:logout", "iscsiadm:delete",
                                           "vmware-vdiskmanager"};

inline bool IsToolOperation(const std::string& name) {
  for (const char* op : kToolOperations) {
    if (name == op) return true;
  }
  return false;
}

inline bool IsBridgeOperation(const std::string& name) {
  for (const char* op : kOperations) {
    if (name == op) return true;
  }
  return false;
}

// An operation that changes nothing in the cloud: it reads, looks up or waits.
inline bool IsReadOnlyOperation(const std::string& name) {
  for (const char* prefix : {"Get", "Does", "Is", "Find", "Read"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  return name == "Connect" || name == "CheckConnection" || name == "WaitForBoot";
}

inline bool IsKnownOperation(const std::string& name) { return IsBridgeOperation(name) || IsToolOperation(name); }

}  // namespace sim
