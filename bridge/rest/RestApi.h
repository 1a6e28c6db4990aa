#pragma once
// The cloud's REST API as the bridge calls it: JSON requests to the Core Services, Identity and
// Object Storage endpoints, each signed with the API key, pages followed, and the API's error body
// made one exception (CRestError) whose text names the code, the message and the request id.
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/rest/HttpClient.h"
#include "bridge/rest/RequestSigner.h"
#include "bridge/rest/RetryPolicy.h"
#include "host/Mutex.h"

namespace OracleCloudSDKCppBridge {

using json = nlohmann::json;
using SQuery = std::vector<std::pair<std::string, std::string>>;

enum class ERestService { Core, Identity, ObjectStorage };

// Base URLs ("scheme://host[:port]") of the services. The cloud's are the region's hosts
// (iaas., identity., objectstorage.<region>.oraclecloud.com); the emulator serves all three at one.
struct SRestEndpoints {
  std::string core, identity, objectStorage;
  // From the URL Connect was given: an "iaas." host names its siblings; any other serves all three.
  static SRestEndpoints FromUrl(const std::string& url);
};

// A call the service refused (status >= 300, with the API's code and message) or that had no answer
// (status 0, code "RequestFailed"). A call that was tried more than once, or whose retries ran out of
// their budget, says after how many attempts it gave up: "Code: message (opc-request-id X), after N attempts".
class CRestError : public std::runtime_error {
 public:
  CRestError(long status, std::string code, const std::string& message, std::string requestId, int attempts = 0);
  long Status() const { return status_; }
  const std::string& Code() const { return code_; }
  bool NotFound() const { return status_ == 404; }

 private:
  long status_;
  std::string code_, requestId_;
};

// "%"-encodes everything but the unreserved characters: a path segment or a query value.
std::string UrlEncode(const std::string& text);
// `path` with the query appended, names and values UrlEncode'd: the target a request goes to.
std::string WithQuery(const std::string& path, const SQuery& query);

// While it lives, every request the calling thread sends carries the header opc-client-request-id
// "<operation>/<unique id>": the service's logs, and the emulator's call counters and fault rules,
// see one bridge operation however many requests it makes.
class COperationScope {
 public:
  explicit COperationScope(const char* operation);
  ~COperationScope();
  COperationScope(const COperationScope&) = delete;
  COperationScope& operator=(const COperationScope&) = delete;
  static std::string ClientRequestId();  // empty outside a scope

 private:
  std::string previous_;
};

// A POST's answer: its JSON body and the whole response (headers such as opc-work-request-id).
struct SRestAnswer {  // NOLINT(bugprone-exception-escape): json's moves do not throw
  json body;
  SHttpResponse response;
};

// Every call is retried as RetryPolicy.h says, within `retryBudgetSeconds`. Each POST carries an
// opc-retry-token of its own, the same on each of its retries, so that the service makes what it asks
// for once however many attempts reach it. A DELETE whose earlier attempt may have done it and that
// then answers 404 has done it. A GET by id of a resource this session created (the "id" of a POST's
// answer) that answers 404 within 30 s of the create is retried until then: the service's reads lag
// its creates for a short while.
class CRestApi {
 public:
  CRestApi(SRestEndpoints endpoints, std::unique_ptr<CRequestSigner> signer, SHttpOptions http,
           uint32_t retryBudgetSeconds = kDefaultRetryBudgetSeconds);
  ~CRestApi();

  // Each throws CRestError when the service refuses the call or does not answer. Paths start with
  // the API version ("/20160918/volumes"); ids in them must be UrlEncode'd by the caller.
  json Get(ERestService service, const std::string& path, const SQuery& query = {});
  // Every item of a list, following opc-next-page until the last page.
  std::vector<json> List(ERestService service, const std::string& path, SQuery query = {});
  json Post(ERestService service, const std::string& path, const json& body, const SQuery& query = {});
  SRestAnswer PostForAnswer(ERestService service, const std::string& path, const json& body, const SQuery& query = {});
  json Put(ERestService service, const std::string& path, const json& body);
  void Delete(ERestService service, const std::string& path, const SQuery& query = {});
  // Object Storage: the namespace of the tenancy, and objects.
  std::string Namespace();
  void PutObject(const std::string& bucket, const std::string& object, const std::string& bytes);
  bool HeadObject(const std::string& bucket, const std::string& object);  // false: no such object
  void DeleteObject(const std::string& bucket, const std::string& object);

  // One call, retried as the class says, the status checked; the whole response of its last attempt.
  SHttpResponse Send(ERestService service, const std::string& method, const std::string& target,
                     const std::string& body, const std::string& contentType, bool excludeBody = false);

 private:
  // One attempt: signed now, sent on a pooled connection. False with `error` and `failure` when no
  // answer came.
  bool SendOnce(ERestService service, SHttpRequest request, bool excludeBody, SHttpResponse& response,
                std::string& error, EHttpFailure& failure);
  const std::string& BaseUrl(ERestService service) const;
  std::unique_ptr<CHttpClient> TakeClient() EXCLUDES(mutex_);
  void ReturnClient(std::unique_ptr<CHttpClient> client) EXCLUDES(mutex_);
  // Resources this session created in the last kCreateSettleMilliseconds, by their id as a path ends.
  void NoteCreated(const std::string& target, const json& answer) EXCLUDES(mutex_);
  void ForgetCreated(const std::string& target) EXCLUDES(mutex_);
  bool CreatedMomentsAgo(const std::string& target, int64_t& createdMs) EXCLUDES(mutex_);

  SRestEndpoints endpoints_;
  std::unique_ptr<CRequestSigner> signer_;
  SHttpOptions http_;
  Mutex mutex_;
  // One kept connection per client; a thread takes one.
  std::vector<std::unique_ptr<CHttpClient>> idle_ GUARDED_BY(mutex_);
  std::string namespace_ GUARDED_BY(mutex_);
  uint32_t retryBudgetSeconds_;
  // Path of a created resource -> host clock milliseconds of its create.
  std::map<std::string, int64_t> created_ GUARDED_BY(mutex_);
};

}  // namespace OracleCloudSDKCppBridge
