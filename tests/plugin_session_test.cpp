// The plug-in object's life: factory, identity detection, connection, the proxy record.
#include <filesystem>

#include "PluginTestUtil.h"

extern "C" int CreateOracleCloudInfoObject(VirtualServerInstanceType type, IVMInfo** out);
using namespace plugintest;
namespace {
class PluginSession : public CPluginFlowTest {};
SHostCredentials Proxy(const std::string& host, UINT32 type = CREDENTIAL_TYPE_WEB_PROXY) {
  return SHostCredentials{host, "user-" + host, "secret", type};
}
}  // namespace

TEST_F(PluginSession, FactoryBuildsTheClassOfTheInstanceType) {
  for (int type : {1101, 1102, 0, 1100}) {
    IVMInfo* object = nullptr;
    ASSERT_EQ(CreateOracleCloudInfoObject(static_cast<VirtualServerInstanceType>(type), &object), 1) << type;
    std::unique_ptr<IVMInfo> owned(object);
    EXPECT_NE(dynamic_cast<COracleCloudInfo*>(object), nullptr) << type;
    EXPECT_EQ(dynamic_cast<COracleCloudClassicInfo*>(object) != nullptr, type == 1101) << type;
    EXPECT_EQ(dynamic_cast<COracleCloudInfrastructureInfo*>(object) != nullptr, type == 1102) << type;
    EXPECT_EQ(object->GetVSInstType(), type);
  }
  EXPECT_EQ(CreateOracleCloudInfoObject(VSINST_ORACLE_CLOUD_INFRASTRUCTURE, nullptr), 0);
}

// Detected once per process; none for the plain object or without the cloud's files.
TEST_F(PluginSession, IdentityIsDetectedOncePerProcess) {
  for (bool classic : {false, true}) {
    CTestSandbox sandbox(classic ? "classic" : "infrastructure");
    if (classic) {
      WriteTestFile(sandbox.Root() + "/sys/class/dmi/id/sys_vendor", "QEMU\n");
      WriteTestFile(sandbox.Root() + "/sys/class/dmi/id/product_uuid", "ABCDEF01-2345\n");
      EXPECT_EQ(CClassicPlugin().Init(0), 1);
      EXPECT_EQ(CClassicPlugin::Identity(), "abcdef01-2345") << "lower-cased, whatever the manufacturer";
    } else {
      const std::string first = sandbox.ProxyInstanceId();
      EXPECT_EQ(CPlainPlugin().Init(0), 1);
      EXPECT_EQ(CInfraPlugin::Identity(), "");
      EXPECT_EQ(CInfraPlugin().Init(0), 1);
      WriteTestFile(sandbox.Root() + "/var/lib/cloud/data/instance-id", "ocid1.instance.oc1.phx.other\n");
      EXPECT_EQ(CInfraPlugin().Init(0), 1);
      EXPECT_EQ(CInfraPlugin::Identity(), first);
    }
    std::filesystem::remove_all(sandbox.Root() + "/sys");
    std::filesystem::remove_all(sandbox.Root() + "/var");
    ForgetIdentity();
    EXPECT_EQ(classic ? CClassicPlugin().Init(0) : CInfraPlugin().Init(0), 1);
    EXPECT_EQ(CInfraPlugin::Identity(), "") << classic;
    RestoreCtx ctx;
    ctx.restoreGuid = "r-1";  // nothing is cleaned up without the proxy's record
    EXPECT_EQ(classic ? ConnectPlugin<CClassicPlugin>(sandbox)->CleanupRestoreVM(ctx)
                      : ConnectPlugin<CInfraPlugin>(sandbox)->CleanupRestoreVM(ctx),
              0);
  }
  CTestSandbox sandbox;
  std::filesystem::remove_all(sandbox.Root() + "/sys");
  auto unknown = ConnectPlugin<CInfraPlugin>(sandbox);
  EXPECT_FALSE(unknown->InitProxyVMInfo());
  EXPECT_EQ(unknown->GetLastVMError(), 179);
  EXPECT_TRUE(unknown->proxyVMInfo.uri.empty());
}

