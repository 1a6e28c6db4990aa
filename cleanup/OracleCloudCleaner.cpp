#include "cleanup/OracleCloudCleaner.h"

#include "host/FXString.h"

using VMInfoStructs::SDisk;

bool COracleCloudCleaner::Init(const string& localVmGuid) { return VMCleaner::Init(localVmGuid, 0); }

bool COracleCloudCleaner::DeInit() { return VMCleaner::DeInit(); }

// An instance id (an OCID) may reach the plug-in in the agent's spelling as well as in the cloud's
// lower-case one: it is registered and looked up in the cloud's. Other root names stay as given.
string COracleCloudCleaner::RootKey(const string& rootName) {
  static const string kOcidPrefix = "ocid1.";
  const string lower = FXString::ToLower(rootName);
  return lower.compare(0, kOcidPrefix.size(), kOcidPrefix) == 0 ? lower : rootName;
}

// ---- The three forms every kind shares. ----

bool COracleCloudCleaner::RegisterChild(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type, const string& rootName,
                                        const string& key) {
  string rootHandle;
  if (!LookupEntity(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), rootHandle)) return false;
  return RegisterEntity(mode, type, key, rootHandle);
}

bool COracleCloudCleaner::UnRegisterChildByPath(const string& path, VM_Cleaner_EntityType type, const string& key) {
  std::vector<CleanerEntity> list;
  if (!FillItemsFromCleanerPath(path, type, list)) return false;
  for (const auto& entity : list)
    if (entity.name == key) return UnRegisterEntity(entity.path, false);
  return false;
}

bool COracleCloudCleaner::UnRegisterChildByMode(const VM_Cleaner_Mode& mode, VM_Cleaner_EntityType type,
                                                const string& rootName, const string& key) {
  string rootHandle, childHandle;
  if (!LookupEntity(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), rootHandle)) return false;
  if (!ConstructHandle(rootHandle, type, key, childHandle)) return false;
  return UnRegisterEntity(mode, childHandle, false);
}

bool COracleCloudCleaner::ListChildKeys(const string& path, VM_Cleaner_EntityType type, std::vector<string>& keys,
                                        bool emptyIsFailure) {
  std::vector<CleanerEntity> list;
  if (!FillItemsFromCleanerPath(path, type, list)) return false;
  if (emptyIsFailure && list.empty()) return false;
  for (const auto& entity : list) keys.push_back(entity.name);
  return true;
}

// ---- The job's root. ----

bool COracleCloudCleaner::RegisterVM(const VM_Cleaner_Mode& mode, const string& rootName) {
  return RegisterEntity(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), "");
}

bool COracleCloudCleaner::RegisterVM(const VM_Cleaner_Mode& mode, const string& rootName, bool& heldByAnotherJob) {
  return ClaimRoot(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), heldByAnotherJob);
}

bool COracleCloudCleaner::GetRegisteredVM(const VM_Cleaner_Mode& mode, const string& rootName, string& path) {
  bool heldByAnother = false;
  return TakeOverRoot(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), path, heldByAnother);
}

bool COracleCloudCleaner::UnRegisterVM(const string& path) { return UnRegisterOwnedRoot(path, false); }

bool COracleCloudCleaner::UnRegisterVM(const VM_Cleaner_Mode& mode, const string& rootName, bool flag) {
  string handle;
  if (!LookupEntity(mode, VM_CLEANER_ENTITY_VM, RootKey(rootName), handle)) return false;
  return UnRegisterOwnedRoot(handle, flag);
}

// ---- Created instances. ----

bool COracleCloudCleaner::RegisterCreatedVM(const VM_Cleaner_Mode& mode, const string& rootName,
                                            const string& instanceId) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_VM, rootName, instanceId);
}

bool COracleCloudCleaner::GetRegisteredCreatedVMs(const string& path, std::vector<string>& instanceIds) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_VM, instanceIds, false);
}

bool COracleCloudCleaner::GetRegisteredCreatedVM(const string& path, string& instanceId) {
  std::vector<string> ids;
  if (!ListChildKeys(path, VM_CLEANER_ENTITY_VM, ids, false)) return false;
  for (const auto& id : ids) instanceId = id;
  return true;
}

bool COracleCloudCleaner::UnRegisterCreatedVM(const string& path, const string& instanceId) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_VM, instanceId);
}

bool COracleCloudCleaner::UnRegisterCreatedVM(const VM_Cleaner_Mode& mode, const string& rootName,
                                              const string& instanceId) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_VM, rootName, instanceId);
}

// ---- Snapshots. ----

