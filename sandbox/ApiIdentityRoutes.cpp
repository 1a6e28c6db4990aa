// Identity: the tenancy, regions, availability domains and compartments. The tenancy is the root
// compartment; the sandbox's compartments are its children.
#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/sim/SandboxApiUser.h"

namespace cloudsim {
namespace {

json Compartment(sim::CSimStatement& row) {
  return {{"id", row.Text(0)},
          {"name", row.Text(1)},
          {"description", row.Text(3)},
          {"compartmentId", row.Text(2).empty() ? sim::kApiTenancy : row.Text(2)},
          {"lifecycleState", "ACTIVE"},
          {"timeCreated", ApiTime(0)},
          {"freeformTags", json::object()},
          {"definedTags", json::object()}};
}

}  // namespace

void AddIdentityRoutes(CApiServer& server) {
  server.Get(R"(/20160918/tenancies/([^/]+))", [](SApiCall& call) {
    if (call.PathPart(1) != sim::kApiTenancy)
      throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Tenancy [" + call.PathPart(1) + "] was not found");
    const std::string home = call.cloud.Read([](sim::CSimDb& db) {
      sim::CSimStatement row = db.Prepare("SELECT key FROM regions ORDER BY is_home DESC, name LIMIT 1");
      return row.Step() ? row.Text(0) : std::string();
    });
    call.Reply({{"id", sim::kApiTenancy},
                {"name", "sandbox"},
                {"description", "The sandbox's tenancy"},
                {"homeRegionKey", home},
                {"freeformTags", json::object()},
                {"definedTags", json::object()}});
  });
  server.Get("/20160918/regions", [](SApiCall& call) {
    std::vector<json> regions = call.cloud.Read([](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row = db.Prepare("SELECT key, name FROM regions ORDER BY is_home DESC, name");
      while (row.Step()) list.push_back({{"key", row.Text(0)}, {"name", row.Text(1)}});
      return list;
    });
    call.Reply(regions);
  });
  server.Get(R"(/20160918/tenancies/([^/]+)/regionSubscriptions)", [](SApiCall& call) {
    std::vector<json> regions = call.cloud.Read([](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row = db.Prepare("SELECT key, name, is_home FROM regions ORDER BY is_home DESC, name");
      while (row.Step())
        list.push_back({{"regionKey", row.Text(0)},
                        {"regionName", row.Text(1)},
                        {"status", "READY"},
                        {"isHomeRegion", row.Int(2) != 0}});
      return list;
    });
    call.Reply(regions);
  });
  server.Get("/20160918/availabilityDomains", [](SApiCall& call) {
    const std::string compartment = call.RequiredQuery("compartmentId");
    std::vector<json> domains = call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> list;
      // The sandbox's domains are those of its home region (the region the API user works in).
      sim::CSimStatement row = db.Prepare(
          "SELECT name FROM availability_domains WHERE region = "
          "(SELECT name FROM regions ORDER BY is_home DESC, name LIMIT 1) ORDER BY name");
      while (row.Step()) list.push_back({{"name", row.Text(0)}, {"compartmentId", compartment}, {"id", row.Text(0)}});
      return list;
    });
    call.Reply(domains);
  });
  server.Get("/20160918/compartments", [](SApiCall& call) {
    const std::string parent = call.RequiredQuery("compartmentId");
    const bool subtree = call.Query("compartmentIdInSubtree") == "true";
    std::vector<json> compartments = call.cloud.Read([&](sim::CSimDb& db) {
      std::vector<json> list;
      sim::CSimStatement row = db.Prepare("SELECT id, name, parent_id, description FROM compartments ORDER BY name");
      while (row.Step()) {
        json compartment = Compartment(row);
        if (subtree || compartment["compartmentId"] == parent) list.push_back(compartment);
      }
      return list;
    });
    call.ReplyList(compartments);
  });
  server.Get(R"(/20160918/compartments/([^/]+))", [](SApiCall& call) {
    const std::string id = call.PathPart(1);
    json compartment = call.cloud.Read([&](sim::CSimDb& db) {
      sim::CSimStatement row = db.Prepare("SELECT id, name, parent_id, description FROM compartments WHERE id = ?");
      row.Bind(1, id);
      return row.Step() ? Compartment(row) : json();
    });
    if (compartment.is_null())
      throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Compartment [" + id + "] was not found");
    call.Reply(compartment);
  });
}

}  // namespace cloudsim
