#include "bridge/rest/RestResources.h"

#include <algorithm>
#include <stdexcept>

#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr uint64_t kFirstPollMs = 100;
constexpr uint64_t kLongestPollMs = 5000;

}  // namespace

std::vector<std::string> AllCompartments(CRestApi& api, const std::string& tenancy) {
  std::vector<std::string> ids{tenancy};
  for (const json& compartment : api.List(ERestService::Identity, "/20160918/compartments",
                                          {{"compartmentId", tenancy}, {"compartmentIdInSubtree", "true"}})) {
    if (compartment.value("lifecycleState", "") == "ACTIVE") ids.push_back(compartment.value("id", ""));
  }
  return ids;
}

json GetLive(CRestApi& api, const std::string& path) {
  try {
    json resource = api.Get(ERestService::Core, path);
    return resource.value("lifecycleState", "") == "TERMINATED" ? json() : resource;
  } catch (const CRestError& e) {
    if (e.NotFound()) return json();
    throw;
  }
}

json WaitForState(CRestApi& api, const std::string& path, const std::string& wanted,
                  const std::set<std::string>& passing, bool goneIsWanted, int seconds) {
  const int64_t deadline = HostClock::Get().NowMilliseconds() + int64_t{seconds} * 1000;
  for (uint64_t pause = kFirstPollMs;; pause = std::min(pause * 2, kLongestPollMs)) {
    json resource;
    try {
      resource = api.Get(ERestService::Core, path);
    } catch (const CRestError& e) {
      if (goneIsWanted && e.NotFound()) return json();
      throw;
    }
    const std::string state = resource.value("lifecycleState", "");
    if (state == wanted) return resource;
    if (!passing.count(state))
      throw std::runtime_error("[" + resource.value("id", path) + "] is " + state + ", not " + wanted);
    if (HostClock::Get().NowMilliseconds() >= deadline)
      throw std::runtime_error("[" + resource.value("id", path) + "] is still " + state + " after " +
                               std::to_string(seconds) + " s, not " + wanted);
    HostClock::Sleep(pause);
  }
}

}  // namespace OracleCloudSDKCppBridge
