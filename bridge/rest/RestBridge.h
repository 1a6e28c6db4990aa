#pragma once
// The bridge's REST backend: every operation is made of calls to the cloud's public REST API (Core
// Services and Identity 20160918, Object Storage), signed with the API key of the configuration file.
//
// How Connect(url, user, password) carries the credentials:
//   url       the API's endpoint: "https://iaas.<region>.oraclecloud.com" (Identity and Object Storage
//             are its "identity." and "objectstorage." siblings), or "http://127.0.0.1:<port>", the
//             emulator (`cloud-sim serve`); plain HTTP is refused for any other host.
//   user      "<configuration file>[#<profile>]"; empty: "~/.oci/config#DEFAULT". The profile gives
//             user, fingerprint, key_file, tenancy, region and pass_phrase; a key file that group or
//             others may read is refused.
//   password  the key's passphrase when the file holds none; empty for a key without one.
// The web proxy of SetWebProxy is reached with HTTP CONNECT. The root compartment is the tenancy.
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bridge/BridgeOperations.h"
#include "bridge/rest/RestApi.h"
#include "host/EvDebug.h"
#include "host/Mutex.h"

namespace OracleCloudSDKCppBridge {

class CRestBridge : public CBridgeOperations {
 public:
  static constexpr const char* kNotConnected = "Not connected to the cloud";

  explicit CRestBridge(int instanceType);
  ~CRestBridge() override;

  // Whether Connect(url) is this backend's: an http:// or https:// URL.
  static bool ServesUrl(const std::string& url);

  // Session.
  bool SetWebProxy(const string& host, const string& user, const string& password) override;
  bool Connect(const string& url, const string& user, const string& password) override;
  bool CheckConnection() override;
  string GetLastError() const override;

  // Browse and discovery.
  int GetDCInfoList(std::vector<SDataCenterInfo>& regions, UINT64 flags, int option) override;
  bool GetHostInfoList(UINT64 flags, int option, const string& regionId, std::vector<SHostInfo>& hosts) override;
  bool GetHostInfo(const string& hostName, const string& hostId, const string& availabilityDomain, SHostInfo& host,
                   UINT64 flags) override;
  bool GetVMInfoList(std::vector<SVMInfo>& vms, UINT64 flags) override;
  bool GetVMInfoListForHost(std::vector<SVMInfo>& vms, const string& hostId, UINT64 flags) override;
  bool GetVMInfo(const string& name, const string& id, SVMInfo& vm, UINT64 flags) override;
  bool GetTemplateInfo(const string& imageIdOrName, SVMInfo& image, const string& region) override;
  bool GetTemplateInfoList(std::vector<SVMInfo>& images, const string& hostId, UINT64 flags, int option) override;
  bool GetTemplateInfoListFilterByName(std::vector<SVMInfo>& images, const string& name, const string& compartmentId,
                                       UINT64 flags, int option, const string& region) override;
  bool GetAvailabilityDomainInfoList(std::vector<SVMInfo>& domains, const string& hostName, UINT64 flags,
                                     int option) override;
  bool GetInstanceShapeInfoList(std::vector<SVMSizeInfo>& shapes, const string& hostName) override;
  bool GetInstanceShapeInfoListForImage(std::vector<SVMSizeInfo>& shapes, const string& compartmentId,
                                        const string& imageId, const string& availabilityDomain) override;
  bool GetSecurityGroupList(std::vector<SSecurityGroupInfo>& lists) override;
  bool GetKeyPairInfoList(std::vector<SKeyPairInfo>& keys) override;
  bool GetStagingStorageListForHost(std::vector<SStagingStorage>& buckets, const string& hostName, UINT64 flags,
                                    int option) override;
  string GetDefaultRegion() override;

  // Backup.
  bool GetInstanceConfigurations(const string& instanceId, std::map<string, string>& files) override;
  bool CreateVolumeSnapshot(const string& volumeId, const string& description, const string& name,
                            string& snapshotId) override;
  bool GetSnapshotStatus(const string& snapshotId, string& state) override;
  bool DeleteVolumeSnapshot(const string& snapshotId) override;
  bool CreateVolumeFromSnapshot(const string& snapshotId, const string& name, string& volumeId) override;
  bool GetVolumeStatus(const string& volumeId, string& state) override;
  bool DoesVolumeSnapshotExist(const string& snapshotId, bool& exists) override;

  // Clean-up: the ids of the resources of a kind whose display name is exactly `name` and that the
  // proxy made at or after `createdSince` (seconds since the epoch), oldest first; instances on
  // their way out are not listed.
  bool FindResourcesByName(EResourceKind kind, const string& name, INT64 createdSince,
                           std::vector<string>& ids) override;
  // Every create the calling thread requests while a token is set carries it (a tag of the create
  // request); an empty token sets none. FindResourcesByToken gives the ids of the resources of a
  // kind whose create carried `token`, as FindResourcesByName does: what one request made, whatever
  // its name and whatever the clocks say.
  bool FindResourcesByToken(EResourceKind kind, const string& token, std::vector<string>& ids) override;

