#include "bridge/ClassicConfigurations.h"

#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

namespace OracleCloudSDKCppBridge {

using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

constexpr uint64_t kGiBytes = 1024ull * 1024 * 1024;
// Storage attachments of a classic instance carry the indexes 1 to 10.
constexpr int64_t kMaxDiskIndex = 10;

// A member of the wrong form: the reader reports it with the text that describes it.
class CBadMember : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

const json& Member(const json& from, const char* key, json::value_t type, const char* what) {
  const json& value = from.at(key);
  if (value.type() != type) throw CBadMember(std::string("member [") + key + "] is not " + what);
  return value;
}

void Text(const json& from, const char* key, std::string& into) {
  if (from.contains(key)) into = Member(from, key, json::value_t::string, "a string").get<std::string>();
}

// The last part of a classic name ("/Compute-d/u/seclists/web" -> "web").
std::string LastPart(const std::string& name) { return name.substr(name.rfind('/') + 1); }

std::vector<std::string> Names(const json& from, const char* key) {
  std::vector<std::string> names;
  for (const json& item : Member(from, key, json::value_t::array, "an array")) {
    if (!item.is_string() || item.get<std::string>().empty()) {
      throw CBadMember(std::string("member [") + key + "] holds an entry that is no name");
    }
    names.push_back(item.get<std::string>());
  }
  return names;
}

int64_t DiskIndex(const json& value, const char* what) {
  if (!value.is_number_integer() || value.get<int64_t>() < 1 || value.get<int64_t>() > kMaxDiskIndex) {
    throw CBadMember(std::string(what) + " is not a disk index from 1 to " + std::to_string(kMaxDiskIndex));
  }
  return value.get<int64_t>();
}

// Reads an instance template into a copy of `vm`.
SVMInfo ReadTemplate(const json& instance, const SVMInfo& vm) {
  if (!instance.is_object()) throw CBadMember("the instance is not a JSON object");
  SVMInfo record = vm;
  Text(instance, "name", record.uri);
  if (instance.contains("name")) record.guid = LastPart(record.uri);
  Text(instance, "label", record.name);
  Text(instance, "shape", record.vmSize);
  Text(instance, "imagelist", record.imageId);
  int64_t bootIndex = 1;
  if (instance.contains("boot_order")) {
    const json& order = Member(instance, "boot_order", json::value_t::array, "an array");
    if (!order.empty()) bootIndex = DiskIndex(order.front(), "the first entry of [boot_order]");
  }
  if (instance.contains("storage_attachments")) {
    record.disks.clear();
    std::set<int64_t> seen;
    for (const json& a : Member(instance, "storage_attachments", json::value_t::array, "an array")) {
      if (!a.is_object()) throw CBadMember("a storage attachment is not a JSON object");
      int64_t index = DiskIndex(a.contains("index") ? a.at("index") : json(), "the index of a storage attachment");
      if (!seen.insert(index).second) {
        throw CBadMember("two storage attachments have the index " + std::to_string(index));
      }
      SDisk disk;
      Text(a, "volume", disk.volumeId);
      if (disk.volumeId.empty()) throw CBadMember("storage attachment " + std::to_string(index) + " names no volume");
      disk.guid = disk.volumeId;
      disk.displayName = LastPart(disk.volumeId);
      disk.diskNumber = static_cast<UINT32>(index);
      disk.isBootDisk = index == bootIndex;
      record.disks.push_back(std::move(disk));
    }
  }
  if (instance.contains("networking")) {
    record.networkCards.clear();
    for (const auto& [name, n] : Member(instance, "networking", json::value_t::object, "an object").items()) {
      if (!n.is_object()) throw CBadMember("network interface [" + name + "] is not a JSON object");
      VMInfoStructs::SVMNetworkCard card;
      card.name = name;
      Text(n, "ipnetwork", card.subnetId);
      Text(n, "ip", card.privateIp);
      Text(n, "mac", card.macAddress);
      card.isPrimary = name == "eth0";
      record.networkCards.push_back(std::move(card));
    }
  }
  if (instance.contains("sshkeys")) {
    record.keyPairs.clear();
    for (const std::string& key : Names(instance, "sshkeys")) record.keyPairs.push_back({LastPart(key), key, ""});
  }
  if (instance.contains("seclists")) {
    record.securityGroups.clear();
    for (const std::string& list : Names(instance, "seclists")) record.securityGroups.push_back({LastPart(list), list});
  }
  return record;
}

// Parses `contents` as a JSON object and hands it to `read`; false with `error` (naming `what`)
// when the text or a member is not of the expected form.
template <class F>
bool ReadJson(const std::string& contents, const char* what, SVMInfo& vm, std::string& error, F&& read) {
  json doc = json::parse(contents, nullptr, false);
  if (doc.is_discarded()) {
    error = std::string("The ") + what + " is not valid JSON";
    return false;
  }
  if (!doc.is_object()) {
    error = std::string("The ") + what + " is not a JSON object";
    return false;
  }
  try {
    vm = read(doc);
    return true;
  } catch (const std::exception& e) {
    error = std::string("The ") + what + " is not valid: " + e.what();
    return false;
  }
}

}  // namespace

