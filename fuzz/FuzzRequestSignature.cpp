// A request as cloud-sim serve receives it (authorization header, method, target, body): whatever it
// holds, the parser accepts only a complete version 1 rsa-sha256 header, and no request that was not
// signed with the API user's key passes the check.
#include "FuzzInput.h"
#include "bridge/rest/RequestSigner.h"

using namespace OracleCloudSDKCppBridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<CPublicKey> key = [] {
    std::string error;
    return CPublicKey::FromPem(CPrivateKey::Generate(error)->PublicPem(), error);
  }();
  const std::vector<std::string> fields = fuzz::Fields(data, size, 5);
  SSignatureHeader parsed;
  std::string error;
  if (ParseSignatureHeader(fields[0], parsed, error)) {
    fuzz::Require(
        parsed.version == "1" && parsed.algorithm == "rsa-sha256" && !parsed.keyId.empty() && !parsed.signature.empty(),
        "an accepted header is complete");
  } else {
    fuzz::Require(!error.empty(), "a refusal says why");
  }
  SHttpRequest request;
  request.method = fields[1], request.target = fields[2], request.body = fields[3], request.host = "127.0.0.1:1";
  request.headers = {
      {"authorization", fields[0]}, {"x-date", fields[4]}, {"x-content-sha256", ContentSha256(fields[3])}};
  fuzz::Require(!VerifyRequestSignature(request, *key, error) && !error.empty(), "an unsigned request is refused");
  return 0;
}
