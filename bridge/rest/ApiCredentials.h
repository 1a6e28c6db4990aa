#pragma once
// The credentials of the cloud's API as its usual configuration file holds them: a profile
// ("[DEFAULT]" or a named one, whose missing keys come from DEFAULT) with user, fingerprint,
// key_file, tenancy, region and pass_phrase.
#include <memory>
#include <string>

#include "bridge/rest/RequestSigner.h"

namespace OracleCloudSDKCppBridge {

struct SApiCredentials {
  std::string user{}, fingerprint{}, keyFile{}, tenancy{}, region{}, passphrase{};
  std::string KeyId() const { return tenancy + "/" + user + "/" + fingerprint; }
};

// Reads `profile` (empty: DEFAULT) of the configuration file `path`; "~/" in key_file is the home
// folder, a relative key_file is taken from the file's folder. False with `error` naming the file,
// the profile and what is missing.
bool ReadApiCredentials(const std::string& path, const std::string& profile, SApiCredentials& credentials,
                        std::string& error);

// A signer with the credentials' key, loaded and checked (see CPrivateKey::Load).
std::unique_ptr<CRequestSigner> MakeRequestSigner(const SApiCredentials& credentials, std::string& error);

}  // namespace OracleCloudSDKCppBridge
