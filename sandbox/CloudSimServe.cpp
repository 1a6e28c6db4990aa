// cloud-sim serve: the sandbox's cloud behind the cloud's REST API (ApiServer.h), until SIGINT or SIGTERM.
#include <signal.h>

#include <filesystem>
#include <thread>

#include "ApiServer.h"
#include "CloudSimCommands.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/sim/SandboxApiUser.h"
#include "host/FXFile.h"

namespace cloudsim {

int RunServe(const std::string& sandboxArg, int port, int pageSize) {
  namespace rest = OracleCloudSDKCppBridge;
  const std::string sandbox = std::filesystem::absolute(sandboxArg).lexically_normal().string();
  rest::SApiCredentials user;
  std::string pem, error;
  if (!rest::ReadApiCredentials(sim::ApiConfigPath(sandbox), "", user, error))
    return Failure(error + " (was the sandbox made with --backend rest?)");
  const std::string publicKey = sim::ApiPublicKeyPath(sandbox);
  if (!ReadWholeFile(publicKey, pem)) return Failure("Cannot read [" + publicKey + "]");
  auto key = rest::CPublicKey::FromPem(pem, error);
  if (!key) return Failure("The public key file [" + publicKey + "] holds " + error);
  if (pageSize < 1 || pageSize > 1000) return Failure("The page size must be within 1 and 1000");
  // SIGINT and SIGTERM stop the server from a thread of their own: nothing runs in a signal handler.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  CApiServer server(sandbox, key, user.KeyId(), SServeOptions{port, pageSize});
  std::thread([&server, stops] {
    int received = 0;
    sigwait(&stops, &received);
    server.Stop();
  }).detach();
  return server.Serve();
}

}  // namespace cloudsim
