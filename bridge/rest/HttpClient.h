#pragma once
// HTTP on libcurl for the cloud's REST API: one connection kept and reused, connect and total time
// limits, TLS verified for every host but the loopback one, and the web proxy (HTTP CONNECT with its
// credentials) when one is set.
#include <mutex>
#include <string>

#include "bridge/rest/RequestSigner.h"

typedef void CURL;

namespace OracleCloudSDKCppBridge {

struct SHttpResponse {
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const;
};

struct SHttpOptions {
  long connectTimeoutSeconds = 10, totalTimeoutSeconds = 300;
  std::string proxy, proxyUser, proxyPassword;  // proxy: "host[:port]"; empty: none
};

// "host[:port]" of "scheme://host[:port][/...]"; empty when `url` is none.
std::string HostOfUrl(const std::string& url);

class CHttpClient {
 public:
  explicit CHttpClient(SHttpOptions options = {});
  ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  // Sends `request` (its target under `baseUrl`, "scheme://host[:port]") and reads the whole answer;
  // false with `error` (libcurl's reason, never a credential) when no answer came.
  bool Send(const std::string& baseUrl, const SHttpRequest& request, SHttpResponse& response, std::string& error);

 private:
  SHttpOptions options_;
  std::mutex mutex_;  // one request at a time on the kept connection
  CURL* curl_;
};

}  // namespace OracleCloudSDKCppBridge
