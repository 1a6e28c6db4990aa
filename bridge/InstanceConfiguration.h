#pragma once
// The configuration text a backup saves with an infrastructure instance (the ".json" file): what the
// instance is (name, id, shape and size, domain, compartment, region, image, launch mode, volumes,
// network cards, SSH keys and security lists), written from its record and read back into one. Both
// backends of the bridge write and read it here, so a backup made over one restores over the other.
#include <cstdint>
#include <string>

#include "bridge/BridgeTypes.h"

namespace OracleCloudSDKCppBridge {

// vm: the instance record with its disks and network cards; created: seconds since the epoch.
std::string InstanceConfigurationText(const SVMInfo& vm, int64_t created);

// Reads the text back into a record. Missing members stay as the record had them. False with `error`
// when the text is not a JSON object or a member has the wrong type; `vm` is then unchanged.
bool ParseInstanceConfiguration(const std::string& contents, SVMInfo& vm, std::string& error);

}  // namespace OracleCloudSDKCppBridge
