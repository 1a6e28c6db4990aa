// The infrastructure instance's configuration text: written and read back here for every backend.
#include "bridge/InstanceConfiguration.h"

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace OracleCloudSDKCppBridge {

using nlohmann::json;

namespace {

constexpr uint64_t kGiBytes = 1024ull * 1024 * 1024;

json Configuration(const SVMInfo& vm, int64_t created) {
  json volumes = json::array();
  for (const auto& disk : vm.disks) {
    volumes.push_back({{"id", disk.volumeId},
                       {"displayName", disk.displayName},
                       {"sizeInBytes", disk.size},
                       {"sizeInGBs", (disk.size + kGiBytes - 1) / kGiBytes},
                       {"isBootVolume", disk.isBootDisk},
                       {"availabilityDomain", disk.availabilityDomain},
                       {"attachmentId", disk.attachmentId},
                       {"attachmentType", disk.attachmentType},
                       {"diskNumber", disk.diskNumber}});
  }
  json vnics = json::array();
  for (const auto& card : vm.networkCards) {
    vnics.push_back({{"displayName", card.name},
                     {"subnetId", card.subnetId},
                     {"privateIp", card.privateIp},
                     {"macAddress", card.macAddress},
                     {"isPrimary", card.isPrimary}});
  }
  json keys = json::array();
  for (const auto& key : vm.keyPairs)
    keys.push_back({{"id", key.guid}, {"name", key.name}, {"publicKey", key.publicKey}});
  json lists = json::array();
  for (const auto& list : vm.securityGroups) lists.push_back({{"id", list.guid}, {"name", list.name}});
  return {{"id", vm.guid},
          {"displayName", vm.name},
          {"compartmentId", vm.compartmentId},
          {"availabilityDomain", vm.availabilityDomain},
          {"region", vm.region},
          {"shape", vm.vmSize},
          {"shapeConfig", {{"ocpus", vm.cpuCount}, {"memoryInGBs", vm.memoryMB / 1024}}},
          {"cpuCount", vm.cpuCount},
          {"memoryMB", vm.memoryMB},
          {"imageId", vm.imageId},
          {"launchMode", vm.launchMode},
          {"lifecycleState", vm.lifecycleState},
          {"timeCreated", created},
          {"volumes", volumes},
          {"vnics", vnics},
          {"sshKeys", keys},
          {"securityLists", lists}};
}

}  // namespace

std::string InstanceConfigurationText(const SVMInfo& vm, int64_t created) { return Configuration(vm, created).dump(2); }

namespace {

// A text member, or what `into` held when the member is missing.
void ReadText(const json& from, const char* key, std::string& into) { into = from.value(key, into); }

// A member that must be an array.
const json& ListAt(const json& doc, const char* key) {
  const json& items = doc.at(key);
  if (!items.is_array()) throw std::invalid_argument(std::string("member [") + key + "] is not an array");
  return items;
}

// The instance's own members; its size as the cloud reports it, or else as its shape configuration has it.
void ReadInstanceMembers(const json& doc, SVMInfo& record) {
  ReadText(doc, "displayName", record.name);
  ReadText(doc, "id", record.guid);
  ReadText(doc, "compartmentId", record.compartmentId);
  ReadText(doc, "availabilityDomain", record.availabilityDomain);
  ReadText(doc, "region", record.region);
  ReadText(doc, "shape", record.vmSize);
  ReadText(doc, "imageId", record.imageId);
  ReadText(doc, "launchMode", record.launchMode);
  ReadText(doc, "lifecycleState", record.lifecycleState);
  const json shapeConfig = doc.value("shapeConfig", json::object());
  if (doc.contains("cpuCount")) {
    record.cpuCount = doc.at("cpuCount").get<INT64>();
  } else if (shapeConfig.contains("ocpus")) {
    record.cpuCount = shapeConfig.at("ocpus").get<INT64>();
  }
  if (doc.contains("memoryMB")) {
    record.memoryMB = doc.at("memoryMB").get<INT64>();
  } else if (shapeConfig.contains("memoryInGBs")) {
    record.memoryMB = shapeConfig.at("memoryInGBs").get<INT64>() * 1024;
  }
}

// The lists the document has replace the record's: volumes, VNICs, SSH keys, security lists.
void ReadInstanceLists(const json& doc, SVMInfo& record) {
  if (doc.contains("volumes")) {
    record.disks.clear();
    for (const json& v : ListAt(doc, "volumes")) {
      VMInfoStructs::SDisk disk;
      ReadText(v, "id", disk.volumeId);
      disk.guid = disk.volumeId;
      ReadText(v, "displayName", disk.displayName);
      ReadText(v, "availabilityDomain", disk.availabilityDomain);
      ReadText(v, "attachmentId", disk.attachmentId);
      ReadText(v, "attachmentType", disk.attachmentType);
      disk.size = v.value("sizeInBytes", v.value("sizeInGBs", uint64_t{0}) * kGiBytes);
      disk.isBootDisk = v.value("isBootVolume", false);
      disk.diskNumber = v.value("diskNumber", static_cast<UINT32>(record.disks.size()));
      record.disks.push_back(std::move(disk));
    }
  }
  if (doc.contains("vnics")) {
    record.networkCards.clear();
    for (const json& n : ListAt(doc, "vnics")) {
      VMInfoStructs::SVMNetworkCard card;
      ReadText(n, "displayName", card.name);
      ReadText(n, "subnetId", card.subnetId);
      ReadText(n, "privateIp", card.privateIp);
      ReadText(n, "macAddress", card.macAddress);
      card.isPrimary = n.value("isPrimary", false);
      record.networkCards.push_back(std::move(card));
    }
  }
  if (doc.contains("sshKeys")) {
    record.keyPairs.clear();
    for (const json& k : ListAt(doc, "sshKeys")) {
      record.keyPairs.push_back({k.value("name", ""), k.value("id", ""), k.value("publicKey", "")});
    }
  }
  if (doc.contains("securityLists")) {
    record.securityGroups.clear();
    for (const json& l : ListAt(doc, "securityLists")) {
      record.securityGroups.push_back({l.value("name", ""), l.value("id", "")});
    }
  }
}

}  // namespace

bool ParseInstanceConfiguration(const std::string& contents, SVMInfo& vm, std::string& error) {
  json doc = json::parse(contents, nullptr, false);
  if (doc.is_discarded()) {
    error = "The instance configuration is not valid JSON";
    return false;
  }
  if (!doc.is_object()) {
    error = "The instance configuration is not a JSON object";
    return false;
  }
  try {
    SVMInfo record = vm;
    ReadInstanceMembers(doc, record);
    ReadInstanceLists(doc, record);
    vm = std::move(record);
    return true;
  } catch (const std::exception& e) {
    // A member of the wrong type (json::type_error) or a list that is none.
    error = std::string("The instance configuration is not valid: ") + e.what();
    return false;
  }
}

}  // namespace OracleCloudSDKCppBridge
