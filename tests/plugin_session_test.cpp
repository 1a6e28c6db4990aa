// The plug-in object's life: factory, identity detection, connection, the proxy record.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "PluginBases.h"
#include "TestSandbox.h"
#include "classic/OracleCloudClassicInfo.h"
#include "host/EvDebug.h"
#include "host/FXString.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

extern "C" int CreateOracleCloudInfoObject(VirtualServerInstanceType type, IVMInfo** out);

namespace {

// Reaches the object's protected state and the process-wide identity.
template <class Base>
class TestPlugin : public Base {
 public:
  TestPlugin() : Base(Base::kType) {}
  using Base::bridge;
  using Base::cleanerMode;
  using Base::connectPassword;
  using Base::connectUrl;
  using Base::connectUser;
  using Base::InitMapperAndCleaner;
  using Base::InitProxyVMInfo;
  using Base::proxyVMInfo;
  using Base::webProxyHost;
  using Base::webProxyPassword;
  using Base::webProxyUser;
  static void ForgetIdentity() { testbase::ForgetIdentity(); }
  static string Identity() { return COracleCloudInfo::c_localVMGuid; }
};

using InfraPlugin = TestPlugin<testbase::InfraBase>;
using ClassicPlugin = TestPlugin<testbase::ClassicBase>;
using PlainPlugin = TestPlugin<testbase::PlainBase>;

class PluginSession : public ::testing::Test {
 protected:
  void SetUp() override {
    InfraPlugin::ForgetIdentity();
    EvLogSink::Clear();
  }
  void TearDown() override { InfraPlugin::ForgetIdentity(); }
};

SHostCredentials Proxy(const string& host, UINT32 type = CREDENTIAL_TYPE_WEB_PROXY) {
  return SHostCredentials{host, "proxy-user-" + host, "secret", type};
}

}  // namespace

TEST_F(PluginSession, FactoryBuildsTheClassOfTheInstanceType) {
  struct Case {
    int type;
    bool classic, infrastructure;
  } cases[] = {{1101, true, false}, {1102, false, true}, {0, false, false}, {1100, false, false}};
  for (const auto& c : cases) {
    IVMInfo* object = nullptr;
    ASSERT_EQ(CreateOracleCloudInfoObject(static_cast<VirtualServerInstanceType>(c.type), &object), 1) << c.type;
    ASSERT_NE(object, nullptr);
    EXPECT_NE(dynamic_cast<COracleCloudInfo*>(object), nullptr) << c.type;
    EXPECT_EQ(dynamic_cast<COracleCloudClassicInfo*>(object) != nullptr, c.classic) << c.type;
    EXPECT_EQ(dynamic_cast<COracleCloudInfrastructureInfo*>(object) != nullptr, c.infrastructure) << c.type;
    EXPECT_EQ(object->GetVSInstType(), c.type);
    delete object;
  }
  EXPECT_EQ(CreateOracleCloudInfoObject(VSINST_ORACLE_CLOUD_INFRASTRUCTURE, nullptr), 0);
  EXPECT_TRUE(EvLogSink::Contains("Creating OracleCloudInfo object",
                                  "int CreateOracleCloudInfoObject(VirtualServerInstanceType, IVMInfo**)"));
}

TEST_F(PluginSession, InfrastructureIdentityIsTheCloudInitInstanceId) {
  CTestSandbox sandbox;
  InfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  EXPECT_FALSE(sandbox.ProxyInstanceId().empty());
  EXPECT_EQ(InfraPlugin::Identity(), sandbox.ProxyInstanceId());
  EXPECT_TRUE(EvLogSink::Contains("Proxy is an OCI instance"));
  EXPECT_TRUE(EvLogSink::Contains("Local VM Guid: " + sandbox.ProxyInstanceId()));
}

TEST_F(PluginSession, IdentityIsDetectedOncePerProcessAcrossObjects) {
  CTestSandbox sandbox;
  const string first = sandbox.ProxyInstanceId();
  InfraPlugin one;
  ASSERT_EQ(one.Init(0), 1);
  // Another identity on disk is not seen by later objects of the same process.
  WriteTestFile(sandbox.Root() + "/var/lib/cloud/data/instance-id", "ocid1.instance.oc1.phx.other\n");
  InfraPlugin two;
  ASSERT_EQ(two.Init(0), 1);
  EXPECT_EQ(InfraPlugin::Identity(), first);
  EXPECT_EQ(EvLogSink::Count("Proxy is an OCI instance"), 1u);
}

TEST_F(PluginSession, PlatformWithoutCloudFilesLeavesTheIdentityEmpty) {
  CTestSandbox sandbox;
  std::filesystem::remove_all(sandbox.Root() + "/sys");
  std::filesystem::remove_all(sandbox.Root() + "/var");
  InfraPlugin infra;
  EXPECT_EQ(infra.Init(0), 1);
  EXPECT_EQ(InfraPlugin::Identity(), "");
  EXPECT_TRUE(EvLogSink::Contains("Proxy is not an OCI instance"));

  ClassicPlugin classic;
  EXPECT_EQ(classic.Init(0), 1);
  EXPECT_EQ(ClassicPlugin::Identity(), "");
  EXPECT_TRUE(EvLogSink::Contains("Unable to get BIOS Serial Number"));
}

