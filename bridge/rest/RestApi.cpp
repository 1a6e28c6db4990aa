#include "bridge/rest/RestApi.h"

#include <cctype>
#include <cstdio>
#include <iterator>

#include "host/FXFile.h"
#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr const char* kJson = "application/json";

thread_local std::string t_clientRequestId;

std::string ErrorText(const std::string& code, const std::string& message, const std::string& requestId, int attempts) {
  std::string text = code + ": " + message;
  if (!requestId.empty()) text += " (opc-request-id " + requestId + ")";
  if (attempts > 0) text += ", after " + std::to_string(attempts) + (attempts == 1 ? " attempt" : " attempts");
  return text;
}

// A target's path without its query or a trailing slash: "/20160918/volumes/<id>" of a request on one
// resource, "/20160918/volumes" of a create in that collection.
std::string PathOf(const std::string& target) {
  std::string path = target.substr(0, target.find('?'));
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
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
CRestError RefusalOf(const SHttpResponse& response, int attempts = 0) {
  std::string code = "HttpStatus" + std::to_string(response.status),
              message = "the service answered with no error body";
  const json body = json::parse(response.body, nullptr, false);
  if (body.is_object()) {
    if (body.contains("code") && body["code"].is_string()) code = body["code"].get<std::string>();
    if (body.contains("message") && body["message"].is_string()) message = body["message"].get<std::string>();
  }
  return CRestError(response.status, code, message, response.Header("opc-request-id"), attempts);
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

CRestError::CRestError(long status, std::string code, const std::string& message, std::string requestId, int attempts)
    : std::runtime_error(ErrorText(code, message, requestId, attempts)),
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

CRestApi::CRestApi(SRestEndpoints endpoints, std::unique_ptr<CRequestSigner> signer, SHttpOptions http,
                   uint32_t retryBudgetSeconds)
    : endpoints_(std::move(endpoints)),
      signer_(std::move(signer)),
      http_(std::move(http)),
      retryBudgetSeconds_(retryBudgetSeconds) {}

CRestApi::~CRestApi() = default;

const std::string& CRestApi::BaseUrl(ERestService service) const {
  return service == ERestService::Core       ? endpoints_.core
         : service == ERestService::Identity ? endpoints_.identity
                                             : endpoints_.objectStorage;
}

std::unique_ptr<CHttpClient> CRestApi::TakeClient() {
  MutexLock lock(mutex_);
  if (idle_.empty()) return std::make_unique<CHttpClient>(http_);
  std::unique_ptr<CHttpClient> client = std::move(idle_.back());
  idle_.pop_back();
  return client;
}

void CRestApi::ReturnClient(std::unique_ptr<CHttpClient> client) {
  MutexLock lock(mutex_);
  idle_.push_back(std::move(client));
}

void CRestApi::NoteCreated(const std::string& target, const json& answer) {
  if (!answer.is_object() || !answer.contains("id") || !answer["id"].is_string()) return;
  const std::string collection = PathOf(target), id = UrlEncode(answer["id"].get<std::string>());
  // An action on the resource (POST .../<id>?action=...) is not its create.
  if (collection.size() > id.size() &&
      collection.compare(collection.size() - id.size() - 1, std::string::npos, "/" + id) == 0)
    return;
  const int64_t now = HostClock::Get().NowMilliseconds();
  MutexLock lock(mutex_);
  for (auto it = created_.begin(); it != created_.end();)
    it = now - it->second > kCreateSettleMilliseconds ? created_.erase(it) : std::next(it);
  created_[collection + "/" + id] = now;  // what a GET of it asks for
}

void CRestApi::ForgetCreated(const std::string& target) {
  MutexLock lock(mutex_);
  created_.erase(PathOf(target));
}

bool CRestApi::CreatedMomentsAgo(const std::string& target, int64_t& createdMs) {
  MutexLock lock(mutex_);
  const auto it = created_.find(PathOf(target));
  if (it == created_.end()) return false;
  createdMs = it->second;
  return HostClock::Get().NowMilliseconds() - createdMs <= kCreateSettleMilliseconds;
}

bool CRestApi::SendOnce(ERestService service, SHttpRequest request, bool excludeBody, SHttpResponse& response,
                        std::string& error, EHttpFailure& failure) {
  const std::string& base = BaseUrl(service);
  request.host = HostOfUrl(base);
  if (!signer_->Sign(request, HttpDate(HostClock::Now()), excludeBody, error))
    throw CRestError(0, "RequestFailed", "the request could not be signed: " + error, "");
  std::unique_ptr<CHttpClient> client = TakeClient();
  const bool answered = client->Send(base, request, response, error, &failure);
  ReturnClient(std::move(client));
  return answered;
}

SHttpResponse CRestApi::Send(ERestService service, const std::string& method, const std::string& target,
                             const std::string& body, const std::string& contentType, bool excludeBody) {
  SHttpRequest request;
  request.method = method;
  request.target = target;
  request.body = body;
  request.SetHeader("accept", kJson);
  if (method == "POST" || method == "PUT" || method == "PATCH") request.SetHeader("content-type", contentType);
  const std::string clientRequestId = COperationScope::ClientRequestId();
  if (!clientRequestId.empty()) request.SetHeader("opc-client-request-id", clientRequestId);
  if (method == "POST") {
    std::string token;
    CreateGuid(token);
    request.SetHeader("opc-retry-token", token);
  }
  int64_t createdMs = 0;
  const bool freshlyCreated = method == "GET" && CreatedMomentsAgo(target, createdMs);
  CRetrySchedule schedule(retryBudgetSeconds_);
  bool outcomeUnknown = false;
  for (;;) {
    SHttpResponse response;
    std::string error;
    EHttpFailure failure = EHttpFailure::None;
    SendOnce(service, request, excludeBody, response, error, failure);
    schedule.CountAttempt();
    outcomeUnknown = outcomeUnknown || response.resent;
    const EAttemptStep step = NextStep(method, failure, response.status, outcomeUnknown, freshlyCreated);
    if (step == EAttemptStep::Return || step == EAttemptStep::Done) return response;
    outcomeUnknown = outcomeUnknown || LeavesOutcomeUnknown(failure, response.status);
    const int attempts = schedule.Attempts();
    if (step != EAttemptStep::Fail) {
      const uint64_t retryAfterMs = RetryAfterMilliseconds(response.Header("retry-after"), HostClock::Now());
      const int64_t deadlineMs = step == EAttemptStep::RetryFresh ? createdMs + kCreateSettleMilliseconds : 0;
      if (schedule.WaitForNextAttempt(retryAfterMs, deadlineMs)) continue;
    }
    // A call tried once and refused for good reads as the service's refusal alone.
    const int named = step == EAttemptStep::Fail && attempts == 1 ? 0 : attempts;
    if (failure != EHttpFailure::None) throw CRestError(0, "RequestFailed", error, "", named);
    throw RefusalOf(response, named);
  }
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
  return PostForAnswer(service, path, body, query).body;
}

SRestAnswer CRestApi::PostForAnswer(ERestService service, const std::string& path, const json& body,
                                    const SQuery& query) {
  SRestAnswer answer;
  answer.response = Send(service, "POST", WithQuery(path, query), body.dump(), kJson);
  answer.body = ParseBody(answer.response);
  NoteCreated(path, answer.body);
  return answer;
}

json CRestApi::Put(ERestService service, const std::string& path, const json& body) {
  return ParseBody(Send(service, "PUT", path, body.dump(), kJson));
}

void CRestApi::Delete(ERestService service, const std::string& path, const SQuery& query) {
  ForgetCreated(path);  // from now on its 404 means it is gone, whatever this call's outcome
  Send(service, "DELETE", WithQuery(path, query), "", kJson);
}

std::string CRestApi::Namespace() {
  {
    MutexLock lock(mutex_);
    if (!namespace_.empty()) return namespace_;
  }
  const json name = Get(ERestService::ObjectStorage, "/n/");
  if (!name.is_string()) throw CRestError(200, "InvalidResponse", "the namespace is not a JSON string", "");
  MutexLock lock(mutex_);
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
