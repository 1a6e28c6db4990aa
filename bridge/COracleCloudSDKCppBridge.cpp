#include "bridge/COracleCloudSDKCppBridge.h"

#include "bridge/BridgeBackend.h"
#include "bridge/sim/ReadInstanceRecord.h"

namespace OracleCloudSDKCppBridge {

COracleCloudSDKCppBridge::COracleCloudSDKCppBridge(int instanceType)
    : instanceType_(instanceType), backend_(std::make_unique<CBridgeBackend>(instanceType)) {}

COracleCloudSDKCppBridge::~COracleCloudSDKCppBridge() = default;

// Session.

bool COracleCloudSDKCppBridge::SetWebProxy(const string& host, const string& user, const string& password) {
  return backend_->SetWebProxy(host, user, password);
}

bool COracleCloudSDKCppBridge::Connect(const string& url, const string& user, const string& password) {
  return backend_->Connect(url, user, password);
}

bool COracleCloudSDKCppBridge::CheckConnection() { return backend_->CheckConnection(); }

string COracleCloudSDKCppBridge::GetLastError() const { return backend_->LastError(); }

// Browse and discovery.

int COracleCloudSDKCppBridge::GetDCInfoList(std::vector<SDataCenterInfo>&, UINT64, int) {
  return backend_->NotAvailable("GetDCInfoList") ? 1 : 0;
}

bool COracleCloudSDKCppBridge::GetHostInfoList(UINT64, int, const string&, std::vector<SHostInfo>&) {
  return backend_->NotAvailable("GetHostInfoList");
}

bool COracleCloudSDKCppBridge::GetHostInfo(const string&, const string&, const string&, SHostInfo&, UINT64) {
  return backend_->NotAvailable("GetHostInfo");
}

bool COracleCloudSDKCppBridge::GetVMInfoList(std::vector<SVMInfo>&, UINT64) {
  return backend_->NotAvailable("GetVMInfoList");
}

bool COracleCloudSDKCppBridge::GetVMInfoListForHost(std::vector<SVMInfo>&, const string&, UINT64) {
  return backend_->NotAvailable("GetVMInfoListForHost");
}

bool COracleCloudSDKCppBridge::GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) {
  return backend_->Run("GetVMInfo", [&](sim::CSimCloud& cloud, const sim::SCallFaults&) {
    sim::SInstanceParts parts;
    parts.disks = (flags & VMINFO_FLAG_DISKS) != 0;
    parts.snapshots = parts.disks && (flags & VMINFO_FLAG_SNAPSHOTS) != 0;
    parts.network = (flags & VMINFO_FLAG_NETWORK) != 0;
    string error;
    return sim::ReadInstanceRecord(cloud, name, id, parts, vm, error) || backend_->Fail(error);
  });
}

bool COracleCloudSDKCppBridge::GetTemplateInfo(const string&, SVMInfo&, const string&) {
  return backend_->NotAvailable("GetTemplateInfo");
}

bool COracleCloudSDKCppBridge::GetTemplateInfoList(std::vector<SVMInfo>&, const string&, UINT64, int) {
  return backend_->NotAvailable("GetTemplateInfoList");
}

bool COracleCloudSDKCppBridge::GetTemplateInfoListFilterByName(std::vector<SVMInfo>&, const string&, const string&,
                                                               UINT64, int, const string&) {
  return backend_->NotAvailable("GetTemplateInfoListFilterByName");
}

bool COracleCloudSDKCppBridge::GetAvailabilityDomainInfoList(std::vector<SVMInfo>&, const string&, UINT64, int) {
  return backend_->NotAvailable("GetAvailabilityDomainInfoList");
}

bool COracleCloudSDKCppBridge::GetInstanceShapeInfoList(std::vector<SVMSizeInfo>&, const string&) {
  return backend_->NotAvailable("GetInstanceShapeInfoList");
}

bool COracleCloudSDKCppBridge::GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>&, const string&,
                                                                const string&, const string&) {
  return backend_->NotAvailable("GetInstanceShapeInfoListForImage");
}

bool COracleCloudSDKCppBridge::GetSecurityGroupList(std::vector<SSecurityGroupInfo>&) {
  return backend_->NotAvailable("GetSecurityGroupList");
}

bool COracleCloudSDKCppBridge::GetKeyPairInfoList(std::vector<SKeyPairInfo>&) {
  return backend_->NotAvailable("GetKeyPairInfoList");
}

bool COracleCloudSDKCppBridge::GetStagingStorageListForHost(std::vector<SStagingStorage>&, const string&, UINT64,
                                                            int) {
  return backend_->NotAvailable("GetStagingStorageListForHost");
}

string COracleCloudSDKCppBridge::GetDefaultRegion() {
  backend_->NotAvailable("GetDefaultRegion");
  return string();
}

// Backup.

bool COracleCloudSDKCppBridge::GetInstanceConfigurations(const string&, std::map<string, string>&) {
  return backend_->NotAvailable("GetInstanceConfigurations");
}

bool COracleCloudSDKCppBridge::CreateVolumeSnapshot(const string&, const string&, const string&, string&) {
  return backend_->NotAvailable("CreateVolumeSnapshot");
}

bool COracleCloudSDKCppBridge::GetSnapshotStatus(const string&, string&) {
  return backend_->NotAvailable("GetSnapshotStatus");
}

