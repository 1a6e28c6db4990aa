#include "bridge/COracleCloudSDKCppBridge.h"

#include "bridge/SimBridge.h"
#include "bridge/rest/RestBridge.h"
#include "bridge/sim/SimResources.h"

namespace OracleCloudSDKCppBridge {

COracleCloudSDKCppBridge::COracleCloudSDKCppBridge(int instanceType)
    : instanceType_(instanceType), sim_(std::make_shared<CSimBridge>(instanceType)), backend_(sim_) {}

COracleCloudSDKCppBridge::~COracleCloudSDKCppBridge() = default;

std::shared_ptr<CBridgeOperations> COracleCloudSDKCppBridge::Backend() const {
  MutexLock lock(mutex_);
  return backend_;
}

// Session. Until a Connect picks another, the simulator backend answers (refusing cloud calls as not
// connected). A web proxy set before Connect is handed to the backend the Connect picks.

bool COracleCloudSDKCppBridge::SetWebProxy(const string& host, const string& user, const string& password) {
  if (!Backend()->SetWebProxy(host, user, password)) return false;
  MutexLock lock(mutex_);
  proxyHost_ = host, proxyUser_ = user, proxyPassword_ = password;
  return true;
}

bool COracleCloudSDKCppBridge::Connect(const string& url, const string& user, const string& password) {
  std::shared_ptr<CBridgeOperations> backend = sim_;
  if (CRestBridge::ServesUrl(url)) {
    auto rest = std::make_shared<CRestBridge>(instanceType_);
    MutexLock lock(mutex_);
    if (!proxyHost_.empty()) rest->SetWebProxy(proxyHost_, proxyUser_, proxyPassword_);
    backend = rest;
  }
  {
    // The new backend answers from now on, so that a failed Connect's text is the one GetLastError gives.
    MutexLock lock(mutex_);
    backend_ = backend;
  }
  return backend->Connect(url, user, password);
}

string COracleCloudSDKCppBridge::GetLastError() const { return Backend()->GetLastError(); }

void COracleCloudSDKCppBridge::SetThreadCreateToken(const string& token) { sim::SetCreateToken(token); }

string COracleCloudSDKCppBridge::ThreadCreateToken() { return sim::CreateToken(); }

// Every other operation is the backend's.

bool COracleCloudSDKCppBridge::CheckConnection() { return Backend()->CheckConnection(); }

int COracleCloudSDKCppBridge::GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64 flags, int option) {
  return Backend()->GetDCInfoList(regions, flags, option);
}

bool COracleCloudSDKCppBridge::GetHostInfoList(UINT64 flags, int option, const string& regionId,
                                               std::vector<SHostInfo>& hosts) {
  return Backend()->GetHostInfoList(flags, option, regionId, hosts);
}

bool COracleCloudSDKCppBridge::GetHostInfo(const string& hostName, const string& hostId,
                                           const string& availabilityDomain, SHostInfo& host, UINT64 flags) {
  return Backend()->GetHostInfo(hostName, hostId, availabilityDomain, host, flags);
}

bool COracleCloudSDKCppBridge::GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags) {
  return Backend()->GetVMInfoList(vms, flags);
}

bool COracleCloudSDKCppBridge::GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags) {
  return Backend()->GetVMInfoListForHost(vms, hostId, flags);
}

bool COracleCloudSDKCppBridge::GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) {
  return Backend()->GetVMInfo(name, id, vm, flags);
}

bool COracleCloudSDKCppBridge::GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region) {
  return Backend()->GetTemplateInfo(imageIdOrName, image, region);
}

bool COracleCloudSDKCppBridge::GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64 flags,
                                                   int option) {
  return Backend()->GetTemplateInfoList(images, hostId, flags, option);
}

bool COracleCloudSDKCppBridge::GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name,
                                                               const string& compartmentId, UINT64 flags, int option,
                                                               const string& region) {
  return Backend()->GetTemplateInfoListFilterByName(images, name, compartmentId, flags, option, region);
}

bool COracleCloudSDKCppBridge::GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName,
                                                             UINT64 flags, int option) {
  return Backend()->GetAvailabilityDomainInfoList(domains, hostName, flags, option);
}

bool COracleCloudSDKCppBridge::GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string& hostName) {
  return Backend()->GetInstanceShapeInfoList(shapes, hostName);
}

