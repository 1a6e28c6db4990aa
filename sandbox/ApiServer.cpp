#include "ApiServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>

#include "ApiPeer.h"
#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/sim/SandboxApiUser.h"
#include "bridge/sim/SimAttachments.h"
#include "bridge/sim/SimLifecycle.h"
#include "bridge/sim/SimOperations.h"
#include "bridge/sim/SimResources.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostClock.h"

namespace cloudsim {
namespace {

namespace rest = OracleCloudSDKCppBridge;

constexpr long long kDateSkewSeconds = 300;
constexpr size_t kOperationsKept = 10000;
constexpr int kMaxPageSize = 1000;
constexpr size_t kServerThreads = 128;
constexpr const char* kMetadataPrefix = "/opc/";

// Whether the server reads a body for the request (after the pre-routing handler).
bool CarriesBody(const httplib::Request& request) {
  return request.method == "POST" || request.method == "PUT" || request.method == "PATCH" ||
         request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
}

std::string NewRequestId() {
  std::string guid;
  CreateGuid(guid);
  guid.erase(std::remove(guid.begin(), guid.end(), '-'), guid.end());
  return guid;
}

void ReplyError(httplib::Response& response, int status, const std::string& code, const std::string& message) {
  response.status = status;
  response.set_content(json{{"code", code}, {"message", message}}.dump(), "application/json");
}

// The simulator's refusals in the API's words: what is not there is 404 NotAuthorizedOrNotFound, a full
// instance 400 LimitExceeded, anything else a conflict with the resource's state.
void ReplyRefusal(httplib::Response& response, const sim::CSimRefused& refused) {
  const std::string text = refused.what();
  if (dynamic_cast<const sim::CSimNoFreeSlot*>(&refused)) return ReplyError(response, 400, "LimitExceeded", text);
  const bool missing = text.find("not found") != std::string::npos || text.find("is gone") != std::string::npos ||
                       text.find("does not exist") != std::string::npos;
  if (missing) return ReplyError(response, 404, "NotAuthorizedOrNotFound", text);
  ReplyError(response, 409, "IncorrectState", text);
}

// The port of one end of a socket; 0 when it is no IPv4 socket.
int PortOf(int fd, int (*name)(int, sockaddr*, socklen_t*)) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (name(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sin_family != AF_INET) return 0;
  return ntohs(address.sin_port);
}

// Drops the connection a request came on without a word, as a failing network or service would: its
// socket (the one of this process with the request's two ports) is shut down, so that the client reads
// the end of the stream where the answer would begin. The server's write of the answer then fails and it
// closes the socket as it does for any broken connection.
void DropConnection(const httplib::Request& request, httplib::Response& response) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    int fd = -1;
    try {
      fd = std::stoi(entry.path().filename().string());
    } catch (const std::exception&) {
      continue;
    }
    if (PortOf(fd, ::getsockname) == request.local_port && PortOf(fd, ::getpeername) == request.remote_port) {
      ::shutdown(fd, SHUT_RDWR);
      break;
    }
  }
  response.status = 0;  // logged as no answer
  response.headers.clear();
  response.body.clear();
}

// An answer of a fault rule's status in the service's words.
void ReplyFaultStatus(httplib::Response& response, const sim::SCallFaults& faults, const std::string& operation) {
  const struct {
    int status;
    const char *code, *message;
  } kStatuses[] = {{429, "TooManyRequests", "Too many requests for the tenancy"},
                   {500, "InternalServerError", "Internal server error"},
                   {503, "ServiceUnavailable", "The service is unavailable"}};
  for (const auto& known : kStatuses) {
    if (known.status != faults.httpStatus) continue;
    if (faults.retryAfter >= 0) response.set_header("retry-after", std::to_string(faults.retryAfter));
    return ReplyError(response, known.status, known.code,
                      std::string(known.message) + " (fault rule of " + operation + ")");
  }
}

