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
    const SRestAnswer answer = api.PostForAnswer(ERestService::Core, kImages, details);
    imageId = answer.body.value("id", "");
    const std::string workRequestId = answer.response.Header("opc-work-request-id");
    if (!imageId.empty() && !workRequestId.empty()) {
      MutexLock lock(mutex_);
      importWorkRequests_[imageId] = workRequestId;
    }
    return true;
  });
}

namespace {

constexpr const char* kWorkRequests = "/20160918/workRequests";

// The work request that imports `imageId`: the one its create answered with (`knownId`), or else the
// newest CreateImage one listed for the image. Null when the service has none for it.
json ImportWorkRequest(CRestApi& api, const std::string& imageId, const std::string& knownId) {
  try {
    if (!knownId.empty()) return api.Get(ERestService::Core, ItemPath(kWorkRequests, knownId));
  } catch (const CRestError& e) {
    if (!e.NotFound()) throw;
  }
  const std::string compartmentId = api.Get(ERestService::Core, ImagePath(imageId)).value("compartmentId", "");
  std::vector<json> listed;
  try {
    listed = api.List(ERestService::Core, kWorkRequests, {{"compartmentId", compartmentId}, {"resourceId", imageId}});
  } catch (const CRestError& e) {
    if (!e.NotFound()) throw;
  }
  json newest;
  for (const json& request : listed) {
    if (request.value("operationType", "") != "CreateImage") continue;
    if (newest.is_null() || request.value("timeAccepted", "") > newest.value("timeAccepted", "")) newest = request;
  }
  return newest;
}

// "code: message; ..." of a work request's errors.
// The errors a failed work request names; what went wrong reading them when they cannot be read, so
// that the failure is still reported as the import's.
std::string WorkRequestErrors(CRestApi& api, const std::string& id) {
  std::string text;
  try {
    for (const json& error : api.List(ERestService::Core, ItemPath(kWorkRequests, id) + "/errors"))
      text += (text.empty() ? "" : "; ") + error.value("code", "") + ": " + error.value("message", "");
  } catch (const CRestError& e) {
    return std::string("its errors could not be read: ") + e.what();
  }
  return text.empty() ? "it names no error" : text;
}

}  // namespace

bool CRestBridge::IsImageImportOperationCompleted(const string& imageId, bool& completed) {
  return Run("IsImageImportOperationCompleted", [&](CRestApi& api) {
    std::string knownId;
    {
      MutexLock lock(mutex_);
      const auto it = importWorkRequests_.find(imageId);
      if (it != importWorkRequests_.end()) knownId = it->second;
    }
    const json request = ImportWorkRequest(api, imageId, knownId);
    const std::string failed = "The import of image [" + imageId + "] failed: ";
    if (request.is_null()) {  // a service that keeps no work request of it: the image's own state
      const std::string state = api.Get(ERestService::Core, ImagePath(imageId)).value("lifecycleState", "");
      completed = state == "AVAILABLE";
      return completed || state == "IMPORTING" || state == "PROVISIONING" ? true : Fail(failed + "it is " + state);
    }
    const std::string status = request.value("status", ""), id = request.value("id", "");
    completed = status == "SUCCEEDED";
    if (completed || status == "ACCEPTED" || status == "IN_PROGRESS") return true;
    return Fail(failed + "work request [" + id + "] is " + status + ": " + WorkRequestErrors(api, id));
  });
}

bool CRestBridge::DeleteImage(const string& imageId) {
  return Run("DeleteImage", [&](CRestApi& api) {
    api.Delete(ERestService::Core, ImagePath(imageId));
    MutexLock lock(mutex_);
    importWorkRequests_.erase(imageId);
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
