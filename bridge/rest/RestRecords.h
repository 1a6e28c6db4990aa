#pragma once
// The cloud API's resources (JSON as the REST API gives them) as the host's records.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestFields.h"

namespace OracleCloudSDKCppBridge {

// What a launch or an update tells the caller about an instance (its id, place, shape and size,
// image, launch mode and state), as the in-process backend fills them; the record's other fields stay.
void TakeInstance(SVMInfo& vm, const json& instance);
// An instance without its disks, network cards, guest OS and security lists (other resources hold
// them); its SSH keys are the public keys of its metadata's "ssh_authorized_keys", one a line.
SVMInfo InstanceRecord(const json& instance);
SVMNetworkCard NetworkCard(const json& vnic);
// A volume or boot volume; its size from sizeInMBs, else sizeInGBs.
SDisk DiskRecord(const json& volume);
VMInfoStructs::SChildDisk BackupRecord(const json& backup);
// An image of the region the API serves.
SVMInfo ImageRecord(const json& image, const std::string& region);
SVMSizeInfo ShapeRecord(const json& shape);
SStagingStorage BucketRecord(const json& bucket);

}  // namespace OracleCloudSDKCppBridge
