// The REST backend's images and their import from Object Storage, and objects.
#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestPaths.h"

namespace OracleCloudSDKCppBridge {
bool CRestBridge::UploadToObjectStorage(const string& bucket, const string& objectName, const string& contents) {
  return Run("UploadToObjectStorage", [&](CRestApi& api) {
    if (objectName.empty()) return Fail("No object name was given for bucket [" + bucket + "]");
    api.PutObject(bucket, objectName, contents);
    return true;
  });
}

bool CRestBridge::DeleteStorageObject(const string& bucket, const string& objectName) {
  return Run("DeleteStorageObject", [&](CRestApi& api) {
    api.DeleteObject(bucket, objectName);
    return true;
  });
}

bool CRestBridge::DoesStorageObjectExist(const string& bucket, const string& objectName, bool& exists) {
  return Run("DoesStorageObjectExist", [&](CRestApi& api) {
    bool found = api.HeadObject(bucket, objectName);
    // A HEAD answers 404 alike for a missing object and a missing bucket; only the first is an answer.
    if (!found) api.Get(ERestService::ObjectStorage, "/n/" + UrlEncode(api.Namespace()) + "/b/" + UrlEncode(bucket));
    exists = found;
    return true;
  });
}

bool CRestBridge::CreateImage(const string& bucket, const string& objectName, const string& imageName,
                              const string& launchMode, const string& compartmentId, string& imageId) {
  return Run("CreateImage", [&](CRestApi& api) {
    json details = {{"compartmentId", compartmentId},
                    {"displayName", imageName},
                    {"imageSourceDetails",
                     {{"sourceType", "objectStorageTuple"},
                      {"namespaceName", api.Namespace()},
                      {"bucketName", bucket},
                      {"objectName", objectName}}},
                    {"freeformTags", CreateTags()}};
    if (!launchMode.empty()) details["launchMode"] = launchMode;
    const json image = api.Post(ERestService::Core, kImages, details);
    imageId = image.value("id", "");
    return true;
  });
}

bool CRestBridge::IsImageImportOperationCompleted(const string& imageId, bool& completed) {
  return Run("IsImageImportOperationCompleted", [&](CRestApi& api) {
    const std::string state = api.Get(ERestService::Core, ImagePath(imageId)).value("lifecycleState", "");
    if (state == "IMPORTING" || state == "PROVISIONING") {
      completed = false;
      return true;
    }
    if (state != "AVAILABLE") return Fail("The import of image [" + imageId + "] failed: it is " + state);
    completed = true;
    return true;
  });
}

bool CRestBridge::DeleteImage(const string& imageId) {
  return Run("DeleteImage", [&](CRestApi& api) {
    api.Delete(ERestService::Core, ImagePath(imageId));
    return true;
  });
}

bool CRestBridge::DoesImageExist(const string& imageId, bool& exists) {
  return Run("DoesImageExist", [&](CRestApi& api) {
    try {
      api.Get(ERestService::Core, ImagePath(imageId));
      exists = true;
    } catch (const CRestError& e) {
      if (!e.NotFound()) throw;
      exists = false;
    }
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
