#pragma once
// The compartments a list walks where an operation names none: a list of the API is per compartment.
#include <string>
#include <vector>

#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// The active compartments of the tenancy's subtree (not the tenancy, the root compartment, itself).
std::vector<json> SubtreeCompartments(CRestApi& api, const std::string& tenancy);
// The tenancy first, then the ids of its subtree's active compartments.
std::vector<std::string> CompartmentIds(const std::string& tenancy, const std::vector<json>& subtree);
std::vector<std::string> CompartmentIds(CRestApi& api, const std::string& tenancy);

}  // namespace OracleCloudSDKCppBridge
