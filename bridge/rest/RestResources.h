#pragma once
// Steps many REST operations share: a resource that may be gone, and the wait for a resource to
// reach a lifecycle state.
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// The resource at `path`, or null when the service does not have it any more (404, or TERMINATED,
// which a deleted resource shows for a while).
json GetLive(CRestApi& api, const std::string& path);

// How a wait paces its reads: the first pause, doubled up to the longest.
struct SPollPace {
  uint64_t firstMs;
  uint64_t longestMs;
};

// Reads the resource at `path` (Core Services) until `done` says so of it or `timeoutMs` (negative:
// no limit) has passed, pausing on the host clock between reads (never past the time limit). A
// resource no longer found (404) is read as null when `goneIsRead`, else its CRestError is thrown.
// Returns whether `done` said so; `last` is the last resource read.
bool PollResource(CRestApi& api, const std::string& path, const std::function<bool(const json&)>& done,
                  int64_t timeoutMs, SPollPace pace, bool goneIsRead, json& last);

// Polls the resource at `path` until its lifecycleState is `wanted` and returns it; any state
// outside `passing` fails (std::runtime_error naming the state), and so does a wait longer than `seconds`.
// `goneIsWanted`: a resource that disappears (404) has reached it.
json WaitForState(CRestApi& api, const std::string& path, const std::string& wanted,
                  const std::set<std::string>& passing, bool goneIsWanted = false, int seconds = 3600);

}  // namespace OracleCloudSDKCppBridge
