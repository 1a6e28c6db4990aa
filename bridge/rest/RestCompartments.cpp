#include "bridge/rest/RestCompartments.h"

#include <algorithm>

#include "bridge/rest/RestFields.h"

namespace OracleCloudSDKCppBridge {

std::vector<json> SubtreeCompartments(CRestApi& api, const std::string& tenancy) {
  std::vector<json> active;
  for (json& compartment : api.List(ERestService::Identity, "/20160918/compartments",
                                    {{"compartmentId", tenancy},
                                     {"compartmentIdInSubtree", "true"},
                                     {"accessLevel", "ANY"},
                                     {"lifecycleState", "ACTIVE"}})) {
    const std::string id = TextOf(compartment, "id");
    if (!id.empty() && id != tenancy && TextOf(compartment, "lifecycleState") == "ACTIVE")
      active.push_back(std::move(compartment));
  }
  return active;
}

std::vector<std::string> CompartmentIds(const std::string& tenancy, const std::vector<json>& subtree) {
  std::vector<std::string> ids{tenancy};
  for (const json& compartment : subtree) ids.push_back(TextOf(compartment, "id"));
  return ids;
}

std::vector<std::string> CompartmentIds(CRestApi& api, const std::string& tenancy) {
  return CompartmentIds(tenancy, SubtreeCompartments(api, tenancy));
}

std::vector<std::string> AvailabilityDomainNames(CRestApi& api, const std::string& tenancy) {
  std::vector<std::string> names;
  for (const json& domain :
       api.List(ERestService::Identity, "/20160918/availabilityDomains", {{"compartmentId", tenancy}}))
    names.push_back(TextOf(domain, "name"));
  std::sort(names.begin(), names.end());
  return names;
}

std::string FirstAvailabilityDomain(CRestApi& api, const std::string& tenancy) {
  const std::vector<std::string> names = AvailabilityDomainNames(api, tenancy);
  return names.empty() ? std::string() : names.front();
}

}  // namespace OracleCloudSDKCppBridge
