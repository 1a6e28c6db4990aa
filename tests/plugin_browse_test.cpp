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
    at->parents.resize(1);
    at = &at->parents.front();
    at->name = at->guid = guid;
  }
  return node;
}
// The entries' names, each checked to be of `type` and, for instances, to carry the cloud's id.
std::set<std::string> Names(const std::vector<SInventoryInfo>& entries, VMInfoStructs::EInventoryType type,
                            const CTestSandbox* sandbox = nullptr, bool guids = false) {
  std::set<std::string> names;
  for (const auto& e : entries) {
    names.insert(guids ? e.guid : e.name);
    EXPECT_EQ(e.type, type) << e.name;
    if (sandbox) { EXPECT_EQ(e.guid, InstanceId(*sandbox, e.name)); }
  }
  return names;
}
}  // namespace

// The root holds only the view "VMs"; other views and paths below an instance are empty
// successes; none of them asks the cloud.
TEST_F(PluginBrowse, ViewsAndDeepBasePathsNeedNoCloud) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
  const auto callsBefore = AllCalls(sandbox);
  for (const std::string path : {"", "\\"}) {
    std::vector<SInventoryInfo> out;
    ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder({"ignored"}), out, 0, 0), 1) << "[" << path << "]";
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name + out[0].guid, "VMs");
    EXPECT_EQ(out[0].type, VMInfoStructs::INVENTORY_TYPE_NONE);
    EXPECT_TRUE(out[0].parents.empty());
  }
  for (const std::string path : {"Hosts", "vms", "VMsX", "Hosts\\VMs", "VMs\\us2\\us2\\sample-web", "VMs\\a\\b\\c\\d"}) {
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({"us2", "us2"}), out, 0, 0), 1) << "[" << path << "]";
    EXPECT_TRUE(out.empty()) << "[" << path << "]";
  }
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
  EXPECT_FALSE(EvLogSink::Contains("Invalid inventory browse path"));
}

// Compartments, then the instances of the parent's compartment, or the path's when it has none;
// deeper paths are refused without asking the cloud.
TEST_F(PluginBrowse, InfrastructureListsCompartmentsThenTheirInstances) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string production = CompartmentId(sandbox, "Production");
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_HOST, nullptr, true), Column(Ls(sandbox, "compartments"), "id"));
  const std::set<std::string> samples = {"sample-db", "sample-web"};
  struct Case {
    std::string path;
    SInventoryInfo node;
    std::set<std::string> instances;
  } cases[] = {{"VMs\\" + production, NodeUnder({""}), samples},
               {"VMs\\" + CompartmentId(sandbox, "Backup"), NodeUnder({""}), {"backup-proxy"}},
               {"VMs\\not-a-compartment", NodeUnder({production}), samples},
               {"VMs\\" + production, SInventoryInfo{}, samples}};
  for (const auto& c : cases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory(c.path, c.node, out, 0, 0), 1) << c.path;
    EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_VM, &sandbox), c.instances) << c.path;
  }
  out.clear();
  EXPECT_EQ(plugin->BrowseInventory("VMs\\not-a-compartment", SInventoryInfo{}, out, 0, 0), 0);
  EXPECT_TRUE(out.empty());
  // Deeper paths are refused without asking the cloud.
  const auto callsBefore = AllCalls(sandbox);
  size_t refusals = 0;
  for (const std::string& path : {"VMs\\" + production + "\\sample-web", std::string("VMs\\a\\b\\c")}) {
    out.clear();
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({production}), out, 0, 0), 0) << path;
    EXPECT_TRUE(out.empty()) << path;
    EXPECT_EQ(EvLogSink::Count("Invalid inventory browse path"), ++refusals) << path;
  }
  EXPECT_TRUE(LoggedError("Invalid inventory browse path"));
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
}

TEST_F(PluginBrowse, BaseWalkListsRegionsThenHostsThenInstances) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_DATACENTER), Column(Ls(sandbox, "regions"), "name"));
  // Hosts: the region id is the parent's id; without parents every region's host is listed.
  const std::pair<std::vector<std::string>, std::set<std::string>> hostCases[] = {
      {{"us2"}, {"us2"}}, {{"em2"}, {"em2"}}, {{}, {"us2", "em2"}}};
  for (const auto& [chain, hosts] : hostCases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory("VMs\\us2", NodeUnder(chain), out, 0, 0), 1) << chain.size();
    EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_HOST, nullptr, true), hosts) << chain.size();
  }
  // Instances: the region id is the grandparent's id; the host comes from the path.
  const std::set<std::string> us2 = {"backup-proxy", "sample-db", "sample-web"};
  const std::tuple<std::string, std::vector<std::string>, std::set<std::string>> instanceCases[] = {
      {"VMs\\us2\\us2", {}, us2}, {"VMs\\em2\\em2", {"em2", "us2"}, us2}, {"VMs\\em2\\em2", {"em2"}, {}}};
  for (const auto& [path, chain, instances] : instanceCases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder(chain), out, 0, 0), 1) << path << " " << chain.size();
    EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_VM, &sandbox), instances) << path << " " << chain.size();
  }
  out.clear();
  EXPECT_EQ(plugin->BrowseInventory("VMs\\us2\\no-such-host", SInventoryInfo{}, out, 0, 0), 0);
  EXPECT_TRUE(out.empty());
}

// A failed bridge call fails the level with error 6 and the bridge's text. The instance level
// asks with the caller's flags: the network flag makes the cloud read network cards, which it
// cannot here, so only that browse fails.
TEST_F(PluginBrowse, BridgeFailuresAndCallerFlags) {
  struct Case {
    bool classic;
    std::string path;  // "<p>" stands for the Production compartment's id
    std::vector<std::string> chain;
    const char* op;  // nullptr: no fault rule, the network cards are missing
  } cases[] = {{false, "VMs", {}, "GetHostInfoList"},
               {false, "VMs\\<p>", {}, "GetHostInfo"},
               {true, "VMs", {}, "GetDCInfoList"},
               {true, "VMs\\us2", {"us2"}, "GetHostInfoList"},
               {true, "VMs\\us2\\us2", {"us2", "us2"}, "GetHostInfo"},
               {false, "VMs\\<p>", {}, nullptr},
               {true, "VMs\\us2\\us2", {"us2", "us2"}, nullptr}};
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.classic ? "classic" : "infrastructure");
    auto plugin = ConnectFlavour(sandbox, c.classic);
    std::string path = c.path;
    if (auto at = path.find("<p>"); at != std::string::npos) path.replace(at, 3, CompartmentId(sandbox, "Production"));
    const std::string label = path + " " + (c.op ? c.op : "network");
    UINT64 flags = 0;
    std::vector<SInventoryInfo> out;
    if (c.op) {
      AddFailure(sandbox, c.op, "simulated outage");
    } else {
      ExecSql(sandbox, "ALTER TABLE vnics RENAME TO vnics_elsewhere");
      ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder(c.chain), out, 0, 0), 1) << label;
      EXPECT_FALSE(out.empty()) << label;
      out.clear();
      flags = OracleCloudSDKCppBridge::VMINFO_FLAG_NETWORK;
    }
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder(c.chain), out, flags, 0), 0) << label;
    EXPECT_TRUE(out.empty()) << label;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_HOST_QUERY_FAILED) << label;
    EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.op ? "simulated outage" : "vnics"), std::string::npos) << label;
    if (c.op) { EXPECT_EQ(sandbox.Calls(c.op), 1) << label; }
  }
}
