// Images and their import from Object Storage.
#include "ApiRequestFields.h"
#include "ApiRequestModels.h"
#include "ApiResourceModels.h"
#include "ApiServer.h"
#include "ApiWorkRequests.h"
#include "bridge/sim/SimImages.h"
#include "bridge/sim/SimLifecycle.h"

namespace cloudsim {
namespace {

json ExistingImage(SApiCall& call, const std::string& id) {
  json image = call.cloud.Read([&](sim::CSimDb& db) { return ImageJson(db, id); });
  if (image.is_null()) throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Image with id [" + id + "] was not found");
  return image;
}

// The images a compartment sees in the region the API serves: the platform's and its own custom ones.
void ListImages(SApiCall& call) {
  const std::string compartment = call.RequiredQuery("compartmentId");
  const std::string name = call.Query("displayName"), os = call.Query("operatingSystem"), shape = call.Query("shape"),
                    state = call.Query("lifecycleState");
  std::vector<json> images = call.cloud.Read([&](sim::CSimDb& db) {
    std::vector<std::string> ids;
    sim::CSimStatement row = db.Prepare(
        "SELECT id FROM images WHERE (compartment_id = ? OR compartment_id = '') AND region = "
        "(SELECT value FROM meta WHERE key = ?) AND (? = '' OR name = ?) AND (? = '' OR os = ?) AND (? = '' OR "
        "NOT EXISTS (SELECT 1 FROM image_shapes s WHERE s.image_id = images.id) OR EXISTS (SELECT 1 FROM "
        "image_shapes s WHERE s.image_id = images.id AND s.shape = ?)) ORDER BY created DESC, name, id");
    row.BindAll(compartment, sim::kMetaDefaultRegion, name, name, os, os, shape, shape);
    while (row.Step()) ids.push_back(row.Text(0));
    std::vector<json> list;
    for (const std::string& id : ids) {
      json image = ImageJson(db, id);
      if (state.empty() || image["lifecycleState"] == state) list.push_back(std::move(image));
    }
    return list;
  });
  call.ReplyList(images);
}

// CreateImage from an object (imageSourceDetails of sourceType objectStorageTuple).
void CreateImage(SApiCall& call) {
  const json body = ModelBody(call, "CreateImageDetails");
  if (!body.contains("imageSourceDetails"))
    throw CApiRefusal(400, "InvalidParameter",
                      "This cloud makes images from objects only: imageSourceDetails is required");
  const json& source = body["imageSourceDetails"];
  if (StringField(source, "sourceType") != "objectStorageTuple")
    throw CApiRefusal(400, "InvalidParameter",
                      "The source type [" + StringField(source, "sourceType") + "] is not one of objectStorageTuple");
  for (const char* field : {"namespaceName", "bucketName", "objectName"}) {
    if (StringField(source, field).empty())
      throw CApiRefusal(400, "MissingParameter",
                        std::string("The field [imageSourceDetails.") + field + "] is required");
  }
  const std::string bucket = StringField(source, "bucketName"), ns = StringField(source, "namespaceName");
  const std::string bucketNamespace = call.cloud.Read(
      [&](sim::CSimDb& db) { return db.QueryText("SELECT namespace FROM buckets WHERE name = ?", "", bucket); });
  if (bucketNamespace != ns)
    throw CApiRefusal(404, "NotAuthorizedOrNotFound",
                      "Bucket [" + bucket + "] was not found in namespace [" + ns + "]");
  const sim::STags tags = TagsOfRequest(body);
  sim::CCreateTagsScope scope(&tags);
  const std::string id = sim::CSimImages(call.cloud)
                             .Import(bucket, StringField(source, "objectName"), StringField(body, "displayName"),
                                     StringField(body, "launchMode"), StringField(body, "compartmentId"),
                                     call.faults.faulty, call.operation.empty() ? "CreateImage" : call.operation);
  call.Reply(ExistingImage(call, id));
  call.response.set_header("opc-work-request-id", WorkRequestIdOfImage(id));  // its import's
}

}  // namespace

void AddImageRoutes(CApiServer& server) {
  server.Get("/20160918/images", ListImages);
  server.Post("/20160918/images", CreateImage);
  server.Get(R"(/20160918/images/([^/]+))", [](SApiCall& call) { call.Reply(ExistingImage(call, call.PathPart(1))); });
  // An update changes only the image's freeform tags here (the simulator keeps its name as imported).
  server.Put(R"(/20160918/images/([^/]+))", [](SApiCall& call) {
    const json body = ModelBody(call, "UpdateImageDetails");
    ExistingImage(call, call.PathPart(1));
    if (body.contains("freeformTags"))
      sim::CSimTags(call.cloud).Replace(sim::kKindImage, call.PathPart(1), TagsOfRequest(body));
    call.Reply(ExistingImage(call, call.PathPart(1)));
  });
  server.Delete(R"(/20160918/images/([^/]+))", [](SApiCall& call) {
    ExistingImage(call, call.PathPart(1));
    sim::CSimImages(call.cloud).Delete(call.PathPart(1), call.operation.empty() ? "DeleteImage" : call.operation);
    call.ReplyEmpty();
  });
}

}  // namespace cloudsim
