#pragma once
// The cloud bridge: every cloud request of the plug-in goes through one of these objects.
// Conventions: operations return true on success (GetDCInfoList: non-zero); out-parameters are
// filled only on success; GetLastError() holds the text of the last failure.
// Connect() picks the backend from the URL: "sim://<sandbox>/cloud" is the simulator in this process
// (bridge/SimBridge.h); "https://..." (and "http://127.0.0.1:<port>", the emulator) the cloud's REST
// API (bridge/rest/RestBridge.h, which says how user and password carry the API credentials).
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"
#include "host/Mutex.h"

namespace OracleCloudSDKCppBridge {

class CBridgeOperations;
class CSimBridge;

class COracleCloudSDKCppBridge {
 public:
  explicit COracleCloudSDKCppBridge(int instanceType);
  ~COracleCloudSDKCppBridge();
  COracleCloudSDKCppBridge(const COracleCloudSDKCppBridge&) = delete;
  COracleCloudSDKCppBridge& operator=(const COracleCloudSDKCppBridge&) = delete;

  // Session.
  bool SetWebProxy(const string& host, const string& user, const string& password);
  bool Connect(const string& url, const string& user, const string& password);
  bool CheckConnection();
  string GetLastError() const;

  // Browse and discovery.
  int GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64 flags, int option);
  bool GetHostInfoList(UINT64 flags, int option, const string& regionId, std::vector<SHostInfo>& hosts);
  bool GetHostInfo(const string& hostName, const string& hostId, const string& availabilityDomain, SHostInfo& host,
                   UINT64 flags);
  bool GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags);
  bool GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags);
  bool GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags);
  bool GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region);
  bool GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64 flags, int option);
  bool GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name, const string& compartmentId,
                                       UINT64 flags, int option, const string& region);
  bool GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName, UINT64 flags, int option);
  bool GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string& hostName);
  bool GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes, const string& compartmentId,
                                        const string& imageId, const string& availabilityDomain);
  bool GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists);
  bool GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys);
  bool GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets, const string& hostName, UINT64 flags,
                                    int option);
  string GetDefaultRegion();

  // Backup.
  bool GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files);
  bool CreateVolumeSnapshot(const string& volumeId, const string& description, const string& name, string& snapshotId);
  bool GetSnapshotStatus(const string& snapshotId, string& state);
  bool DeleteVolumeSnapshot(const string& snapshotId);
  bool CreateVolumeFromSnapshot(const string& snapshotId, const string& name, string& volumeId);
  bool GetVolumeStatus(const string& volumeId, string& state);
  bool DoesVolumeSnapshotExist(const string& snapshotId, bool& exists);

  // Clean-up: the ids of the resources of a kind whose display name is exactly `name` and that the
  // proxy made at or after `createdSince` (seconds since the epoch), oldest first; instances on
  // their way out are not listed.
  bool FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince, std::vector<string>& ids);
  // Every create the calling thread requests while a token is set carries it (a tag of the create
  // request); an empty token sets none. FindResourcesByToken gives the ids of the resources of a
  // kind whose create carried `token`, as FindResourcesByName does: what one request made, whatever
  // its name and whatever the clocks say.
  static void SetThreadCreateToken(const string& token);
  static string ThreadCreateToken();
  bool FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids);

  // Freeform tags: every resource this bridge creates from now on carries `tags`.
  void SetResourceTags(const std::map<string, string>& tags);
  // The live resources of a kind that carry the tag key=value, oldest first.
  bool FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                           std::vector<STaggedResource>& found);
  // Removes the tag `key` from a live resource.
  bool RemoveResourceTag(EResourceKind kind, const string& id, const string& key);
  // Volumes.
  bool CreateVolume(SDisk& volume, const string& compartmentId);
  bool AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot);
  bool AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot);
  bool DetachVolume(const string& volumeId, const string& instanceId);
  bool DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId);
  bool DeleteVolume(const string& volumeId);
  bool DoesVolumeExist(const string& volumeId, bool& exists);
  bool DoesVolumeExist(const string& displayName, const string& compartmentId);
  bool MakeVolumeBootable(const string& volumeId);
  bool ClearDescriptionForVolume(const string& volumeId);

  // Instances.
  bool DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB);
  bool DeployVMFromOrchestration(SVMInfo& vm);
  bool RestoreVM(SVMInfo& vm);
  bool RestoreVM(SVMInfo& vm, const SDisk& bootDisk);
  bool AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card);
  bool GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId);
  bool DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId, bool& exists);
  bool ReConfigureVM(SVMInfo& vm);
  bool PowerOnInstance(const string& instanceId);
  bool PowerOffInstance(const string& instanceId);
  bool RebootInstance(const string& instanceId);
  bool WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning);
  // waitForTermination: return only once the instance is gone; preserveBootVolume: keep its boot
  // volume. Attached data volumes are detached, never deleted.
  bool DeleteVM(const string& name, const string& instanceId, bool waitForTermination, bool preserveBootVolume);
  bool ReadInstanceConfig(const string& contents, SVMInfo& vm);
  bool ReadInstanceOrchestration(const string& contents, SVMInfo& vm);

  // Images and objects.
  bool UploadToObjectStorage(const string& bucket, const string& objectName, const string& contents);
  bool DeleteStorageObject(const string& bucket, const string& objectName);
  bool CreateImage(const string& bucket, const string& objectName, const string& imageName, const string& launchMode,
                   const string& compartmentId, string& imageId);
  bool IsImageImportOperationCompleted(const string& imageId, bool& completed);
  bool DeleteImage(const string& imageId);
  bool DoesImageExist(const string& imageId, bool& exists);
  bool DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists);

  int GetInstanceType() const { return instanceType_; }

 private:
  // A call holds its backend while it runs, even if a Connect picks another meanwhile.
  std::shared_ptr<CBridgeOperations> Backend() const EXCLUDES(mutex_);

  int instanceType_;
  std::shared_ptr<CSimBridge> sim_;
  mutable Mutex mutex_;
  std::shared_ptr<CBridgeOperations> backend_ GUARDED_BY(mutex_);  // the one the last Connect picked; sim_ before
  string proxyHost_ GUARDED_BY(mutex_), proxyUser_ GUARDED_BY(mutex_), proxyPassword_ GUARDED_BY(mutex_);
};

}  // namespace OracleCloudSDKCppBridge