// The id of the resource a create answered; empty for another answer (an action on a resource answers the
// resource it acted on, which is not new).
std::string CreatedId(const httplib::Request& request, const httplib::Response& response) {
  if (request.method != "POST" || response.status != 200) return "";
  const json answer = json::parse(response.body, nullptr, false);
  if (!answer.is_object() || !answer.contains("id") || !answer["id"].is_string()) return "";
  const std::string id = answer["id"].get<std::string>();
  return request.path.find(id) == std::string::npos ? id : "";
}

// What identifies the request a retry token was given for.
std::string RetriedRequest(const httplib::Request& request) {
  return request.method + " " + request.target + " " + FXString::HashHex(request.body);
}

SKeptAnswer KeptAnswer(const httplib::Response& response) {
  SKeptAnswer kept{response.status, response.body, response.get_header_value("Content-Type"), {}};
  for (const auto& [name, value] : response.headers) {
    if (name != "opc-request-id" && name != "Content-Type" && name != "Content-Length")
      kept.headers.emplace_back(name, value);
  }
  return kept;
}

void ReplayAnswer(httplib::Response& response, const SKeptAnswer& kept) {
  response.status = kept.status;
  for (const auto& [name, value] : kept.headers) response.set_header(name, value);
  if (!kept.body.empty() || !kept.contentType.empty()) response.set_content(kept.body, kept.contentType.c_str());
}

// The run of a request under a new retry token: its answer is kept for the token once it is final,
// at the latest when the request ends.
class CRetryTokenRun {
 public:
  CRetryTokenRun(CRetryTokens& tokens, std::string token, const httplib::Response& response)
      : tokens_(tokens), token_(std::move(token)), response_(response) {}
  ~CRetryTokenRun() { Finish(); }
  CRetryTokenRun(const CRetryTokenRun&) = delete;
  CRetryTokenRun& operator=(const CRetryTokenRun&) = delete;
  void Finish() {
    if (!finished_) tokens_.Finish(token_, KeptAnswer(response_));
    finished_ = true;
  }

 private:
  CRetryTokens& tokens_;
  std::string token_;
  const httplib::Response& response_;
  bool finished_ = false;
};

}  // namespace

// What the emulator keeps of one bridge operation between its requests.
struct CApiServer::SOperation {
  std::string name;
  sim::SCallFaults faults;
  bool killedAfter = false;
  std::atomic<bool> changeMet{false};  // its first changing request ran (lost-response)
  std::atomic<bool> createMet{false};  // its first create answered (stale-read)
};

std::string SApiCall::PathPart(size_t n) const { return n < request.matches.size() ? request.matches[n].str() : ""; }

std::string SApiCall::Query(const std::string& name) const { return request.get_param_value(name.c_str()); }

std::string SApiCall::RequiredQuery(const std::string& name) const {
  if (!request.has_param(name.c_str()))
    throw CApiRefusal(400, "MissingParameter", "The query parameter [" + name + "] is required");
  return Query(name);
}

json SApiCall::Body(const std::set<std::string>& required, const std::set<std::string>& allowed) const {
  json body = json::parse(request.body, nullptr, false);
  if (!body.is_object()) throw CApiRefusal(400, "InvalidParameter", "The request body is not a JSON object");
  for (const auto& [name, value] : body.items()) {
    if (!allowed.count(name) && !required.count(name))
      throw CApiRefusal(400, "InvalidParameter", "The field [" + name + "] is not a field of this request");
  }
  for (const std::string& name : required) {
    if (!body.contains(name) || body[name].is_null())
      throw CApiRefusal(400, "MissingParameter", "The field [" + name + "] is required");
  }
  return body;
}

void SApiCall::Reply(const json& resource, int status) const {
  const std::string text = resource.dump();
  response.status = status;
  response.set_header("etag", FXString::HashHex(text).substr(0, 32));
  response.set_content(text, "application/json");
}

void SApiCall::ReplyText(const std::string& text, const std::string& contentType) const {
  response.status = 200;
  response.set_content(text, contentType.c_str());
}

