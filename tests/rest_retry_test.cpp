// The REST client's retries against a scripted service: what is tried again and what is not, the
// waits (on a virtual clock) within the budget, one retry token per logical POST, a DELETE whose lost
// first attempt did the work, a read that lags its create, and the image import's work request.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <httplib.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "HostTestUtil.h"
#include "bridge/BridgeTypes.h"
#include "bridge/rest/ApiKey.h"
#include "bridge/rest/RestApi.h"
#include "bridge/rest/RestBridge.h"
#include "host/HostClock.h"
#include "host/TZPlatformInfo.h"

using namespace OracleCloudSDKCppBridge;

namespace {

struct SSeen {
  std::string method, path, retryToken;
};

using FAnswer = std::function<void(const httplib::Request&, httplib::Response&)>;

// An HTTP service on the loopback whose every answer is the test's `answer`; it notes each request.
class ScriptedService {
 public:
  ScriptedService() {
    const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
      std::shared_ptr<FAnswer> answer;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back({request.method, request.path, request.get_header_value("opc-retry-token")});
        answer = answer_;
      }
      (*answer)(request, response);
    };
    server_.Get(".*", handle), server_.Post(".*", handle), server_.Put(".*", handle), server_.Delete(".*", handle);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~ScriptedService() {
    server_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void Answer(FAnswer answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::make_shared<FAnswer>(std::move(answer)), seen_.clear();
  }
  std::vector<SSeen> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::shared_ptr<FAnswer> answer_ = std::make_shared<FAnswer>([](auto&, auto&) {});
  std::vector<SSeen> seen_;
};

// `body` for a success; the API's error body "Code<status>: refused" for any other status.
void Reply(httplib::Response& response, int status, const json& body = json::object()) {
  response.status = status;
  const json refusal = {{"code", "Code" + std::to_string(status)}, {"message", "refused"}};
  response.set_content((status >= 300 ? refusal : body).dump(), "application/json");
}

int PortOf(int fd, int (*name)(int, sockaddr*, socklen_t*)) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  return name(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? ntohs(address.sin_port) : 0;
}

// The request's connection is shut down unanswered: the client reads an empty reply.
void Drop(const httplib::Request& request) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    if (PortOf(fd, ::getsockname) == request.local_port && PortOf(fd, ::getpeername) == request.remote_port)
      ::shutdown(fd, SHUT_RDWR);
  }
}

class RestRetry : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    key_ = CPrivateKey::Generate(error);
    ASSERT_TRUE(key_) << error;
  }
  void SetUp() override { HostClock::Install(&clock_); }
  void TearDown() override {
    HostClock::Install(nullptr);
    TZPlatformInfo::ClearValues();
  }
  std::unique_ptr<CRestApi> Api(uint32_t budgetSeconds = 180, const std::string& url = "") {
    return std::make_unique<CRestApi>(SRestEndpoints::FromUrl(url.empty() ? service_.Url() : url),
                                      std::make_unique<CRequestSigner>("t/u/f", key_), SHttpOptions{}, budgetSeconds);
  }
  // The text of the CRestError `call` throws, with its status; "" when it throws none.
  static std::string Thrown(const std::function<void()>& call, long* status = nullptr) {
    try {
      call();
    } catch (const CRestError& e) {
      if (status) *status = e.Status();
      return e.what();
    }
    return "";
  }

  static inline std::shared_ptr<CPrivateKey> key_;
  CVirtualClock clock_;
  ScriptedService service_;
};