bool COracleCloudCleaner::RegisterSnapshot(const VM_Cleaner_Mode& mode, const string& rootName,
                                           const string& snapshotId) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_SNAPSHOT, rootName, snapshotId);
}

bool COracleCloudCleaner::GetRegisteredSnapshots(const string& path, std::vector<string>& snapshotIds) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_SNAPSHOT, snapshotIds, true);
}

bool COracleCloudCleaner::UnRegisterSnapshot(const string& path, const string& snapshotId) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_SNAPSHOT, snapshotId);
}

bool COracleCloudCleaner::UnRegisterSnapshot(const VM_Cleaner_Mode& mode, const string& rootName,
                                             const string& snapshotId) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_SNAPSHOT, rootName, snapshotId);
}

// ---- Disks. ----

bool COracleCloudCleaner::RegisterDisk(const VM_Cleaner_Mode& mode, const string& rootName, const string& volumeId) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_DISK, rootName, volumeId);
}

bool COracleCloudCleaner::GetRegisteredDisks(const string& path, std::vector<SDisk>& disks) {
  std::vector<string> ids;
  if (!ListChildKeys(path, VM_CLEANER_ENTITY_DISK, ids, false)) return false;
  for (const auto& id : ids) {
    SDisk disk;
    disk.volumeId = id;
    disk.targetVolume = id;
    disk.createdVolumeId = id;
    disks.push_back(disk);
  }
  return true;
}

bool COracleCloudCleaner::UnRegisterDisk(const string& path, const string& volumeId) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_DISK, volumeId);
}

bool COracleCloudCleaner::UnRegisterDisk(const VM_Cleaner_Mode& mode, const string& rootName, const string& volumeId) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_DISK, rootName, volumeId);
}

// ---- iSCSI sessions. ----

bool COracleCloudCleaner::RegisterIscsiSession(const VM_Cleaner_Mode& mode, const string& rootName,
                                               const string& cleanupString) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_ISCSI_SESSION, rootName, cleanupString);
}

bool COracleCloudCleaner::GetRegisteredIscsiSessions(const string& path, std::vector<string>& cleanupStrings) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_ISCSI_SESSION, cleanupStrings, true);
}

bool COracleCloudCleaner::UnRegisterIsciSession(const string& path, const string& cleanupString) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_ISCSI_SESSION, cleanupString);
}

// ---- Images. ----

bool COracleCloudCleaner::RegisterImage(const VM_Cleaner_Mode& mode, const string& rootName, const string& imageId) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_IMAGE, rootName, imageId);
}

bool COracleCloudCleaner::GetRegisteredImages(const string& path, std::vector<string>& imageIds) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_IMAGE, imageIds, true);
}

bool COracleCloudCleaner::UnRegisterImage(const string& path, const string& imageId) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_IMAGE, imageId);
}

bool COracleCloudCleaner::UnRegisterImage(const VM_Cleaner_Mode& mode, const string& rootName, const string& imageId) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_IMAGE, rootName, imageId);
}

// ---- Object-storage objects. ----

string COracleCloudCleaner::FormVmdkObjectId(const string& bucket, const string& object) {
  return bucket + "+" + object;
}

bool COracleCloudCleaner::parseVmdkObjectId(const string& key, string& bucket, string& object) {
  size_t plus = key.find('+');
  if (plus == string::npos) return false;
  bucket = key.substr(0, plus);
  object = key.substr(plus + 1);
  return true;
}

bool COracleCloudCleaner::RegisterVmdkObject(const VM_Cleaner_Mode& mode, const string& rootName, const string& bucket,
                                             const string& object) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_VMDK_OBJECT, rootName, FormVmdkObjectId(bucket, object));
}

bool COracleCloudCleaner::GetRegisteredVmdkObjects(const string& path, std::vector<string>& keys) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_VMDK_OBJECT, keys, true);
}

bool COracleCloudCleaner::UnRegisterVmdkObject(const string& path, const string& key) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_VMDK_OBJECT, key);
}

bool COracleCloudCleaner::UnRegisterVmdkObject(const string& path, const string& bucket, const string& object) {
  return UnRegisterVmdkObject(path, FormVmdkObjectId(bucket, object));
}

bool COracleCloudCleaner::UnRegisterVmdkObject(const VM_Cleaner_Mode& mode, const string& rootName,
                                               const string& bucket, const string& object) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_VMDK_OBJECT, rootName, FormVmdkObjectId(bucket, object));
}

// ---- Creates about to be requested. ----

string COracleCloudCleaner::FormPendingCreateKey(VM_Cleaner_EntityType kind, const string& name, INT64 since) {
  return std::to_string(static_cast<int>(kind)) + ":" + std::to_string(since) + ":" + name;
}