void SApiCall::ReplyList(const std::vector<json>& items) const {
  const std::string limitText = Query("limit"), pageText = Query("page");
  int limit = 0;
  size_t from = 0;
  try {
    limit = limitText.empty() ? 0 : std::stoi(limitText);
    from = pageText.empty() ? 0 : static_cast<size_t>(std::stoull(pageText));
  } catch (const std::exception&) {
    throw CApiRefusal(400, "InvalidParameter", "The limit [" + limitText + "] or page [" + pageText + "] is no number");
  }
  if (limit < 0 || limit > kMaxPageSize)
    throw CApiRefusal(400, "InvalidParameter", "The limit must be within 1 and " + std::to_string(kMaxPageSize));
  const size_t size = static_cast<size_t>(limit ? limit : pageSize);
  json page = json::array();
  for (size_t i = from; i < items.size() && i < from + size; ++i) page.push_back(items[i]);
  if (from + size < items.size()) response.set_header("opc-next-page", std::to_string(from + size));
  Reply(page);
}

void SApiCall::ReplyEmpty(int status) const { response.status = status; }

CApiServer::CApiServer(std::string sandbox, std::shared_ptr<rest::CPublicKey> key, std::string keyId,
                       SServeOptions options)
    : sandbox_(std::move(sandbox)), key_(std::move(key)), keyId_(std::move(keyId)), options_(options) {
  // An answer's head and body go out in separate writes: without this each waits out the client's
  // delayed acknowledgement (40 ms a request).
  server_.set_tcp_nodelay(true);
  // A client keeps its connection for a job's life, as it would with the service; a kept connection holds
  // a thread of the pool while it waits, so the pool has room for the connections of many jobs at once.
  server_.set_keep_alive_max_count(100000);
  server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
    response.set_header("opc-request-id", NewRequestId());
    std::string why;
    // A request with a body is checked once its body is read (the route, or the error handler when
    // none matches): the server reads it only after this handler.
    if (request.path.rfind(kMetadataPrefix, 0) == 0 || CarriesBody(request) || Authenticated(request, why))
      return httplib::Server::HandlerResponse::Unhandled;
    ReplyError(response, 401, "NotAuthenticated", why);
    return httplib::Server::HandlerResponse::Handled;
  });
  server_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    MutexLock lock(mutex_);
    std::ofstream(sim::ApiFolder(sandbox_) + "/requests.log", std::ios::app)
        << request.method << " " << request.target << " " << response.status << " "
        << response.get_header_value("opc-request-id") << " "
        << (request.has_header("opc-client-request-id") ? request.get_header_value("opc-client-request-id") : "-")
        << "\n";
  });
  server_.set_error_handler([this](const httplib::Request& request, httplib::Response& response) {
    std::string why;
    if (response.status == 404 && response.body.empty() && CarriesBody(request) && !Authenticated(request, why))
      ReplyError(response, 401, "NotAuthenticated", why);
    else if (response.status == 404 && response.body.empty())
      ReplyError(response, 404, "NotAuthorizedOrNotFound", "No resource at [" + request.path + "]");
  });
  AddIdentityRoutes(*this);
  AddComputeRoutes(*this);
  AddInstanceRoutes(*this);
  AddBlockStorageRoutes(*this);
  AddImageRoutes(*this);
  AddWorkRequestRoutes(*this);
  AddObjectStorageRoutes(*this);
  AddMetadataRoutes(*this);
}

CApiServer::~CApiServer() = default;

void CApiServer::Get(const std::string& pattern, ApiRoute route) {
  server_.Get(pattern, Wrap(std::move(route), false));
}
void CApiServer::Post(const std::string& pattern, ApiRoute route) {
  server_.Post(pattern, Wrap(std::move(route), true));
}
void CApiServer::Put(const std::string& pattern, ApiRoute route) { server_.Put(pattern, Wrap(std::move(route), true)); }
void CApiServer::Delete(const std::string& pattern, ApiRoute route) {
  server_.Delete(pattern, Wrap(std::move(route), true));
}
// A HEAD route is reached only through the GET of the same path in this HTTP library: the route answers
// both, and its body goes unsent for HEAD.
void CApiServer::Head(const std::string& pattern, ApiRoute route) {
  server_.Get(pattern, Wrap(std::move(route), false));
}

