#pragma once
// The instance metadata service (version 2), as a proxy running on a cloud instance asks it who it
// is: GET <base>/opc/v2/instance/ with the header "Authorization: Bearer Oracle"; the answer is the
// instance's JSON, whose "id" is the instance's OCID.
//
// Where the proxy's identity comes from:
//   TZ_INSTANCE_ID_SOURCE     "metadata": the metadata service; unset or "cloud-init": the instance
//                             id cloud-init recorded under the platform root (the simulator's sandboxes)
//   TZ_INSTANCE_METADATA_URL  the service's base URL; default http://169.254.169.254
// The agent sets both for a sandbox on the REST backend, whose emulator serves /opc/v2/instance/.
#include <string>

namespace InstanceMetadata {

constexpr const char* kDefaultUrl = "http://169.254.169.254";
constexpr long kConnectTimeoutSeconds = 2;
constexpr long kTotalTimeoutSeconds = 5;

// Whether TZ_INSTANCE_ID_SOURCE names the metadata service; an unknown value is refused in `error`.
bool IdFromService(std::string& error);
// TZ_INSTANCE_METADATA_URL, else kDefaultUrl; without a trailing '/'.
std::string ServiceUrl();
// Asks the service at `baseUrl` for the instance's id; false with `error` naming the request, the
// service and why (no answer, a status other than 200, an answer without an id).
bool ReadInstanceId(const std::string& baseUrl, std::string& id, std::string& error);

}  // namespace InstanceMetadata
