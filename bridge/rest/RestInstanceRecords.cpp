#include "bridge/rest/RestInstanceRecords.h"

#include "bridge/rest/ApiConventions.h"
#include "bridge/rest/RestFields.h"
#include "bridge/rest/RestResources.h"

namespace OracleCloudSDKCppBridge {
namespace {

// How often a wait reads an instance: the API does not say when a state changes.
constexpr uint64_t kPollMs = 2000;

}  // namespace

bool IsFlexibleShape(const std::string& shape) {
  static const std::string kFlex = ".Flex";
  return shape.size() > kFlex.size() && shape.compare(shape.size() - kFlex.size(), kFlex.size(), kFlex) == 0;
}

json ShapeConfigOf(const SVMInfo& vm) {
  json config = json::object();
  if (vm.cpuCount > 0) config["ocpus"] = vm.cpuCount;
  if (vm.memoryMB > 0) config["memoryInGBs"] = static_cast<double>(vm.memoryMB) / kMiBPerGiB;
  return config.empty() ? json() : config;
}

std::string AwaitInstance(CRestApi& api, const std::string& id, const std::function<bool(const std::string&)>& done,
                          int64_t timeoutMs) {
  const auto stateOf = [](const json& instance) {
    return instance.is_null() ? std::string("TERMINATED") : TextOf(instance, "lifecycleState");
  };
  json instance;
  PollResource(
      api, InstancePath(id), [&](const json& read) { return done(stateOf(read)); }, timeoutMs, {kPollMs, kPollMs}, true,
      instance);
  return stateOf(instance);
}

}  // namespace OracleCloudSDKCppBridge
