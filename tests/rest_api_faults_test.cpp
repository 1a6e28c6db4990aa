// What cloud-sim serve does to a client as the service's own troubles would (the HTTP fault actions),
// how it honours retry tokens and repeated deletes, and the work requests of image imports: raw signed
// requests, each on a connection of its own (libcurl resends a request whose kept connection dropped),
// checked against the sandbox's cloud.
#include <thread>

#include "PluginTestUtil.h"
#include "bridge/rest/ApiCredentials.h"
#include "bridge/rest/HttpClient.h"
#include "host/HostClock.h"

using namespace OracleCloudSDKCppBridge;
using json = nlohmann::json;

namespace {

constexpr const char* kAd = "Uocm:PHX-AD-1";

class RestFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    endpoint_ = sandbox_.CloudUrl();
    std::string error;
    ASSERT_TRUE(ReadApiCredentials(sandbox_.Dir() + "/api/config", "", user_, error)) << error;
    key_ = CPrivateKey::Load(user_.keyFile, "", error);
    compartment_ = Ls("compartments")[0]["id"];
  }
  void TearDown() override { EXPECT_EQ(sandbox_.StopServing(), 0) << "the server did not stop cleanly"; }

  // One request of the bridge operation `clientId` ("<operation>/<id>"); status 0 when no answer came.
  SHttpResponse Send(const std::string& method, const std::string& target, const std::string& body = "",
                     const std::string& clientId = "", const std::string& token = "") {
    SHttpRequest request{.method = method, .target = target, .body = body};
    request.host = HostOfUrl(endpoint_);
    if (!clientId.empty()) request.SetHeader("opc-client-request-id", clientId);
    if (!token.empty()) request.SetHeader("opc-retry-token", token);
    std::string error;
    EXPECT_TRUE(CRequestSigner(user_.KeyId(), key_).Sign(request, HttpDate(HostClock::Now()), false, error)) << error;
    SHttpResponse response;
    if (!CHttpClient().Send(endpoint_, request, response, error)) response.status = 0, response.body = error;
    return response;
  }
  json Ls(const std::string& kind) {
    std::string out;
    EXPECT_EQ(sandbox_.CloudSim({"ls", kind, "--json"}, &out), 0) << out;
    return json::parse(out, nullptr, false);
  }
  size_t Named(const std::string& kind, const std::string& name) {
    size_t count = 0;
    for (const json& item : Ls(kind)) count += item.value("name", "") == name;
    return count;
  }
  void Fault(std::vector<std::string> args) {
    std::string out;
    args.insert(args.begin(), {"fault", "add"});
    ASSERT_EQ(sandbox_.CloudSim(args, &out), 0) << out;
  }
  std::string VolumeBody(const std::string& name) {
    return json{{"compartmentId", compartment_}, {"availabilityDomain", kAd}, {"displayName", name}, {"sizeInMBs", 64}}
        .dump();
  }
  static std::string Code(const SHttpResponse& response) {
    const json body = json::parse(response.body, nullptr, false);
    return body.is_object() ? body.value("code", "") : "";
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  std::string endpoint_, compartment_;
  SApiCredentials user_;
  std::shared_ptr<CPrivateKey> key_;
};

// Each action meets the operation's first request only, with no effect; its retry (same client request
// id) goes through, and the operation is counted once.
TEST_F(RestFaults, HttpActionsMeetTheFirstRequestOnlyWithoutEffect) {
  const struct {
    std::vector<std::string> options;
    long status;
    const char *code, *retryAfter;
  } cases[] = {{{"http-429", "--retry-after", "7"}, 429, "TooManyRequests", "7"},
               {{"http-500"}, 500, "InternalServerError", ""},
               {{"http-503", "--retry-after", "0"}, 503, "ServiceUnavailable", "0"},
               {{"reset"}, 0, "", ""}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options[0]);
    std::vector<std::string> rule = {"--op", "CreateVolume", "--nth", "1", "--action"};
    rule.insert(rule.end(), c.options.begin(), c.options.end());
    Fault(rule);
    const std::string name = std::string("v").append(std::to_string(++n)), clientId = "CreateVolume/" + name;
    const SHttpResponse first = Send("POST", "/20160918/volumes", VolumeBody(name), clientId);
    EXPECT_EQ(first.status, c.status) << first.body;
    EXPECT_EQ(Code(first), c.code);
    EXPECT_EQ(first.Header("retry-after"), c.retryAfter);
    if (!c.status) {
      EXPECT_NE(first.body.find("Empty reply"), std::string::npos) << "no answer at all: " << first.body;
    }
    EXPECT_EQ(Named("volumes", name), 0u) << "no effect";
    const SHttpResponse retry = Send("POST", "/20160918/volumes", VolumeBody(name), clientId);
    EXPECT_EQ(retry.status, 200) << retry.body;
    EXPECT_EQ(Named("volumes", name), 1u);
  }
  std::string out;
  ASSERT_EQ(sandbox_.CloudSim({"calls", "--json"}, &out), 0);
  EXPECT_EQ(json::parse(out).value("CreateVolume", 0), 4);
}

