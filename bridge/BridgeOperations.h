#pragma once
// What a backend of the bridge does: every cloud operation of COracleCloudSDKCppBridge, which
// forwards each call to the backend its Connect picked (the simulator or the cloud's REST API).
// The conventions are the facade's (COracleCloudSDKCppBridge.h).
#include <map>
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"

namespace OracleCloudSDKCppBridge {

class CBridgeOperations {
 public:
  virtual ~CBridgeOperations() = default;

  // Session.
  virtual bool SetWebProxy(const string& host, const string& user, const string& password) = 0;
  virtual bool Connect(const string& url, const string& user, const string& password) = 0;
  virtual bool CheckConnection() = 0;
  virtual string GetLastError() const = 0;

  // Browse and discovery.
  virtual int GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64 flags, int option) = 0;
  virtual bool GetHostInfoList(UINT64 flags, int option, const string& regionId, std::vector<SHostInfo>& hosts) = 0;
  virtual bool GetHostInfo(const string& hostName, const string& hostId, const string& availabilityDomain,
                           SHostInfo& host, UINT64 flags) = 0;
  virtual bool GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags) = 0;
  virtual bool GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags) = 0;
  virtual bool GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) = 0;
  virtual bool GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region) = 0;
  virtual bool GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64 flags, int option) = 0;
  virtual bool GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name,
                                               const string& compartmentId, UINT64 flags, int option,
                                               const string& region) = 0;
  virtual bool GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName, UINT64 flags,
                                             int option) = 0;
  virtual bool GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string& hostName) = 0;
  virtual bool GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes, const string& compartmentId,
                                                const string& imageId, const string& availabilityDomain) = 0;
  virtual bool GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists) = 0;
  virtual bool GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys) = 0;
  virtual bool GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets, const string& hostName, UINT64 flags,
                                            int option) = 0;
  virtual string GetDefaultRegion() = 0;

  // Backup.
  virtual bool GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files) = 0;
  virtual bool CreateVolumeSnapshot(const string& volumeId, const string& description, const string& name,
                                    string& snapshotId) = 0;
  virtual bool GetSnapshotStatus(const string& snapshotId, string& state) = 0;
  virtual bool DeleteVolumeSnapshot(const string& snapshotId) = 0;
  virtual bool CreateVolumeFromSnapshot(const string& snapshotId, const string& name, string& volumeId) = 0;
  virtual bool GetVolumeStatus(const string& volumeId, string& state) = 0;
  virtual bool DoesVolumeSnapshotExist(const string& snapshotId, bool& exists) = 0;

  // Clean-up: the ids of the resources of a kind whose display name is exactly `name` and that the
  // proxy made at or after `createdSince` (seconds since the epoch), oldest first; instances on
  // their way out are not listed.
  virtual bool FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince,
                                   std::vector<string>& ids) = 0;
  // Every create the calling thread requests while a token is set carries it (a tag of the create
  // request); an empty token sets none. FindResourcesByToken gives the ids of the resources of a
  // kind whose create carried `token`, as FindResourcesByName does: what one request made, whatever
  // its name and whatever the clocks say.
  virtual bool FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids) = 0;

  // Freeform tags: every resource this bridge creates from now on carries `tags`.
  virtual void SetResourceTags(const std::map<string, string>& tags) = 0;
  // The live resources of a kind that carry the tag key=value, oldest first.
  virtual bool FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                                   std::vector<STaggedResource>& found) = 0;
  // Removes the tag `key` from a live resource.
  virtual bool RemoveResourceTag(EResourceKind kind, const string& id, const string& key) = 0;
  // Volumes.
  virtual bool CreateVolume(SDisk& volume, const string& compartmentId) = 0;
  virtual bool AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot) = 0;
  virtual bool AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot) = 0;
  virtual bool DetachVolume(const string& volumeId, const string& instanceId) = 0;
  virtual bool DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId) = 0;
  virtual bool DeleteVolume(const string& volumeId) = 0;
  virtual bool DoesVolumeExist(const string& volumeId, bool& exists) = 0;
  virtual bool DoesVolumeExist(const string& displayName, const string& compartmentId) = 0;
  virtual bool MakeVolumeBootable(const string& volumeId) = 0;
  virtual bool ClearDescriptionForVolume(const string& volumeId) = 0;

  // Instances.
  virtual bool DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB) = 0;
  virtual bool DeployVMFromOrchestration(SVMInfo& vm) = 0;
  virtual bool RestoreVM(SVMInfo& vm) = 0;
  virtual bool RestoreVM(SVMInfo& vm, const SDisk& bootDisk) = 0;
  virtual bool AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card) = 0;
  virtual bool GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId) = 0;
  virtual bool DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId,
                           bool& exists) = 0;
  virtual bool ReConfigureVM(SVMInfo& vm) = 0;
  virtual bool PowerOnInstance(const string& instanceId) = 0;
  virtual bool PowerOffInstance(const string& instanceId) = 0;
  virtual bool RebootInstance(const string& instanceId) = 0;
  virtual bool WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) = 0;
  // waitForTermination: return only once the instance is gone; preserveBootVolume: keep its boot
  // volume. Attached data volumes are detached, never deleted.
  virtual bool DeleteVM(const string& name, const string& instanceId, bool waitForTermination,
                        bool preserveBootVolume) = 0;
  virtual bool ReadInstanceConfig(const string& contents, SVMInfo& vm) = 0;
  virtual bool ReadInstanceOrchestration(const string& contents, SVMInfo& vm) = 0;

  // Images and objects.
  virtual bool UploadToObjectStorage(const string& bucket, const string& objectName, const string& contents) = 0;
  virtual bool DeleteStorageObject(const string& bucket, const string& objectName) = 0;
  virtual bool CreateImage(const string& bucket, const string& objectName, const string& imageName,
                           const string& launchMode, const string& compartmentId, string& imageId) = 0;
  virtual bool IsImageImportOperationCompleted(const string& imageId, bool& completed) = 0;
  virtual bool DeleteImage(const string& imageId) = 0;
  virtual bool DoesImageExist(const string& imageId, bool& exists) = 0;
  virtual bool DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists) = 0;
};

}  // namespace OracleCloudSDKCppBridge
