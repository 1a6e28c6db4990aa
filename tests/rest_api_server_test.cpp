// cloud-sim serve as the cloud's REST API: what a signed request gets, and the status and code each
// kind of bad request gets, as the client reads them.
#include <signal.h>

#include <chrono>
#include <thread>

#include "PluginTestUtil.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/rest/HttpClient.h"
#include "host/HostClock.h"

using namespace OracleCloudSDKCppBridge;
using json = nlohmann::json;

namespace {

class RestServer : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = sandbox_.CloudUrl();
    std::string error;
    ASSERT_TRUE(ReadApiCredentials(sandbox_.Dir() + "/api/config", "", user_, error)) << error;
  }
  void TearDown() override {
    client_.reset();  // its kept connection would hold the server's stop for the keep-alive time
    EXPECT_EQ(sandbox_.StopServing(), 0) << "the server did not stop cleanly";
  }
  // Sends a request signed by `key` (the API user's by default) dated `date` seconds from now.
  SHttpResponse Send(SHttpRequest request, std::shared_ptr<CPrivateKey> key = nullptr, long long date = 0) {
    std::string error;
    if (!key) key = CPrivateKey::Load(user_.keyFile, "", error);
    request.host = HostOfUrl(endpoint_);
    EXPECT_TRUE(CRequestSigner(user_.KeyId(), key).Sign(request, HttpDate(HostClock::Now() + date), false, error))
        << error;
    SHttpResponse response;
    EXPECT_TRUE(client_->Send(endpoint_, request, response, error)) << error;
    return response;
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  std::string endpoint_;
  SApiCredentials user_;
  std::unique_ptr<CHttpClient> client_ = std::make_unique<CHttpClient>();
};

TEST_F(RestServer, ASignedRequestIsAnsweredAndEveryBadOneGetsItsStatusAndCode) {
  const SHttpRequest regions = {.method = "GET", .target = "/20160918/regions"};
  const SHttpResponse ok = Send(regions);
  ASSERT_EQ(ok.status, 200) << ok.body;
  EXPECT_EQ(json::parse(ok.body),
            json::parse(R"([{"key":"PHX","name":"us-phoenix-1"},{"key":"IAD","name":"us-ashburn-1"}])"));
  EXPECT_EQ(ok.Header("opc-request-id").size(), 32u);

  std::string error;
  const auto stranger = CPrivateKey::Generate(error);
  SHttpRequest tampered = {.method = "POST", .target = "/20160918/volumes", .body = R"({"displayName":"v"})"};
  const struct {
    const char* what;
    std::function<SHttpResponse()> send;
    long status;
    const char *code, *message;
  } cases[] = {
      {"another key", [&] { return Send(regions, stranger); }, 401, "NotAuthenticated",
       "the signature does not match the request"},
      {"a date 6 minutes old", [&] { return Send(regions, nullptr, -360); }, 401, "NotAuthenticated",
       "is not within 5 minutes"},
      {"a body changed after signing",
       [&] {
         SHttpRequest r = tampered;
         r.host = HostOfUrl(endpoint_);
         CRequestSigner(user_.KeyId(), CPrivateKey::Load(user_.keyFile, "", error))
             .Sign(r, HttpDate(HostClock::Now()), false, error);
         r.body = R"({"displayName":"w"})";
         SHttpResponse response;
         client_->Send(endpoint_, r, response, error);
         return response;
       },
       401, "NotAuthenticated", "the body does not match its x-content-sha256"},
      {"no signature",
       [&] {
         SHttpRequest r = regions;
         r.SetHeader("x-date", HttpDate(HostClock::Now()));
         SHttpResponse response;
         client_->Send(endpoint_, r, response, error);
         return response;
       },
       401, "NotAuthenticated", "the request carries no signature"},
      {"no such resource", [&] { return Send({.method = "GET", .target = "/20160918/nothing"}); }, 404,
       "NotAuthorizedOrNotFound", "No resource at [/20160918/nothing]"},
  };
  for (const auto& c : cases) {
    const SHttpResponse response = c.send();
    EXPECT_EQ(response.status, c.status) << c.what << response.body;
    const json body = json::parse(response.body, nullptr, false);
    EXPECT_EQ(body.value("code", ""), c.code) << c.what;
    EXPECT_NE(body.value("message", "").find(c.message), std::string::npos) << c.what << response.body;
    EXPECT_FALSE(response.Header("opc-request-id").empty()) << c.what;
  }
  // Every request is in the server's log with its status (written once the answer went out).
  std::string log;
  for (int i = 0; i < 100 && std::count(log.begin(), log.end(), '\n') < 6;
       ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    log = ReadTestFile(sandbox_.Dir() + "/api/requests.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 6) << log;
  EXPECT_NE(log.find("GET /20160918/regions 200 "), std::string::npos) << log;
  EXPECT_NE(log.find("POST /20160918/volumes 401 "), std::string::npos) << log;
}

}  // namespace
