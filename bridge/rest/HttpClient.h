#pragma once
// HTTP on libcurl for the cloud's REST API: one connection kept and reused, connect and total time
// limits, TLS verified for every host but the loopback one, and the web proxy (HTTP CONNECT with its
// credentials) when one is set.
#include <string>

#include "bridge/rest/RequestSigner.h"
#include "host/Mutex.h"

typedef void CURL;

namespace OracleCloudSDKCppBridge {

struct SHttpResponse {
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
  std::string body;
  // libcurl sent the request again on a fresh connection after a kept one died before any answer: the
  // first send may have taken effect though this answer is the second one's.
  bool resent = false;
  std::string Header(const std::string& name) const;
};

struct SHttpOptions {
  // An attempt's limits: the service answers a request of its API within seconds, and one it holds for a
  // minute is tried again if the call's retry budget still allows a retry (the budget bounds when retries
  // may start, not how long an attempt under way may take).
  long connectTimeoutSeconds = 10, totalTimeoutSeconds = 60;
  std::string proxy, proxyUser, proxyPassword;  // proxy: "host[:port]"; empty: none
};

// How a request that got no answer failed. Dropped: a connection was made and lost before the whole
// answer came (an empty or partial answer, a send or receive error, the time limit), so the request
// may have taken effect. NoConnection: none could be made (nothing listens, no such host, TLS refused),
// or another failure that trying again would meet again.
enum class EHttpFailure { None, Dropped, NoConnection };

// "host[:port]" of "scheme://host[:port][/...]"; empty when `url` is none.
std::string HostOfUrl(const std::string& url);

class CHttpClient {
 public:
  explicit CHttpClient(SHttpOptions options = {});
  ~CHttpClient();
  CHttpClient(const CHttpClient&) = delete;
  CHttpClient& operator=(const CHttpClient&) = delete;

  // Sends `request` (its target under `baseUrl`, "scheme://host[:port]") and reads the whole answer;
  // false with `error` (libcurl's reason, never a credential) and how it failed in `failure` when no
  // answer came.
  bool Send(const std::string& baseUrl, const SHttpRequest& request, SHttpResponse& response, std::string& error,
            EHttpFailure* failure = nullptr) EXCLUDES(mutex_);

 private:
  SHttpOptions options_;
  Mutex mutex_;  // one request at a time on the kept connection: a libcurl handle is not thread-safe
  CURL* curl_ GUARDED_BY(mutex_);
};

}  // namespace OracleCloudSDKCppBridge
