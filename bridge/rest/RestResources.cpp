#include "bridge/rest/RestResources.h"

#include <algorithm>
#include <stdexcept>

#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {

json GetLive(CRestApi& api, const std::string& path) {
  try {
    json resource = api.Get(ERestService::Core, path);
    return resource.value("lifecycleState", "") == "TERMINATED" ? json() : resource;
  } catch (const CRestError& e) {
    if (e.NotFound()) return json();
    throw;
  }
}

bool PollResource(CRestApi& api, const std::string& path, const std::function<bool(const json&)>& done,
                  int64_t timeoutMs, SPollPace pace, bool goneIsRead, json& last) {
  const int64_t deadline = HostClock::Get().NowMilliseconds() + std::max<int64_t>(timeoutMs, 0);
  for (uint64_t pause = pace.firstMs;; pause = std::min(pause * 2, pace.longestMs)) {
    try {
      last = api.Get(ERestService::Core, path);
    } catch (const CRestError& e) {
      if (!goneIsRead || !e.NotFound()) throw;
      last = json();
    }
    if (done(last)) return true;
    const int64_t left = deadline - HostClock::Get().NowMilliseconds();
    if (timeoutMs >= 0 && left <= 0) return false;
    HostClock::Sleep(timeoutMs >= 0 ? std::min(static_cast<uint64_t>(left), pause) : pause);
  }
}

json WaitForState(CRestApi& api, const std::string& path, const std::string& wanted,
                  const std::set<std::string>& passing, bool goneIsWanted, int seconds) {
  const auto reached = [&](const json& resource) {
    if (resource.is_null()) return true;  // read only when gone is wanted
    const std::string state = resource.value("lifecycleState", "");
    if (state == wanted) return true;
    if (!passing.count(state))
      throw std::runtime_error("[" + resource.value("id", path) + "] is " + state + ", not " + wanted);
    return false;
  };
  json resource;
  if (PollResource(api, path, reached, int64_t{seconds} * 1000, {100, 5000}, goneIsWanted, resource)) return resource;
  throw std::runtime_error("[" + resource.value("id", path) + "] is still " + resource.value("lifecycleState", "") +
                           " after " + std::to_string(seconds) + " s, not " + wanted);
}

}  // namespace OracleCloudSDKCppBridge
