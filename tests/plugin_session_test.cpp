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

// Infrastructure: the cloud-init instance id, detected once per process; classic: the lower-cased
// BIOS UUID whatever the manufacturer; the plain object and a platform without the files: none.
TEST_F(PluginSession, IdentityIsDetectedOncePerProcess) {
  for (bool classic : {false, true}) {
    CTestSandbox sandbox(classic ? "classic" : "infrastructure");
    const std::string dmi = sandbox.Root() + "/sys/class/dmi/id/";
    for (const std::string manufacturer : {"Red Hat", "Red Hat Inc.", "QEMU", "red hat"}) {
      if (!classic) break;
      WriteTestFile(dmi + "sys_vendor", manufacturer + "\n");
      WriteTestFile(dmi + "product_uuid", "ABCDEF01-2345-6789-ABCD-EF0123456789\n");
      ForgetIdentity();
      EXPECT_EQ(CClassicPlugin().Init(0), 1);
      EXPECT_EQ(CClassicPlugin::Identity(), "abcdef01-2345-6789-abcd-ef0123456789") << manufacturer;
    }
    if (!classic) {
      EXPECT_EQ(CPlainPlugin().Init(0), 1);
      EXPECT_EQ(CInfraPlugin::Identity(), "");
      const std::string first = sandbox.ProxyInstanceId();
      EXPECT_EQ(CInfraPlugin().Init(0), 1);
      EXPECT_EQ(CInfraPlugin::Identity(), first);
      WriteTestFile(sandbox.Root() + "/var/lib/cloud/data/instance-id", "ocid1.instance.oc1.phx.other\n");
      EXPECT_EQ(CInfraPlugin().Init(0), 1);
      EXPECT_EQ(CInfraPlugin::Identity(), first);
    }
    std::filesystem::remove_all(sandbox.Root() + "/sys");
    std::filesystem::remove_all(sandbox.Root() + "/var");
    ForgetIdentity();
    EXPECT_EQ(classic ? CClassicPlugin().Init(0) : CInfraPlugin().Init(0), 1);
    EXPECT_EQ(CInfraPlugin::Identity(), "") << classic;
  }
}

TEST_F(PluginSession, ConnectStoresTheSessionOrReports48) {
  CTestSandbox sandbox;
  CInfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  for (const std::string user : {"alice", "bob"}) {
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), user, user + "-pw"), 1);
    EXPECT_EQ(plugin.connectUrl + " " + plugin.connectUser + " " + plugin.connectPassword,
              sandbox.CloudUrl() + " " + user + " " + user + "-pw");
    EXPECT_TRUE(plugin.bridge->CheckConnection());
  }
  EXPECT_EQ(plugin.Disconnect(), 0);
  EXPECT_TRUE(plugin.bridge->CheckConnection()) << "the bridge lives on after Disconnect";
  EXPECT_EQ(plugin.DeInit(true), 1);
  for (const std::string& url : {"sim://" + sandbox.Dir() + "/no-such-cloud", std::string("https://cloud.example.com/")}) {
    CInfraPlugin failed;
    EXPECT_EQ(failed.Connect(url, "u", "p"), 0) << url;
    EXPECT_EQ(failed.GetLastVMError(), 48) << url;
    EXPECT_FALSE(failed.GetLastVMErrorDetails().empty()) << url;
    EXPECT_EQ(failed.GetLastVMErrorDetails(), failed.bridge->GetLastError());
    EXPECT_EQ(failed.Disconnect(), 0);
    EXPECT_EQ(failed.DeInit(false), 1);
  }
}

// The first web proxy the bridge accepts is taken; entries of other types are skipped; when none
// is accepted the connection is made directly.
TEST_F(PluginSession, WebProxyWalkStopsAtTheFirstAcceptedProxy) {
  CTestSandbox sandbox;
  const std::pair<std::vector<SHostCredentials>, std::string> cases[] = {
      {{Proxy("not a host!"), Proxy("proxy.example.com:3128", 1), Proxy("proxy.example.com:8080"), Proxy("later.example.com")},
       "proxy.example.com:8080"},
      {{Proxy("a.example.com", 1), Proxy("b.example.com", 2)}, ""},
      {{Proxy(""), Proxy("bad:99999")}, ""}};
  for (const auto& [credentials, taken] : cases) {
    CInfraPlugin plugin;
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p", credentials), 1) << taken;
    EXPECT_EQ(plugin.webProxyHost, taken);
    EXPECT_EQ(plugin.webProxyUser, taken.empty() ? "" : "user-" + taken);
    EXPECT_EQ(plugin.webProxyPassword, taken.empty() ? "" : "secret");
  }
  EXPECT_TRUE(EvLogSink::Contains("Failed to set web proxy details hostname:[not a host!]"));
  EXPECT_FALSE(EvLogSink::Contains("hostname:[later.example.com]"));
  EXPECT_FALSE(EvLogSink::Contains("hostname:[a.example.com]"));
}

template <class Plugin>
void ExpectProxyRecordFetchedOnce(const char* cloud) {
  CTestSandbox sandbox(cloud);
  ForgetIdentity();
  auto plugin = ConnectPlugin<Plugin>(sandbox);
  ASSERT_FALSE(Plugin::Identity().empty()) << cloud;
  ASSERT_TRUE(plugin->InitProxyVMInfo()) << plugin->bridge->GetLastError();
  ASSERT_TRUE(plugin->InitProxyVMInfo());
  EXPECT_EQ(plugin->proxyVMInfo.guid, Plugin::Identity());
  EXPECT_EQ(plugin->proxyVMInfo.name, "backup-proxy");
  EXPECT_EQ(sandbox.Calls("GetVMInfo"), 1) << cloud;
}

// Fetched once per object, classic by its lower-cased UUID; a proxy without identity fails with 179.
TEST_F(PluginSession, ProxyRecordIsFetchedOncePerObject) {
  ExpectProxyRecordFetchedOnce<CInfraPlugin>("infrastructure");
  ExpectProxyRecordFetchedOnce<CClassicPlugin>("classic");
  CTestSandbox sandbox;
  std::filesystem::remove_all(sandbox.Root() + "/sys");
  ForgetIdentity();
  auto unknown = ConnectPlugin<CInfraPlugin>(sandbox);
  EXPECT_FALSE(unknown->InitProxyVMInfo());
  EXPECT_EQ(unknown->GetLastVMError(), 179);
  EXPECT_TRUE(unknown->proxyVMInfo.uri.empty());
}

TEST_F(PluginSession, MapperAndCleanerInitialiseRepeatedly) {
  CTestSandbox sandbox;
  CInfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  EXPECT_TRUE(plugin.InitMapperAndCleaner());
  EXPECT_TRUE(plugin.InitMapperAndCleaner());
  EXPECT_TRUE(std::filesystem::is_directory(sandbox.Home() + "/registry"));
  EXPECT_EQ(plugin.cleanerMode, VM_CLEANER_MODE_BACKUP);
  ::setenv("TZ_PLATFORM_ROOT", (sandbox.Dir() + "/missing-root").c_str(), 1);
  EXPECT_FALSE(plugin.InitMapperAndCleaner());
}