namespace {
// A decimal number of 1 to 18 digits ending right before `end`.
bool ParseDecimal(const string& text, size_t begin, size_t end, INT64& value) {
  if (end <= begin || end - begin > 18) return false;
  INT64 parsed = 0;
  for (size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    parsed = parsed * 10 + (text[i] - '0');
  }
  value = parsed;
  return true;
}
}  // namespace

string COracleCloudCleaner::FormTokenPendingCreateKey(VM_Cleaner_EntityType kind, const string& token,
                                                      const string& name) {
  return std::to_string(static_cast<int>(kind)) + ":#" + token + ":" + name;
}

bool COracleCloudCleaner::ParseTokenPendingCreateKey(const string& key, VM_Cleaner_EntityType& kind, string& token,
                                                     string& name) {
  const size_t colon = key.find(':');
  INT64 type = 0;
  if (colon == string::npos || colon > 9 || !ParseDecimal(key, 0, colon, type)) return false;
  if (key.compare(colon + 1, 1, "#") != 0) return false;
  const size_t end = key.find(':', colon + 2);
  if (end == string::npos || end == colon + 2 || end + 1 >= key.size()) return false;
  kind = static_cast<VM_Cleaner_EntityType>(type);
  token = key.substr(colon + 2, end - colon - 2);
  name = key.substr(end + 1);
  return true;
}

bool COracleCloudCleaner::ParsePendingCreateKey(const string& key, VM_Cleaner_EntityType& kind, string& name,
                                                INT64& since) {
  const size_t colon = key.find(':');
  INT64 type = 0;
  if (colon == string::npos || colon > 9 || !ParseDecimal(key, 0, colon, type)) return false;
  size_t start = colon + 1;
  INT64 time = 0;
  const size_t second = key.find(':', start);
  if (second != string::npos && ParseDecimal(key, start, second, time)) start = second + 1;
  if (start >= key.size()) return false;
  kind = static_cast<VM_Cleaner_EntityType>(type);
  name = key.substr(start);
  since = time;
  return true;
}

bool COracleCloudCleaner::ResourceKindOf(VM_Cleaner_EntityType kind, OracleCloudSDKCppBridge::EResourceKind& resource) {
  using OracleCloudSDKCppBridge::EResourceKind;
  switch (kind) {
    case VM_CLEANER_ENTITY_SNAPSHOT:
      resource = EResourceKind::VolumeSnapshot;
      return true;
    case VM_CLEANER_ENTITY_DISK:
      resource = EResourceKind::Volume;
      return true;
    case VM_CLEANER_ENTITY_IMAGE:
      resource = EResourceKind::Image;
      return true;
    case VM_CLEANER_ENTITY_VM:
      resource = EResourceKind::Instance;
      return true;
    default:
      return false;
  }
}

VM_Cleaner_EntityType COracleCloudCleaner::EntityOf(OracleCloudSDKCppBridge::EResourceKind resource) {
  using OracleCloudSDKCppBridge::EResourceKind;
  switch (resource) {
    case EResourceKind::VolumeSnapshot:
      return VM_CLEANER_ENTITY_SNAPSHOT;
    case EResourceKind::Volume:
      return VM_CLEANER_ENTITY_DISK;
    case EResourceKind::Image:
      return VM_CLEANER_ENTITY_IMAGE;
    case EResourceKind::Instance:
      return VM_CLEANER_ENTITY_VM;
  }
  return VM_CLEANER_ENTITY_VM;
}

bool COracleCloudCleaner::IsRegisteredAnywhere(VM_Cleaner_EntityType kind, const string& id) {
  std::vector<SFoundChild> found;
  return !FindChildrenOfType(kind, id, found) || !found.empty();
}

bool COracleCloudCleaner::RegisterPendingCreate(const VM_Cleaner_Mode& mode, const string& rootName,
                                                const string& key) {
  return RegisterChild(mode, VM_CLEANER_ENTITY_PENDING_CREATE, rootName, key);
}

bool COracleCloudCleaner::GetRegisteredPendingCreates(const string& path, std::vector<string>& keys) {
  return ListChildKeys(path, VM_CLEANER_ENTITY_PENDING_CREATE, keys, false);
}

bool COracleCloudCleaner::UnRegisterPendingCreate(const string& path, const string& key) {
  return UnRegisterChildByPath(path, VM_CLEANER_ENTITY_PENDING_CREATE, key);
}

bool COracleCloudCleaner::UnRegisterPendingCreate(const VM_Cleaner_Mode& mode, const string& rootName,
                                                  const string& key) {
  return UnRegisterChildByMode(mode, VM_CLEANER_ENTITY_PENDING_CREATE, rootName, key);
}
