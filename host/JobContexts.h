#pragma once
// Job contexts the agent hands to the plug-in.
#include <string>
#include <vector>

#include "host/VMInfoStructs.h"

struct MountCtx {
  string vmName;
  string vmGuid;
  string mountPath;
  // The plug-in writes its results into the agent's context although it receives it read-only.
  mutable VMInfoStructs::SVMInfo vmInfo;
  bool mountInfoDisabled = false;
};

// The shape a user asks for when the restore is to choose it (compared without case; an empty shape
// means the same).
constexpr const char* kAutoSelectShape = "Auto Select";

// RestoreCtx::restoreType and RestoreCtx::replicationType.
enum ERestoreType : UINT32 {
  RESTORE_TYPE_FULL_INSTANCE = 1,
  RESTORE_TYPE_REPLICATION = 4,
};
enum EReplicationType : UINT32 {
  REPLICATION_TYPE_FULL = 1,
  REPLICATION_TYPE_INCREMENTAL = 2,
};

struct RestoreCtx {
  UINT32 restoreType = RESTORE_TYPE_FULL_INSTANCE;  // an ERestoreType
  bool isConversion = false;
  string vmName;
  string configFilesPath;
  string compartmentId;
  bool powerOnAfterRestore = true;
  bool overwrite = false;
  string availabilityDomain;
  std::vector<VMInfoStructs::SVMNetworkCard> networkCards;
  mutable string vmSize;
  string originalVmName;
  string sourceConfigName;
  mutable string restoredVmGuid;
  mutable bool vmCreated = false;
  mutable string createdVmGuid;
  mutable string restoreGuid;
  mutable VMInfoStructs::SVMInfo vmInfo;
  mutable std::vector<VMInfoStructs::SDisk> disks;
  string jobResultsDir;
  bool inPlaceRestore = false;
  bool useDiskNames = false;
  string bucketName;
  string sourceVmSize;
  string guestOs;
  string launchMode;
  mutable string tempImageId;
  mutable string bootImageId;  // the image the boot volume was made from (temporary or not)
  string sourceImageId;
  string sourceRegionKey;
  bool networkOptionFlag = false;
  std::vector<VMInfoStructs::SSecurityGroupInfo> securityGroups;
  std::vector<VMInfoStructs::SKeyPairInfo> keyPairs;
  mutable UINT32 replicationType = 0;  // an EReplicationType once the replication decided
  mutable bool destinationExists = false;
  mutable bool fullReplication = false;
  bool isFirstSync = false;
  bool forceFullSync = false;
};

// The instance operations the agent asks for (OperationCtx::operationType).
enum EOperationType : UINT32 {
  OPERATION_POWER_ON = 1,
  OPERATION_POWER_OFF = 2,
  OPERATION_POWER_OFF_ALT = 3,
  OPERATION_RECONFIGURE = 5,
  OPERATION_CLONE = 6,
  OPERATION_DELETE = 7,
};

struct OperationCtx {
  UINT32 operationType = 0;  // an EOperationType
  mutable VMInfoStructs::SVMInfo vmInfo;
  string vmName;
  string vmGuid;
};

// The agent's handle of an open disk: two opaque pointers owned by the plug-in.
struct VmdkHandle {
  void* vmHandle = nullptr;
  void* diskHandle = nullptr;
};