std::shared_ptr<sim::CSimCloud> CApiServer::Cloud() {
  MutexLock lock(mutex_);
  // The sandbox's cloud as it is on disk now: a cloud put in its place (a copy restored by an operator or a
  // test) is opened anew, and one that is gone is no longer served from a handle on the deleted file.
  struct stat now {};
  const std::string database = (cloud_ ? cloud_->Dir() : sandbox_ + "/cloud") + "/" + sim::CSimCloud::kDatabaseName;
  const bool there = ::stat(database.c_str(), &now) == 0;
  if (cloud_ && there && now.st_ino == cloudFile_.st_ino && now.st_dev == cloudFile_.st_dev) return cloud_;
  if (cloud_ && !there)
    throw CApiRefusal(503, "ServiceUnavailable", "The sandbox's cloud at [" + cloud_->Dir() + "] is gone");
  try {
    cloud_ = OpenSandboxCloud(sandbox_);
  } catch (const sim::CSimError& e) {
    throw CApiRefusal(503, "ServiceUnavailable", e.what());
  }
  ::stat((cloud_->Dir() + "/" + sim::CSimCloud::kDatabaseName).c_str(), &cloudFile_);
  return cloud_;
}

bool CApiServer::Authenticated(const httplib::Request& request, std::string& why) const {
  rest::SHttpRequest signed_;
  signed_.method = request.method, signed_.target = request.target, signed_.body = request.body;
  for (const auto& [name, value] : request.headers) signed_.headers.emplace_back(name, value);
  const std::string date = signed_.Header("x-date").empty() ? signed_.Header("date") : signed_.Header("x-date");
  const long long when = rest::ParseHttpDate(date), now = HostClock::Now();
  if (when < 0 || when < now - kDateSkewSeconds || when > now + kDateSkewSeconds) {
    why = "The request's date [" + date + "] is not within 5 minutes of the service's clock";
    return false;
  }
  rest::SSignatureHeader parsed;
  if (!rest::ParseSignatureHeader(signed_.Header("authorization"), parsed, why)) return false;
  if (parsed.keyId != keyId_) {
    why = "The key id [" + parsed.keyId + "] is not the API user's";
    return false;
  }
  return rest::VerifyRequestSignature(signed_, *key_, why);
}

std::shared_ptr<CApiServer::SOperation> CApiServer::OperationOf(const httplib::Request& request, sim::CSimCloud& cloud,
                                                                bool& first) {
  first = false;
  const std::string clientId = request.get_header_value("opc-client-request-id");
  const std::string name = clientId.substr(0, clientId.find('/'));
  const sim::SFlavourWords& words = cloud.Words();
  const int64_t now = HostClock::Now();
  const bool bridgeOperation = sim::IsBridgeOperation(name);
  std::shared_ptr<SOperation> known;
  if (bridgeOperation) {
    MutexLock lock(mutex_);
    auto it = operations_.find(clientId);
    if (it != operations_.end()) known = it->second;
  }
  // A request that does not begin an operation only brings the lifecycles up to date.
  if (known || !bridgeOperation) {
    cloud.Write([&](sim::CSimDb& db) { sim::SettleLifecycles(db, words, now); });
    return known;
  }
  auto operation = std::make_shared<SOperation>();
  operation->name = name;
  // One transaction: the count and the lifecycles, as the in-process backend does.
  operation->faults = cloud.Write([&](sim::CSimDb& db) {
    sim::SCallFaults counted = sim::CSimFaults::CountCallIn(db, name);
    sim::SettleLifecycles(db, words, now);
    return counted;
  });
  MutexLock lock(mutex_);
  auto [it, inserted] = operations_.emplace(clientId, operation);
  first = inserted;
  if (inserted) {
    operationOrder_.push_back(clientId);
    if (operationOrder_.size() > kOperationsKept) {
      operations_.erase(operationOrder_.front());
      operationOrder_.pop_front();
    }
  }
  return it->second;
}

