#include "bridge/sim/SandboxApiUser.h"

#include "bridge/rest/ApiKey.h"
#include "bridge/sim/SimDb.h"
#include "host/CWqDirectory.h"
#include "host/FXFile.h"

namespace sim {

std::string ApiFolder(const std::string& sandboxDir) { return sandboxDir + "/api"; }
std::string ApiConfigPath(const std::string& sandboxDir) { return ApiFolder(sandboxDir) + "/config"; }
std::string ApiPublicKeyPath(const std::string& sandboxDir) { return ApiFolder(sandboxDir) + "/api_key_public.pem"; }

void WriteApiUser(const std::string& sandboxDir, const std::string& region) {
  std::string error;
  auto key = OracleCloudSDKCppBridge::CPrivateKey::Generate(error);
  const std::string folder = ApiFolder(sandboxDir);
  if (!key || !CWqDirectory::Create(folder) || !MakeOwnerOnly(folder, true))
    throw CSimError("Cannot make the API user in [" + folder + "]" + (error.empty() ? "" : ": " + error));
  const std::string config = std::string("[DEFAULT]\nuser=") + kApiUser + "\nfingerprint=" + key->Fingerprint() +
                             "\nkey_file=api_key.pem\ntenancy=" + kApiTenancy + "\nregion=" + region + "\n";
  if (!WriteWholeFile(folder + "/api_key.pem", key->PrivatePem()) ||
      !WriteWholeFile(ApiPublicKeyPath(sandboxDir), key->PublicPem()) ||
      !WriteWholeFile(ApiConfigPath(sandboxDir), config))
    throw CSimError("Cannot write the API user's files in [" + folder + "]");
}

}  // namespace sim
