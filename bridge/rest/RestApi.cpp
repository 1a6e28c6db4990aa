#include "bridge/rest/RestApi.h"

#include <cctype>
#include <cstdio>

#include "host/FXFile.h"
#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kJson = "application/json";

thread_local std::string t_clientRequestId;

std::string ErrorText(const std::string& code, const std::string& message, const std::string& requestId) {
  std::string text = code + ": " + message;
  if (!requestId.empty()) text += " (opc-request-id " + requestId + ")";
  return text;
}

}  // namespace

std::string WithQuery(const std::string& path, const SQuery& query) {
  std::string target = path;
  char separator = '?';
  for (const auto& [name, value] : query) {
    target += separator + UrlEncode(name) + "=" + UrlEncode(value);
    separator = '&';
  }
  return target;
}

namespace {

// The API's error of a refused call: its body's code and message when it has them.
CRestError RefusalOf(const SHttpResponse& response) {
  std::string code = "HttpStatus" + std::to_string(response.status), message = "the service answered with no error body";
  const json body = json::parse(response.body, nullptr, false);
  if (body.is_object()) {
    if (body.contains("code") && body["code"].is_string()) code = body["code"].get<std::string>();
    if (body.contains("message") && body["message"].is_string()) message = body["message"].get<std::string>();
  }
  return CRestError(response.status, code, message, response.Header("opc-request-id"));
}

json ParseBody(const SHttpResponse& response) {
  if (response.body.empty()) return json::object();
  json parsed = json::parse(response.body, nullptr, false);
  if (parsed.is_discarded())
    throw CRestError(response.status, "InvalidResponse", "the service's answer is not JSON",
                     response.Header("opc-request-id"));
  return parsed;
}

}  // namespace

SRestEndpoints SRestEndpoints::FromUrl(const std::string& url) {
  std::string base = url.substr(0, url.find('/', url.find("://") + 3));
  const size_t hostStart = base.find("://") + 3;
  SRestEndpoints endpoints{base, base, base};
  if (base.compare(hostStart, 5, "iaas.") == 0) {
    const std::string scheme = base.substr(0, hostStart), rest = base.substr(hostStart + 5);
    endpoints.identity = scheme + "identity." + rest;
    endpoints.objectStorage = scheme + "objectstorage." + rest;
  }
  return endpoints;
}

CRestError::CRestError(long status, std::string code, const std::string& message, std::string requestId)
    : std::runtime_error(ErrorText(code, message, requestId)),
      status_(status),
      code_(std::move(code)),
      requestId_(std::move(requestId)) {}

std::string UrlEncode(const std::string& text) {
  std::string encoded;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      encoded += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      encoded += escaped;
    }
  }
  return encoded;
}

COperationScope::COperationScope(const char* operation) : previous_(t_clientRequestId) {
  std::string guid;
  CreateGuid(guid);
  t_clientRequestId = std::string(operation) + "/" + guid;
}

COperationScope::~COperationScope() { t_clientRequestId = previous_; }

std::string COperationScope::ClientRequestId() { return t_clientRequestId; }

CRestApi::CRestApi(SRestEndpoints endpoints, std::unique_ptr<CRequestSigner> signer, SHttpOptions http)
    : endpoints_(std::move(endpoints)), signer_(std::move(signer)), http_(std::move(http)) {}

CRestApi::~CRestApi() = default;

const std::string& CRestApi::BaseUrl(ERestService service) const {
  return service == ERestService::Core       ? endpoints_.core
         : service == ERestService::Identity ? endpoints_.identity
                                             : endpoints_.objectStorage;
}

std::unique_ptr<CHttpClient> CRestApi::TakeClient() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.empty()) return std::make_unique<CHttpClient>(http_);
  std::unique_ptr<CHttpClient> client = std::move(idle_.back());
  idle_.pop_back();
  return client;
}

void CRestApi::ReturnClient(std::unique_ptr<CHttpClient> client) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_.push_back(std::move(client));
}

