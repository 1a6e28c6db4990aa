#pragma once
// The Core Services resources' paths under the API version, and one resource's path by its id.
#include <string>

#include "bridge/rest/ApiConventions.h"
#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

constexpr const char* kInstances = "/20160918/instances";
constexpr const char* kImages = "/20160918/images";
constexpr const char* kVolumes = "/20160918/volumes";
constexpr const char* kBootVolumes = "/20160918/bootVolumes";
constexpr const char* kVolumeBackups = "/20160918/volumeBackups";
constexpr const char* kBootVolumeBackups = "/20160918/bootVolumeBackups";
constexpr const char* kVolumeAttachments = "/20160918/volumeAttachments";
constexpr const char* kBootVolumeAttachments = "/20160918/bootVolumeAttachments";
constexpr const char* kVnicAttachments = "/20160918/vnicAttachments";
constexpr const char* kVnics = "/20160918/vnics";
constexpr const char* kSecurityLists = "/20160918/securityLists";

// `collection` + "/" + the id, encoded.
inline std::string ItemPath(const char* collection, const std::string& id) {
  return std::string(collection) + "/" + UrlEncode(id);
}
inline std::string InstancePath(const std::string& id) { return ItemPath(kInstances, id); }
inline std::string ImagePath(const std::string& id) { return ItemPath(kImages, id); }
// A volume or a boot volume, as its OCID says.
inline std::string VolumePath(const std::string& id) {
  return ItemPath(IsBootVolumeId(id) ? kBootVolumes : kVolumes, id);
}
// A volume backup or a boot volume backup, as its OCID says.
inline std::string BackupPath(const std::string& id) {
  return ItemPath(IsBootVolumeBackupId(id) ? kBootVolumeBackups : kVolumeBackups, id);
}

}  // namespace OracleCloudSDKCppBridge
