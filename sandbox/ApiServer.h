#pragma once
// The emulator of the cloud's REST API (`cloud-sim serve`): an HTTP server on 127.0.0.1 that answers
// the API's requests from the sandbox's cloud through the same simulator code the in-process backend
// calls. It checks every request's signature, logs it, and meets the fault rules and call counters
// once per bridge operation: a request names its operation in opc-client-request-id
// ("<operation>/<unique id>"); the first request of an id counts the call and meets the rules that act
// before it (delay, fail, kill-before), every request of the id sees the rules that shape what it makes
// (faulty, noslot), and kill-after kills the calling process once the operation's first change
// committed (its first request for an operation that only reads; for one whose requests changed
// nothing, when its caller's next operation begins). The HTTP actions act as the service's own
// troubles would: http-429/500/503 answer the operation's first request with that status, reset drops
// its connection unanswered, lost-response lets its first change take effect and then loses the answer
// (a 500, or a dropped connection), and stale-read makes the resource its first create answered read
// as missing (404) for so many reads by id. Changes carrying opc-retry-token run once
// (ApiRetryTokens.h). Paths under /opc/ are the instance metadata service's, which a proxy reaches
// without a signature.
#include <httplib.h>
#include <sys/stat.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ApiPeer.h"
#include "ApiRetryTokens.h"
#include "bridge/rest/RequestSigner.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "host/Mutex.h"

namespace cloudsim {

using json = nlohmann::json;

// A refusal in the API's words: the status, the error code and the message of the error body.
class CApiRefusal : public std::runtime_error {
 public:
  CApiRefusal(int status, std::string code, const std::string& message)
      : std::runtime_error(message), status_(status), code_(std::move(code)) {}
  int Status() const { return status_; }
  const std::string& Code() const { return code_; }

 private:
  int status_;
  std::string code_;
};

// One request as a route sees it.
struct SApiCall {
  const httplib::Request& request;
  httplib::Response& response;
  sim::CSimCloud& cloud;
  const sim::SCallFaults& faults;  // of the bridge operation the request belongs to; none for others
  const std::string& operation;    // that operation's name; empty for a client that names none
  int pageSize;                    // items per list page when the client asks for no limit

  // The n-th group (from 1) of the route's pattern, e.g. the id in "/20160918/volumes/([^/]+)".
  std::string PathPart(size_t n) const;
  // A query parameter; empty when absent. Required() refuses its absence with 400 MissingParameter.
  std::string Query(const std::string& name) const;
  std::string RequiredQuery(const std::string& name) const;
  // The request's JSON body, checked against the model's fields: a field outside `allowed` is refused
  // with 400 InvalidParameter, a missing one of `required` with 400 MissingParameter.
  json Body(const std::set<std::string>& required, const std::set<std::string>& allowed) const;
  // The bridge operation's name, or `apiOperation` (e.g. "CreateVolume") for a client that names none.
  std::string OperationOr(const std::string& apiOperation) const {
    return operation.empty() ? apiOperation : operation;
  }

  // Answers with a resource (its etag from its content) or with a list page by page: at most the
  // request's `limit` (else the server's page size) items from the `page` token on, and opc-next-page
  // when more follow.
  void Reply(const json& resource, int status = 200) const;
  void ReplyText(const std::string& text, const std::string& contentType) const;
  void ReplyList(const std::vector<json>& items) const;
  void ReplyEmpty(int status = 204) const;
};

using ApiRoute = std::function<void(SApiCall&)>;

struct SServeOptions {
  int port = 0;      // 0: any free port
  int pageSize = 4;  // items per list page when the client asks for no limit
};

class CApiServer {
 public:
  CApiServer(std::string sandbox, std::shared_ptr<OracleCloudSDKCppBridge::CPublicKey> key, std::string keyId,
             SServeOptions options);
  ~CApiServer();

  // Routes: `pattern` is a regular expression of the path.
  void Get(const std::string& pattern, ApiRoute route);
  void Post(const std::string& pattern, ApiRoute route);
  void Put(const std::string& pattern, ApiRoute route);
  void Delete(const std::string& pattern, ApiRoute route);
  void Head(const std::string& pattern, ApiRoute route);

  int PageSize() const { return options_.pageSize; }
  // The sandbox's cloud; 503 ServiceUnavailable when it is gone.
  std::shared_ptr<sim::CSimCloud> Cloud() EXCLUDES(mutex_);

  // Listens until Stop(); writes the address to <sandbox>/api/endpoint. Returns cloud-sim's exit code.
  int Serve();
  void Stop();

 private:
  struct SOperation;
  httplib::Server::Handler Wrap(ApiRoute route, bool isChange);
  bool Authenticated(const httplib::Request& request, std::string& why) const;
  // The operation a request belongs to, counted and met with the rules on its first request.
  std::shared_ptr<SOperation> OperationOf(const httplib::Request& request, sim::CSimCloud& cloud, bool& first)
      EXCLUDES(mutex_);
  void KillCaller(CRequestCaller& caller, const std::string& operation, const char* when);
  // Kill-after: at once after a change (or the first request of an operation that only reads); for an
  // operation whose requests change nothing, at the caller's next operation (KillAwaited).
  void MeetKillAfter(CRequestCaller& caller, const std::shared_ptr<SOperation>& operation, bool isChange);
  bool KillAwaited(CRequestCaller& caller, const SOperation* current) EXCLUDES(mutex_);
  // Stale-read: the created resource's id is noted with its count of reads left to refuse, which a
  // read by id takes one of.
  void NoteStaleResource(const std::string& id, int64_t reads) EXCLUDES(mutex_);
  bool TakeStaleRead(const httplib::Request& request) EXCLUDES(mutex_);

  std::string sandbox_;
  std::shared_ptr<OracleCloudSDKCppBridge::CPublicKey> key_;
  std::string keyId_;
  SServeOptions options_;
  httplib::Server server_;
  Mutex mutex_;
  std::shared_ptr<sim::CSimCloud> cloud_ GUARDED_BY(mutex_);
  struct stat cloudFile_ GUARDED_BY(mutex_) {};  // the database file cloud_ has open
  // By client request id.
  std::map<std::string, std::shared_ptr<SOperation>> operations_ GUARDED_BY(mutex_);
  std::deque<std::string> operationOrder_ GUARDED_BY(mutex_);  // oldest first, to forget the oldest
  // By caller: a kill-after not yet met.
  std::map<SProcessIdentity, std::shared_ptr<SOperation>> awaitingKill_ GUARDED_BY(mutex_);
  // By resource id: reads by id still to answer 404.
  std::map<std::string, int64_t> staleReads_ GUARDED_BY(mutex_);
  CRetryTokens retryTokens_;
};

// Each group of the API adds its routes.
void AddIdentityRoutes(CApiServer& server);
void AddComputeRoutes(CApiServer& server);
void AddInstanceRoutes(CApiServer& server);
void AddBlockStorageRoutes(CApiServer& server);
void AddImageRoutes(CApiServer& server);
void AddWorkRequestRoutes(CApiServer& server);
void AddObjectStorageRoutes(CApiServer& server);
void AddMetadataRoutes(CApiServer& server);

}  // namespace cloudsim
