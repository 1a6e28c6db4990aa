#pragma once
// Where a tenancy's resources are: the compartments a list walks where an operation names none (a list
// of the API is per compartment), and the availability domains of the API user's region.
#include <string>
#include <vector>

#include "bridge/rest/RestApi.h"

namespace OracleCloudSDKCppBridge {

// The active compartments of the tenancy's subtree (not the tenancy, the root compartment, itself).
std::vector<json> SubtreeCompartments(CRestApi& api, const std::string& tenancy);
// The tenancy first, then the ids of its subtree's active compartments.
std::vector<std::string> CompartmentIds(const std::string& tenancy, const std::vector<json>& subtree);
std::vector<std::string> CompartmentIds(CRestApi& api, const std::string& tenancy);

// The names of the region's availability domains, in order of name.
std::vector<std::string> AvailabilityDomainNames(CRestApi& api, const std::string& tenancy);
// Where a create that names no domain goes, as the cloud picks it: the first by name; empty when the
// region has none.
std::string FirstAvailabilityDomain(CRestApi& api, const std::string& tenancy);

}  // namespace OracleCloudSDKCppBridge
