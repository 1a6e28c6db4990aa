#pragma once
// The records and flags the bridge's operations take and give.
#include <map>
#include <string>

#include "host/VMInfoStructs.h"

namespace OracleCloudSDKCppBridge {

using VMInfoStructs::SDataCenterInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SHostInfo;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SSecurityGroupInfo;
using VMInfoStructs::SStagingStorage;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVMNetworkCard;
using VMInfoStructs::SVMSizeInfo;

// GetVMInfo flag bits.
constexpr UINT64 VMINFO_FLAG_DISKS = 0x2;      // volumes, boot volume included
constexpr UINT64 VMINFO_FLAG_SNAPSHOTS = 0x8;  // each volume's snapshots in childDisks
constexpr UINT64 VMINFO_FLAG_PROXY = 0x10;     // the proxy's own record
constexpr UINT64 VMINFO_FLAG_NETWORK = 0x20;   // network cards
// GetHostInfo flag bit: the host with its instances.
constexpr UINT64 HOSTINFO_FLAG_WITH_VMS = 0x20000000;

// What an instance record holds besides the instance itself, as the GetVMInfo flag bits ask for it.
struct SRecordParts {
  bool disks = false;      // the boot volume and every attached volume
  bool snapshots = false;  // each volume's snapshots (with disks)
  bool network = false;    // the network cards

  static SRecordParts FromFlags(UINT64 flags) {
    SRecordParts parts;
    parts.disks = (flags & VMINFO_FLAG_DISKS) != 0;
    parts.snapshots = parts.disks && (flags & VMINFO_FLAG_SNAPSHOTS) != 0;
    parts.network = (flags & VMINFO_FLAG_NETWORK) != 0;
    return parts;
  }
};

// The kinds of resources FindResourcesByName and FindTaggedResources look for.
enum class EResourceKind { VolumeSnapshot, Volume, Image, Instance };

// A resource found by its tag, with all its freeform tags; a volume attached to an instance also
// names the instance and the iSCSI target it is offered as.
struct STaggedResource {
  string id, name;
  std::map<string, string> tags;
  string attachedTo, iqn, portal, port;
};

}  // namespace OracleCloudSDKCppBridge
