#pragma once
// What the REST backend and the emulator's routes agree on beyond the API's own fields, and the
// API's units and resource ids. The API keeps no description on a volume or backup: the simulator
// does (a backup made by a backup job is known by it), so a description travels as a freeform tag.
#include <cstdint>
#include <string>

namespace OracleCloudSDKCppBridge {

// The freeform tag a create request carries its thread's create token under.
constexpr const char* kRequestTokenTag = "BackupRequest";
// The freeform tag a volume's or backup's description travels as.
constexpr const char* kDescriptionTag = "Description";

constexpr int64_t kMiB = int64_t{1024} * 1024;
constexpr int64_t kGiB = 1024 * kMiB;
constexpr double kMiBPerGiB = 1024.0;

// The kind of a resource is the second part of its OCID ("ocid1.<kind>.<realm>..."); empty for any
// other id.
inline std::string OcidType(const std::string& id) {
  if (id.rfind("ocid1.", 0) != 0) return {};
  const size_t end = id.find('.', 6);
  return end == std::string::npos ? std::string() : id.substr(6, end - 6);
}
inline bool IsBootVolumeId(const std::string& id) { return OcidType(id) == "bootvolume"; }
inline bool IsBootVolumeBackupId(const std::string& id) { return OcidType(id) == "bootvolumebackup"; }

}  // namespace OracleCloudSDKCppBridge
