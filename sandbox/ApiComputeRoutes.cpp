// Compute: instances, their VNICs, shapes, subnets and security lists, read through the simulator's
// instance records and discovery. The tenancy is the root compartment: nothing of the sandbox lives in
// it directly, so its lists are empty.
//
// Where the simulator keeps what the API carries elsewhere: an instance's SSH keys are its metadata's
// "ssh_authorized_keys" (one public key a line), and the security lists an instance belongs to are
// the nsgIds of its VNICs.
#include "ApiResourceModels.h"
#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/rest/ApiConventions.h"
#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SandboxApiUser.h"
#include "bridge/sim/SimDiscovery.h"
#include "bridge/sim/SimLifecycle.h"

namespace cloudsim {
namespace {

using VMInfoStructs::SVMInfo;

using OracleCloudSDKCppBridge::kMiBPerGiB;

// A list's compartment: the tenancy, or one the sandbox has; any other is refused as the API does.
std::string ListedCompartment(SApiCall& call, sim::CSimDb& db) {
  std::string id = call.RequiredQuery("compartmentId");
  if (id != sim::kApiTenancy && db.QueryInt("SELECT COUNT(*) FROM compartments WHERE id = ?", 0, id) == 0)
    throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Compartment [" + id + "] was not found");
  return id;
}

// A VNIC's attachment has no id of its own in the simulator: it is named after its VNIC.
std::string AttachmentIdOf(const std::string& vnicId) {
  const std::string prefix = "ocid1.vnic.";
  return vnicId.rfind(prefix, 0) == 0 ? "ocid1.vnicattachment." + vnicId.substr(prefix.size()) : vnicId + ".attachment";
}

constexpr const char* kVnicColumns =
    "SELECT v.id, v.instance_id, v.name, v.subnet_id, v.private_ip, v.mac, v.is_primary, v.created, i.compartment_id, "
    "i.ad FROM vnics v JOIN instances i ON i.id = v.instance_id ";

json VnicAttachment(sim::CSimStatement& row) {
  return {{"id", AttachmentIdOf(row.Text(0))}, {"instanceId", row.Text(1)},    {"vnicId", row.Text(0)},
          {"subnetId", row.Text(3)},           {"compartmentId", row.Text(8)}, {"availabilityDomain", row.Text(9)},
          {"displayName", row.Text(2)},        {"lifecycleState", "ATTACHED"}, {"timeCreated", ApiTime(row.Int(7))}};
}

json Vnic(sim::CSimDb& db, sim::CSimStatement& row) {
  json nsgIds = json::array();
  sim::CSimStatement lists = db.Prepare(
      "SELECT security_list_id FROM instance_security_lists WHERE instance_id = ? ORDER BY security_list_id");
  lists.BindAll(row.Text(1));
  while (lists.Step()) nsgIds.push_back(lists.Text(0));
  return {{"id", row.Text(0)},
          {"displayName", row.Text(2)},
          {"subnetId", row.Text(3)},
          {"privateIp", row.Text(4)},
          {"macAddress", row.Text(5)},
          {"isPrimary", row.Int(6) != 0},
          {"compartmentId", row.Text(8)},
          {"availabilityDomain", row.Text(9)},
          {"lifecycleState", "AVAILABLE"},
          {"timeCreated", ApiTime(row.Int(7))},
          {"nsgIds", nsgIds},
          {"freeformTags", json::object()},
          {"definedTags", json::object()}};
}

json Subnet(sim::CSimStatement& row) {
  json subnet = {{"id", row.Text(0)},
                 {"displayName", row.Text(1)},
                 {"compartmentId", row.Text(2)},
                 {"cidrBlock", row.Text(4)},
                 {"lifecycleState", "AVAILABLE"},
                 {"freeformTags", json::object()},
                 {"definedTags", json::object()}};
  if (!row.Text(3).empty()) subnet["availabilityDomain"] = row.Text(3);  // a regional subnet has none
  return subnet;
}

json SecurityList(sim::CSimStatement& row) {
  return {{"id", row.Text(0)},
          {"displayName", row.Text(1)},
          {"compartmentId", row.Text(2)},
          {"lifecycleState", "AVAILABLE"},
          {"freeformTags", json::object()},
          {"definedTags", json::object()}};
}

// One row by id of a table's columns, or 404 naming the kind.
template <class F>
json ById(SApiCall& call, const std::string& sql, const std::string& what, F&& make) {
  const std::string id = call.PathPart(1);
  json item = call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(sql);
    row.BindAll(id);
    return row.Step() ? make(db, row) : json();
  });
  if (item.is_null()) throw CApiRefusal(404, "NotAuthorizedOrNotFound", what + " [" + id + "] was not found");
  return item;
}