// Each Connect replaces the session; a failed one reports 48 with the bridge's text.
TEST_F(PluginSession, ConnectStoresTheSessionOrReports48) {
  CTestSandbox sandbox;
  CInfraPlugin plugin;
  for (const std::string user : {"alice", "bob"}) {
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), user, user + "-pw"), 1);
    EXPECT_EQ(plugin.connectUrl + " " + plugin.connectUser + " " + plugin.connectPassword,
              sandbox.CloudUrl() + " " + user + " " + user + "-pw");
    EXPECT_EQ(plugin.Disconnect(), 0);
    EXPECT_TRUE(plugin.bridge->CheckConnection());
    for (const std::string& url : {"sim://" + sandbox.Dir() + "/none", std::string("https://cloud.example.com/")}) {
      EXPECT_EQ(plugin.Connect(url, "u", "p"), 0) << url;
      EXPECT_EQ(plugin.GetLastVMError(), 48) << url;
      EXPECT_FALSE(plugin.GetLastVMErrorDetails().empty()) << url;
      EXPECT_EQ(plugin.GetLastVMErrorDetails(), plugin.bridge->GetLastError());
    }
    EXPECT_EQ(plugin.Disconnect(), 0);
    EXPECT_EQ(plugin.DeInit(user == "bob"), 1);
  }
}

// The first web proxy the bridge accepts is taken; without one the connection is direct; when every one asked for is
// refused, the connection fails (48) naming the last.
TEST_F(PluginSession, WebProxyWalkStopsAtTheFirstAcceptedProxy) {
  CTestSandbox sandbox;
  const std::pair<std::vector<SHostCredentials>, std::string> cases[] = {
      {{Proxy("not a host!"), Proxy("proxy.example.com:3128", 1), Proxy("proxy.example.com:8080"),
        Proxy("later.example.com")},
       "proxy.example.com:8080"},
      {{Proxy("a.example.com", 1), Proxy("b.example.com", 2)}, ""},
      {{Proxy(""), Proxy("bad:99999")}, ""}};
  for (const auto& [credentials, taken] : cases) {
    CInfraPlugin plugin;
    const bool refused = credentials.back().hostName == "bad:99999";
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p", credentials), refused ? 0 : 1) << taken;
    EXPECT_EQ(plugin.GetLastVMErrorDetails().rfind("The web proxy [bad:99999] was refused: ", 0) == 0, refused);
    EXPECT_EQ(plugin.webProxyHost + "|" + plugin.webProxyUser + "|" + plugin.webProxyPassword,
              taken.empty() ? "||" : taken + "|user-" + taken + "|secret");
  }
}

// The proxy record is fetched once per object; the mapper and cleaner initialise repeatedly.
TEST_F(PluginSession, ProxyRecordOncePerObjectMapperAndCleanerRepeatedly) {
  CTestSandbox sandbox;
  for (long calls : {1, 2}) {
    auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
    ASSERT_TRUE(plugin->InitProxyVMInfo()) << plugin->bridge->GetLastError();
    ASSERT_TRUE(plugin->InitProxyVMInfo());
    EXPECT_EQ(plugin->proxyVMInfo.guid, sandbox.ProxyInstanceId());
    EXPECT_EQ(sandbox.Calls("GetVMInfo"), calls);
    EXPECT_TRUE(plugin->InitMapperAndCleaner());
    EXPECT_EQ(plugin->cleanerMode, VM_CLEANER_MODE_BACKUP);
  }
  CInfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ::setenv("TZ_PLATFORM_ROOT", (sandbox.Dir() + "/missing-root").c_str(), 1);
  EXPECT_FALSE(plugin.InitMapperAndCleaner());
}
