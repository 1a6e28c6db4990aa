#pragma once
// Resources in the API's words, read from the sandbox's cloud: what a route answers with.
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimTags.h"

namespace cloudsim {

using json = nlohmann::json;

// The freeform tags a resource of `kind` carries, as a JSON object.
json FreeformTagsOf(sim::CSimDb& db, const std::string& kind, const std::string& id);
// A create request's freeformTags (absent: none); refuses 400 InvalidParameter a value that is no string.
sim::STags TagsOfRequest(const json& body);

// An Instance (Core Services): null when there is none of that id.
json InstanceJson(sim::CSimDb& db, const sim::SFlavourWords& words, const std::string& id);
struct SApiCall;
// The Instance of that id; refused 404 NotAuthorizedOrNotFound when there is none.
json ExistingInstance(SApiCall& call, const std::string& id);
// An Image (Core Services): null when there is none of that id.
json ImageJson(sim::CSimDb& db, const std::string& id);

}  // namespace cloudsim