bool COracleCloudSDKCppBridge::GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes,
                                                                const string& compartmentId, const string& imageId,
                                                                const string& availabilityDomain) {
  return Backend()->GetInstanceShapeInfoListForImage(shapes, compartmentId, imageId, availabilityDomain);
}

bool COracleCloudSDKCppBridge::GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists) {
  return Backend()->GetSecurityGroupList(lists);
}

bool COracleCloudSDKCppBridge::GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys) {
  return Backend()->GetKeyPairInfoList(keys);
}

bool COracleCloudSDKCppBridge::GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets,
                                                            const string& hostName, UINT64 flags, int option) {
  return Backend()->GetStagingStorageListForHost(buckets, hostName, flags, option);
}

string COracleCloudSDKCppBridge::GetDefaultRegion() { return Backend()->GetDefaultRegion(); }

bool COracleCloudSDKCppBridge::GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files) {
  return Backend()->GetInstanceConfigurations(instanceId, files);
}

bool COracleCloudSDKCppBridge::CreateVolumeSnapshot(const string& volumeId, const string& description,
                                                    const string& name, string& snapshotId) {
  return Backend()->CreateVolumeSnapshot(volumeId, description, name, snapshotId);
}

bool COracleCloudSDKCppBridge::GetSnapshotStatus(const string& snapshotId, string& state) {
  return Backend()->GetSnapshotStatus(snapshotId, state);
}

bool COracleCloudSDKCppBridge::DeleteVolumeSnapshot(const string& snapshotId) {
  return Backend()->DeleteVolumeSnapshot(snapshotId);
}

bool COracleCloudSDKCppBridge::CreateVolumeFromSnapshot(const string& snapshotId, const string& name,
                                                        string& volumeId) {
  return Backend()->CreateVolumeFromSnapshot(snapshotId, name, volumeId);
}

bool COracleCloudSDKCppBridge::GetVolumeStatus(const string& volumeId, string& state) {
  return Backend()->GetVolumeStatus(volumeId, state);
}

bool COracleCloudSDKCppBridge::DoesVolumeSnapshotExist(const string& snapshotId, bool& exists) {
  return Backend()->DoesVolumeSnapshotExist(snapshotId, exists);
}

bool COracleCloudSDKCppBridge::FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince,
                                                   std::vector<string>& ids) {
  return Backend()->FindResourcesByName(kind, name, createdSince, ids);
}

bool COracleCloudSDKCppBridge::FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids) {
  return Backend()->FindResourcesByToken(kind, token, ids);
}

void COracleCloudSDKCppBridge::SetResourceTags(const std::map<string, string>& tags) {
  return Backend()->SetResourceTags(tags);
}

bool COracleCloudSDKCppBridge::FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                                                   std::vector<STaggedResource>& found) {
  return Backend()->FindTaggedResources(kind, key, value, found);
}

bool COracleCloudSDKCppBridge::RemoveResourceTag(EResourceKind kind, const string& id, const string& key) {
  return Backend()->RemoveResourceTag(kind, id, key);
}

bool COracleCloudSDKCppBridge::CreateVolume(SDisk& volume, const string& compartmentId) {
  return Backend()->CreateVolume(volume, compartmentId);
}

bool COracleCloudSDKCppBridge::AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot) {
  return Backend()->AttachVolume(disk, instanceId, noFreeSlot);
}

bool COracleCloudSDKCppBridge::AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot) {
  return Backend()->AttachVolume(volumeId, instanceId, noFreeSlot);
}

bool COracleCloudSDKCppBridge::DetachVolume(const string& volumeId, const string& instanceId) {
  return Backend()->DetachVolume(volumeId, instanceId);
}

bool COracleCloudSDKCppBridge::DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId) {
  return Backend()->DetachVolumes(volumeIds, instanceId);
}

bool COracleCloudSDKCppBridge::DeleteVolume(const string& volumeId) { return Backend()->DeleteVolume(volumeId); }

bool COracleCloudSDKCppBridge::DoesVolumeExist(const string& volumeId, bool& exists) {
  return Backend()->DoesVolumeExist(volumeId, exists);
}