TEST_F(PluginSession, PlainObjectDetectsNoIdentityEvenOnACloudInstance) {
  CTestSandbox sandbox;
  PlainPlugin plain;
  EXPECT_EQ(plain.Init(0), 1);
  EXPECT_EQ(PlainPlugin::Identity(), "");
}

TEST_F(PluginSession, ClassicIdentityIsTheLowerCasedBiosUuid) {
  struct Case {
    string manufacturer;
    bool warns;
  } cases[] = {{"Red Hat", false}, {"Red Hat Inc.", false}, {"RedHat", false}, {"QEMU", true}, {"red hat", true}};
  CTestSandbox sandbox("classic");
  for (const auto& c : cases) {
    const string dmi = sandbox.Root() + "/sys/class/dmi/id/";
    WriteTestFile(dmi + "sys_vendor", c.manufacturer + "\n");
    WriteTestFile(dmi + "product_uuid", "ABCDEF01-2345-6789-ABCD-EF0123456789\n");
    WriteTestFile(dmi + "product_serial", "SER-1\n");
    ClassicPlugin::ForgetIdentity();
    EvLogSink::Clear();
    ClassicPlugin plugin;
    ASSERT_EQ(plugin.Init(0), 1);
    EXPECT_EQ(ClassicPlugin::Identity(), "abcdef01-2345-6789-abcd-ef0123456789") << c.manufacturer;
    EXPECT_EQ(EvLogSink::Contains("Bios manufacturer is not Red Hat; Manufacturer [" + c.manufacturer +
                                  "] Serial Number [SER-1] UUID [ABCDEF01-2345-6789-ABCD-EF0123456789]"),
              c.warns)
        << c.manufacturer;
    EXPECT_TRUE(EvLogSink::Contains("Local VM Guid [abcdef01-2345-6789-abcd-ef0123456789]"));
  }
}

TEST_F(PluginSession, ClassicSandboxProxyIsFoundByItsLowerCasedUuid) {
  CTestSandbox sandbox("classic");
  ClassicPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  const string identity = ClassicPlugin::Identity();
  ASSERT_FALSE(identity.empty());
  EXPECT_EQ(identity, FXString::ToLower(identity));
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "user", "pw"), 1);
  ASSERT_TRUE(plugin.InitProxyVMInfo()) << plugin.bridge->GetLastError();
  EXPECT_EQ(plugin.proxyVMInfo.guid, identity);
}

TEST_F(PluginSession, ConnectStoresTheSessionAndReachesTheCloud) {
  CTestSandbox sandbox;
  InfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "alice", "pw1"), 1);
  EXPECT_EQ(plugin.connectUrl, sandbox.CloudUrl());
  EXPECT_EQ(plugin.connectUser, "alice");
  EXPECT_EQ(plugin.connectPassword, "pw1");
  EXPECT_TRUE(EvLogSink::Contains("Connecting to Url=[" + sandbox.CloudUrl() + "] User=[alice]"));
  // Tagged with the signature as the framework spells it.
  std::vector<string> tags;
  for (const auto& record : EvLogSink::Records())
    if (record.message.find("Connecting to Url=") != string::npos) tags.push_back(record.tag);
  EXPECT_EQ(tags, std::vector<string>{"virtual int COracleCloudInfo::Connect(const string&, const string&, "
                                      "const string&, const std::vector<SHostCredentials>&)"});
  EXPECT_TRUE(plugin.bridge->CheckConnection());
  // A second Connect overwrites the session.
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "bob", "pw2"), 1);
  EXPECT_EQ(plugin.connectUser, "bob");
  EXPECT_EQ(plugin.connectPassword, "pw2");
}

TEST_F(PluginSession, FailedConnectReports48WithTheBridgeText) {
  CTestSandbox sandbox;
  const string urls[] = {"sim://" + sandbox.Dir() + "/no-such-cloud", "https://cloud.example.com/"};
  for (const auto& url : urls) {
    InfraPlugin plugin;
    EvLogSink::Clear();
    EXPECT_EQ(plugin.Connect(url, "u", "p"), 0) << url;
    EXPECT_EQ(plugin.GetLastVMError(), 48) << url;
    const string details = plugin.GetLastVMErrorDetails();
    EXPECT_FALSE(details.empty()) << url;
    EXPECT_EQ(details, plugin.bridge->GetLastError());
    EXPECT_TRUE(EvLogSink::Contains("Connect failed [" + details + "]"));
  }
}

