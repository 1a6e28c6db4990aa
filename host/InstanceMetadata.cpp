#include "host/InstanceMetadata.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

#include <nlohmann/json.hpp>

namespace InstanceMetadata {
namespace {

constexpr const char* kInstancePath = "/opc/v2/instance/";
constexpr size_t kMaxAnswerBytes = 1 << 20;
constexpr size_t kQuotedAnswerBytes = 200;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
  std::string& answer = *static_cast<std::string*>(target);
  if (answer.size() + size * count > kMaxAnswerBytes) return 0;  // not a metadata answer: stop reading
  answer.append(data, size * count);
  return size * count;
}

struct SCurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

bool IdFromService(std::string& error) {
  const std::string source = Env("TZ_INSTANCE_ID_SOURCE");
  if (source == "metadata") return true;
  if (source.empty() || source == "cloud-init") return false;
  error = "TZ_INSTANCE_ID_SOURCE [" + source + "] is neither [metadata] nor [cloud-init]";
  return false;
}

std::string ServiceUrl() {
  std::string url = Env("TZ_INSTANCE_METADATA_URL");
  if (url.empty()) url = kDefaultUrl;
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

bool ReadInstanceId(const std::string& baseUrl, std::string& id, std::string& error) {
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  const std::string url = baseUrl + kInstancePath;
  const std::string asked = "GET " + url + " of the instance metadata service";
  if (initialized != CURLE_OK) {
    error = asked + " failed: libcurl did not start: " + curl_easy_strerror(initialized);
    return false;
  }
  std::unique_ptr<CURL, SCurlFree> curl(curl_easy_init());
  std::unique_ptr<curl_slist, SCurlFree> headers(curl_slist_append(nullptr, "Authorization: Bearer Oracle"));
  if (!curl || !headers) {
    error = asked + " failed: libcurl could not make the request";
    return false;
  }
  std::string answer;
  char reason[CURL_ERROR_SIZE] = "";
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");  // the service is the instance's own, never behind a proxy
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, kTotalTimeoutSeconds);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, reason);
  const CURLcode result = curl_easy_perform(c);
  if (result != CURLE_OK) {
    error = asked + " had no answer: " + (reason[0] ? reason : curl_easy_strerror(result));
    return false;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    error = asked + " answered " + std::to_string(status) + ": " + answer.substr(0, kQuotedAnswerBytes);
    return false;
  }
  const nlohmann::json instance = nlohmann::json::parse(answer, nullptr, false);
  auto field = instance.is_object() ? instance.find("id") : instance.end();
  if (!instance.is_object() || field == instance.end() || !field->is_string() || field->get<std::string>().empty()) {
    error = asked + " answered without the instance's id: " + answer.substr(0, kQuotedAnswerBytes);
    return false;
  }
  id = field->get<std::string>();
  return true;
}

}  // namespace InstanceMetadata
