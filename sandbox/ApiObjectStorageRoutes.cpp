// Object Storage: the namespace, buckets and objects.
#include <fstream>
#include <sstream>

#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/sim/SimImages.h"

namespace cloudsim {
namespace {

// The tenancy's namespace: the one its buckets live in.
std::string NamespaceOf(sim::CSimCloud& cloud) {
  return cloud.Read([](sim::CSimDb& db) {
    return db.QueryText("SELECT namespace FROM buckets ORDER BY created, name LIMIT 1", "simtenancy");
  });
}

void RequireNamespace(SApiCall& call) {
  if (call.PathPart(1) != NamespaceOf(call.cloud))
    throw CApiRefusal(404, "NamespaceNotFound", "Namespace [" + call.PathPart(1) + "] was not found");
}

json BucketSummary(sim::CSimStatement& row) {
  return {{"namespace", row.Text(2)},
          {"name", row.Text(0)},
          {"compartmentId", row.Text(1)},
          {"timeCreated", ApiTime(row.Int(3))},
          {"etag", row.Text(0) + "-" + std::to_string(row.Int(3))}};
}

void RequireBucket(SApiCall& call, const std::string& bucket) {
  const bool found = call.cloud.Read([&](sim::CSimDb& db) {
    return db.QueryInt("SELECT COUNT(*) FROM buckets WHERE name = ? AND namespace = ?", 0, bucket, call.PathPart(1)) >
           0;
  });
  if (!found) throw CApiRefusal(404, "BucketNotFound", "Bucket [" + bucket + "] was not found");
}

}  // namespace

void AddObjectStorageRoutes(CApiServer& server) {
  server.Get("/n/?", [](SApiCall& call) { call.Reply(json(NamespaceOf(call.cloud))); });
  server.Get(R"(/n/([^/]+)/b/?)", [](SApiCall& call) {
    RequireNamespace(call);
    const std::string compartment = call.RequiredQuery("compartmentId");
    std::vector<json> buckets = call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row = db.Prepare(
          "SELECT name, compartment_id, namespace, created FROM buckets WHERE compartment_id = ? ORDER BY name");
      row.BindAll(compartment);
      while (row.Step()) list.push_back(BucketSummary(row));
      return list;
    });
    call.ReplyList(buckets);
  });
  server.Get(R"(/n/([^/]+)/b/([^/]+)/?)", [](SApiCall& call) {
    RequireNamespace(call);
    json bucket = call.cloud.Read([&](sim::CSimDb& db) {
      sim::CSimStatement row =
          db.Prepare("SELECT name, compartment_id, namespace, created FROM buckets WHERE name = ? AND namespace = ?");
      row.BindAll(call.PathPart(2), call.PathPart(1));
      return row.Step() ? BucketSummary(row) : json();
    });
    if (bucket.is_null()) throw CApiRefusal(404, "BucketNotFound", "Bucket [" + call.PathPart(2) + "] was not found");
    call.Reply(bucket);
  });
  // PutObject: the body is the object's bytes.
  server.Put(R"(/n/([^/]+)/b/([^/]+)/o/(.+))", [](SApiCall& call) {
    RequireBucket(call, call.PathPart(2));
    sim::CSimImages(call.cloud)
        .Upload(call.PathPart(2), call.PathPart(3), call.request.body, call.OperationOr("PutObject"));
    call.ReplyEmpty(200);
  });
  // GetObject, and HeadObject through it (its body goes unsent).
  server.Head(R"(/n/([^/]+)/b/([^/]+)/o/(.+))", [](SApiCall& call) {
    RequireBucket(call, call.PathPart(2));
    const std::string bucket = call.PathPart(2), object = call.PathPart(3);
    const std::string file = call.cloud.Read([&](sim::CSimDb& db) {
      return db.QueryText("SELECT file FROM objects WHERE bucket = ? AND name = ?", "", bucket, object);
    });
    if (file.empty())
      throw CApiRefusal(404, "ObjectNotFound", "Object [" + object + "] was not found in bucket [" + bucket + "]");
    std::ifstream in(call.cloud.ObjectsDir() + "/" + file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    call.ReplyText(bytes.str(), "application/octet-stream");
  });
  server.Delete(R"(/n/([^/]+)/b/([^/]+)/o/(.+))", [](SApiCall& call) {
    RequireBucket(call, call.PathPart(2));
    sim::CSimImages(call.cloud).DeleteObject(call.PathPart(2), call.PathPart(3), call.OperationOr("DeleteObject"));
    call.ReplyEmpty();
  });
}

}  // namespace cloudsim
