// The browse tree as the host's console walks it: the root view, the base walk (regions, hosts,
// instances) of the classic flavour and the plain object, and the infrastructure walk
// (compartments, instances); checked against what the simulated cloud holds.
#include "PluginTestUtil.h"

using namespace plugintest;
using VMInfoStructs::SInventoryInfo;

namespace {

class PluginBrowse : public CPluginFlowTest {};

// A node whose parent chain carries `guids`: element 0 is the parent, element 1 its parent.
SInventoryInfo NodeUnder(const std::vector<std::string>& guids) {
  SInventoryInfo node;
  SInventoryInfo* at = &node;
  for (const auto& guid : guids) {
    SInventoryInfo parent;
    parent.name = parent.guid = guid;
    at->parents.push_back(parent);
    at = &at->parents.front();
  }
  return node;
}

std::set<std::string> Names(const std::vector<SInventoryInfo>& entries) {
  std::set<std::string> names;
  for (const auto& e : entries) names.insert(e.name);
  return names;
}

std::set<std::string> Guids(const std::vector<SInventoryInfo>& entries) {
  std::set<std::string> guids;
  for (const auto& e : entries) guids.insert(e.guid);
  return guids;
}

struct SObjectCase {
  const char* label;
  const char* cloud;  // flavour of the sandbox
  std::unique_ptr<COracleCloudInfo> (*connect)(const CTestSandbox&);
};
const SObjectCase kObjects[] = {
    {"infrastructure", "infrastructure", &ConnectObject<CInfraPlugin>},
    {"classic", "classic", &ConnectObject<CClassicPlugin>},
    {"plain", "infrastructure", &ConnectObject<CPlainPlugin>},
};

}  // namespace

TEST_F(PluginBrowse, RootHoldsOnlyTheViewVMsAndNeedsNoCloud) {
  for (const auto& c : kObjects) {
    CTestSandbox sandbox(c.cloud);
    auto plugin = c.connect(sandbox);
    const auto callsBefore = AllCalls(sandbox);
    for (const std::string path : {"", "\\"}) {
      std::vector<SInventoryInfo> out;
      ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder({"ignored"}), out, 0, 0), 1) << c.label << " [" << path << "]";
      ASSERT_EQ(out.size(), 1u) << c.label << " [" << path << "]";
      EXPECT_EQ(out[0].name, "VMs");
      EXPECT_EQ(out[0].guid, "");
      EXPECT_EQ(out[0].type, VMInfoStructs::INVENTORY_TYPE_NONE);
      EXPECT_TRUE(out[0].parents.empty());
    }
    EXPECT_EQ(AllCalls(sandbox), callsBefore) << c.label;
  }
}

TEST_F(PluginBrowse, OtherViewsSucceedEmptyWithoutACloudCall) {
  for (const auto& c : kObjects) {
    CTestSandbox sandbox(c.cloud);
    auto plugin = c.connect(sandbox);
    const auto callsBefore = AllCalls(sandbox);
    for (const std::string path : {"Hosts", "vms", "VMsX", "Hosts\\VMs", "Datastores\\a\\b"}) {
      std::vector<SInventoryInfo> out;
      EXPECT_EQ(plugin->BrowseInventory(path, SInventoryInfo{}, out, 0, 0), 1) << c.label << " [" << path << "]";
      EXPECT_TRUE(out.empty()) << c.label << " [" << path << "]";
    }
    EXPECT_EQ(AllCalls(sandbox), callsBefore) << c.label;
  }
}

TEST_F(PluginBrowse, InfrastructureListsCompartmentsThenExactlyTheirInstances) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const json compartments = Ls(sandbox, "compartments");

  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out), (std::set<std::string>{"Backup", "Production"}));
  EXPECT_EQ(Guids(out), Column(compartments, "id"));
  for (const auto& e : out) {
    EXPECT_EQ(e.type, VMInfoStructs::INVENTORY_TYPE_HOST);
    EXPECT_EQ(e.guid, CompartmentId(sandbox, e.name));
  }

  const std::map<std::string, std::set<std::string>> expected = {{"Production", {"sample-db", "sample-web"}},
                                                                 {"Backup", {"backup-proxy"}}};
  for (const auto& [compartment, instances] : expected) {
    out.clear();
    const std::string id = CompartmentId(sandbox, compartment);
    // The agent's node: the view as parent, without an id.
    ASSERT_EQ(plugin->BrowseInventory("VMs\\" + id, NodeUnder({""}), out, 0, 0), 1) << compartment;
    EXPECT_EQ(Names(out), instances) << compartment;
    for (const auto& e : out) {
      EXPECT_EQ(e.guid, InstanceId(sandbox, e.name));
      EXPECT_EQ(e.type, VMInfoStructs::INVENTORY_TYPE_VM);
    }
  }
}