  // Freeform tags: every resource this bridge creates from now on carries `tags`.
  void SetResourceTags(const std::map<string, string>& tags) override;
  // The live resources of a kind that carry the tag key=value, oldest first.
  bool FindTaggedResources(EResourceKind kind, const string& key, const string& value,
                           std::vector<STaggedResource>& found) override;
  // Removes the tag `key` from a live resource.
  bool RemoveResourceTag(EResourceKind kind, const string& id, const string& key) override;
  // Volumes.
  bool CreateVolume(SDisk& volume, const string& compartmentId) override;
  bool AttachVolume(SDisk& disk, const string& instanceId, bool& noFreeSlot) override;
  bool AttachVolume(const string& volumeId, const string& instanceId, bool& noFreeSlot) override;
  bool DetachVolume(const string& volumeId, const string& instanceId) override;
  bool DetachVolumes(const std::vector<string>& volumeIds, const string& instanceId) override;
  bool DeleteVolume(const string& volumeId) override;
  bool DoesVolumeExist(const string& volumeId, bool& exists) override;
  bool DoesVolumeExist(const string& displayName, const string& compartmentId) override;
  bool MakeVolumeBootable(const string& volumeId) override;
  bool ClearDescriptionForVolume(const string& volumeId) override;

  // Instances.
  bool DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB) override;
  bool DeployVMFromOrchestration(SVMInfo& vm) override;
  bool RestoreVM(SVMInfo& vm) override;
  bool RestoreVM(SVMInfo& vm, const SDisk& bootDisk) override;
  bool AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card) override;
  bool GetBootVolumeIdForInstance(const SVMInfo& vm, string& bootVolumeId) override;
  bool DoesVMExist(const string& name, std::vector<SVMInfo>& found, const string& compartmentId, bool& exists) override;
  bool ReConfigureVM(SVMInfo& vm) override;
  bool PowerOnInstance(const string& instanceId) override;
  bool PowerOffInstance(const string& instanceId) override;
  bool RebootInstance(const string& instanceId) override;
  bool WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) override;
  // waitForTermination: return only once the instance is gone; preserveBootVolume: keep its boot
  // volume. Attached data volumes are detached, never deleted.
  bool DeleteVM(const string& name, const string& instanceId, bool waitForTermination,
                bool preserveBootVolume) override;
  bool ReadInstanceConfig(const string& contents, SVMInfo& vm) override;
  bool ReadInstanceOrchestration(const string& contents, SVMInfo& vm) override;

  // Images and objects.
  bool UploadToObjectStorage(const string& bucket, const string& objectName, const string& contents) override;
  bool DeleteStorageObject(const string& bucket, const string& objectName) override;
  bool CreateImage(const string& bucket, const string& objectName, const string& imageName, const string& launchMode,
                   const string& compartmentId, string& imageId) override;
  bool IsImageImportOperationCompleted(const string& imageId, bool& completed) override;
  bool DeleteImage(const string& imageId) override;
  bool DoesImageExist(const string& imageId, bool& exists) override;
  bool DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists) override;

 private:
  // Runs one operation: refuses it when not connected; every request it sends names the operation
  // (COperationScope); a CRestError becomes the calling thread's error text as it stands, any other
  // exception is reported with the operation's name.
  template <class F>
  bool Run(const char* op, F&& body) {
    std::shared_ptr<CRestApi> api = Api();
    if (!api) return Fail(kNotConnected);
    COperationScope scope(op);
    try {
      return body(*api);
    } catch (const CRestError& e) {
      return Fail(e.what());
    } catch (const std::exception& e) {
      return Fail(std::string(op) + " failed: " + e.what());
    }
  }
  bool Fail(const std::string& text) EXCLUDES(mutex_);
  std::shared_ptr<CRestApi> Api() const EXCLUDES(mutex_);
  // The freeform tags of a create request: the bridge's tags and the calling thread's create token.
  json CreateTags() const EXCLUDES(mutex_);
  // Copies: a later Connect may change them.
  std::string Tenancy() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return tenancy_;
  }
  std::string Region() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return region_;
  }

  int instanceType_;
  EvDebug log_{"OracleCloudSDKCppBridge"};
  mutable Mutex mutex_;
  std::map<std::thread::id, std::string> errors_ GUARDED_BY(mutex_);
  std::shared_ptr<CRestApi> api_ GUARDED_BY(mutex_);
  std::string tenancy_ GUARDED_BY(mutex_), region_ GUARDED_BY(mutex_);
  std::string proxyHost_ GUARDED_BY(mutex_), proxyUser_ GUARDED_BY(mutex_), proxyPassword_ GUARDED_BY(mutex_);
  std::map<std::string, std::string> createTags_ GUARDED_BY(mutex_);
  // Image id -> the work request its create answered with.
  std::map<std::string, std::string> importWorkRequests_ GUARDED_BY(mutex_);
};

}  // namespace OracleCloudSDKCppBridge
