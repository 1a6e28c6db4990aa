#pragma once
// Steps many REST operations share: where an operation names no compartment the compartments to walk,
// a resource that may be gone, and the wait for a resource to reach a lifecycle state.
#include <set>
#include <string>
#include <vector>

#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// The tenancy (the root compartment) and every active compartment of its subtree: a list of the API
// is per compartment.
std::vector<std::string> AllCompartments(CRestApi& api, const std::string& tenancy);

// The resource at `path`, or null when the service does not have it any more (404, or TERMINATED,
// which a deleted resource shows for a while).
json GetLive(CRestApi& api, const std::string& path);

// Polls the resource at `path` until its lifecycleState is `wanted` and returns it; any state
// outside `passing` fails (std::runtime_error naming the state), and so does a wait longer than `seconds`.
// `goneIsWanted`: a resource that disappears (404) has reached it.
json WaitForState(CRestApi& api, const std::string& path, const std::string& wanted,
                  const std::set<std::string>& passing, bool goneIsWanted = false, int seconds = 3600);

}  // namespace OracleCloudSDKCppBridge