// A retried POST gets the first answer and makes nothing more, also when that answer was lost (a 500
// or a dropped connection); the token given for another body is refused; concurrent retries make one.
TEST_F(RestFaults, RetryTokensReplayTheFirstAnswerOnce) {
  const SHttpResponse created = Send("POST", "/20160918/volumes", VolumeBody("t1"), "CreateVolume/a", "token-1");
  ASSERT_EQ(created.status, 200) << created.body;
  const SHttpResponse replayed = Send("POST", "/20160918/volumes", VolumeBody("t1"), "CreateVolume/a", "token-1");
  EXPECT_EQ(replayed.status, 200);
  EXPECT_EQ(replayed.body, created.body);
  EXPECT_EQ(replayed.Header("etag"), created.Header("etag"));
  EXPECT_NE(replayed.Header("opc-request-id"), created.Header("opc-request-id"));
  const SHttpResponse other = Send("POST", "/20160918/volumes", VolumeBody("t2"), "CreateVolume/b", "token-1");
  EXPECT_EQ(other.status, 409);
  EXPECT_EQ(Code(other), "Conflict");
  EXPECT_EQ(Named("volumes", "t1") + Named("volumes", "t2"), 1u);

  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "--drop" : "500");
    std::vector<std::string> rule = {"--op", "CreateVolume", "--nth", "1", "--action", "lost-response"};
    if (drop) rule.push_back("--drop");
    Fault(rule);
    const std::string name = drop ? "lost-drop" : "lost-500", token = "token-" + name;
    const SHttpResponse lost = Send("POST", "/20160918/volumes", VolumeBody(name), "CreateVolume/" + name, token);
    EXPECT_EQ(lost.status, drop ? 0 : 500) << lost.body;
    EXPECT_EQ(Code(lost), drop ? "" : "InternalServerError");
    EXPECT_EQ(Named("volumes", name), 1u) << "the change was made";
    const SHttpResponse retry = Send("POST", "/20160918/volumes", VolumeBody(name), "CreateVolume/" + name, token);
    ASSERT_EQ(retry.status, 200) << retry.body;
    EXPECT_EQ(json::parse(retry.body)["displayName"], name);
    EXPECT_EQ(Named("volumes", name), 1u) << "the retry made no second one";
  }

  std::vector<SHttpResponse> answers(3);
  std::vector<std::thread> threads;
  for (auto& answer : answers)
    threads.emplace_back([&] { answer = Send("POST", "/20160918/volumes", VolumeBody("c"), "CreateVolume/c", "tc"); });
  for (auto& thread : threads) thread.join();
  for (const auto& answer : answers) EXPECT_EQ(answer.body, answers[0].body);
  EXPECT_EQ(answers[0].status, 200);
  EXPECT_EQ(Named("volumes", "c"), 1u);
}

TEST_F(RestFaults, StaleReadAnswersNotFoundCountTimesThenTheResource) {
  Fault({"--op", "CreateVolume", "--nth", "1", "--action", "stale-read", "--count", "2"});
  const SHttpResponse created = Send("POST", "/20160918/volumes", VolumeBody("s"), "CreateVolume/s");
  ASSERT_EQ(created.status, 200) << created.body;
  const std::string id = json::parse(created.body)["id"];
  std::vector<long> statuses;
  for (int i = 0; i < 3; ++i)
    statuses.push_back(Send("GET", "/20160918/volumes/" + id, "", "GetVolumeStatus/s").status);
  EXPECT_EQ(statuses, (std::vector<long>{404, 404, 200}));
}