void CApiServer::KillCaller(CRequestCaller& caller, const std::string& operation, const char* when) {
  const pid_t pid = caller.Pid();
  std::fprintf(stderr, "Fault rule: killing the process %d %s %s\n", static_cast<int>(pid), when, operation.c_str());
  if (pid > 0 && pid != ::getpid()) ::kill(pid, SIGKILL);
}

// A kill-after rule of an operation whose requests changed nothing waits for the caller's next operation:
// the caller dies once the operation returned, before its next cloud call (as it would right after it).
bool CApiServer::KillAwaited(CRequestCaller& caller, const SOperation* current) {
  {
    MutexLock lock(mutex_);
    if (awaitingKill_.empty()) return false;
  }
  const SProcessIdentity identity = caller.Identity();
  std::shared_ptr<SOperation> done;
  {
    MutexLock lock(mutex_);
    auto it = awaitingKill_.find(identity);
    if (it == awaitingKill_.end() || it->second.get() == current) return false;
    done = it->second;
    awaitingKill_.erase(it);
  }
  KillCaller(caller, done->name, "after");
  return true;
}

void CApiServer::MeetKillAfter(CRequestCaller& caller, const std::shared_ptr<SOperation>& operation, bool isChange) {
  const bool now = isChange || sim::IsReadOnlyOperation(operation->name);
  const SProcessIdentity identity = now ? SProcessIdentity() : caller.Identity();
  {
    MutexLock lock(mutex_);
    if (operation->killedAfter) return;
    if (!now) {
      if (identity.pid > 0) awaitingKill_[identity] = operation;
      return;
    }
    operation->killedAfter = true;
    for (auto it = awaitingKill_.begin(); it != awaitingKill_.end();)
      it = it->second == operation ? awaitingKill_.erase(it) : std::next(it);
  }
  KillCaller(caller, operation->name, "after");
}

void CApiServer::NoteStaleResource(const std::string& id, int64_t reads) {
  MutexLock lock(mutex_);
  staleReads_[id] = reads;
}

bool CApiServer::TakeStaleRead(const httplib::Request& request) {
  MutexLock lock(mutex_);
  if (staleReads_.empty()) return false;
  auto it = staleReads_.find(request.path.substr(request.path.rfind('/') + 1));
  if (it == staleReads_.end()) return false;
  if (--it->second <= 0) staleReads_.erase(it);
  return true;
}

