// The REST backend's images and their import from Object Storage, and objects.
#include "bridge/rest/RestBridge.h"

namespace OracleCloudSDKCppBridge {

bool CRestBridge::UploadToObjectStorage(const string&, const string&, const string&) {
  return Fail("UploadToObjectStorage is not available over the REST API yet");
}

bool CRestBridge::DeleteStorageObject(const string&, const string&) {
  return Fail("DeleteStorageObject is not available over the REST API yet");
}

bool CRestBridge::CreateImage(const string&, const string&, const string&, const string&, const string&, string&) {
  return Fail("CreateImage is not available over the REST API yet");
}

bool CRestBridge::IsImageImportOperationCompleted(const string&, bool&) {
  return Fail("IsImageImportOperationCompleted is not available over the REST API yet");
}

bool CRestBridge::DeleteImage(const string&) {
  return Fail("DeleteImage is not available over the REST API yet");
}

bool CRestBridge::DoesImageExist(const string&, bool&) {
  return Fail("DoesImageExist is not available over the REST API yet");
}

bool CRestBridge::DoesStorageObjectExist(const string&, const string&, bool&) {
  return Fail("DoesStorageObjectExist is not available over the REST API yet");
}

}  // namespace OracleCloudSDKCppBridge
