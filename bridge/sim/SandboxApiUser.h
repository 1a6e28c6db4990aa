#pragma once
// The API user of a sandbox whose jobs reach the cloud over its REST API: a key pair and the cloud's
// usual configuration file pointing at it, under <sandbox>/api/.
//   api/api_key.pem         the private key (0600)
//   api/api_key_public.pem  the public key the emulator checks signatures with
//   api/config              [DEFAULT] user, fingerprint, key_file, tenancy, region
#include <string>

namespace sim {

constexpr const char* kApiTenancy = "ocid1.tenancy.oc1..simtenancy";
constexpr const char* kApiUser = "ocid1.user.oc1..sandboxapiuser";

std::string ApiFolder(const std::string& sandboxDir);
std::string ApiConfigPath(const std::string& sandboxDir);
std::string ApiPublicKeyPath(const std::string& sandboxDir);

// Makes the key pair and the configuration file; throws CSimError when it cannot.
void WriteApiUser(const std::string& sandboxDir, const std::string& region);

}  // namespace sim