SHttpResponse CRestApi::Send(ERestService service, const std::string& method, const std::string& target,
                             const std::string& body, const std::string& contentType, bool excludeBody) {
  const std::string& base = BaseUrl(service);
  SHttpRequest request;
  request.method = method;
  request.host = HostOfUrl(base);
  request.target = target;
  request.body = body;
  request.SetHeader("accept", kJson);
  if (method == "POST" || method == "PUT" || method == "PATCH") request.SetHeader("content-type", contentType);
  const std::string clientRequestId = COperationScope::ClientRequestId();
  if (!clientRequestId.empty()) request.SetHeader("opc-client-request-id", clientRequestId);
  std::string error;
  if (!signer_->Sign(request, HttpDate(HostClock::Now()), excludeBody, error))
    throw CRestError(0, "RequestFailed", "the request could not be signed: " + error, "");
  SHttpResponse response;
  std::unique_ptr<CHttpClient> client = TakeClient();
  const bool answered = client->Send(base, request, response, error);
  ReturnClient(std::move(client));
  if (!answered) throw CRestError(0, "RequestFailed", error, "");
  if (response.status >= 300) throw RefusalOf(response);
  return response;
}

json CRestApi::Get(ERestService service, const std::string& path, const SQuery& query) {
  return ParseBody(Send(service, "GET", WithQuery(path, query), "", kJson));
}

std::vector<json> CRestApi::List(ERestService service, const std::string& path, SQuery query) {
  std::vector<json> items;
  for (;;) {
    const SHttpResponse response = Send(service, "GET", WithQuery(path, query), "", kJson);
    const json page = ParseBody(response);
    if (!page.is_array())
      throw CRestError(response.status, "InvalidResponse", "the list at [" + path + "] is not an array",
                       response.Header("opc-request-id"));
    for (const json& item : page) items.push_back(item);
    const std::string next = response.Header("opc-next-page");
    if (next.empty()) return items;
    bool replaced = false;
    for (auto& [name, value] : query) {
      if (name == "page") value = next, replaced = true;
    }
    if (!replaced) query.emplace_back("page", next);
  }
}

json CRestApi::Post(ERestService service, const std::string& path, const json& body, const SQuery& query) {
  return ParseBody(Send(service, "POST", WithQuery(path, query), body.dump(), kJson));
}

json CRestApi::Put(ERestService service, const std::string& path, const json& body) {
  return ParseBody(Send(service, "PUT", path, body.dump(), kJson));
}

void CRestApi::Delete(ERestService service, const std::string& path, const SQuery& query) {
  Send(service, "DELETE", WithQuery(path, query), "", kJson);
}

std::string CRestApi::Namespace() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!namespace_.empty()) return namespace_;
  }
  const json name = Get(ERestService::ObjectStorage, "/n/");
  if (!name.is_string()) throw CRestError(200, "InvalidResponse", "the namespace is not a JSON string", "");
  std::lock_guard<std::mutex> lock(mutex_);
  namespace_ = name.get<std::string>();
  return namespace_;
}

namespace {
std::string ObjectPath(const std::string& ns, const std::string& bucket, const std::string& object) {
  return "/n/" + UrlEncode(ns) + "/b/" + UrlEncode(bucket) + "/o/" + UrlEncode(object);
}
}  // namespace

void CRestApi::PutObject(const std::string& bucket, const std::string& object, const std::string& bytes) {
  Send(ERestService::ObjectStorage, "PUT", ObjectPath(Namespace(), bucket, object), bytes, "application/octet-stream",
       true);
}

bool CRestApi::HeadObject(const std::string& bucket, const std::string& object) {
  try {
    Send(ERestService::ObjectStorage, "HEAD", ObjectPath(Namespace(), bucket, object), "", kJson);
    return true;
  } catch (const CRestError& e) {
    if (e.NotFound()) return false;
    throw;
  }
}

void CRestApi::DeleteObject(const std::string& bucket, const std::string& object) {
  Send(ERestService::ObjectStorage, "DELETE", ObjectPath(Namespace(), bucket, object), "", kJson);
}

}  // namespace OracleCloudSDKCppBridge