TEST_F(RestRetry, ThrottledAndUnwellAnswersAreRetriedWithinTheBudget) {
  // Each retried status once, then success: two attempts, one resource made.
  for (int status : {429, 500, 502, 503, 504}) {
    std::map<std::string, int> made;  // retry token -> creates it made
    service_.Answer([&, calls = 0](const httplib::Request& request, httplib::Response& response) mutable {
      if (calls++ == 0) {
        if (status == 429) response.set_header("retry-after", "3");
        return Reply(response, status);
      }
      ++made[request.get_header_value("opc-retry-token")];
      Reply(response, 200, {{"id", "ocid1.volume.one"}});
    });
    const uint64_t sleptBefore = clock_.TotalSleptMilliseconds();
    EXPECT_EQ(Api()->Post(ERestService::Core, "/20160918/volumes", {{"size", 1}})["id"], "ocid1.volume.one") << status;
    EXPECT_EQ(service_.Seen().size(), 2u) << status;
    EXPECT_EQ(made.size(), 1u) << status;
    if (status == 429) {
      EXPECT_GE(clock_.TotalSleptMilliseconds() - sleptBefore, 3000u);
    }
  }

  // Unwell for good: the call gives up with the last answer once the next wait would pass the budget.
  service_.Answer([](const httplib::Request&, httplib::Response& response) { Reply(response, 503); });
  const uint64_t sleptBefore = clock_.TotalSleptMilliseconds();
  long status = 0;
  const std::string text = Thrown([&] { Api(20)->Get(ERestService::Core, "/20160918/volumes/v"); }, &status);
  const size_t attempts = service_.Seen().size();
  EXPECT_GE(attempts, 5u);  // the first four waits are at most 1 + 2 + 4 + 8 s
  EXPECT_EQ(text, "Code503: refused, after " + std::to_string(attempts) + " attempts");
  EXPECT_EQ(status, 503);
  EXPECT_LE(clock_.TotalSleptMilliseconds() - sleptBefore, 20'000u);

  // A budget of 0: one attempt.
  service_.Answer([](const httplib::Request&, httplib::Response& response) { Reply(response, 503); });
  EXPECT_EQ(Thrown([&] { Api(0)->Delete(ERestService::Core, "/20160918/volumes/v"); }),
            "Code503: refused, after 1 attempt");
  EXPECT_EQ(service_.Seen().size(), 1u);

  // retry-after longer than the budget left: no wait at all.
  service_.Answer([](const httplib::Request&, httplib::Response& response) {
    response.set_header("retry-after", "60");
    Reply(response, 429);
  });
  const uint64_t sleptBeforeLong = clock_.TotalSleptMilliseconds();
  EXPECT_EQ(Thrown([&] { Api(30)->Get(ERestService::Core, "/20160918/volumes/v"); }),
            "Code429: refused, after 1 attempt");
  EXPECT_EQ(clock_.TotalSleptMilliseconds(), sleptBeforeLong);
}

TEST_F(RestRetry, OtherAnswersAndNoConnectionAreTheCallsOutcomeAtOnce) {
  for (int refused : {400, 404, 409}) {
    service_.Answer([&](const httplib::Request&, httplib::Response& response) { Reply(response, refused); });
    long status = 0;
    EXPECT_EQ(Thrown([&] { Api()->Post(ERestService::Core, "/20160918/volumes", json::object()); }, &status),
              "Code" + std::to_string(refused) + ": refused");
    EXPECT_EQ(status, refused);
    EXPECT_EQ(service_.Seen().size(), 1u) << refused;
  }
  // Nothing listens on port 1: no connection, no retry.
  long status = -1;
  const std::string text =
      Thrown([&] { Api(180, "http://127.0.0.1:1")->Get(ERestService::Core, "/20160918/volumes/v"); }, &status);
  EXPECT_EQ(text.rfind("RequestFailed: the request to [127.0.0.1:1] failed: ", 0), 0u) << text;
  EXPECT_EQ(text.find("attempt"), std::string::npos) << text;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(clock_.TotalSleptMilliseconds(), 0u);
}

TEST_F(RestRetry, ADroppedPostIsRetriedWithItsTokenAndEachLogicalPostHasItsOwn) {
  // The service makes what a new token asks for; a token seen before gets the first answer again.
  std::map<std::string, std::string> made;
  service_.Answer([&, drops = 1](const httplib::Request& request, httplib::Response& response) mutable {
    const std::string token = request.get_header_value("opc-retry-token");
    if (!made.count(token)) made[token] = "ocid1.volume." + std::to_string(made.size());
    if (drops-- > 0) return Drop(request);
    Reply(response, 200, {{"id", made[token]}});
  });
  const auto api = Api();
  EXPECT_EQ(api->Post(ERestService::Core, "/20160918/volumes", {{"size", 1}})["id"], "ocid1.volume.0");
  EXPECT_EQ(api->Post(ERestService::Core, "/20160918/volumes", {{"size", 1}})["id"], "ocid1.volume.1");
  const std::vector<SSeen> seen = service_.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].retryToken.size(), 36u);
  EXPECT_EQ(seen[1].retryToken, seen[0].retryToken);
  EXPECT_NE(seen[2].retryToken, seen[0].retryToken);
  EXPECT_EQ(made.size(), 2u);
}

