// Work requests (the Work Requests API's model, served under Core Services' path): the import of an
// image is one, whose status follows its image: importing is IN_PROGRESS, available SUCCEEDED, a failed
// import or an image deleted FAILED.
#include <algorithm>
#include <optional>

#include "ApiServer.h"
#include "ApiTimes.h"
#include "ApiWorkRequests.h"
#include "bridge/sim/SimLifecycle.h"
#include "host/HostClock.h"

namespace cloudsim {
namespace {

constexpr const char* kImagePrefix = "ocid1.image.";
constexpr const char* kWorkRequestPrefix = "ocid1.coreservicesworkrequest.";

// An import as its image's row (or the record of its deletion) tells it.
struct SImport {
  std::string imageId, compartmentId, status, errorCode, errorMessage;
  int64_t accepted = 0, finished = 0;  // finished: 0 while it runs
  int percent = 0;
};

// The import of `imageId`; nothing for a platform image or an id the cloud never made.
std::optional<SImport> ImportOf(sim::CSimDb& db, const sim::SFlavourWords& w, const std::string& imageId, int64_t now) {
  SImport import;
  import.imageId = imageId;
  sim::CSimStatement image = db.Prepare(
      "SELECT compartment_id, state, created, ready_at, source_bucket, source_object FROM images WHERE id = ? AND "
      "compartment_id <> ''");
  image.BindAll(imageId);
  if (image.Step()) {
    import.compartmentId = image.Text(0);
    import.accepted = image.Int(2);
    const std::string state = image.Text(1);
    const int64_t readyAt = image.Int(3);
    if (state == w.imageProvisioning) {
      import.status = "IN_PROGRESS";
      const int64_t span = std::max<int64_t>(1, readyAt - import.accepted);
      import.percent = static_cast<int>(std::clamp<int64_t>((now - import.accepted) * 100 / span, 0, 99));
      return import;
    }
    import.finished = std::max(readyAt, import.accepted);
    import.percent = 100;
    import.status = state == w.imageAvailable ? "SUCCEEDED" : "FAILED";
    if (import.status == "FAILED") {
      import.errorCode = "ImageImportFailed";
      import.errorMessage = "The import of image [" + imageId + "] from object [" + image.Text(4) + "/" +
                            image.Text(5) + "] failed: the image is " + state;
    }
    return import;
  }
  sim::CSimStatement gone =
      db.Prepare("SELECT created, deleted FROM created_resources WHERE kind = ? AND id = ? AND deleted > 0");
  gone.BindAll(sim::kKindImage, imageId);
  if (!gone.Step()) return std::nullopt;
  import.accepted = gone.Int(0);
  import.finished = gone.Int(1);
  import.status = "FAILED";
  import.percent = 100;
  import.errorCode = "ImageDeleted";
  import.errorMessage = "Image [" + imageId + "] was deleted";
  return import;
}

json Summary(const SImport& import) {
  return {{"id", WorkRequestIdOfImage(import.imageId)},
          {"operationType", "CreateImage"},
          {"status", import.status},
          {"compartmentId", import.compartmentId},
          {"percentComplete", import.percent},
          {"timeAccepted", ApiTime(import.accepted)},
          {"timeStarted", ApiTime(import.accepted)},
          {"timeFinished", import.finished ? json(ApiTime(import.finished)) : json()}};
}

json WorkRequest(const SImport& import) {
  json request = Summary(import);
  request["resources"] = json::array({{{"entityType", "image"},
                                       {"actionType", import.status == "SUCCEEDED" ? "CREATED" : "IN_PROGRESS"},
                                       {"identifier", import.imageId},
                                       {"entityUri", "/20160918/images/" + import.imageId}}});
  return request;
}

SImport ExistingImport(SApiCall& call, const std::string& workRequestId) {
  const std::string imageId = ImageIdOfWorkRequest(workRequestId);
  const sim::SFlavourWords& words = call.cloud.Words();
  const int64_t now = HostClock::Now();
  std::optional<SImport> import =
      imageId.empty() ? std::nullopt
                      : call.cloud.Read([&](sim::CSimDb& db) { return ImportOf(db, words, imageId, now); });
  if (!import) throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Work request [" + workRequestId + "] was not found");
  return *import;
}

// The imports of a compartment's images, newest first; with a resource id, only that image's (also
// once the image is deleted, whose compartment the cloud no longer knows).
void ListWorkRequests(SApiCall& call) {
  const std::string compartment = call.RequiredQuery("compartmentId"), resource = call.Query("resourceId");
  const sim::SFlavourWords& words = call.cloud.Words();
  const int64_t now = HostClock::Now();
  call.ReplyList(call.cloud.Read([&](sim::CSimDb& db) {
    std::vector<std::string> ids;
    sim::CSimStatement row =
        db.Prepare("SELECT id FROM images WHERE compartment_id = ? AND (? = '' OR id = ?) ORDER BY created DESC, id");
    row.BindAll(compartment, resource, resource);
    while (row.Step()) ids.push_back(row.Text(0));
    if (ids.empty() && !resource.empty()) ids.push_back(resource);
    std::vector<json> list;
    for (const std::string& id : ids) {
      if (std::optional<SImport> import = ImportOf(db, words, id, now)) list.push_back(Summary(*import));
    }
    return list;
  }));
}

}  // namespace

std::string WorkRequestIdOfImage(const std::string& imageId) {
  const std::string prefix = kImagePrefix;
  return imageId.rfind(prefix, 0) == 0 ? kWorkRequestPrefix + imageId.substr(prefix.size()) : "";
}

std::string ImageIdOfWorkRequest(const std::string& workRequestId) {
  const std::string prefix = kWorkRequestPrefix;
  return workRequestId.rfind(prefix, 0) == 0 ? kImagePrefix + workRequestId.substr(prefix.size()) : "";
}

void AddWorkRequestRoutes(CApiServer& server) {
  server.Get("/20160918/workRequests", ListWorkRequests);
  server.Get(R"(/20160918/workRequests/([^/]+))",
             [](SApiCall& call) { call.Reply(WorkRequest(ExistingImport(call, call.PathPart(1)))); });
  server.Get(R"(/20160918/workRequests/([^/]+)/errors)", [](SApiCall& call) {
    const SImport import = ExistingImport(call, call.PathPart(1));
    std::vector<json> errors;
    if (!import.errorCode.empty())
      errors.push_back(
          {{"code", import.errorCode}, {"message", import.errorMessage}, {"timestamp", ApiTime(import.finished)}});
    call.ReplyList(errors);
  });
}

}  // namespace cloudsim
