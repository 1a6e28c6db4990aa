#include "bridge/rest/RestRecords.h"

#include <cmath>
#include <cstring>
#include <ctime>
#include <sstream>

namespace OracleCloudSDKCppBridge {
namespace {

constexpr uint64_t kMiB = 1024ull * 1024;
constexpr double kMiBPerGiB = 1024.0;
constexpr const char* kRunning = "RUNNING";

int64_t IntOf(const json& from, const char* key) {
  const auto it = from.find(key);
  if (it == from.end() || !it->is_number()) return 0;
  return it->is_number_float() ? std::llround(it->get<double>()) : it->get<int64_t>();
}

double NumberOf(const json& from, const char* key) {
  const auto it = from.find(key);
  return it != from.end() && it->is_number() ? it->get<double>() : 0.0;
}

}  // namespace

std::string TextOf(const json& from, const char* key) {
  const auto it = from.find(key);
  return it != from.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t ParseApiTime(const std::string& text) {
  struct tm parts = {};
  const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (!rest) return 0;
  if (*rest == '.')
    while (*++rest >= '0' && *rest <= '9') {
    }
  int64_t offset = 0;
  if ((*rest == '+' || *rest == '-') && std::strlen(rest) >= 6) {
    offset = ((rest[1] - '0') * 10 + (rest[2] - '0')) * 3600 + ((rest[4] - '0') * 10 + (rest[5] - '0')) * 60;
    if (*rest == '+') offset = -offset;
  }
  return static_cast<int64_t>(timegm(&parts)) + offset;
}

SVMInfo InstanceRecord(const json& instance) {
  SVMInfo vm;
  vm.guid = TextOf(instance, "id");
  vm.uri = vm.guid;
  vm.name = TextOf(instance, "displayName");
  vm.availabilityDomain = TextOf(instance, "availabilityDomain");
  vm.compartmentId = TextOf(instance, "compartmentId");
  vm.region = TextOf(instance, "region");
  vm.vmSize = TextOf(instance, "shape");
  const json config = instance.value("shapeConfig", json::object());
  vm.cpuCount = IntOf(config, "ocpus");
  vm.memoryMB = std::llround(NumberOf(config, "memoryInGBs") * kMiBPerGiB);
  vm.lifecycleState = TextOf(instance, "lifecycleState");
  vm.powerState = vm.lifecycleState == kRunning ? 1 : 0;
  const json source = instance.value("sourceDetails", json::object());
  vm.imageId = TextOf(source, "sourceType") == "image" ? TextOf(source, "imageId") : TextOf(instance, "imageId");
  vm.launchMode = TextOf(instance, "launchMode");
  std::istringstream keys(TextOf(instance.value("metadata", json::object()), "ssh_authorized_keys"));
  for (std::string line; std::getline(keys, line);) {
    if (!line.empty()) vm.keyPairs.push_back({"", "", line});
  }
  return vm;
}

SVMNetworkCard NetworkCard(const json& vnic) {
  SVMNetworkCard card;
  card.name = TextOf(vnic, "displayName");
  card.subnetId = TextOf(vnic, "subnetId");
  card.privateIp = TextOf(vnic, "privateIp");
  card.macAddress = TextOf(vnic, "macAddress");
  card.isPrimary = vnic.value("isPrimary", false);
  return card;
}

SDisk DiskRecord(const json& volume) {
  SDisk disk;
  disk.volumeId = TextOf(volume, "id");
  disk.guid = disk.volumeId;
  disk.displayName = TextOf(volume, "displayName");
  disk.availabilityDomain = TextOf(volume, "availabilityDomain");
  const int64_t mb = IntOf(volume, "sizeInMBs");
  disk.size = mb > 0 ? static_cast<UINT64>(mb) * kMiB : static_cast<UINT64>(IntOf(volume, "sizeInGBs")) * 1024 * kMiB;
  return disk;
}

VMInfoStructs::SChildDisk BackupRecord(const json& backup) {
  VMInfoStructs::SChildDisk child;
  child.id = TextOf(backup, "id");
  child.name = TextOf(backup, "displayName");
  child.creationTime = ParseApiTime(TextOf(backup, "timeCreated"));
  return child;
}

SVMInfo ImageRecord(const json& image, const std::string& region) {
  SVMInfo record;
  record.guid = TextOf(image, "id");
  record.uri = record.guid;
  record.imageId = record.guid;
  record.name = TextOf(image, "displayName");
  // The API names a platform image by its build, the same in every region: its name is its key.
  record.imageKey = record.name;
  record.region = region;
  record.compartmentId = TextOf(image, "compartmentId");
  record.launchMode = TextOf(image, "launchMode");
  record.guestOs = TextOf(image, "operatingSystem");
  record.lifecycleState = TextOf(image, "lifecycleState");
  record.isTemplate = true;
  return record;
}

SVMSizeInfo ShapeRecord(const json& shape) {
  SVMSizeInfo size;
  size.name = TextOf(shape, "shape");
  size.cpuCount = static_cast<int32_t>(IntOf(shape, "ocpus"));
  size.memory = static_cast<int32_t>(std::llround(NumberOf(shape, "memoryInGBs") * kMiBPerGiB));
  return size;
}

SStagingStorage BucketRecord(const json& bucket) {
  const std::string name = TextOf(bucket, "name");
  return {name, name, TextOf(bucket, "compartmentId")};
}

}  // namespace OracleCloudSDKCppBridge
