#include "ApiResourceModels.h"

#include <cmath>

#include "ApiServer.h"
#include "ApiTimes.h"
#include "bridge/rest/ApiConventions.h"
#include "bridge/sim/ReadInstanceRecord.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimResources.h"

namespace cloudsim {
namespace {

using OracleCloudSDKCppBridge::kMiB;
using OracleCloudSDKCppBridge::kMiBPerGiB;

// The simulator's word for an image whose import failed is not one of the API's lifecycle states:
// such an image cannot be launched from, which the API calls DISABLED.
std::string ImageState(const std::string& state) { return state == "FAULTY" ? "DISABLED" : state; }

}  // namespace

json FreeformTagsOf(sim::CSimDb& db, const std::string& kind, const std::string& id) {
  json tags = json::object();
  sim::CSimStatement row = db.Prepare("SELECT key, value FROM freeform_tags WHERE kind = ? AND id = ? ORDER BY key");
  row.BindAll(kind, id);
  while (row.Step()) tags[row.Text(0)] = row.Text(1);
  return tags;
}

sim::STags TagsOfRequest(const json& body) {
  sim::STags tags;
  if (!body.contains("freeformTags") || body["freeformTags"].is_null()) return tags;
  if (!body["freeformTags"].is_object())
    throw CApiRefusal(400, "InvalidParameter", "The field [freeformTags] is not an object");
  for (const auto& [key, value] : body["freeformTags"].items()) {
    if (!value.is_string())
      throw CApiRefusal(400, "InvalidParameter", "The freeform tag [" + key + "] has a value that is no string");
    tags[key] = value.get<std::string>();
  }
  return tags;
}

json InstanceJson(sim::CSimDb& db, const sim::SFlavourWords& words, const std::string& id) {
  VMInfoStructs::SVMInfo vm;
  std::string error;
  if (!sim::ReadInstanceRecordIn(db, words, "", id, sim::SInstanceParts{}, vm, error)) return json();
  // The instance's SSH keys are its metadata's "ssh_authorized_keys", one public key a line.
  std::string keys;
  for (const auto& key : vm.keyPairs) keys += (keys.empty() ? "" : "\n") + key.publicKey;
  json metadata = json::object();
  if (!keys.empty()) metadata["ssh_authorized_keys"] = keys;
  json instance = {
      {"id", vm.guid},
      {"displayName", vm.name},
      {"compartmentId", vm.compartmentId},
      {"availabilityDomain", vm.availabilityDomain},
      {"region", vm.region},
      {"shape", vm.vmSize},
      {"shapeConfig", {{"ocpus", vm.cpuCount}, {"memoryInGBs", static_cast<double>(vm.memoryMB) / kMiBPerGiB}}},
      {"lifecycleState", vm.lifecycleState},
      {"launchMode", vm.launchMode},
      {"metadata", metadata},
      {"timeCreated", ApiTime(db.QueryInt("SELECT created FROM instances WHERE id = ?", 0, vm.guid))},
      {"freeformTags", FreeformTagsOf(db, sim::kKindInstance, vm.guid)},
      {"definedTags", json::object()}};
  if (!vm.imageId.empty()) {
    instance["imageId"] = vm.imageId;
    instance["sourceDetails"] = {{"sourceType", "image"}, {"imageId", vm.imageId}};
  }
  return instance;
}

json ExistingInstance(SApiCall& call, const std::string& id) {
  const sim::SFlavourWords& words = call.cloud.Words();
  json instance = call.cloud.Read([&](sim::CSimDb& db) { return InstanceJson(db, words, id); });
  if (instance.is_null())
    throw CApiRefusal(404, "NotAuthorizedOrNotFound", "Instance with id [" + id + "] was not found");
  return instance;
}

json ImageJson(sim::CSimDb& db, const std::string& id) {
  sim::CSimStatement row = db.Prepare(
      "SELECT id, name, compartment_id, launch_mode, os, state, size_bytes, created FROM images WHERE id = ?");
  row.BindAll(id);
  if (!row.Step()) return json();
  json image = {{"id", row.Text(0)},
                {"displayName", row.Text(1)},
                {"compartmentId", row.Text(2).empty() ? json() : json(row.Text(2))},
                {"launchMode", row.Text(3)},
                {"lifecycleState", ImageState(row.Text(5))},
                {"sizeInMBs", (row.Int(6) + kMiB - 1) / kMiB},
                {"createImageAllowed", true},
                {"timeCreated", ApiTime(row.Int(7))},
                {"freeformTags", FreeformTagsOf(db, sim::kKindImage, id)},
                {"definedTags", json::object()}};
  if (!row.Text(4).empty()) image["operatingSystem"] = row.Text(4);
  return image;
}

}  // namespace cloudsim