bool COracleCloudSDKCppBridge::DoesVolumeExist(const string& displayName, const string& compartmentId) {
  return Backend()->DoesVolumeExist(displayName, compartmentId);
}

bool COracleCloudSDKCppBridge::MakeVolumeBootable(const string& volumeId) {
  return Backend()->MakeVolumeBootable(volumeId);
}

bool COracleCloudSDKCppBridge::ClearDescriptionForVolume(const string& volumeId) {
  return Backend()->ClearDescriptionForVolume(volumeId);
}

bool COracleCloudSDKCppBridge::DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB) {
  return Backend()->DeployVM(vm, sourceId, bootVolumeSizeGiB);
}

bool COracleCloudSDKCppBridge::DeployVMFromOrchestration(SVMInfo& vm) {
  return Backend()->DeployVMFromOrchestration(vm);
}

bool COracleCloudSDKCppBridge::RestoreVM(SVMInfo& vm) { return Backend()->RestoreVM(vm); }

bool COracleCloudSDKCppBridge::RestoreVM(SVMInfo& vm, const SDisk& bootDisk) {
  return Backend()->RestoreVM(vm, bootDisk);
}

bool COracleCloudSDKCppBridge::AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card) {
  return Backend()->AttachVnic(vm, card);
}

bool COracleCloudSDKCppBridge::GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId) {
  return Backend()->GetBootVolumeIdForInstance(vm, bootVolumeId);
}

bool COracleCloudSDKCppBridge::DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId,
                                           bool& exists) {
  return Backend()->DoesVMExist(name, found, compartmentId, exists);
}

bool COracleCloudSDKCppBridge::ReConfigureVM(SVMInfo& vm) { return Backend()->ReConfigureVM(vm); }

bool COracleCloudSDKCppBridge::PowerOnInstance(const string& instanceId) {
  return Backend()->PowerOnInstance(instanceId);
}

bool COracleCloudSDKCppBridge::PowerOffInstance(const string& instanceId) {
  return Backend()->PowerOffInstance(instanceId);
}

bool COracleCloudSDKCppBridge::RebootInstance(const string& instanceId) {
  return Backend()->RebootInstance(instanceId);
}

bool COracleCloudSDKCppBridge::WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) {
  return Backend()->WaitForBoot(vm, timeoutSeconds, waitForRunning);
}

bool COracleCloudSDKCppBridge::DeleteVM(const string& name, const string& instanceId, bool waitForTermination,
                                        bool preserveBootVolume) {
  return Backend()->DeleteVM(name, instanceId, waitForTermination, preserveBootVolume);
}

bool COracleCloudSDKCppBridge::ReadInstanceConfig(const string& contents, SVMInfo& vm) {
  return Backend()->ReadInstanceConfig(contents, vm);
}

bool COracleCloudSDKCppBridge::ReadInstanceOrchestration(const string& contents, SVMInfo& vm) {
  return Backend()->ReadInstanceOrchestration(contents, vm);
}

bool COracleCloudSDKCppBridge::UploadToObjectStorage(const string& bucket, const string& objectName,
                                                     const string& contents) {
  return Backend()->UploadToObjectStorage(bucket, objectName, contents);
}

bool COracleCloudSDKCppBridge::DeleteStorageObject(const string& bucket, const string& objectName) {
  return Backend()->DeleteStorageObject(bucket, objectName);
}

bool COracleCloudSDKCppBridge::CreateImage(const string& bucket, const string& objectName, const string& imageName,
                                           const string& launchMode, const string& compartmentId, string& imageId) {
  return Backend()->CreateImage(bucket, objectName, imageName, launchMode, compartmentId, imageId);
}

bool COracleCloudSDKCppBridge::IsImageImportOperationCompleted(const string& imageId, bool& completed) {
  return Backend()->IsImageImportOperationCompleted(imageId, completed);
}

bool COracleCloudSDKCppBridge::DeleteImage(const string& imageId) { return Backend()->DeleteImage(imageId); }

bool COracleCloudSDKCppBridge::DoesImageExist(const string& imageId, bool& exists) {
  return Backend()->DoesImageExist(imageId, exists);
}

bool COracleCloudSDKCppBridge::DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists) {
  return Backend()->DoesStorageObjectExist(bucket, objectName, exists);
}

}  // namespace OracleCloudSDKCppBridge