// Each on a fresh connection and on a kept one (which libcurl itself sends again when it dies unanswered).
TEST_F(RestRetry, ADeleteWhoseEarlierAttemptMayHaveDoneItIsDoneOn404) {
  const struct {
    const char* what;
    FAnswer first;
    std::string thrown;
  } cases[] = {
      {"an answer lost as 500", [](auto&, httplib::Response& r) { Reply(r, 500); }, ""},
      {"a dropped connection", [](const httplib::Request& q, auto&) { Drop(q); }, ""},
      {"a throttled first attempt, which did nothing", [](auto&, httplib::Response& r) { Reply(r, 429); },
       "Code404: refused, after 2 attempts"},
  };
  for (const bool kept : {false, true}) {
    for (const auto& c : cases) {
      service_.Answer([&, deletes = 0](const httplib::Request& request, httplib::Response& response) mutable {
        if (request.method == "GET") return Reply(response, 200);
        if (deletes++ == 0) return c.first(request, response);
        Reply(response, 404);
      });
      const auto api = Api();
      if (kept) api->Get(ERestService::Core, "/20160918/volumes");
      EXPECT_EQ(Thrown([&] { api->Delete(ERestService::Core, "/20160918/volumes/v"); }), c.thrown) << c.what << kept;
      EXPECT_EQ(service_.Seen().size(), kept ? 3u : 2u) << c.what << kept;
    }
  }
}