// Every row of a table's columns in the listed compartment (the query's one parameter).
template <class F>
std::vector<json> InCompartment(SApiCall& call, const std::string& sql, F&& make) {
  return call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(sql);
    row.BindAll(ListedCompartment(call, db));
    std::vector<json> list;
    while (row.Step()) list.push_back(make(row));
    return list;
  });
}

void AddInstanceReadRoutes(CApiServer& server) {
  server.Get("/20160918/instances", [](SApiCall& call) {
    const sim::SFlavourWords& words = call.cloud.Words();
    const std::string name = call.Query("displayName"), ad = call.Query("availabilityDomain"),
                      state = call.Query("lifecycleState");
    std::vector<json> instances = call.cloud.Read([&](sim::CSimDb& db) {
      const std::string compartment = ListedCompartment(call, db);
      sim::CSimStatement row = db.Prepare(
          "SELECT id FROM instances WHERE compartment_id = ? AND (? = '' OR name = ?) AND (? = '' OR ad = ?) "
          "AND (? = '' OR state = ?) ORDER BY created, id");
      row.BindAll(compartment, name, name, ad, ad, state, state);
      std::vector<std::string> ids;
      while (row.Step()) ids.push_back(row.Text(0));
      std::vector<json> list;
      list.reserve(ids.size());
      for (const std::string& id : ids) list.push_back(InstanceJson(db, words, id));
      return list;
    });
    call.ReplyList(instances);
  });
  server.Get(R"(/20160918/instances/([^/]+))",
             [](SApiCall& call) { call.Reply(ExistingInstance(call, call.PathPart(1))); });
  server.Get("/20160918/vnicAttachments", [](SApiCall& call) {
    const std::string instance = call.Query("instanceId"), ad = call.Query("availabilityDomain");
    std::vector<json> attachments = call.cloud.Read([&](sim::CSimDb& db) {
      const std::string compartment = ListedCompartment(call, db);
      sim::CSimStatement row = db.Prepare(std::string(kVnicColumns) +
                                          "WHERE i.compartment_id = ? AND (? = '' OR v.instance_id = ?) "
                                          "AND (? = '' OR i.ad = ?) ORDER BY v.seq");
      row.BindAll(compartment, instance, instance, ad, ad);
      std::vector<json> list;
      while (row.Step()) list.push_back(VnicAttachment(row));
      return list;
    });
    call.ReplyList(attachments);
  });
  server.Get(R"(/20160918/vnics/([^/]+))", [](SApiCall& call) {
    call.Reply(ById(call, std::string(kVnicColumns) + "WHERE v.id = ?", "VNIC", Vnic));
  });
}

void AddNetworkRoutes(CApiServer& server) {
  static const std::string kSubnets = "SELECT id, name, compartment_id, ad, cidr FROM subnets ";
  static const std::string kLists = "SELECT id, name, compartment_id FROM security_lists ";
  server.Get("/20160918/subnets", [](SApiCall& call) {
    call.ReplyList(InCompartment(call, kSubnets + "WHERE compartment_id = ? ORDER BY name, id", Subnet));
  });
  server.Get(R"(/20160918/subnets/([^/]+))", [](SApiCall& call) {
    call.Reply(ById(call, kSubnets + "WHERE id = ?", "Subnet",
                    [](sim::CSimDb&, sim::CSimStatement& row) { return Subnet(row); }));
  });
  server.Get("/20160918/securityLists", [](SApiCall& call) {
    call.ReplyList(InCompartment(call, kLists + "WHERE compartment_id = ? ORDER BY name, id", SecurityList));
  });
  server.Get(R"(/20160918/securityLists/([^/]+))", [](SApiCall& call) {
    call.Reply(ById(call, kLists + "WHERE id = ?", "Security list",
                    [](sim::CSimDb&, sim::CSimStatement& row) { return SecurityList(row); }));
  });
}

// The shapes an image launches on (all without one), through the simulator's discovery; the tenancy
// stands for no compartment there.
void AddShapeRoutes(CApiServer& server) {
  server.Get("/20160918/shapes", [](SApiCall& call) {
    std::string compartment = call.cloud.Read([&](sim::CSimDb& db) { return ListedCompartment(call, db); });
    if (compartment == sim::kApiTenancy) compartment.clear();
    const std::string image = call.Query("imageId"), ad = call.Query("availabilityDomain");
    sim::CSimDiscovery discovery(call.cloud);
    std::vector<json> shapes;
    for (const auto& shape : image.empty() ? discovery.Shapes() : discovery.ShapesForImage(compartment, image, ad)) {
      shapes.push_back({{"shape", shape.name}, {"ocpus", shape.cpuCount}, {"memoryInGBs", shape.memory / kMiBPerGiB}});
    }
    call.ReplyList(shapes);
  });
}

}  // namespace

void AddComputeRoutes(CApiServer& server) {
  AddInstanceReadRoutes(server);
  AddNetworkRoutes(server);
  AddShapeRoutes(server);
}

}  // namespace cloudsim
