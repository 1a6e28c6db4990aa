// Compute: what changes an instance (launch, actions, update, termination) and its secondary VNICs,
// through the simulator's instances as the in-process backend calls them.
#include <cmath>

#include "ApiRequestFields.h"
#include "ApiRequestModels.h"
#include "ApiResourceModels.h"
#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/rest/ApiConventions.h"
#include "bridge/sim/SimInstances.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimTags.h"

namespace cloudsim {
namespace {

using VMInfoStructs::SVMInfo;

// shapeConfig's ocpus and memoryInGBs as the record's processors and megabytes.
void TakeShapeConfig(const json& body, SVMInfo& vm) {
  if (!body.contains("shapeConfig")) return;
  const json& config = body["shapeConfig"];
  vm.cpuCount = static_cast<INT64>(std::llround(NumberField(config, "ocpus")));
  vm.memoryMB =
      static_cast<INT64>(std::llround(NumberField(config, "memoryInGBs") * OracleCloudSDKCppBridge::kMiBPerGiB));
}

// metadata.ssh_authorized_keys: one public key a line, each a key of the tenancy.
void TakeSshKeys(sim::CSimCloud& cloud, const json& body, SVMInfo& vm) {
  const std::string keys = body.contains("metadata") ? StringField(body["metadata"], "ssh_authorized_keys") : "";
  size_t from = 0;
  while (from < keys.size()) {
    size_t end = keys.find('\n', from);
    if (end == std::string::npos) end = keys.size();
    const std::string key = keys.substr(from, end - from);
    from = end + 1;
    if (key.empty()) continue;
    const std::string id = cloud.Read(
        [&](sim::CSimDb& db) { return db.QueryText("SELECT id FROM ssh_keys WHERE public_key = ?", "", key); });
    if (id.empty())
      throw CApiRefusal(400, "InvalidParameter", "An SSH key of the metadata is not a key of the tenancy");
    VMInfoStructs::SKeyPairInfo pair;
    pair.guid = id;
    vm.keyPairs.push_back(pair);
  }
}

void Launch(SApiCall& call) {
  const json body = ModelBody(call, "LaunchInstanceDetails");
  SVMInfo vm;
  vm.name = StringField(body, "displayName");
  vm.availabilityDomain = StringField(body, "availabilityDomain");
  vm.compartmentId = StringField(body, "compartmentId");
  vm.vmSize = StringField(body, "shape");
  TakeShapeConfig(body, vm);
  VMInfoStructs::SVMNetworkCard card;
  card.subnetId = body.contains("createVnicDetails") ? StringField(body["createVnicDetails"], "subnetId") : "";
  if (card.subnetId.empty()) card.subnetId = StringField(body, "subnetId");
  card.name = body.contains("createVnicDetails") ? StringField(body["createVnicDetails"], "displayName") : "";
  card.isPrimary = true;
  if (!card.subnetId.empty() || !card.name.empty()) vm.networkCards.push_back(card);
  // The simulator keeps an instance's security lists as the network security groups of its VNICs.
  const json nsgIds =
      body.contains("createVnicDetails") ? body["createVnicDetails"].value("nsgIds", json::array()) : json::array();
  for (const json& id : nsgIds) {
    if (!id.is_string())
      throw CApiRefusal(400, "InvalidParameter", "The field [createVnicDetails.nsgIds] holds no strings");
    VMInfoStructs::SSecurityGroupInfo list;
    list.guid = id.get<std::string>();
    vm.securityGroups.push_back(list);
  }
  TakeSshKeys(call.cloud, body, vm);

  const json& source = body["sourceDetails"];
  const std::string type = StringField(source, "sourceType");
  const sim::STags tags = TagsOfRequest(body);
  sim::CCreateTagsScope scope(&tags);
  sim::CSimInstances instances(call.cloud);
  if (type == "image") {
    const std::string imageId = StringField(source, "imageId");
    if (imageId.empty()) throw CApiRefusal(400, "MissingParameter", "The field [sourceDetails.imageId] is required");
    const bool known = call.cloud.Read(
        [&](sim::CSimDb& db) { return db.QueryInt("SELECT COUNT(*) FROM images WHERE id = ?", 0, imageId) > 0; });
    if (!known) throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Image with id [" + imageId + "] was not found");
    const double size = NumberField(source, "bootVolumeSizeInGBs");
    instances.Deploy(vm, imageId, static_cast<int>(std::llround(size)), call.faults.faulty,
                     call.OperationOr("LaunchInstance"));
  } else if (type == "bootVolume") {
    const std::string bootVolumeId = StringField(source, "bootVolumeId");
    if (bootVolumeId.empty())
      throw CApiRefusal(400, "MissingParameter", "The field [sourceDetails.bootVolumeId] is required");
    instances.LaunchFromBootVolume(vm, bootVolumeId, call.faults.faulty, call.OperationOr("LaunchInstance"));
  } else {
    throw CApiRefusal(400, "InvalidParameter", "The source type [" + type + "] is not one of image, bootVolume");
  }
  call.Reply(ExistingInstance(call, vm.guid));
}

void Act(SApiCall& call) {
  const std::string id = call.PathPart(1), action = call.RequiredQuery("action");
  sim::CSimInstances instances(call.cloud);
  ExistingInstance(call, id);
  if (action == "START")
    instances.PowerOn(id);
  else if (action == "STOP" || action == "SOFTSTOP")
    instances.PowerOff(id);
  else if (action == "RESET" || action == "SOFTRESET")
    instances.Reboot(id);
  else
    throw CApiRefusal(400, "InvalidParameter",
                      "The action [" + action + "] is not one of START, STOP, SOFTSTOP, RESET, SOFTRESET");
  call.Reply(ExistingInstance(call, id));
}

void Update(SApiCall& call) {
  const std::string id = call.PathPart(1);
  const json body = ModelBody(call, "UpdateInstanceDetails");
  const json current = ExistingInstance(call, id);
  const std::string name = StringField(body, "displayName");
  if (!name.empty() && name != current["displayName"].get<std::string>())
    throw CApiRefusal(400, "InvalidParameter", "An instance of this cloud keeps its display name");
  SVMInfo vm;
  vm.guid = id;
  vm.vmSize = StringField(body, "shape");
  TakeShapeConfig(body, vm);
  if (!vm.vmSize.empty() || vm.cpuCount > 0 || vm.memoryMB > 0) sim::CSimInstances(call.cloud).Reconfigure(vm);
  if (body.contains("freeformTags")) sim::CSimTags(call.cloud).Replace(sim::kKindInstance, id, TagsOfRequest(body));
  call.Reply(ExistingInstance(call, id));
}

void Terminate(SApiCall& call) {
  const std::string id = call.PathPart(1), preserve = call.Query("preserveBootVolume");
  if (!preserve.empty() && preserve != "true" && preserve != "false")
    throw CApiRefusal(400, "InvalidParameter", "The query parameter [preserveBootVolume] is neither true nor false");
  // A terminated instance is gone for a repeated terminate; one terminating takes it again.
  if (ExistingInstance(call, id)["lifecycleState"] == call.cloud.Words().instanceTerminated)
    throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Instance with id [" + id + "] is terminated");
  sim::CSimInstances(call.cloud).Delete("", id, false, preserve == "true", call.OperationOr("TerminateInstance"));
  call.ReplyEmpty();
}

void AttachVnic(SApiCall& call) {
  const json body = ModelBody(call, "AttachVnicDetails");
  SVMInfo vm;
  vm.guid = StringField(body, "instanceId");
  VMInfoStructs::SVMNetworkCard card;
  card.subnetId = StringField(body["createVnicDetails"], "subnetId");
  card.name = StringField(body["createVnicDetails"], "displayName");
  if (card.subnetId.empty())
    throw CApiRefusal(400, "MissingParameter", "The field [createVnicDetails.subnetId] is required");
  sim::CSimInstances(call.cloud).AttachVnic(vm, card, call.faults.faulty, call.OperationOr("AttachVnic"));
  // The simulator keeps a VNIC and its attachment as one: the attachment is named by its VNIC.
  json attachment = call.cloud.Read([&](sim::CSimDb& db) {
    sim::CSimStatement row = db.Prepare(
        "SELECT v.id, v.name, v.subnet_id, v.created, i.ad, i.compartment_id FROM vnics v JOIN instances i ON "
        "i.id = v.instance_id WHERE v.instance_id = ? ORDER BY v.seq DESC LIMIT 1");
    row.BindAll(vm.guid);
    if (!row.Step()) return json();
    return json{{"id", row.Text(0)},
                {"vnicId", row.Text(0)},
                {"displayName", row.Text(1)},
                {"subnetId", row.Text(2)},
                {"instanceId", vm.guid},
                {"availabilityDomain", row.Text(4)},
                {"compartmentId", row.Text(5)},
                {"lifecycleState", "ATTACHED"},
                {"timeCreated", ApiTime(row.Int(3))}};
  });
  call.Reply(attachment);
}

}  // namespace

void AddInstanceRoutes(CApiServer& server) {
  server.Post("/20160918/instances", Launch);
  server.Post(R"(/20160918/instances/([^/]+))", Act);
  server.Put(R"(/20160918/instances/([^/]+))", Update);
  server.Delete(R"(/20160918/instances/([^/]+))", Terminate);
  server.Post("/20160918/vnicAttachments", AttachVnic);
}

}  // namespace cloudsim
