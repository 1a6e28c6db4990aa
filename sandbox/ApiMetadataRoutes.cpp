// The instance metadata service as the proxy sees it (version 2: every request carries
// "Authorization: Bearer Oracle", a request without it is refused): the proxy's own instance.
#include "ApiServer.h"
#include "bridge/sim/SimSandboxPaths.h"

namespace cloudsim {
namespace {

void RequireMetadataHeader(const SApiCall& call) {
  if (call.request.get_header_value("Authorization") != "Bearer Oracle")
    throw CApiRefusal(401, "NotAuthenticated", "The metadata service needs the header [Authorization: Bearer Oracle]");
}

json ProxyInstance(SApiCall& call, const std::string& id) {
  json instance = call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row =
        db.Prepare("SELECT id, name, compartment_id, ad, region, shape, image_id FROM instances WHERE id = ?");
    row.Bind(1, id);
    if (!row.Step()) return json();
    return json{{"id", row.Text(0)},
                {"displayName", row.Text(1)},
                {"compartmentId", row.Text(2)},
                {"availabilityDomain", row.Text(3)},
                {"region", row.Text(4)},
                {"canonicalRegionName", row.Text(4)},
                {"shape", row.Text(5)},
                {"image", row.Text(6)},
                {"state", "Running"}};
  });
  if (instance.is_null()) throw CApiRefusal(404, "NotFound", "The proxy's instance [" + id + "] is not in the cloud");
  return instance;
}

}  // namespace

void AddMetadataRoutes(CApiServer& server) {
  server.Get(R"(/opc/v2/instance/?)", [](SApiCall& call) {
    RequireMetadataHeader(call);
    call.Reply(ProxyInstance(call, sim::ProxyInstanceId(call.cloud)));
  });
  server.Get(R"(/opc/v2/instance/(\w+))", [](SApiCall& call) {
    RequireMetadataHeader(call);
    const json instance = ProxyInstance(call, sim::ProxyInstanceId(call.cloud));
    const std::string field = call.PathPart(1);
    if (!instance.contains(field)) throw CApiRefusal(404, "NotFound", "The instance has no [" + field + "]");
    call.ReplyText(instance[field].get<std::string>(), "text/plain");
  });
}

}  // namespace cloudsim
