#include "bridge/rest/HttpClient.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace OracleCloudSDKCppBridge {
namespace {

struct SCurlListFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

size_t AppendHeader(char* data, size_t size, size_t count, void* user) {
  const std::string line(data, size * count);
  const size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon), value = line.substr(colon + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    static_cast<SHttpResponse*>(user)->headers.emplace_back(name, value);
  }
  return size * count;
}

// Called each time libcurl is about to send the request: more than once when it resends it.
int CountSend(void* sends, char*, char*, int, int) {
  ++*static_cast<int*>(sends);
  return CURL_PREREQFUNC_OK;
}

EHttpFailure FailureOf(CURLcode code) {
  switch (code) {
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
      return EHttpFailure::Dropped;
    default:
      return EHttpFailure::NoConnection;
  }
}

bool IsLoopbackHost(const std::string& hostPort) {
  const std::string host = hostPort.rfind("[::1]", 0) == 0 ? "::1" : hostPort.substr(0, hostPort.find(':'));
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

}  // namespace

std::string SHttpResponse::Header(const std::string& name) const {
  for (const auto& [key, value] : headers)
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return "";
}

std::string HostOfUrl(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return "";
  const size_t start = scheme + 3, end = url.find('/', start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

CHttpClient::CHttpClient(SHttpOptions options) : options_(std::move(options)) {
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  curl_ = initialized == CURLE_OK ? curl_easy_init() : nullptr;
}

CHttpClient::~CHttpClient() {
  if (curl_) curl_easy_cleanup(curl_);
}

bool CHttpClient::Send(const std::string& baseUrl, const SHttpRequest& request, SHttpResponse& response,
                       std::string& error, EHttpFailure* failure) {
  MutexLock lock(mutex_);
  if (failure) *failure = EHttpFailure::None;
  if (!curl_) {
    if (failure) *failure = EHttpFailure::NoConnection;
    error = "libcurl could not be started";
    return false;
  }
  response = SHttpResponse();
  curl_easy_reset(curl_);  // the connection stays in the handle's cache
  std::unique_ptr<curl_slist, SCurlListFree> headers;
  for (const auto& [name, value] : request.headers) {
    if (strcasecmp(name.c_str(), "host") == 0) continue;  // libcurl writes it from the URL
    headers.reset(curl_slist_append(headers.release(), (name + ": " + value).c_str()));
  }
  headers.reset(curl_slist_append(headers.release(), "Expect:"));
  const std::string url = baseUrl + request.target;
  char errorText[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  if (request.method == "HEAD") curl_easy_setopt(curl_, CURLOPT_NOBODY, 1L);
  if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, request.body.data());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  }
  curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &response.body);
  curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, AppendHeader);
  curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &response);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText);
  int sends = 0;
  curl_easy_setopt(curl_, CURLOPT_PREREQFUNCTION, CountSend);
  curl_easy_setopt(curl_, CURLOPT_PREREQDATA, &sends);
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, options_.connectTimeoutSeconds);
  curl_easy_setopt(curl_, CURLOPT_TIMEOUT, options_.totalTimeoutSeconds);
  // HTTP/1.1: a failure is a dropped connection or an answer, never a stream reset whose outcome reads
  // as a connection not made.
  curl_easy_setopt(curl_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  const bool loopback = IsLoopbackHost(HostOfUrl(baseUrl));
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, loopback ? 0L : 1L);
  curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, loopback ? 0L : 2L);
  if (!options_.proxy.empty() && !loopback) {
    curl_easy_setopt(curl_, CURLOPT_PROXY, options_.proxy.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPPROXYTUNNEL, 1L);
    if (!options_.proxyUser.empty()) {
      curl_easy_setopt(curl_, CURLOPT_PROXYUSERNAME, options_.proxyUser.c_str());
      curl_easy_setopt(curl_, CURLOPT_PROXYPASSWORD, options_.proxyPassword.c_str());
    }
  } else {
    curl_easy_setopt(curl_, CURLOPT_PROXY, "");  // nor one from the environment
  }
  const CURLcode code = curl_easy_perform(curl_);
  response.resent = sends > 1;
  if (code != CURLE_OK) {
    // A request never sent (the connection, or a proxy's tunnel, was never made) cannot have taken effect.
    if (failure) *failure = sends == 0 ? EHttpFailure::NoConnection : FailureOf(code);
    error =
        "the request to [" + HostOfUrl(baseUrl) + "] failed: " + (*errorText ? errorText : curl_easy_strerror(code));
    return false;
  }
  curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &response.status);
  return true;
}

}  // namespace OracleCloudSDKCppBridge