bool COracleCloudSDKCppBridge::DeleteVolumeSnapshot(const string&) {
  return backend_->NotAvailable("DeleteVolumeSnapshot");
}

bool COracleCloudSDKCppBridge::CreateVolumeFromSnapshot(const string&, const string&, string&) {
  return backend_->NotAvailable("CreateVolumeFromSnapshot");
}

bool COracleCloudSDKCppBridge::GetVolumeStatus(const string&, string&) {
  return backend_->NotAvailable("GetVolumeStatus");
}

// Volumes.

bool COracleCloudSDKCppBridge::CreateVolume(SDisk&, const string&) { return backend_->NotAvailable("CreateVolume"); }

bool COracleCloudSDKCppBridge::AttachVolume(SDisk&, const string&, bool&) {
  return backend_->NotAvailable("AttachVolume");
}

bool COracleCloudSDKCppBridge::AttachVolume(const string&, const string&, bool&) {
  return backend_->NotAvailable("AttachVolume");
}

bool COracleCloudSDKCppBridge::DetachVolume(const string&, const string&) {
  return backend_->NotAvailable("DetachVolume");
}

bool COracleCloudSDKCppBridge::DetachVolumes(const std::vector<string>&, const string&) {
  return backend_->NotAvailable("DetachVolumes");
}

bool COracleCloudSDKCppBridge::DeleteVolume(const string&) { return backend_->NotAvailable("DeleteVolume"); }

bool COracleCloudSDKCppBridge::DoesVolumeExist(const string&, bool&) {
  return backend_->NotAvailable("DoesVolumeExist");
}

bool COracleCloudSDKCppBridge::DoesVolumeExist(const string&, const string&) {
  return backend_->NotAvailable("DoesVolumeExist");
}

bool COracleCloudSDKCppBridge::MakeVolumeBootable(const string&) {
  return backend_->NotAvailable("MakeVolumeBootable");
}

bool COracleCloudSDKCppBridge::ClearDescriptionForVolume(const string&) {
  return backend_->NotAvailable("ClearDescriptionForVolume");
}

// Instances.

bool COracleCloudSDKCppBridge::DeployVM(SVMInfo&, const string&, int) { return backend_->NotAvailable("DeployVM"); }

bool COracleCloudSDKCppBridge::DeployVMFromOrchestration(SVMInfo&) {
  return backend_->NotAvailable("DeployVMFromOrchestration");
}

bool COracleCloudSDKCppBridge::RestoreVM(SVMInfo&) { return backend_->NotAvailable("RestoreVM"); }

bool COracleCloudSDKCppBridge::RestoreVM(SVMInfo&, const SDisk&) { return backend_->NotAvailable("RestoreVM"); }

bool COracleCloudSDKCppBridge::AttachVnic(const SVMInfo&, const SVMNetworkCard&) {
  return backend_->NotAvailable("AttachVnic");
}

bool COracleCloudSDKCppBridge::GetBootVolumeIdForInstance(const SVMInfo&, string&) {
  return backend_->NotAvailable("GetBootVolumeIdForInstance");
}

bool COracleCloudSDKCppBridge::DoesVMExist(const string&, std::vector<SVMInfo>&, const string&, bool&) {
  return backend_->NotAvailable("DoesVMExist");
}

bool COracleCloudSDKCppBridge::ReConfigureVM(SVMInfo&) { return backend_->NotAvailable("ReConfigureVM"); }

bool COracleCloudSDKCppBridge::PowerOnInstance(const string&) { return backend_->NotAvailable("PowerOnInstance"); }

bool COracleCloudSDKCppBridge::PowerOffInstance(const string&) { return backend_->NotAvailable("PowerOffInstance"); }

bool COracleCloudSDKCppBridge::RebootInstance(const string&) { return backend_->NotAvailable("RebootInstance"); }

bool COracleCloudSDKCppBridge::WaitForBoot(SVMInfo&, int, bool) { return backend_->NotAvailable("WaitForBoot"); }

bool COracleCloudSDKCppBridge::DeleteVM(const string&, const string&, bool, bool) {
  return backend_->NotAvailable("DeleteVM");
}

bool COracleCloudSDKCppBridge::ReadInstanceConfig(const string&, SVMInfo&) {
  return backend_->NotAvailable("ReadInstanceConfig");
}

bool COracleCloudSDKCppBridge::ReadInstanceOrchestration(const string&, SVMInfo&) {
  return backend_->NotAvailable("ReadInstanceOrchestration");
}

// Images and objects.

bool COracleCloudSDKCppBridge::UploadToObjectStorage(const string&, const string&, const string&) {
  return backend_->NotAvailable("UploadToObjectStorage");
}

bool COracleCloudSDKCppBridge::DeleteStorageObject(const string&, const string&) {
  return backend_->NotAvailable("DeleteStorageObject");
}

bool COracleCloudSDKCppBridge::CreateImage(const string&, const string&, const string&, const string&, const string&,
                                           string&) {
  return backend_->NotAvailable("CreateImage");
}

bool COracleCloudSDKCppBridge::IsImageImportOperationCompleted(const string&, bool&) {
  return backend_->NotAvailable("IsImageImportOperationCompleted");
}

bool COracleCloudSDKCppBridge::DeleteImage(const string&) { return backend_->NotAvailable("DeleteImage"); }

}  // namespace OracleCloudSDKCppBridge
