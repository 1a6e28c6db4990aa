// Lookups by name, create token and freeform tag over the REST API give what the in-process backend
// gives on the same cloud; the proxy learns its instance id from the metadata service on the REST
// backend.
#include <gmock/gmock.h>

#include "PluginTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/rest/HttpClient.h"
#include "bridge/sim/SimCloud.h"
#include "host/HostClock.h"
#include "host/TZVMDetect.h"

using namespace OracleCloudSDKCppBridge;
using json = nlohmann::json;

namespace {

std::unique_ptr<COracleCloudSDKCppBridge> Connected(const std::string& url, const std::string& user) {
  auto bridge = std::make_unique<COracleCloudSDKCppBridge>(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_TRUE(bridge->Connect(url, user, "")) << bridge->GetLastError();
  return bridge;
}

json Tagged(COracleCloudSDKCppBridge& bridge, EResourceKind kind, const std::string& key, const std::string& value) {
  std::vector<STaggedResource> found;
  if (!bridge.FindTaggedResources(kind, key, value, found)) return "failed: " + bridge.GetLastError();
  json list = json::array();
  for (const STaggedResource& r : found)
    list.push_back({{"id", r.id},
                    {"name", r.name},
                    {"tags", r.tags},
                    {"attachedTo", r.attachedTo},
                    {"iqn", r.iqn},
                    {"portal", r.portal},
                    {"port", r.port}});
  return list;
}

json Ids(bool ok, COracleCloudSDKCppBridge& bridge, const std::vector<std::string>& ids) {
  return ok ? json(ids) : json("failed: " + bridge.GetLastError());
}

class RestLookups : public ::testing::Test {
 protected:
  std::string Sql(const std::string& sql) {
    return sim::CSimCloud(sandbox_.Dir() + "/cloud").Read([&](sim::CSimDb& db) { return db.QueryText(sql, ""); });
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
  std::unique_ptr<COracleCloudSDKCppBridge> sim_ = Connected("sim://" + sandbox_.Dir() + "/cloud", "agent");
  std::unique_ptr<COracleCloudSDKCppBridge> rest_ = Connected(sandbox_.CloudUrl(), sandbox_.CloudUser());
};

TEST_F(RestLookups, EachLookupGivesWhatTheInProcessBackendGives) {
  const std::string web = Sql("SELECT id FROM instances WHERE name = 'sample-web'");
  const std::string data =
      Sql("SELECT a.volume_id FROM attachments a JOIN instances i ON i.id = a.instance_id "
          "WHERE i.name = 'sample-web' ORDER BY a.seq LIMIT 1");
  const std::string boot = Sql("SELECT boot_volume_id FROM instances WHERE name = 'sample-web'");
  ASSERT_FALSE(web.empty() || data.empty() || boot.empty());

  // The boot volume's backup first and a second earlier: oldest first is by time, not by collection.
  std::string bootSnap, dataSnap, dataVol, bootVol;
  COracleCloudSDKCppBridge::SetThreadCreateToken("token-snaps");
  ASSERT_TRUE(sim_->CreateVolumeSnapshot(boot, "d", "lk-snap", bootSnap)) << sim_->GetLastError();
  WaitForNextSecond();
  ASSERT_TRUE(sim_->CreateVolumeSnapshot(data, "d", "lk-snap", dataSnap)) << sim_->GetLastError();
  WaitForNextSecond();
  const INT64 volumesSince = HostClock::Now();
  sim_->SetResourceTags({{"lk-proxy", "p1"}});
  COracleCloudSDKCppBridge::SetThreadCreateToken("token-vol");
  ASSERT_TRUE(sim_->CreateVolumeFromSnapshot(dataSnap, "lk-vol", dataVol)) << sim_->GetLastError();
  COracleCloudSDKCppBridge::SetThreadCreateToken("");
  ASSERT_TRUE(sim_->CreateVolumeFromSnapshot(bootSnap, "lk-vol", bootVol)) << sim_->GetLastError();
  bool noSlot = false;
  SDisk disk;
  disk.createdVolumeId = dataVol;
  disk.attachmentType = "iscsi";
  ASSERT_TRUE(sim_->AttachVolume(disk, sandbox_.ProxyInstanceId(), noSlot)) << sim_->GetLastError();
  const std::string iqn = Sql("SELECT iqn FROM attachments WHERE volume_id = '" + dataVol + "'");
  ASSERT_FALSE(iqn.empty());

  const auto byName = [](EResourceKind kind, std::string name, INT64 since) {
    return [=](COracleCloudSDKCppBridge& b) {
      std::vector<std::string> ids;
      return Ids(b.FindResourcesByName(kind, name, since, ids), b, ids);
    };
  };
  const auto byToken = [](EResourceKind kind, std::string token) {
    return [=](COracleCloudSDKCppBridge& b) {
      std::vector<std::string> ids;
      return Ids(b.FindResourcesByToken(kind, token, ids), b, ids);
    };
  };
  const auto tagged = [](EResourceKind kind, std::string key, std::string value) {
    return [=](COracleCloudSDKCppBridge& b) { return Tagged(b, kind, key, value); };
  };
  const json attached = {{"id", dataVol},
                         {"name", "lk-vol"},
                         {"tags", {{"lk-proxy", "p1"}, {"BackupRequest", "token-vol"}}},
                         {"attachedTo", sandbox_.ProxyInstanceId()},
                         {"iqn", iqn},
                         {"portal", Sql("SELECT portal FROM attachments WHERE volume_id = '" + dataVol + "'")},
                         {"port", Sql("SELECT port FROM attachments WHERE volume_id = '" + dataVol + "'")}};
  const json loose = {{"id", bootVol},    {"name", "lk-vol"}, {"tags", {{"lk-proxy", "p1"}}},
                      {"attachedTo", ""}, {"iqn", ""},        {"portal", ""},
                      {"port", ""}};
  const struct {
    const char* what;
    std::function<json(COracleCloudSDKCppBridge&)> lookup;
    json expected;
  } cases[] = {
      {"backups of both kinds by name, oldest first",
       byName(EResourceKind::VolumeSnapshot, "lk-snap", 0),
       {bootSnap, dataSnap}},
      {"volumes and boot volumes by name", byName(EResourceKind::Volume, "lk-vol", 0), {dataVol, bootVol}},
      {"made since the volumes' second", byName(EResourceKind::Volume, "lk-vol", volumesSince), {dataVol, bootVol}},
      {"none made since then", byName(EResourceKind::VolumeSnapshot, "lk-snap", volumesSince), json::array()},
      {"an exact name only", byName(EResourceKind::Volume, "lk-vo", 0), json::array()},
      {"a token's backups", byToken(EResourceKind::VolumeSnapshot, "token-snaps"), {bootSnap, dataSnap}},
      {"a token's volume only", byToken(EResourceKind::Volume, "token-vol"), {dataVol}},
      {"another kind of a token", byToken(EResourceKind::Volume, "token-snaps"), json::array()},
      {"no token", byToken(EResourceKind::Volume, ""), json::array()},
      {"tagged volumes with the attached one's target",
       tagged(EResourceKind::Volume, "lk-proxy", "p1"),
       {attached, loose}},
      {"another value", tagged(EResourceKind::Volume, "lk-proxy", "p2"), json::array()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.lookup(*rest_), c.expected) << c.what;
    EXPECT_EQ(c.lookup(*sim_), c.expected) << c.what << " (in process)";
  }

  // A tag removed over REST is gone for both backends, from a volume and from a boot volume; the
  // other tags stay.
  ASSERT_TRUE(rest_->RemoveResourceTag(EResourceKind::Volume, dataVol, "lk-proxy")) << rest_->GetLastError();
  EXPECT_EQ(Tagged(*sim_, EResourceKind::Volume, "lk-proxy", "p1"), json::array({loose}));
  EXPECT_EQ(Tagged(*rest_, EResourceKind::Volume, "BackupRequest", "token-vol")[0]["tags"],
            json({{"BackupRequest", "token-vol"}}));
  ASSERT_TRUE(rest_->RemoveResourceTag(EResourceKind::Volume, bootVol, "lk-proxy")) << rest_->GetLastError();
  ASSERT_TRUE(rest_->RemoveResourceTag(EResourceKind::VolumeSnapshot, bootSnap, "BackupRequest"))
      << rest_->GetLastError();
  for (auto* bridge : {sim_.get(), rest_.get()}) {
    EXPECT_EQ(Tagged(*bridge, EResourceKind::Volume, "lk-proxy", "p1"), json::array());
    EXPECT_EQ(byToken(EResourceKind::VolumeSnapshot, "token-snaps")(*bridge), json::array({dataSnap}));
  }

  // A resource that is gone is refused by both.
  ASSERT_TRUE(sim_->DeleteVolumeSnapshot(dataSnap)) << sim_->GetLastError();
  EXPECT_FALSE(sim_->RemoveResourceTag(EResourceKind::VolumeSnapshot, dataSnap, "BackupRequest"));
  EXPECT_FALSE(rest_->RemoveResourceTag(EResourceKind::VolumeSnapshot, dataSnap, "BackupRequest"));
  EXPECT_THAT(rest_->GetLastError(), ::testing::StartsWith("NotAuthorizedOrNotFound: "));

  // An instance on its way out is not found by name (the REST API cannot tell who made an instance:
  // the seeded one is found while it lives).
  std::vector<std::string> ids;
  ASSERT_TRUE(rest_->FindResourcesByName(EResourceKind::Instance, "sample-web", 0, ids)) << rest_->GetLastError();
  EXPECT_EQ(ids, std::vector<std::string>{web});
  ASSERT_TRUE(sim_->DeleteVM("sample-web", web, false, false)) << sim_->GetLastError();
  ASSERT_TRUE(rest_->FindResourcesByName(EResourceKind::Instance, "sample-web", 0, ids)) << rest_->GetLastError();
  EXPECT_EQ(ids, std::vector<std::string>{});
}

TEST(RestProxyIdentity, ComesFromTheMetadataServiceWithItsHeader) {
  CTestSandbox sandbox("infrastructure", "sandbox", "rest");
  hosttest::TempDir noCloudInit;  // the id must not come from cloud-init's file
  hosttest::ScopedEnv root("TZ_PLATFORM_ROOT", noCloudInit.Path());
  const std::string endpoint = sandbox.CloudUrl();
  const struct {
    const char *source, *url;
    const char* error;  // empty: the proxy's id is read
  } cases[] = {
      {"metadata", "", ""},
      {"metadata", "http://127.0.0.1:1",
       "GET http://127.0.0.1:1/opc/v2/instance/ of the instance metadata service had no answer: "},
      {"metadata", "/opc", "/opc/opc/v2/instance/ of the instance metadata service answered 404: "},
      {"cloud-init", "", "cloud-init recorded no instance id under ["},
      {"imds", "", "TZ_INSTANCE_ID_SOURCE [imds] is neither [metadata] nor [cloud-init]"},
  };
  for (const auto& c : cases) {
    const std::string url = std::string(c.url).rfind("http", 0) == 0 ? c.url : endpoint + c.url;
    hosttest::ScopedEnv source("TZ_INSTANCE_ID_SOURCE", std::string(c.source));
    hosttest::ScopedEnv base("TZ_INSTANCE_METADATA_URL", url);
    TZVMDetect probe;
    std::string id = "untouched";
    const bool ok = probe.GetLocalVMUUID(id);
    if (!*c.error) {
      EXPECT_TRUE(ok) << probe.GetLastError();
      EXPECT_EQ(id, sandbox.ProxyInstanceId());
    } else {
      EXPECT_FALSE(ok) << c.source << " " << url;
      EXPECT_EQ(id, "untouched");
      EXPECT_THAT(probe.GetLastError(), ::testing::HasSubstr(c.error));
    }
  }

  // Without the header the service refuses.
  CHttpClient client;
  SHttpResponse response;
  std::string error;
  ASSERT_TRUE(client.Send(endpoint, {.method = "GET", .target = "/opc/v2/instance/"}, response, error)) << error;
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(json::parse(response.body).value("code", ""), "NotAuthenticated");
}

}  // namespace