httplib::Server::Handler CApiServer::Wrap(ApiRoute route, bool isChange) {
  return [this, route = std::move(route), isChange](const httplib::Request& request, httplib::Response& response) {
    std::string why;
    if (CarriesBody(request) && request.path.rfind(kMetadataPrefix, 0) != 0 && !Authenticated(request, why))
      return ReplyError(response, 401, "NotAuthenticated", why);
    std::shared_ptr<SOperation> operation;
    std::optional<CRetryTokenRun> tokenRun;
    bool ran = false;  // the route ran: what follows may lose its answer
    try {
      bool first = false;
      const std::shared_ptr<sim::CSimCloud> cloud = Cloud();  // held while the route runs
      operation = OperationOf(request, *cloud, first);
      CRequestCaller caller(request.remote_port, request.local_port);
      if (KillAwaited(caller, operation.get()))
        return ReplyError(response, 500, "InternalError", "The caller was killed by a fault rule");
      static const sim::SCallFaults kNone;
      static const std::string kNoName;
      const sim::SCallFaults& faults = operation ? operation->faults : kNone;
      if (first) {
        if (faults.delayMs > 0) HostClock::Sleep(static_cast<uint64_t>(faults.delayMs));
        if (faults.killBefore) {
          KillCaller(caller, operation->name, "before");
          return ReplyError(response, 500, "InternalError", "The caller was killed by a fault rule");
        }
        if (faults.fail) return ReplyError(response, 409, "IncorrectState", faults.failText);
        if (faults.httpStatus) return ReplyFaultStatus(response, faults, operation->name);
        if (faults.reset) return DropConnection(request, response);
      }
      if (request.method == "GET" && TakeStaleRead(request))
        throw CApiRefusal(404, "NotAuthorizedOrNotFound", "No resource at [" + request.path + "]");
      const std::string token = isChange ? request.get_header_value("opc-retry-token") : "";
      if (!token.empty()) {
        SKeptAnswer kept;
        switch (retryTokens_.Claim(token, RetriedRequest(request), kept)) {
          case CRetryTokens::EClaim::Conflict:
            throw CApiRefusal(409, "Conflict", "The retry token [" + token + "] was given for another request");
          case CRetryTokens::EClaim::Replay:
            return ReplayAnswer(response, kept);
          case CRetryTokens::EClaim::Run:
            tokenRun.emplace(retryTokens_, token, response);
            break;
        }
      }
      SApiCall call{request, response, *cloud, faults, operation ? operation->name : kNoName, options_.pageSize};
      // What a change makes is noted as the caller's doing (finding the caller costs a look through /proc).
      if (isChange) sim::SetCallerPid(caller.Pid());
      ran = true;
      route(call);
      sim::SetCallerPid(0);
      if (operation && faults.killAfter) MeetKillAfter(caller, operation, isChange);
    } catch (const CApiRefusal& e) {
      ReplyError(response, e.Status(), e.Code(), e.what());
    } catch (const sim::CSimRefused& e) {
      ReplyRefusal(response, e);
    } catch (const std::exception& e) {
      ReplyError(response, 500, "InternalError", e.what());
    }
    sim::SetCallerPid(0);
    if (tokenRun) tokenRun->Finish();  // the answer the route made, lost below or not
    if (!operation || !ran) return;
    const sim::SCallFaults& faults = operation->faults;
    if (faults.staleReads > 0 && !operation->createMet) {
      const std::string created = CreatedId(request, response);
      if (!created.empty() && !operation->createMet.exchange(true)) NoteStaleResource(created, faults.staleReads);
    }
    if (faults.lostResponse && isChange && !operation->changeMet.exchange(true)) {
      if (faults.lostResponseDrop) return DropConnection(request, response);
      const std::string requestId = response.get_header_value("opc-request-id");
      response.headers.clear();
      response.set_header("opc-request-id", requestId);
      ReplyError(response, 500, "InternalServerError", "Internal server error (fault rule of " + operation->name + ")");
    }
  };
}

int CApiServer::Serve() {
  // A client gone before its answer (or a connection a fault rule dropped) fails that write, not the server.
  ::signal(SIGPIPE, SIG_IGN);
  const int port = options_.port;
  const int bound =
      port ? (server_.bind_to_port("127.0.0.1", port) ? port : -1) : server_.bind_to_any_port("127.0.0.1");
  if (bound < 0) return Failure("Cannot listen on 127.0.0.1:" + std::to_string(port));
  const std::string endpoint = "http://127.0.0.1:" + std::to_string(bound);
  if (!WriteWholeFile(sim::ApiFolder(sandbox_) + "/endpoint", endpoint + "\n"))
    return Failure("Cannot write [" + sim::ApiFolder(sandbox_) + "/endpoint]");
  std::printf("Serving %s\n", endpoint.c_str());
  std::fflush(stdout);
  const bool stoppedCleanly = server_.listen_after_bind();
  std::remove((sim::ApiFolder(sandbox_) + "/endpoint").c_str());  // a job must not reach for a server that is gone
  return stoppedCleanly ? 0 : Failure("The server stopped with an error");
}

void CApiServer::Stop() { server_.stop(); }

}  // namespace cloudsim
