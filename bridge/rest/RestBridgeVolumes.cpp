// The REST backend's volumes, boot volumes, their backups and attachments.
#include "bridge/rest/RestBridge.h"

namespace OracleCloudSDKCppBridge {

bool CRestBridge::CreateVolumeSnapshot(const string&, const string&, const string&, string&) {
  return Fail("CreateVolumeSnapshot is not available over the REST API yet");
}

bool CRestBridge::GetSnapshotStatus(const string&, string&) {
  return Fail("GetSnapshotStatus is not available over the REST API yet");
}

bool CRestBridge::DeleteVolumeSnapshot(const string&) {
  return Fail("DeleteVolumeSnapshot is not available over the REST API yet");
}

bool CRestBridge::CreateVolumeFromSnapshot(const string&, const string&, string&) {
  return Fail("CreateVolumeFromSnapshot is not available over the REST API yet");
}

bool CRestBridge::GetVolumeStatus(const string&, string&) {
  return Fail("GetVolumeStatus is not available over the REST API yet");
}

bool CRestBridge::DoesVolumeSnapshotExist(const string&, bool&) {
  return Fail("DoesVolumeSnapshotExist is not available over the REST API yet");
}

bool CRestBridge::CreateVolume(SDisk&, const string&) {
  return Fail("CreateVolume is not available over the REST API yet");
}

bool CRestBridge::AttachVolume(SDisk&, const string&, bool&) {
  return Fail("AttachVolume is not available over the REST API yet");
}

bool CRestBridge::AttachVolume(const string&, const string&, bool&) {
  return Fail("AttachVolume is not available over the REST API yet");
}

bool CRestBridge::DetachVolume(const string&, const string&) {
  return Fail("DetachVolume is not available over the REST API yet");
}

bool CRestBridge::DetachVolumes(const std::vector<string>&, const string&) {
  return Fail("DetachVolumes is not available over the REST API yet");
}

bool CRestBridge::DeleteVolume(const string&) {
  return Fail("DeleteVolume is not available over the REST API yet");
}

bool CRestBridge::DoesVolumeExist(const string&, bool&) {
  return Fail("DoesVolumeExist is not available over the REST API yet");
}

bool CRestBridge::DoesVolumeExist(const string&, const string&) {
  return Fail("DoesVolumeExist is not available over the REST API yet");
}

bool CRestBridge::MakeVolumeBootable(const string&) {
  return Fail("MakeVolumeBootable is not available over the REST API yet");
}

bool CRestBridge::ClearDescriptionForVolume(const string&) {
  return Fail("ClearDescriptionForVolume is not available over the REST API yet");
}

}  // namespace OracleCloudSDKCppBridge
