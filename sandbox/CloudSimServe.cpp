// cloud-sim serve: the sandbox's cloud behind the cloud's REST API, for jobs on the REST backend.
// Every request must carry a valid signature of the sandbox's API user and a date within five minutes;
// each is answered with an opc-request-id and logged to <sandbox>/api/requests.log.
#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <nlohmann/json.hpp>

#include "CloudSimCommands.h"
#include "SandboxCloud.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/sim/SandboxApiUser.h"
#include "bridge/sim/SimDiscovery.h"
#include "host/FXFile.h"
#include "host/HostClock.h"

namespace cloudsim {
namespace {

using json = nlohmann::json;
namespace rest = OracleCloudSDKCppBridge;

constexpr long long kDateSkewSeconds = 300;

// Seconds since the epoch of an HTTP date; -1 when it is none.
long long ParseHttpDate(const std::string& text) {
  struct tm parts = {};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return end && *end == '\0' ? static_cast<long long>(timegm(&parts)) : -1;
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

class CApiServer {
 public:
  CApiServer(std::string sandbox, std::shared_ptr<rest::CPublicKey> key, std::string keyId)
      : sandbox_(std::move(sandbox)), key_(std::move(key)), keyId_(std::move(keyId)) {
    server_.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
      response.set_header("opc-request-id", NewRequestId());
      std::string why;
      if (Authenticated(request, why)) return httplib::Server::HandlerResponse::Unhandled;
      ReplyError(response, 401, "NotAuthenticated", why);
      return httplib::Server::HandlerResponse::Handled;
    });
    server_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
      std::lock_guard<std::mutex> lock(logMutex_);
      std::ofstream(sim::ApiFolder(sandbox_) + "/requests.log", std::ios::app)
          << request.method << " " << request.target << " " << response.status << " "
          << response.get_header_value("opc-request-id") << "\n";
    });
    server_.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
      if (response.status == 404 && response.body.empty())
        ReplyError(response, 404, "NotAuthorizedOrNotFound", "No resource at [" + request.path + "]");
    });
    server_.Get("/20160918/regions", [this](const httplib::Request&, httplib::Response& response) {
      json regions = json::array();
      for (const auto& region : sim::CSimDiscovery(*Cloud()).Regions())
        regions.push_back({{"key", region.regionKey}, {"name", region.name}});
      response.set_content(regions.dump(), "application/json");
    });
  }

  int Serve(int port) {
    const int bound = port ? (server_.bind_to_port("127.0.0.1", port) ? port : -1) : server_.bind_to_any_port("127.0.0.1");
    if (bound < 0) return Failure("Cannot listen on 127.0.0.1:" + std::to_string(port));
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(bound);
    if (!WriteWholeFile(sim::ApiFolder(sandbox_) + "/endpoint", endpoint + "\n"))
      return Failure("Cannot write [" + sim::ApiFolder(sandbox_) + "/endpoint]");
    std::printf("Serving %s\n", endpoint.c_str());
    std::fflush(stdout);
    return server_.listen_after_bind() ? 0 : Failure("The server stopped with an error");
  }
  void Stop() { server_.stop(); }

 private:
  bool Authenticated(const httplib::Request& request, std::string& why) const {
    rest::SHttpRequest signed_;
    signed_.method = request.method, signed_.target = request.target, signed_.body = request.body;
    for (const auto& [name, value] : request.headers) signed_.headers.emplace_back(name, value);
    const std::string date = signed_.Header("x-date").empty() ? signed_.Header("date") : signed_.Header("x-date");
    const long long when = ParseHttpDate(date), now = HostClock::Now();
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

  sim::CSimCloud* Cloud() {
    std::lock_guard<std::mutex> lock(cloudMutex_);
    if (!cloud_) cloud_ = OpenSandboxCloud(sandbox_);
    return cloud_.get();
  }

  std::string sandbox_;
  std::shared_ptr<rest::CPublicKey> key_;
  std::string keyId_;
  httplib::Server server_;
  std::mutex logMutex_, cloudMutex_;
  std::unique_ptr<sim::CSimCloud> cloud_;
};

}  // namespace

int RunServe(const std::string& sandboxArg, int port) {
  const std::string sandbox = std::filesystem::absolute(sandboxArg).lexically_normal().string();
  rest::SApiCredentials user;
  std::string pem, error;
  if (!rest::ReadApiCredentials(sim::ApiConfigPath(sandbox), "", user, error))
    return Failure(error + " (was the sandbox made with --backend rest?)");
  if (!ReadWholeFile(sim::ApiPublicKeyPath(sandbox), pem)) return Failure("Cannot read [" + sim::ApiPublicKeyPath(sandbox) + "]");
  auto key = rest::CPublicKey::FromPem(pem, error);
  if (!key) return Failure("[" + sim::ApiPublicKeyPath(sandbox) + "] holds " + error);
  // SIGINT and SIGTERM stop the server from a thread of their own: nothing runs in a signal handler.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  CApiServer server(sandbox, key, user.KeyId());
  std::thread([&server, stops] {
    int received = 0;
    sigwait(&stops, &received);
    server.Stop();
  }).detach();
  return server.Serve(port);
}

}  // namespace cloudsim