TEST_F(PluginSession, WebProxyWalkStopsAtTheFirstAcceptedProxy) {
  CTestSandbox sandbox;
  {
    // The first proxy entry is refused, an entry of another type is skipped, the third is taken.
    InfraPlugin plugin;
    std::vector<SHostCredentials> credentials = {Proxy("not a host!"), Proxy("proxy.example.com:3128", 1),
                                                 Proxy("proxy.example.com:8080"), Proxy("later.example.com")};
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p", credentials), 1);
    EXPECT_EQ(plugin.webProxyHost, "proxy.example.com:8080");
    EXPECT_EQ(plugin.webProxyUser, "proxy-user-proxy.example.com:8080");
    EXPECT_EQ(plugin.webProxyPassword, "secret");
    EXPECT_TRUE(EvLogSink::Contains("Failed to set web proxy details hostname:[not a host!]"));
    EXPECT_TRUE(EvLogSink::Contains(
        "Successfully set web proxy details hostname:[proxy.example.com:8080] username:[proxy-user-proxy.example.com:8080]"));
    EXPECT_FALSE(EvLogSink::Contains("hostname:[later.example.com]"));
    EXPECT_FALSE(EvLogSink::Contains("hostname:[proxy.example.com:3128]"));
  }
  {
    // Only entries of other types: the connection stays direct and no proxy is tried.
    EvLogSink::Clear();
    InfraPlugin plugin;
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p", {Proxy("a.example.com", 1), Proxy("b.example.com", 2)}),
              1);
    EXPECT_EQ(plugin.webProxyHost, "");
    EXPECT_FALSE(EvLogSink::Contains("web proxy details"));
  }
  {
    // Every proxy refused: the connection is made directly all the same.
    EvLogSink::Clear();
    InfraPlugin plugin;
    ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p", {Proxy(""), Proxy("bad:99999")}), 1);
    EXPECT_EQ(plugin.webProxyHost, "");
    EXPECT_EQ(EvLogSink::Count("Failed to set web proxy details"), 2u);
  }
}

TEST_F(PluginSession, ProxyRecordIsFetchedOncePerObject) {
  CTestSandbox sandbox;
  InfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p"), 1);
  ASSERT_TRUE(plugin.InitProxyVMInfo()) << plugin.bridge->GetLastError();
  EXPECT_EQ(plugin.proxyVMInfo.guid, sandbox.ProxyInstanceId());
  EXPECT_EQ(plugin.proxyVMInfo.name, "backup-proxy");
  EXPECT_FALSE(plugin.proxyVMInfo.availabilityDomain.empty());
  ASSERT_TRUE(plugin.InitProxyVMInfo());
  EXPECT_EQ(sandbox.Calls("GetVMInfo"), 1);
  EXPECT_TRUE(EvLogSink::Contains("Proxy information already fetched, Proxy uri [" + plugin.proxyVMInfo.uri + "]"));

  // A second object fetches its own copy.
  InfraPlugin other;
  ASSERT_EQ(other.Connect(sandbox.CloudUrl(), "u", "p"), 1);
  ASSERT_TRUE(other.InitProxyVMInfo());
  EXPECT_EQ(sandbox.Calls("GetVMInfo"), 2);
}

TEST_F(PluginSession, UnknownProxyFailsWith179) {
  CTestSandbox sandbox;
  std::filesystem::remove_all(sandbox.Root() + "/sys");
  InfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(InfraPlugin::Identity(), "");
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p"), 1);
  EXPECT_FALSE(plugin.InitProxyVMInfo());
  EXPECT_EQ(plugin.GetLastVMError(), 179);
  EXPECT_TRUE(EvLogSink::Contains("Failed to get VMInfo for VM []"));
  EXPECT_TRUE(plugin.proxyVMInfo.uri.empty());
}

TEST_F(PluginSession, DisconnectAndDeInitResultsDoNotDependOnState) {
  CTestSandbox sandbox;
  InfraPlugin plugin;
  EXPECT_EQ(plugin.Disconnect(), 0);
  EXPECT_EQ(plugin.DeInit(false), 1);
  ASSERT_EQ(plugin.Init(0), 1);
  ASSERT_EQ(plugin.Connect(sandbox.CloudUrl(), "u", "p"), 1);
  EXPECT_EQ(plugin.Disconnect(), 0);
  EXPECT_EQ(plugin.DeInit(true), 1);
  // The bridge lives on after Disconnect.
  EXPECT_TRUE(plugin.bridge->CheckConnection());
}

TEST_F(PluginSession, MapperAndCleanerInitialiseRepeatedly) {
  CTestSandbox sandbox;
  InfraPlugin plugin;
  ASSERT_EQ(plugin.Init(0), 1);
  EXPECT_TRUE(plugin.InitMapperAndCleaner());
  EXPECT_TRUE(plugin.InitMapperAndCleaner());
  EXPECT_TRUE(std::filesystem::is_directory(sandbox.Home() + "/registry"));
  EXPECT_EQ(plugin.cleanerMode, VM_CLEANER_MODE_BACKUP);

  ::setenv("TZ_PLATFORM_ROOT", (sandbox.Dir() + "/missing-root").c_str(), 1);
  EXPECT_FALSE(plugin.InitMapperAndCleaner());
  EXPECT_TRUE(EvLogSink::Contains("Disk mapper initialization failed."));
}
