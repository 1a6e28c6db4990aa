// The bridge's session: Connect, CheckConnection, the web proxy, the per-thread error text and
// the refusal of what is not connected or not offered.
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "bridge/sim/SimFaults.h"
#include "sim_test_cloud.h"

using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;
using simtest::CTempDir;
using simtest::CTestCloud;

namespace {

TEST(SimBridgeSession, ConnectsToASandboxCloudAndChecksIt) {
  CTestCloud cloud;
  COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_FALSE(bridge.CheckConnection());
  EXPECT_EQ(bridge.GetLastError(), "Not connected to the cloud");

  ASSERT_TRUE(bridge.Connect(cloud.Url(), "user", "password")) << bridge.GetLastError();
  EXPECT_TRUE(bridge.CheckConnection()) << bridge.GetLastError();
  EXPECT_EQ(bridge.GetLastError(), "Not connected to the cloud") << "a success keeps the last failure's text";

  COracleCloudSDKCppBridge trailingSlash(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_TRUE(trailingSlash.Connect(cloud.Url() + "/", "user", "password")) << trailingSlash.GetLastError();

  // The cloud going away is noticed by the next check.
  std::filesystem::remove(cloud.CloudDir() + "/cloud.db");
  EXPECT_FALSE(bridge.CheckConnection());
  EXPECT_NE(bridge.GetLastError().find("is not reachable"), std::string::npos) << bridge.GetLastError();
  EXPECT_NE(bridge.GetLastError().find(cloud.CloudDir()), std::string::npos);
}

TEST(SimBridgeSession, RefusedConnectionsSayWhy) {
  CTestCloud cloud;
  CTempDir empty;
  CTempDir garbage;
  std::filesystem::create_directories(garbage.Path() + "/cloud");
  {
    std::ofstream(garbage.Path() + "/cloud/cloud.db") << "not a database, just text that is long enough to be read";
  }
  struct SCase {
    std::string url;
    std::string text;  // the error text contains this
  };
  const SCase cases[] = {
      {"sim://" + empty.Path() + "/nothing", "The simulated cloud path [" + empty.Path() + "/nothing] does not exist"},
      {"sim://" + empty.Path(), "[" + empty.Path() + "] is not a simulated cloud: it holds no cloud.db"},
      {"sim://" + garbage.Path() + "/cloud", "[" + garbage.Path() + "/cloud] is not a simulated cloud"},
      {"https://iaas.us-phoenix-1.example.com", "Unsupported cloud URL scheme [https]"},
      {"ftp://" + cloud.CloudDir(), "Unsupported cloud URL scheme [ftp]"},
      {cloud.CloudDir(), "Unsupported cloud URL scheme [" + cloud.CloudDir() + "]"},
      {"sim://relative/cloud", "is not an absolute path"},
      {"", "No cloud URL was given"},
  };
  for (const SCase& c : cases) {
    COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    EXPECT_FALSE(bridge.Connect(c.url, "user", "password")) << c.url;
    EXPECT_NE(bridge.GetLastError().find(c.text), std::string::npos) << c.url << " -> " << bridge.GetLastError();
    EXPECT_FALSE(bridge.CheckConnection()) << c.url;
  }
}

TEST(SimBridgeSession, RefusesACloudOfTheOtherFlavour) {
  CTestCloud classic(sim::EFlavour::Classic);
  COracleCloudSDKCppBridge infrastructure(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_FALSE(infrastructure.Connect(classic.Url(), "u", "p"));
  EXPECT_NE(infrastructure.GetLastError().find("is a classic cloud"), std::string::npos)
      << infrastructure.GetLastError();
  COracleCloudSDKCppBridge classicBridge(VSINST_ORACLE_CLOUD_CLASSIC);
  EXPECT_TRUE(classicBridge.Connect(classic.Url(), "u", "p")) << classicBridge.GetLastError();
}

TEST(SimBridgeSession, AFailedReconnectEndsTheSession) {
  CTestCloud cloud;
  auto bridge = cloud.Connect();
  EXPECT_FALSE(bridge->Connect("sim:///no/such/cloud", "u", "p"));
  EXPECT_FALSE(bridge->CheckConnection());
  EXPECT_EQ(bridge->GetLastError(), "Not connected to the cloud");
}

TEST(SimBridgeSession, WebProxyAddressesAreCheckedBeforeAndAfterConnect) {
  struct SCase {
    std::string host;
    bool accepted;
  };
  const SCase cases[] = {
      {"proxy.example.com:3128", true},
      {"proxy", true},
      {"10.0.0.1:8080", true},
      {"10.0.0.1", true},
      {"[2001:db8::1]:3128", true},
      {"2001:db8::1", true},
      {"proxy-1.corp:65535", true},
      {"proxy:1", true},
      {"", false},
      {"proxy:0", false},
      {"proxy:65536", false},
      {"proxy:", false},
      {"proxy:http", false},
      {":3128", false},
      {"-proxy:3128", false},
      {"proxy_name:3128", false},
      {"http://proxy:3128", false},
      {"300.1.2.3:80", false},
      {"[2001:db8::1", false},
      {"[not-v6]:80", false},
      {"proxy :80", false},
  };
  CTestCloud cloud;
  for (bool connected : {false, true}) {
    for (const SCase& c : cases) {
      COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
      if (connected) {
        ASSERT_TRUE(bridge.Connect(cloud.Url(), "u", "p"));
      }
      EXPECT_EQ(bridge.SetWebProxy(c.host, "puser", "ppass"), c.accepted) << "[" << c.host << "]";
      if (c.accepted) {
        EXPECT_EQ(bridge.GetLastError(), "") << c.host;
      } else if (c.host.empty()) {
        EXPECT_EQ(bridge.GetLastError(), "The web proxy host is empty");
      } else {
        EXPECT_EQ(bridge.GetLastError().rfind("Invalid web proxy [" + c.host + "]", 0), 0u) << bridge.GetLastError();
      }
    }
  }
}

TEST(SimBridgeSession, OperationsBeforeConnectAreRefused) {
  COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  VMInfoStructs::SVMInfo vm;
  vm.name = "untouched";
  EXPECT_FALSE(bridge.GetVMInfo("sample-web", "", vm, 58));
  EXPECT_EQ(bridge.GetLastError(), "Not connected to the cloud");
  EXPECT_EQ(vm.name, "untouched");
  std::vector<VMInfoStructs::SDataCenterInfo> regions;
  EXPECT_EQ(bridge.GetDCInfoList(regions, 0, 0), 0);
  EXPECT_EQ(bridge.GetLastError(), "Not connected to the cloud");
  EXPECT_TRUE(regions.empty());
  EXPECT_EQ(bridge.GetDefaultRegion(), "");
}

// Each operation the simulator does not offer yet fails with its own name, is counted, and never
// fills its out-parameters.
TEST(SimBridgeSession, OperationsNotOfferedYetFailLoudlyAndAreCounted) {
  CTestCloud cloud;
  auto bridge = cloud.Connect();
  VMInfoStructs::SDisk disk;
  VMInfoStructs::SVMInfo vm;
  vm.name = "kept";
  struct SCase {
    const char* op;
    std::function<bool()> call;
  };
  const SCase cases[] = {
      {"RestoreVM", [&] { return bridge->RestoreVM(vm); }},
      {"RestoreVM", [&] { return bridge->RestoreVM(vm, disk); }},
      {"DeployVMFromOrchestration", [&] { return bridge->DeployVMFromOrchestration(vm); }},
      {"ReadInstanceConfig", [&] { return bridge->ReadInstanceConfig("{}", vm); }},
  };
  for (const SCase& c : cases) {
    EXPECT_FALSE(c.call()) << c.op;
    EXPECT_EQ(bridge->GetLastError(), std::string(c.op) + " is not available yet");
  }
  EXPECT_EQ(vm.name, "kept");
  auto cloudDb = cloud.Open();
  auto counters = sim::CSimFaults(*cloudDb).Counters();
  EXPECT_EQ(counters["DeployVMFromOrchestration"], 1);
  EXPECT_EQ(counters["RestoreVM"], 2) << "overloads share one counter";
  EXPECT_EQ(counters["Connect"], 1);
}

TEST(SimBridgeSession, EachThreadSeesItsOwnLastError) {
  CTestCloud cloud;
  auto bridge = cloud.Connect();
  std::string seenByA, seenByB;
  std::thread a([&] {
    VMInfoStructs::SVMInfo vm;
    bridge->GetVMInfo("", "ocid1.instance.oc1.phx.missing-a", vm, 0);
    seenByA = bridge->GetLastError();
  });
  a.join();
  std::thread b([&] {
    bridge->SetWebProxy("bad proxy", "", "");
    seenByB = bridge->GetLastError();
  });
  b.join();
  EXPECT_EQ(seenByA, "Instance with id [ocid1.instance.oc1.phx.missing-a] was not found");
  EXPECT_EQ(seenByB.rfind("Invalid web proxy [bad proxy]", 0), 0u) << seenByB;
  EXPECT_EQ(bridge->GetLastError(), "") << "this thread had no failure";
}

}  // namespace
