#include "agent/commands/RecordJson.h"

#include <cstdio>

namespace agent {

using namespace VMInfoStructs;

nlohmann::json DiskToJson(const SDisk& disk) {
  return {{"name", disk.name},
          {"guid", disk.guid},
          {"volume_id", disk.volumeId},
          {"display_name", disk.displayName},
          {"size", disk.size},
          {"boot", disk.isBootDisk},
          {"disk_number", disk.diskNumber},
          {"index_name", disk.indexName}};
}

nlohmann::json VmToJson(const SVMInfo& vm) {
  nlohmann::json disks = nlohmann::json::array();
  for (const auto& d : vm.disks) disks.push_back(DiskToJson(d));
  return {{"name", vm.name},
          {"guid", vm.guid},
          {"uri", vm.uri},
          {"availability_domain", vm.availabilityDomain},
          {"compartment", vm.compartmentId},
          {"shape", vm.vmSize},
          {"cpus", vm.cpuCount},
          {"memory_mb", vm.memoryMB},
          {"power_state", vm.powerState},
          {"lifecycle_state", vm.lifecycleState},
          {"disks", disks}};
}

void PrintVm(const SVMInfo& vm, const char* title) {
  std::printf("%s:\n", title);
  std::printf("  name:                %s\n", vm.name.c_str());
  std::printf("  guid:                %s\n", vm.guid.c_str());
  std::printf("  uri:                 %s\n", vm.uri.c_str());
  std::printf("  availability domain: %s\n", vm.availabilityDomain.c_str());
  std::printf("  compartment:         %s\n", vm.compartmentId.c_str());
  std::printf("  shape:               %s (%lld CPUs, %lld MB)\n", vm.vmSize.c_str(),
              static_cast<long long>(vm.cpuCount), static_cast<long long>(vm.memoryMB));
  std::printf("  state:               %s\n",
              vm.lifecycleState.empty() ? (vm.powerState == 1 ? "running" : "stopped") : vm.lifecycleState.c_str());
  for (const auto& d : vm.disks)
    std::printf("  disk:                %s %s (%llu bytes)%s\n", d.displayName.c_str(), d.volumeId.c_str(),
                static_cast<unsigned long long>(d.size), d.isBootDisk ? " boot" : "");
}

}  // namespace agent
