#include "bridge/rest/ApiCredentials.h"

#include <cstdlib>

#include "host/CIniFile.h"
#include "host/FXFile.h"

namespace OracleCloudSDKCppBridge {

bool ReadApiCredentials(const std::string& path, const std::string& profile, SApiCredentials& credentials,
                        std::string& error) {
  CIniFile ini;
  if (!ini.Load(path)) {
    error = "the API configuration file [" + path + "] cannot be read";
    return false;
  }
  const std::string section = profile.empty() ? "DEFAULT" : profile;
  bool found = false;
  for (const auto& entry : ini.Values()) found = found || entry.first.rfind(CIniFile::MakeKey(section, ""), 0) == 0;
  if (!found) {
    error = "the API configuration file [" + path + "] has no profile [" + section + "]";
    return false;
  }
  std::string missing;
  auto get = [&](const char* key, std::string& value, bool required) {
    if (ini.Get(section, key, value) || ini.Get("DEFAULT", key, value) || !required) return;
    missing += (missing.empty() ? "" : ", ") + std::string(key);
  };
  credentials = SApiCredentials();
  get("user", credentials.user, true);
  get("fingerprint", credentials.fingerprint, true);
  get("key_file", credentials.keyFile, true);
  get("tenancy", credentials.tenancy, true);
  get("region", credentials.region, true);
  get("pass_phrase", credentials.passphrase, false);
  if (!missing.empty()) {
    error = "the profile [" + section + "] of [" + path + "] lacks " + missing;
    return false;
  }
  const char* home = std::getenv("HOME");
  if (credentials.keyFile.rfind("~/", 0) == 0 && home)
    credentials.keyFile = std::string(home) + credentials.keyFile.substr(1);
  if (!credentials.keyFile.empty() && credentials.keyFile[0] != '/')
    credentials.keyFile = FXPath::Append(FXPath::GetParent(path), credentials.keyFile);
  return true;
}

std::unique_ptr<CRequestSigner> MakeRequestSigner(const SApiCredentials& credentials, std::string& error) {
  std::shared_ptr<const CPrivateKey> key = CPrivateKey::Load(credentials.keyFile, credentials.passphrase, error);
  if (!key) return nullptr;
  return std::make_unique<CRequestSigner>(credentials.KeyId(), key);
}

}  // namespace OracleCloudSDKCppBridge
