// The REST backend's instances: launch (from an image, a boot volume, or a clone of an instance),
// actions, VNICs, termination.
#include "bridge/rest/RestBridge.h"
#include "bridge/rest/RestCompartments.h"
#include "bridge/rest/RestInstanceClone.h"
#include "bridge/rest/RestInstanceRecords.h"
#include "bridge/rest/RestRecords.h"
#include "bridge/rest/RestResources.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kClassicOnly = "Orchestrations and launch plans are the classic cloud's only";

bool Booting(const std::string& state) { return state == "PROVISIONING" || state == "STARTING"; }

// The primary VNIC a launch asks for: in the subnet of the record's first card, under its name.
json PrimaryVnicOf(const SVMInfo& vm) {
  json vnic = json::object();
  if (!vm.networkCards.empty()) {
    if (!vm.networkCards[0].subnetId.empty()) vnic["subnetId"] = vm.networkCards[0].subnetId;
    if (!vm.networkCards[0].name.empty()) vnic["displayName"] = vm.networkCards[0].name;
  }
  return vnic;
}

// The public keys of the record's key pairs, one a line, as instance metadata carries them.
std::string AuthorizedKeysOf(const SVMInfo& vm) {
  std::string keys;
  for (const SKeyPairInfo& key : vm.keyPairs) {
    if (!key.publicKey.empty()) keys += (keys.empty() ? "" : "\n") + key.publicKey;
  }
  return keys;
}

// LaunchInstanceDetails common to every launch of a record.
json LaunchDetailsOf(const SVMInfo& vm, const std::string& availabilityDomain, const json& sourceDetails) {
  json details = {{"availabilityDomain", availabilityDomain},
                  {"compartmentId", vm.compartmentId},
                  {"displayName", vm.name},
                  {"shape", vm.vmSize},
                  {"sourceDetails", sourceDetails}};
  const json config = ShapeConfigOf(vm);
  if (IsFlexibleShape(vm.vmSize) && !config.is_null()) details["shapeConfig"] = config;
  const json vnic = PrimaryVnicOf(vm);
  if (!vnic.empty()) details["createVnicDetails"] = vnic;
  const std::string keys = AuthorizedKeysOf(vm);
  if (!keys.empty()) details["metadata"] = {{"ssh_authorized_keys", keys}};
  return details;
}

}  // namespace

bool CRestBridge::DeployVM(SVMInfo& vm, const string& sourceId, int bootVolumeSizeGiB) {
  return Run("DeployVM", [&](CRestApi& api) {
    if (vm.name.empty()) return Fail("No name was given for the new instance");
    if (sourceId.empty()) return Fail("No source instance or image was given for instance [" + vm.name + "]");
    if (bootVolumeSizeGiB < 0) return Fail("A boot volume cannot have " + std::to_string(bootVolumeSizeGiB) + " GiB");
    try {
      api.Get(ERestService::Core, ImagePath(sourceId));
    } catch (const CRestError& e) {
      if (!e.NotFound()) throw;
      const json source = GetLive(api, InstancePath(sourceId));
      if (source.is_null()) return Fail("Source [" + sourceId + "] is neither an instance nor an image");
      // The record is filled only once the clone is made.
      SVMInfo clone = vm;
      try {
        CloneInstance(api, source, CreateTags(), clone);
      } catch (const std::runtime_error& failure) {
        return Fail(failure.what());
      }
      vm = std::move(clone);
      return true;
    }
    if (vm.vmSize.empty()) return Fail("No shape was given for instance [" + vm.name + "]");
    std::string domain = vm.availabilityDomain;
    if (domain.empty()) {
      domain = FirstAvailabilityDomain(api, Tenancy());
      if (domain.empty()) return Fail("The region has no availability domain");
    }
    json source = {{"sourceType", "image"}, {"imageId", sourceId}};
    if (bootVolumeSizeGiB > 0) source["bootVolumeSizeInGBs"] = bootVolumeSizeGiB;
    json details = LaunchDetailsOf(vm, domain, source);
    details["freeformTags"] = CreateTags();
    const json instance = api.Post(ERestService::Core, kInstances, details);
    TakeInstance(vm, instance);
    return true;
  });
}

bool CRestBridge::DeployVMFromOrchestration(SVMInfo&) {
  return Run("DeployVMFromOrchestration", [&](CRestApi&) { return Fail(kClassicOnly); });
}

bool CRestBridge::RestoreVM(SVMInfo&) {
  return Run("RestoreVM", [&](CRestApi&) { return Fail(kClassicOnly); });
}