TEST_F(PluginBrowse, InfrastructureInstanceLevelAsksForTheParentsCompartment) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string production = CompartmentId(sandbox, "Production");

  // The parent's id names the compartment whatever the path's last component says.
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs\\not-a-compartment", NodeUnder({production}), out, 0, 0), 1);
  EXPECT_EQ(Names(out), (std::set<std::string>{"sample-db", "sample-web"}));

  // A node without parents browses with an empty parent id: the path names the compartment.
  out.clear();
  ASSERT_EQ(plugin->BrowseInventory("VMs\\" + production, SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out), (std::set<std::string>{"sample-db", "sample-web"}));

  out.clear();
  EXPECT_EQ(plugin->BrowseInventory("VMs\\not-a-compartment", SInventoryInfo{}, out, 0, 0), 0);
  EXPECT_TRUE(out.empty());
}

TEST_F(PluginBrowse, InfrastructureRefusesPathsDeeperThanACompartment) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string production = CompartmentId(sandbox, "Production");
  const auto callsBefore = AllCalls(sandbox);
  size_t refusals = 0;
  for (const std::string& path :
       std::vector<std::string>{"VMs\\" + production + "\\sample-web", "VMs\\a\\b\\c", "VMs\\a\\b\\c\\d"}) {
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({production}), out, 0, 0), 0) << path;
    EXPECT_TRUE(out.empty()) << path;
    EXPECT_EQ(EvLogSink::Count("Invalid inventory browse path"), ++refusals) << path;
  }
  EXPECT_TRUE(LoggedError("Invalid inventory browse path"));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
}

TEST_F(PluginBrowse, BaseWalkListsRegionsThenHostsThenInstances) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);

  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out), Column(Ls(sandbox, "regions"), "name"));
  for (const auto& e : out) EXPECT_EQ(e.type, VMInfoStructs::INVENTORY_TYPE_DATACENTER);

  // Hosts: the region id is the parent's id; without parents every region's host is listed.
  struct HostCase {
    std::vector<std::string> chain;
    std::set<std::string> hosts;
  } hostCases[] = {{{"us2"}, {"us2"}}, {{"em2"}, {"em2"}}, {{}, {"us2", "em2"}}};
  for (const auto& c : hostCases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory("VMs\\us2", NodeUnder(c.chain), out, 0, 0), 1) << c.chain.size();
    EXPECT_EQ(Guids(out), c.hosts) << c.chain.size();
    for (const auto& e : out) EXPECT_EQ(e.type, VMInfoStructs::INVENTORY_TYPE_HOST);
  }

  // Instances: the region id is the grandparent's id; the host comes from the path.
  const std::set<std::string> us2Instances = {"backup-proxy", "sample-db", "sample-web"};
  struct InstanceCase {
    std::string path;
    std::vector<std::string> chain;
    std::set<std::string> instances;
  } instanceCases[] = {
      {"VMs\\us2\\us2", {}, us2Instances},
      {"VMs\\em2\\em2", {"em2", "us2"}, us2Instances},  // the grandparent wins over the path
      {"VMs\\em2\\em2", {"em2"}, {}},                  // no grandparent: the path's host (no instances)
  };
  for (const auto& c : instanceCases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory(c.path, NodeUnder(c.chain), out, 0, 0), 1) << c.path << " " << c.chain.size();
    EXPECT_EQ(Names(out), c.instances) << c.path << " " << c.chain.size();
    for (const auto& e : out) EXPECT_EQ(e.guid, InstanceId(sandbox, e.name));
  }

  out.clear();
  EXPECT_EQ(plugin->BrowseInventory("VMs\\us2\\no-such-host", SInventoryInfo{}, out, 0, 0), 0);
  EXPECT_TRUE(out.empty());

  // Deeper paths succeed with nothing, without asking the cloud.
  const auto callsBefore = AllCalls(sandbox);
  for (const std::string path : {"VMs\\us2\\us2\\sample-web", "VMs\\us2\\us2\\sample-web\\disks"}) {
    out.clear();
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({"us2", "us2"}), out, 0, 0), 1) << path;
    EXPECT_TRUE(out.empty()) << path;
  }
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
  EXPECT_FALSE(EvLogSink::Contains("Invalid inventory browse path"));
}

