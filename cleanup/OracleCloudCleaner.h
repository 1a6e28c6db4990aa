#pragma once
// The plug-in's layer over the agent's registry of created entities: which entity type each kind of
// cloud resource gets, how its key is formed, and the three ways an entry is addressed (by job mode
// and root name, by cleaner path, or as an orphan left by an earlier job). Keeps no state, takes no
// lock and logs nothing: every result is the registry's, and callers log.
#include <string>
#include <vector>

#include "bridge/COracleCloudSDKCppBridge.h"
#include "host/VMCleaner.h"
#include "host/VMInfoStructs.h"

class COracleCloudCleaner : public VMCleaner {
 public:
  COracleCloudCleaner() = default;
  ~COracleCloudCleaner() override = default;

  bool Init(const string& localVmGuid);
  bool DeInit();

  // The job's root: the backed-up instance's id, or the restore's GUID. An instance id is registered
  // and looked up in lower case, whatever case the caller spells it in (RootKey).
  static string RootKey(const string& rootName);
  bool RegisterVM(const VM_Cleaner_Mode& mode, const string& rootName);
  // The same, telling a root that another live job owns (left untouched) from a failed write.
  bool RegisterVM(const VM_Cleaner_Mode& mode, const string& rootName, bool& heldByAnotherJob);
  // The path of the root, registered by this object or left by a dead job, which this object takes
  // over: from here on no other job claims it, so what is done under the path concerns this job's
  // root alone. False for a root that another live job owns, so that nothing here ever cleans up
  // what a running job uses.
  bool GetRegisteredVM(const VM_Cleaner_Mode& mode, const string& rootName, string& path);
  // Unregister the root only while this object owns it.
  bool UnRegisterVM(const string& path);
  bool UnRegisterVM(const VM_Cleaner_Mode& mode, const string& rootName, bool flag);

  // Instances the job created.
  bool RegisterCreatedVM(const VM_Cleaner_Mode& mode, const string& rootName, const string& instanceId);
  bool GetRegisteredCreatedVMs(const string& path, std::vector<string>& instanceIds);
  bool GetRegisteredCreatedVM(const string& path, string& instanceId);
  bool UnRegisterCreatedVM(const string& path, const string& instanceId);
  bool UnRegisterCreatedVM(const VM_Cleaner_Mode& mode, const string& rootName, const string& instanceId);

  bool RegisterSnapshot(const VM_Cleaner_Mode& mode, const string& rootName, const string& snapshotId);
  bool GetRegisteredSnapshots(const string& path, std::vector<string>& snapshotIds);
  bool UnRegisterSnapshot(const string& path, const string& snapshotId);
  bool UnRegisterSnapshot(const VM_Cleaner_Mode& mode, const string& rootName, const string& snapshotId);

  bool RegisterDisk(const VM_Cleaner_Mode& mode, const string& rootName, const string& volumeId);
  bool GetRegisteredDisks(const string& path, std::vector<VMInfoStructs::SDisk>& disks);
  bool UnRegisterDisk(const string& path, const string& volumeId);
  bool UnRegisterDisk(const VM_Cleaner_Mode& mode, const string& rootName, const string& volumeId);

  // iSCSI sessions, keyed by their cleanup strings.
  bool RegisterIscsiSession(const VM_Cleaner_Mode& mode, const string& rootName, const string& cleanupString);
  bool GetRegisteredIscsiSessions(const string& path, std::vector<string>& cleanupStrings);
  bool UnRegisterIsciSession(const string& path, const string& cleanupString);

  bool RegisterImage(const VM_Cleaner_Mode& mode, const string& rootName, const string& imageId);
  bool GetRegisteredImages(const string& path, std::vector<string>& imageIds);
  bool UnRegisterImage(const string& path, const string& imageId);
  bool UnRegisterImage(const VM_Cleaner_Mode& mode, const string& rootName, const string& imageId);

  // Object-storage objects, keyed bucket + "+" + object.
  bool RegisterVmdkObject(const VM_Cleaner_Mode& mode, const string& rootName, const string& bucket,
                          const string& object);
  bool GetRegisteredVmdkObjects(const string& path, std::vector<string>& keys);
  bool UnRegisterVmdkObject(const string& path, const string& key);
  bool UnRegisterVmdkObject(const string& path, const string& bucket, const string& object);
  bool UnRegisterVmdkObject(const VM_Cleaner_Mode& mode, const string& rootName, const string& bucket,
                            const string& object);

  // Creates about to be requested, keyed "<entity type of the resource>:#<the request's token>:<name
  // it will carry>" (FormTokenPendingCreateKey). Keys of earlier versions carry no token:
  // "<type>:<seconds of the request>:<name>" or "<type>:<name>" (FormPendingCreateKey).
  bool RegisterPendingCreate(const VM_Cleaner_Mode& mode, const string& rootName, const string& key);
  bool GetRegisteredPendingCreates(const string& path, std::vector<string>& keys);
  bool UnRegisterPendingCreate(const string& path, const string& key);
  bool UnRegisterPendingCreate(const VM_Cleaner_Mode& mode, const string& rootName, const string& key);
  // True when some root holds the resource under its kind (or when that cannot be told).
  bool IsRegisteredAnywhere(VM_Cleaner_EntityType kind, const string& id);
  static string FormTokenPendingCreateKey(VM_Cleaner_EntityType kind, const string& token, const string& name);
  // False, outputs untouched, for a key without a token (of an earlier version) or without a name.
  static bool ParseTokenPendingCreateKey(const string& key, VM_Cleaner_EntityType& kind, string& token, string& name);
  static string FormPendingCreateKey(VM_Cleaner_EntityType kind, const string& name, INT64 since);
  // False, outputs untouched, for a key without a kind or without a name; `since` is 0 in a key
  // without a time.
  static bool ParsePendingCreateKey(const string& key, VM_Cleaner_EntityType& kind, string& name, INT64& since);

  // The cloud kind of a registry kind of resource; false for a kind that is no cloud resource.
  static bool ResourceKindOf(VM_Cleaner_EntityType kind, OracleCloudSDKCppBridge::EResourceKind& resource);
  // The registry kind of a cloud resource.
  static VM_Cleaner_EntityType EntityOf(OracleCloudSDKCppBridge::EResourceKind resource);

  static string FormVmdkObjectId(const string& bucket, const string& object);
  // Splits a key at its first "+"; false, outputs untouched, when it holds none.
  static bool parseVmdkObjectId(const string& key, string& bucket, string& object);

 private:
  bool RegisterChild(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& rootName,
                     const string& key);
  bool UnRegisterChildByPath(const string& path, VM_Cleaner_EntityType type, const string& key);
  bool UnRegisterChildByMode(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& rootName,
                             const string& key);
  // Appends the keys of the children of `type`; emptyIsFailure: an empty listing gives false.
  bool ListChildKeys(const string& path, VM_Cleaner_EntityType type, std::vector<string>& keys, bool emptyIsFailure);
};