std::map<std::string, std::string> ClassicConfigurations(const std::string& container, const SVMInfo& vm) {
  const std::string instancePlan = container + vm.name + "_instance";
  const std::string storagePlan = container + vm.name + "_storage";
  json attachments = json::array();
  json volumes = json::array();
  UINT32 bootIndex = 1;
  for (const auto& disk : vm.disks) {
    attachments.push_back({{"index", disk.diskNumber}, {"volume", disk.volumeId}});
    if (disk.isBootDisk) bootIndex = disk.diskNumber;
    json volume = {{"name", disk.volumeId},
                   {"size", std::to_string((disk.size + kGiBytes - 1) / kGiBytes) + "G"},
                   {"bootable", disk.isBootDisk},
                   {"properties", json::array({"/oracle/public/storage/default"})}};
    if (disk.isBootDisk) volume["imagelist"] = vm.imageId;
    volumes.push_back({{"type", "StorageVolume"}, {"label", disk.displayName}, {"template", volume}});
  }
  json networking = json::object();
  for (const auto& card : vm.networkCards) {
    networking[card.name.empty() ? "eth0" : card.name] = {
        {"ipnetwork", card.subnetId}, {"ip", card.privateIp}, {"mac", card.macAddress}};
  }
  json keys = json::array();
  for (const auto& key : vm.keyPairs) keys.push_back(key.guid);
  json lists = json::array();
  for (const auto& list : vm.securityGroups) lists.push_back(list.guid);
  json instanceTemplate = {{"name", vm.uri},
                           {"label", vm.name},
                           {"shape", vm.vmSize},
                           {"imagelist", vm.imageId},
                           {"boot_order", json::array({bootIndex})},
                           {"storage_attachments", attachments},
                           {"networking", networking},
                           {"sshkeys", keys},
                           {"seclists", lists}};
  json instance = {
      {"name", instancePlan},
      {"description", "Instance " + vm.name},
      {"desired_state", "active"},
      {"objects", json::array({{{"type", "Instance"}, {"label", vm.name}, {"template", instanceTemplate}}})}};
  json storage = {{"name", storagePlan},
                  {"description", "Storage volumes of " + vm.name},
                  {"desired_state", "active"},
                  {"objects", volumes}};
  json master = {
      {"name", container + vm.name + "_master"},
      {"description", "Master orchestration of " + vm.name},
      {"relationships", json::array({{{"oplan", "instance"}, {"to_oplan", "storage"}, {"type", "depends"}}})},
      {"oplans",
       json::array(
           {{{"label", "storage"}, {"obj_type", "orchestration"}, {"objects", json::array({{{"name", storagePlan}}})}},
            {{"label", "instance"},
             {"obj_type", "orchestration"},
             {"objects", json::array({{{"name", instancePlan}}})}}})}};
  return {{"_instance.json", instance.dump(2)}, {"_storage.json", storage.dump(2)}, {"_master.json", master.dump(2)}};
}

bool ParseClassicOrchestration(const std::string& contents, SVMInfo& vm, std::string& error) {
  return ReadJson(contents, "instance orchestration", vm, error, [&vm](const json& doc) {
    const json* instance = nullptr;
    for (const json& object : Member(doc, "objects", json::value_t::array, "an array")) {
      if (!object.is_object() || object.value("type", "") != "Instance") continue;
      if (instance) throw CBadMember("it holds more than one instance");
      if (!object.contains("template")) throw CBadMember("its instance has no template");
      instance = &object.at("template");
    }
    if (!instance) throw CBadMember("it holds no instance");
    return ReadTemplate(*instance, vm);
  });
}

bool ParseClassicInstance(const std::string& contents, SVMInfo& vm, std::string& error) {
  return ReadJson(contents, "instance record", vm, error, [&vm](const json& doc) { return ReadTemplate(doc, vm); });
}

}  // namespace OracleCloudSDKCppBridge
