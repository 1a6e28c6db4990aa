#pragma once
// The cloud API's resources (JSON as the REST API gives them) as the host's records.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// A string member; empty when absent or null.
std::string TextOf(const json& from, const char* key);
// Seconds since the epoch of an RFC 3339 time ("2026-12-08T07:59:56.000Z", or with an offset); 0
// when the text is none.
int64_t ParseApiTime(const std::string& text);

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