TEST_F(PluginBrowse, PlainObjectWalksRegionsEvenOnAnInfrastructureCloud) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CPlainPlugin>(sandbox);
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out), (std::set<std::string>{"us-phoenix-1", "us-ashburn-1"}));

  out.clear();
  const std::string production = CompartmentId(sandbox, "Production");
  ASSERT_EQ(plugin->BrowseInventory("VMs\\us-phoenix-1\\" + production, SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out), (std::set<std::string>{"sample-db", "sample-web"}));

  out.clear();
  EXPECT_EQ(plugin->BrowseInventory("VMs\\a\\b\\c", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_TRUE(out.empty());
}

TEST_F(PluginBrowse, BridgeFailuresFailTheLevelWithError6AndTheBridgesText) {
  struct Case {
    const char* cloud;
    bool classic;
    std::string path;  // "<production>" stands for the compartment's id
    std::vector<std::string> chain;
    const char* op;
  } cases[] = {
      {"infrastructure", false, "VMs", {}, "GetHostInfoList"},
      {"infrastructure", false, "VMs\\<production>", {}, "GetHostInfo"},
      {"classic", true, "VMs", {}, "GetDCInfoList"},
      {"classic", true, "VMs\\us2", {"us2"}, "GetHostInfoList"},
      {"classic", true, "VMs\\us2\\us2", {"us2", "us2"}, "GetHostInfo"},
  };
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.cloud);
    std::unique_ptr<COracleCloudInfo> plugin =
        c.classic ? ConnectObject<CClassicPlugin>(sandbox) : ConnectObject<CInfraPlugin>(sandbox);
    std::string path = c.path;
    if (auto at = path.find("<production>"); at != std::string::npos)
      path.replace(at, 12, CompartmentId(sandbox, "Production"));
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    plugin->SetLastVMErrorDetails("earlier failure");
    AddFailure(sandbox, c.op, "simulated outage");

    std::vector<SInventoryInfo> out;
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder(c.chain), out, 0, 0), 0) << c.op << " " << path;
    EXPECT_TRUE(out.empty()) << c.op;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED) << c.op;
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "simulated outage") << c.op;
    EXPECT_EQ(sandbox.Calls(c.op), 1) << c.op;
  }
}

// The instance level asks with the caller's flags: with the network flag the cloud reads the
// instances' network cards, which this cloud cannot, so only that browse fails.
TEST_F(PluginBrowse, InstanceLevelPassesTheCallersFlags) {
  struct Case {
    const char* cloud;
    bool classic;
    std::string path;
    std::vector<std::string> chain;
  } cases[] = {
      {"infrastructure", false, "VMs\\<production>", {}},
      {"classic", true, "VMs\\us2\\us2", {"us2", "us2"}},
  };
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.cloud);
    std::unique_ptr<COracleCloudInfo> plugin =
        c.classic ? ConnectObject<CClassicPlugin>(sandbox) : ConnectObject<CInfraPlugin>(sandbox);
    std::string path = c.path;
    if (auto at = path.find("<production>"); at != std::string::npos)
      path.replace(at, 12, CompartmentId(sandbox, "Production"));
    ExecSql(sandbox, "ALTER TABLE vnics RENAME TO vnics_elsewhere");

    std::vector<SInventoryInfo> out;
    ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder(c.chain), out, 0, 0), 1)
        << c.cloud << ": " << plugin->GetLastVMErrorDetails();
    EXPECT_FALSE(out.empty()) << c.cloud;
    out.clear();
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder(c.chain), out, OracleCloudSDKCppBridge::VMINFO_FLAG_NETWORK, 0),
              0)
        << c.cloud;
    EXPECT_TRUE(out.empty()) << c.cloud;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED) << c.cloud;
    EXPECT_NE(plugin->GetLastVMErrorDetails().find("vnics"), std::string::npos) << plugin->GetLastVMErrorDetails();
  }
}
