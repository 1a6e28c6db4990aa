#include "bridge/rest/RestInstanceRecords.h"

#include <algorithm>
#include <cmath>

#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {
namespace {

// How often a wait reads an instance: the API does not say when a state changes.
constexpr int64_t kPollMs = 2000;

std::string TextOf(const json& object, const char* field) {
  return object.contains(field) && object[field].is_string() ? object[field].get<std::string>() : std::string();
}

}  // namespace

std::string InstancePath(const std::string& id) { return "/20160918/instances/" + UrlEncode(id); }

void TakeInstance(SVMInfo& vm, const json& instance) {
  vm.guid = TextOf(instance, "id");
  vm.uri = vm.guid;
  vm.compartmentId = TextOf(instance, "compartmentId");
  vm.availabilityDomain = TextOf(instance, "availabilityDomain");
  vm.region = TextOf(instance, "region");
  vm.vmSize = TextOf(instance, "shape");
  if (instance.contains("shapeConfig") && instance["shapeConfig"].is_object()) {
    const json& config = instance["shapeConfig"];
    if (config.contains("ocpus") && config["ocpus"].is_number())
      vm.cpuCount = static_cast<INT64>(std::llround(config["ocpus"].get<double>()));
    if (config.contains("memoryInGBs") && config["memoryInGBs"].is_number())
      vm.memoryMB = static_cast<INT64>(std::llround(config["memoryInGBs"].get<double>() * 1024.0));
  }
  vm.imageId = TextOf(instance, "imageId");
  vm.launchMode = TextOf(instance, "launchMode");
  vm.lifecycleState = TextOf(instance, "lifecycleState");
  vm.powerState = vm.lifecycleState == "RUNNING" ? 1 : 0;
}

bool IsFlexibleShape(const std::string& shape) {
  static const std::string kFlex = ".Flex";
  return shape.size() > kFlex.size() && shape.compare(shape.size() - kFlex.size(), kFlex.size(), kFlex) == 0;
}

json ShapeConfigOf(const SVMInfo& vm) {
  json config = json::object();
  if (vm.cpuCount > 0) config["ocpus"] = vm.cpuCount;
  if (vm.memoryMB > 0) config["memoryInGBs"] = static_cast<double>(vm.memoryMB) / 1024.0;
  return config.empty() ? json() : config;
}

std::string AwaitInstance(CRestApi& api, const std::string& id, const std::function<bool(const std::string&)>& done,
                          int64_t timeoutMs) {
  const int64_t deadline = HostClock::Get().NowMilliseconds() + std::max<int64_t>(timeoutMs, 0);
  for (;;) {
    std::string state;
    try {
      state = TextOf(api.Get(ERestService::Core, InstancePath(id)), "lifecycleState");
    } catch (const CRestError& e) {
      if (!e.NotFound()) throw;
      state = "TERMINATED";
    }
    if (done(state)) return state;
    const int64_t left = deadline - HostClock::Get().NowMilliseconds();
    if (timeoutMs >= 0 && left <= 0) return state;
    HostClock::Sleep(static_cast<uint64_t>(timeoutMs >= 0 ? std::min(left, kPollMs) : kPollMs));
  }
}

}  // namespace OracleCloudSDKCppBridge
