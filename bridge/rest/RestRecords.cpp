#include "bridge/rest/RestRecords.h"

#include <cmath>
#include <sstream>

#include "bridge/rest/ApiConventions.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kRunning = "RUNNING";

}  // namespace

void TakeInstance(SVMInfo& vm, const json& instance) {
  vm.guid = TextOf(instance, "id");
  vm.uri = vm.guid;
  vm.compartmentId = TextOf(instance, "compartmentId");
  vm.availabilityDomain = TextOf(instance, "availabilityDomain");
  vm.region = TextOf(instance, "region");
  vm.vmSize = TextOf(instance, "shape");
  const auto config = instance.find("shapeConfig");
  if (config != instance.end() && config->is_object()) {
    if (config->contains("ocpus")) vm.cpuCount = IntOf(*config, "ocpus");
    if (config->contains("memoryInGBs")) vm.memoryMB = std::llround(NumberOf(*config, "memoryInGBs") * kMiBPerGiB);
  }
  vm.imageId = TextOf(instance, "imageId");
  vm.launchMode = TextOf(instance, "launchMode");
  vm.lifecycleState = TextOf(instance, "lifecycleState");
  vm.powerState = vm.lifecycleState == kRunning ? 1 : 0;
}

SVMInfo InstanceRecord(const json& instance) {
  SVMInfo vm;
  TakeInstance(vm, instance);
  vm.name = TextOf(instance, "displayName");
  const json source = instance.value("sourceDetails", json::object());
  if (TextOf(source, "sourceType") == "image") vm.imageId = TextOf(source, "imageId");
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
  disk.size = mb > 0 ? static_cast<UINT64>(mb * kMiB) : static_cast<UINT64>(IntOf(volume, "sizeInGBs") * kGiB);
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
