#pragma once
// What an instance of the REST API is launched with, and the wait on its lifecycle.
#include <functional>
#include <string>

#include "bridge/BridgeTypes.h"
#include "bridge/rest/RestPaths.h"

namespace OracleCloudSDKCppBridge {

// A flexible shape takes its processors and memory from the request (shapeConfig).
bool IsFlexibleShape(const std::string& shape);
// shapeConfig for the processors and memory a record asks for; null when it asks for neither.
json ShapeConfigOf(const SVMInfo& vm);

// Reads the instance until `done` says so of its lifecycle state, or `timeoutMs` (negative: no
// limit) has passed; pauses on the host clock between reads. Returns the last state read; an
// instance no longer found reads as TERMINATED.
std::string AwaitInstance(CRestApi& api, const std::string& id, const std::function<bool(const std::string&)>& done,
                          int64_t timeoutMs = -1);

}  // namespace OracleCloudSDKCppBridge
