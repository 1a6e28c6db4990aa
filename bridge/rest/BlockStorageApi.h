#pragma once
// What the client of the block storage API and the emulator's routes agree on beyond the API's own
// fields. The API keeps no description on a volume or backup: the simulator does (a backup made by a
// backup job is known by it), so a description travels as the freeform tag kDescriptionTag.
#include <string>

namespace OracleCloudSDKCppBridge {

constexpr const char* kDescriptionTag = "Description";

// The kind of a resource is the second part of its OCID ("ocid1.<kind>.<realm>...").
inline bool IsBootVolumeId(const std::string& id) { return id.rfind("ocid1.bootvolume.", 0) == 0; }
inline bool IsBootVolumeBackupId(const std::string& id) { return id.rfind("ocid1.bootvolumebackup.", 0) == 0; }

}  // namespace OracleCloudSDKCppBridge
