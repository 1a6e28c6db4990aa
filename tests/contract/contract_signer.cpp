// contract-signer: signs one request with the bridge's signer and prints what it sends, so that the
// contract tests can hold it against the cloud's SDK. Test-only.
//   contract-signer --method M --url BASE/PATH [--query NAME=VALUE]... [--header NAME:VALUE]...
//                   [--body-file F] [--exclude-body] --date D --key-file K --key-id ID
// Prints {"target": "/path?query", "headers": {"name": "value", ...}} with the names lower-cased.
#include <cctype>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/rest/ApiKey.h"
#include "bridge/rest/HttpClient.h"
#include "bridge/rest/RequestSigner.h"
#include "bridge/rest/RestApi.h"
#include "host/FXFile.h"

using namespace OracleCloudSDKCppBridge;

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "contract-signer: %s\n", message.c_str());
  return 2;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string method, url, bodyFile, date, keyFile, keyId;
  SQuery query;
  std::vector<std::pair<std::string, std::string>> headers;
  bool excludeBody = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--exclude-body") {
      excludeBody = true;
      continue;
    }
    if (i + 1 >= argc) return Fail("option " + arg + " needs a value");
    const std::string value = argv[++i];
    const size_t equals = value.find('='), colon = value.find(':');
    if (arg == "--method")
      method = value;
    else if (arg == "--url")
      url = value;
    else if (arg == "--query" && equals != std::string::npos)
      query.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    else if (arg == "--header" && colon != std::string::npos)
      headers.emplace_back(value.substr(0, colon), value.substr(colon + 1));
    else if (arg == "--body-file")
      bodyFile = value;
    else if (arg == "--date")
      date = value;
    else if (arg == "--key-file")
      keyFile = value;
    else if (arg == "--key-id")
      keyId = value;
    else
      return Fail("unknown option or value: " + arg);
  }
  if (method.empty() || url.empty() || date.empty() || keyFile.empty() || keyId.empty())
    return Fail("give --method, --url, --date, --key-file and --key-id");

  std::string error;
  const std::shared_ptr<CPrivateKey> key = CPrivateKey::Load(keyFile, "", error);
  if (!key) return Fail(error);
  const size_t pathStart = url.find('/', url.find("://") + 3);
  SHttpRequest request;
  request.method = method;
  request.host = HostOfUrl(url);
  request.target = WithQuery(pathStart == std::string::npos ? "/" : url.substr(pathStart), query);
  if (!bodyFile.empty() && !ReadWholeFile(bodyFile, request.body)) return Fail("cannot read " + bodyFile);
  for (const auto& [name, value] : headers) request.SetHeader(name, value);
  if (!CRequestSigner(keyId, key).Sign(request, date, excludeBody, error)) return Fail(error);

  nlohmann::json out = {{"target", request.target}, {"headers", nlohmann::json::object()}};
  for (const auto& [name, value] : request.headers) out["headers"][Lower(name)] = value;
  std::printf("%s\n", out.dump().c_str());
  return 0;
}
