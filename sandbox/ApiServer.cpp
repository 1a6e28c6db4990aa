#include "ApiServer.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>

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

}  // namespace

// What the emulator keeps of one bridge operation between its requests.
struct CApiServer::SOperation {
  std::string name;
  sim::SCallFaults faults;
  bool killedAfter = false;
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
    std::lock_guard<std::mutex> lock(mutex_);
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
  AddObjectStorageRoutes(*this);
  AddMetadataRoutes(*this);
}

CApiServer::~CApiServer() = default;

void CApiServer::Get(const std::string& pattern, ApiRoute route) { server_.Get(pattern, Wrap(std::move(route), false)); }
void CApiServer::Post(const std::string& pattern, ApiRoute route) { server_.Post(pattern, Wrap(std::move(route), true)); }
void CApiServer::Put(const std::string& pattern, ApiRoute route) { server_.Put(pattern, Wrap(std::move(route), true)); }
void CApiServer::Delete(const std::string& pattern, ApiRoute route) {
  server_.Delete(pattern, Wrap(std::move(route), true));
}
// A HEAD route is reached only through the GET of the same path in this HTTP library: the route answers
// both, and its body goes unsent for HEAD.
void CApiServer::Head(const std::string& pattern, ApiRoute route) { server_.Get(pattern, Wrap(std::move(route), false)); }

std::shared_ptr<sim::CSimCloud> CApiServer::Cloud() {
  std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
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
  std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (awaitingKill_.empty()) return false;
  }
  const SProcessIdentity identity = caller.Identity();
  std::shared_ptr<SOperation> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = awaitingKill_.find(identity);
    if (it == awaitingKill_.end() || it->second.get() == current) return false;
    done = it->second;
    awaitingKill_.erase(it);
  }
  KillCaller(caller, done->name, "after");
  return true;
}

void CApiServer::MeetKillAfter(CRequestCaller& caller, const std::shared_ptr<SOperation>& operation,
                               bool isChange) {
  const bool now = isChange || sim::IsReadOnlyOperation(operation->name);
  const SProcessIdentity identity = now ? SProcessIdentity() : caller.Identity();
  {
    std::lock_guard<std::mutex> lock(mutex_);
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

httplib::Server::Handler CApiServer::Wrap(ApiRoute route, bool isChange) {
  return [this, route = std::move(route), isChange](const httplib::Request& request, httplib::Response& response) {
    std::string why;
    if (CarriesBody(request) && request.path.rfind(kMetadataPrefix, 0) != 0 && !Authenticated(request, why))
      return ReplyError(response, 401, "NotAuthenticated", why);
    try {
      bool first = false;
      const std::shared_ptr<sim::CSimCloud> cloud = Cloud();  // held while the route runs
      std::shared_ptr<SOperation> operation = OperationOf(request, *cloud, first);
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
      }
      SApiCall call{request, response, *cloud, faults, operation ? operation->name : kNoName, options_.pageSize};
      // What a change makes is noted as the caller's doing (finding the caller costs a look through /proc).
      if (isChange) sim::SetCallerPid(caller.Pid());
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
  };
}

int CApiServer::Serve() {
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