TEST_F(RestRetry, AGetByIdSoonAfterItsCreateWaitsOutTheServicesLag) {
  int notYet = 2;
  service_.Answer([&](const httplib::Request& request, httplib::Response& response) {
    if (request.method == "POST") return Reply(response, 200, {{"id", "ocid1.volume.new"}});
    if (request.path == "/20160918/volumes/ocid1.volume.new" && notYet-- <= 0)
      return Reply(response, 200, {{"id", "x"}});
    Reply(response, 404);
  });
  const auto api = Api();
  api->Post(ERestService::Core, "/20160918/volumes", json::object());
  EXPECT_EQ(api->Get(ERestService::Core, "/20160918/volumes/ocid1.volume.new")["id"], "x");
  EXPECT_EQ(service_.Seen().size(), 4u);
  // Another id is not found at once.
  EXPECT_EQ(Thrown([&] { api->Get(ERestService::Core, "/20160918/volumes/ocid1.volume.old"); }), "Code404: refused");
  EXPECT_EQ(service_.Seen().size(), 5u);
  // Nor is its id in another collection (a probe whether an id is an image's, say): not the resource made.
  EXPECT_EQ(Thrown([&] { api->Get(ERestService::Core, "/20160918/images/ocid1.volume.new"); }), "Code404: refused");
  EXPECT_EQ(service_.Seen().size(), 6u);

  // One that never appears is given up on within 30 s of its create.
  notYet = 1'000'000;
  api->Post(ERestService::Core, "/20160918/volumes", json::object());
  const uint64_t sleptBefore = clock_.TotalSleptMilliseconds();
  const std::string text = Thrown([&] { api->Get(ERestService::Core, "/20160918/volumes/ocid1.volume.new"); });
  EXPECT_EQ(text.rfind("Code404: refused, after ", 0), 0u) << text;
  EXPECT_GT(service_.Seen().size(), 3u);
  EXPECT_LE(clock_.TotalSleptMilliseconds() - sleptBefore, 30'000u);
  // Once deleted by this session, its 404 is the answer.
  api->Post(ERestService::Core, "/20160918/volumes", json::object());
  service_.Answer([](const httplib::Request&, httplib::Response& response) { Reply(response, 404); });
  Thrown([&] { api->Delete(ERestService::Core, "/20160918/volumes/ocid1.volume.new"); });
  EXPECT_EQ(Thrown([&] { api->Get(ERestService::Core, "/20160918/volumes/ocid1.volume.new"); }), "Code404: refused");
  EXPECT_EQ(service_.Seen().size(), 2u);
}

// Through the bridge: the retry budget of the configuration, and the image import followed by its
// work request, known from the create or listed by the image.
TEST_F(RestRetry, TheBridgeReadsItsBudgetAndFollowsAnImportsWorkRequest) {
  hosttest::TempDir dir;
  const std::string keyFile = dir.Path() + "/key.pem", config = dir.Path() + "/config";
  hosttest::PutFile(keyFile, key_->PrivatePem());
  ::chmod(keyFile.c_str(), 0600);
  hosttest::PutFile(
      config, "[DEFAULT]\nuser=u\nfingerprint=" + key_->Fingerprint() + "\nkey_file=key.pem\ntenancy=t\nregion=r\n");
  std::string wrStatus = "IN_PROGRESS";
  int errorsStatus = 200;
  int tenancyRefusals = 1;
  service_.Answer([&](const httplib::Request& request, httplib::Response& response) {
    const std::string& path = request.path;
    if (path == "/20160918/tenancies/t")
      return tenancyRefusals-- > 0 ? Reply(response, 503) : Reply(response, 200, {{"id", "t"}});
    if (path == "/n/") return Reply(response, 200, "ns");
    if (path == "/20160918/images") {
      response.set_header("opc-work-request-id", "wr.known");
      return Reply(response, 200, {{"id", "ocid1.image.known"}, {"compartmentId", "c"}});
    }
    if (path == "/20160918/workRequests/wr.known")
      return Reply(response, 200, {{"id", "wr.known"}, {"status", wrStatus}});
    if (path == "/20160918/workRequests/wr.known/errors")
      return Reply(response, errorsStatus,
                   json::array({{{"code", "ImportFailed"}, {"message", "no disk image"}},
                                {{"code", "Other"}, {"message", "second"}}}));
    if (path == "/20160918/images/ocid1.image.other") return Reply(response, 200, {{"compartmentId", "c"}});
    const auto listed = [](const char* id, const char* status, const char* accepted) {
      return json{{"id", id}, {"operationType", "CreateImage"}, {"status", status}, {"timeAccepted", accepted}};
    };
    if (path == "/20160918/workRequests" && request.get_param_value("resourceId") == "ocid1.image.other" &&
        request.get_param_value("compartmentId") == "c")
      return Reply(response, 200,
                   json::array({listed("wr.1", "FAILED", "2026-01-01T00:00:00Z"),
                                listed("wr.2", "SUCCEEDED", "2026-01-02T00:00:00Z")}));
    Reply(response, 404);
  });
  CRestBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  TZPlatformInfo::SetValue("VirtualServer", "nOCIRequestRetryBudgetSeconds", "0");
  EXPECT_FALSE(bridge.Connect(service_.Url(), config, ""));
  EXPECT_NE(bridge.GetLastError().find("Code503: refused, after 1 attempt"), std::string::npos)
      << bridge.GetLastError();
  TZPlatformInfo::RemoveValue("VirtualServer", "nOCIRequestRetryBudgetSeconds");
  tenancyRefusals = 1;
  ASSERT_TRUE(bridge.Connect(service_.Url(), config, "")) << bridge.GetLastError();

  std::string imageId;
  ASSERT_TRUE(bridge.CreateImage("bucket", "object", "image", "", "c", imageId)) << bridge.GetLastError();
  EXPECT_EQ(imageId, "ocid1.image.known");
  bool completed = true;
  ASSERT_TRUE(bridge.IsImageImportOperationCompleted(imageId, completed)) << bridge.GetLastError();
  EXPECT_FALSE(completed);
  wrStatus = "FAILED";
  EXPECT_FALSE(bridge.IsImageImportOperationCompleted(imageId, completed));
  EXPECT_EQ(bridge.GetLastError(),
            "The import of image [ocid1.image.known] failed: work request [wr.known] is FAILED: "
            "ImportFailed: no disk image; Other: second");
  // Errors that cannot be read leave the failure the import's.
  errorsStatus = 400;
  EXPECT_FALSE(bridge.IsImageImportOperationCompleted(imageId, completed));
  EXPECT_EQ(bridge.GetLastError(),
            "The import of image [ocid1.image.known] failed: work request [wr.known] is FAILED: "
            "its errors could not be read: Code400: refused");
  // An image this session did not create: its newest CreateImage work request.
  ASSERT_TRUE(bridge.IsImageImportOperationCompleted("ocid1.image.other", completed)) << bridge.GetLastError();
  EXPECT_TRUE(completed);
}

}  // namespace