// A delete repeated for what is gone answers 404; one for what is going away answers 204 again.
TEST_F(RestFaults, RepeatedDeletesAnswerAsTheServiceDoes) {
  const SHttpResponse volume = Send("POST", "/20160918/volumes", VolumeBody("d"));
  ASSERT_EQ(volume.status, 200);
  const std::string volumeId = json::parse(volume.body)["id"];
  std::string attachmentId, instanceId;
  for (const json& a : Ls("attachments")) attachmentId = a["id"], instanceId = a["instance_id"];
  ASSERT_EQ(sandbox_.CloudSim({"config", "set", "provision_seconds.instance", "2"}), 0);
  const struct {
    std::string target;
    std::vector<long> statuses;
  } cases[] = {{"/20160918/volumes/" + volumeId, {204, 404}},
               {"/20160918/volumeAttachments/" + attachmentId, {204, 404}},
               {"/20160918/instances/" + instanceId, {204, 204}}};  // terminating
  for (const auto& c : cases) {
    std::vector<long> statuses;
    for (size_t i = 0; i < c.statuses.size(); ++i) statuses.push_back(Send("DELETE", c.target).status);
    EXPECT_EQ(statuses, c.statuses) << c.target;
  }
  std::string state;
  for (int i = 0; i < 50 && state != "TERMINATED"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state = json::parse(Send("GET", "/20160918/instances/" + instanceId).body).value("lifecycleState", "");
  }
  const SHttpResponse again = Send("DELETE", "/20160918/instances/" + instanceId);
  EXPECT_EQ(again.status, 404) << "the instance is " << state << ": " << again.body;
}

// The import's work request follows its image to SUCCEEDED, or to FAILED with its error for a faulty
// import and for an image deleted, and is listed by its compartment and resource.
TEST_F(RestFaults, AnImportsWorkRequestFollowsItsImage) {
  ASSERT_EQ(Send("PUT", "/n/simtenancy/b/image-import/o/disk.qcow2", std::string(4096, 'x')).status, 200);
  ASSERT_EQ(sandbox_.CloudSim({"config", "set", "provision_seconds.image", "1"}), 0);
  Fault({"--op", "CreateImage", "--nth", "2", "--action", "faulty"});
  auto import = [&](const std::string& name) {
    const json body = {{"compartmentId", compartment_},
                       {"displayName", name},
                       {"imageSourceDetails",
                        {{"sourceType", "objectStorageTuple"},
                         {"namespaceName", "simtenancy"},
                         {"bucketName", "image-import"},
                         {"objectName", "disk.qcow2"}}}};
    const SHttpResponse created = Send("POST", "/20160918/images", body.dump(), "CreateImage/" + name);
    EXPECT_EQ(created.status, 200) << created.body;
    EXPECT_FALSE(created.Header("opc-work-request-id").empty());
    return std::make_pair(json::parse(created.body, nullptr, false).value("id", ""),
                          created.Header("opc-work-request-id"));
  };
  const auto [goodImage, good] = import("good");
  const auto [badImage, bad] = import("bad");
  const json started = json::parse(Send("GET", "/20160918/workRequests/" + good).body);
  EXPECT_EQ(started["status"], "IN_PROGRESS");
  EXPECT_EQ(started["operationType"], "CreateImage");
  EXPECT_EQ(started["resources"][0], json({{"entityType", "image"},
                                           {"actionType", "IN_PROGRESS"},
                                           {"identifier", goodImage},
                                           {"entityUri", "/20160918/images/" + goodImage}}));
  EXPECT_TRUE(started["timeFinished"].is_null());
  auto finished = [&](const std::string& id) {
    json request = json::object();
    for (int i = 0; i < 40 && request.value("status", "IN_PROGRESS") == "IN_PROGRESS"; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      request = json::parse(Send("GET", "/20160918/workRequests/" + id).body);
    }
    return request;
  };
  const json done = finished(good), failed = finished(bad);
  EXPECT_EQ(done["status"], "SUCCEEDED");
  EXPECT_EQ(done["percentComplete"], 100);
  EXPECT_EQ(done["resources"][0]["actionType"], "CREATED");
  EXPECT_EQ(Send("GET", "/20160918/workRequests/" + good + "/errors").body, "[]");
  EXPECT_EQ(failed["status"], "FAILED");
  const json errors = json::parse(Send("GET", "/20160918/workRequests/" + bad + "/errors").body);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["code"], "ImageImportFailed");
  EXPECT_NE(errors[0]["message"].get<std::string>().find(badImage), std::string::npos);

  ASSERT_EQ(Send("DELETE", "/20160918/images/" + goodImage).status, 204);
  EXPECT_EQ(json::parse(Send("GET", "/20160918/workRequests/" + good).body)["status"], "FAILED") << "deleted";
  const json listed = json::parse(Send("GET", "/20160918/workRequests?compartmentId=" + compartment_).body);
  ASSERT_EQ(listed.size(), 1u) << "the deleted image's compartment is unknown: only the other listed";
  EXPECT_EQ(listed[0]["id"], bad);
  const json byResource = json::parse(
      Send("GET", "/20160918/workRequests?compartmentId=" + compartment_ + "&resourceId=" + goodImage).body);
  ASSERT_EQ(byResource.size(), 1u);
  EXPECT_EQ(byResource[0]["id"], good);
  EXPECT_EQ(Send("GET", "/20160918/workRequests/ocid1.coreservicesworkrequest.oc1.phx.nothing").status, 404);
}

}  // namespace