bool CRestBridge::RestoreVM(SVMInfo& vm, const SDisk& bootDisk) {
  return Run("RestoreVM", [&](CRestApi& api) {
    const string& bootVolumeId = !bootDisk.createdVolumeId.empty() ? bootDisk.createdVolumeId : bootDisk.guid;
    if (vm.name.empty()) return Fail("No name was given for the new instance");
    if (bootVolumeId.empty()) return Fail("No boot volume was given for instance [" + vm.name + "]");
    if (vm.vmSize.empty()) return Fail("No shape was given for instance [" + vm.name + "]");
    std::string domain = vm.availabilityDomain;
    if (domain.empty()) {
      domain = api.Get(ERestService::Core, ItemPath(kBootVolumes, bootVolumeId)).value("availabilityDomain", "");
    }
    json details = LaunchDetailsOf(vm, domain, {{"sourceType", "bootVolume"}, {"bootVolumeId", bootVolumeId}});
    details["freeformTags"] = CreateTags();
    SVMInfo launched = vm;
    TakeInstance(launched, api.Post(ERestService::Core, kInstances, details));
    std::string state = launched.lifecycleState;
    if (Booting(state)) state = AwaitInstance(api, launched.guid, [](const std::string& s) { return !Booting(s); });
    if (state != "RUNNING") {
      // A launch that fails ends terminated; the boot volume it was given stays.
      api.Delete(ERestService::Core, InstancePath(launched.guid), {{"preserveBootVolume", "true"}});
      AwaitInstance(api, launched.guid, [](const std::string& s) { return s == "TERMINATED"; });
      return Fail("Instance [" + launched.guid + "] did not boot: it is TERMINATED");
    }
    launched.lifecycleState = state;
    launched.powerState = 1;
    vm = std::move(launched);
    return true;
  });
}

bool CRestBridge::AttachVnic(const SVMInfo& vm, const SVMNetworkCard& card) {
  return Run("AttachVnic", [&](CRestApi& api) {
    if (vm.guid.empty()) return Fail("No instance id was given for instance [" + vm.name + "]");
    json vnic = {{"subnetId", card.subnetId}};
    if (!card.name.empty()) vnic["displayName"] = card.name;
    api.Post(ERestService::Core, kVnicAttachments, {{"instanceId", vm.guid}, {"createVnicDetails", vnic}});
    return true;
  });
}

bool CRestBridge::ReConfigureVM(SVMInfo& vm) {
  return Run("ReConfigureVM", [&](CRestApi& api) {
    if (vm.guid.empty()) return Fail("No instance id was given for instance [" + vm.name + "]");
    json details = json::object();
    if (!vm.vmSize.empty()) details["shape"] = vm.vmSize;
    const std::string shape =
        !vm.vmSize.empty() ? vm.vmSize : api.Get(ERestService::Core, InstancePath(vm.guid)).value("shape", "");
    const json config = ShapeConfigOf(vm);
    if (IsFlexibleShape(shape) && !config.is_null()) details["shapeConfig"] = config;
    SVMInfo changed;
    TakeInstance(changed, api.Put(ERestService::Core, InstancePath(vm.guid), details));
    vm.guid = changed.guid;
    vm.vmSize = changed.vmSize;
    vm.cpuCount = changed.cpuCount;
    vm.memoryMB = changed.memoryMB;
    return true;
  });
}

bool CRestBridge::PowerOnInstance(const string& instanceId) {
  return Run("PowerOnInstance", [&](CRestApi& api) {
    api.Post(ERestService::Core, InstancePath(instanceId), json::object(), {{"action", "START"}});
    return true;
  });
}

bool CRestBridge::PowerOffInstance(const string& instanceId) {
  return Run("PowerOffInstance", [&](CRestApi& api) {
    api.Post(ERestService::Core, InstancePath(instanceId), json::object(), {{"action", "STOP"}});
    return true;
  });
}

bool CRestBridge::RebootInstance(const string& instanceId) {
  return Run("RebootInstance", [&](CRestApi& api) {
    api.Post(ERestService::Core, InstancePath(instanceId), json::object(), {{"action", "SOFTRESET"}});
    return true;
  });
}

bool CRestBridge::WaitForBoot(SVMInfo& vm, int timeoutSeconds, bool waitForRunning) {
  return Run("WaitForBoot", [&](CRestApi& api) {
    if (vm.guid.empty()) return Fail("No instance id was given for instance [" + vm.name + "]");
    auto reached = [&](const std::string& s) { return s == "RUNNING" || (!waitForRunning && s != "PROVISIONING"); };
    const std::string state = AwaitInstance(
        api, vm.guid, [&](const std::string& s) { return reached(s) || !Booting(s); },
        std::max(timeoutSeconds, 0) * int64_t{1000});
    if (reached(state)) {
      vm.lifecycleState = state;
      vm.powerState = state == "RUNNING" ? 1 : 0;
      return true;
    }
    if (!Booting(state)) return Fail("Instance [" + vm.guid + "] did not boot: it is " + state);
    return Fail("Instance [" + vm.guid + "] did not reach RUNNING within " + std::to_string(timeoutSeconds) +
                " seconds: it is " + state);
  });
}

bool CRestBridge::DeleteVM(const string& name, const string& instanceId, bool waitForTermination,
                           bool preserveBootVolume) {
  return Run("DeleteVM", [&](CRestApi& api) {
    if (instanceId.empty()) return Fail("No instance id was given for instance [" + name + "]");
    try {
      api.Delete(ERestService::Core, InstancePath(instanceId),
                 {{"preserveBootVolume", preserveBootVolume ? "true" : "false"}});
    } catch (const CRestError& e) {
      // The service answers the terminate of a terminated instance 404: it is done, as it would be in
      // any backend. An instance the service does not know at all stays a refusal.
      if (!e.NotFound() ||
          api.Get(ERestService::Core, InstancePath(instanceId)).value("lifecycleState", "") != "TERMINATED")
        throw;
      return true;
    }
    if (waitForTermination) AwaitInstance(api, instanceId, [](const std::string& s) { return s == "TERMINATED"; });
    return true;
  });
}

}  // namespace OracleCloudSDKCppBridge
