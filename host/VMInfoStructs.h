#pragma once
// Records the agent and its hypervisor plug-ins exchange.
#include <map>
#include <string>
#include <vector>

#include "host/HostTypes.h"

namespace VMInfoStructs {

enum EInventoryType : int32_t {
  INVENTORY_TYPE_NONE = 0,
  INVENTORY_TYPE_VM = 1,
  INVENTORY_TYPE_HOST = 2,
  INVENTORY_TYPE_DATACENTER = 3,
  INVENTORY_TYPE_RESOURCE_POOL = 4,
  INVENTORY_TYPE_COMPARTMENT = 5,
  INVENTORY_TYPE_VIEW = 6,
};

// Host filters: 1 keeps the records whose name matches a pattern, 2 drops them.
enum EFilterType : int32_t {
  FILTER_TYPE_NONE = 0,
  FILTER_TYPE_INCLUDE = 1,
  FILTER_TYPE_EXCLUDE = 2,
};

struct SChildDisk {
  string id;
  string name;
  string description;
  INT64 creationTime = 0;
};

struct SDisk {
  string name;
  UINT32 diskType = 0;
  string guid;
  string volumeId;
  UINT64 size = 0;
  std::vector<SChildDisk> childDisks;
  string attachmentType;
  UINT32 diskNumber = 0;
  string description;
  string availabilityDomain;
  string indexName;
  string displayName;
  string targetVolume;
  UINT32 selectedForRestore = 1;
  bool isFiltered = false;
  bool isBootDisk = false;
  string snapshotId;
  string storageProperty;
  string createdVolumeId;
  string iscsiIqn;
  string iscsiSessionId;
  string iscsiTargetPortal;
  string iscsiTargetPort;
  string attachmentId;  // cloud id of the volume attachment, filled by the bridge
  UINT64 backupSize = 0;
  UINT64 fileKind = 0;
};

struct SVMNetworkCard {
  string name;
  string subnetId;
  string privateIp;
  string macAddress;
  bool isPrimary = false;
  bool optionFlag = false;
};

struct SKeyPairInfo {
  string name;
  string guid;
  string publicKey;
};

struct SSecurityGroupInfo {
  string name;
  string guid;
};

struct SStagingStorage {
  string name;
  string guid;
  string compartmentId;
};

struct SVMInfo {
  string name;
  string guid;
  string uri;
  string availabilityDomain;
  string compartmentId;
  std::vector<SDisk> disks;
  std::vector<SVMNetworkCard> networkCards;
  INT64 cpuCount = 0;
  INT64 memoryMB = 0;
  string vmSize;
  string imageKey;
  string imageId;
  string region;
  UINT32 powerState = 0;  // 1 = running
  string lifecycleState;
  std::vector<SKeyPairInfo> keyPairs;
  std::vector<SSecurityGroupInfo> securityGroups;
  bool isTemplate = false;
  string guestOs;
  string launchMode;
};

struct SHostInfo {
  string name;
  string guid;
  std::vector<SVMInfo> vms;
};

struct SDataCenterInfo {
  string name;
  string regionKey;
  bool isHomeRegion = false;
};

struct SInventoryInfo {
  string name;
  string guid;
  EInventoryType type = INVENTORY_TYPE_NONE;
  std::vector<SInventoryInfo> parents;

  static void FillInventoryInfoListFromDatacenterInfoList(std::vector<SInventoryInfo>& out,
                                                          const std::vector<SDataCenterInfo>& in);
  static void FillInventoryInfoListFromHostInfoList(std::vector<SInventoryInfo>& out, const std::vector<SHostInfo>& in);
  static void FillInventoryInfoListFromVMInfoList(std::vector<SInventoryInfo>& out, const std::vector<SVMInfo>& in);
};

struct SResourcePoolInfo {
  string name;
};

struct SDatastoreInfo {
  string name;
  UINT64 capacity = 0;
  UINT64 freeSpace = 0;
};

struct SVMSizeInfo {
  string name;
  int32_t cpuCount = 0;
  int32_t memory = 0;
};

// The flags (GetVMInfoForVM, the bridge's GetVMInfo) of the record a backup reads: in the bridge's
// bits, volumes 0x2, their snapshots 0x8, proxy 0x10 and network cards 0x20.
constexpr UINT64 VMINFO_FLAGS_BACKUP = 58;

// What an entry of the full mount information is (SMountInfoFull::mountType).
constexpr UINT32 MOUNT_TYPE_FILE = 0;  // a file of the mount directory
constexpr UINT32 MOUNT_TYPE_DISK = 1;  // a mounted disk
// SDisk::fileKind of the instance's main configuration file among the mount directory's files.
constexpr UINT64 FILE_KIND_MAIN_CONFIG = 4;

struct SMountInfoFull {
  UINT32 mountType = MOUNT_TYPE_FILE;
  INT64 id = -1;
  std::vector<SDisk> disks;
};

struct SMountInfoFile {
  string path;
  UINT64 size = 0;
};

}  // namespace VMInfoStructs

// One credential handed to Connect; type 3 marks a web proxy.
struct SHostCredentials {
  string hostName;
  string userName;
  string password;
  UINT32 credentialType = 0;
};

constexpr UINT32 CREDENTIAL_TYPE_WEB_PROXY = 3;
