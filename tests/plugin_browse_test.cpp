// The browse tree: the root view, the base walk and the infrastructure walk.
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
    if (sandbox) {
      EXPECT_EQ(e.guid, InstanceId(*sandbox, e.name));
    }
  }
  return names;
}
// The instance level passes the caller's flags: with the network flag (cards unreadable here) it fails.
void ExpectCallersFlagsReachTheCloud(COracleCloudInfo& plugin, const CTestSandbox& sandbox, const std::string& path,
                                     const SInventoryInfo& node) {
  ExecSql(sandbox, "ALTER TABLE vnics RENAME TO vnics_elsewhere");
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin.BrowseInventory(path, node, out, 0, 0), 1) << plugin.GetLastVMErrorDetails();
  EXPECT_FALSE(out.empty());
  out.clear();
  EXPECT_EQ(plugin.BrowseInventory(path, node, out, OracleCloudSDKCppBridge::VMINFO_FLAG_NETWORK, 0), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(plugin.GetLastVMError(), VMERR_HOST_QUERY_FAILED);
  EXPECT_NE(plugin.GetLastVMErrorDetails().find("vnics"), std::string::npos) << plugin.GetLastVMErrorDetails();
}
}  // namespace

// Compartments, then the instances of the parent's compartment (or the path's); deeper is refused.
TEST_F(PluginBrowse, InfrastructureListsCompartmentsThenTheirInstances) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string production = CompartmentId(sandbox, "Production");
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_HOST, nullptr, true), Column(Ls(sandbox, "compartments"), "id"));
  const std::set<std::string> samples = {"sample-db", "sample-web"};
  const std::pair<std::string, SInventoryInfo> cases[] = {{"VMs\\" + production, NodeUnder({""})},
                                                          {"VMs\\not-a-compartment", NodeUnder({production})},
                                                          {"VMs\\" + production, {}}};
  for (const auto& [path, node] : cases) {
    out.clear();
    ASSERT_EQ(plugin->BrowseInventory(path, node, out, 0, 0), 1) << path;
    EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_VM, &sandbox), samples) << path;
  }
  const auto callsBefore = AllCalls(sandbox);
  for (const std::string& path : {"VMs\\" + production + "\\sample-web", std::string("VMs\\a\\b\\c")}) {
    out.clear();
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({production}), out, 0, 0), 0) << path;
    EXPECT_TRUE(out.empty()) << path;
  }
  EXPECT_TRUE(LoggedError("Invalid inventory browse path"));
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
  ExpectCallersFlagsReachTheCloud(*plugin, sandbox, "VMs\\" + production, SInventoryInfo{});
}

// The root holds only "VMs"; other views and paths below an instance are empty; no cloud call.
// Then regions, the hosts of the parent's region, the instances of the path's host.
TEST_F(PluginBrowse, BaseWalkListsRegionsThenHostsThenInstances) {
  CTestSandbox sandbox("classic");
  auto plugin = ConnectPlugin<CClassicPlugin>(sandbox);
  const auto callsBefore = AllCalls(sandbox);
  for (const std::string path : {"", "\\"}) {
    std::vector<SInventoryInfo> out;
    ASSERT_EQ(plugin->BrowseInventory(path, NodeUnder({"ignored"}), out, 0, 0), 1) << "[" << path << "]";
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].name + out[0].guid + std::to_string(out[0].type + out[0].parents.size()), "VMs0");
  }
  for (const std::string path :
       {"Hosts", "vms", "VMsX", "Hosts\\VMs", "VMs\\us2\\us2\\sample-web", "VMs\\a\\b\\c\\d"}) {
    std::vector<SInventoryInfo> out;
    EXPECT_EQ(plugin->BrowseInventory(path, NodeUnder({"us2", "us2"}), out, 0, 0), 1) << "[" << path << "]";
    EXPECT_TRUE(out.empty()) << "[" << path << "]";
  }
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
  EXPECT_FALSE(EvLogSink::Contains("Invalid inventory browse path"));
  std::vector<SInventoryInfo> out;
  ASSERT_EQ(plugin->BrowseInventory("VMs", SInventoryInfo{}, out, 0, 0), 1);
  EXPECT_EQ(Names(out, VMInfoStructs::INVENTORY_TYPE_DATACENTER), Column(Ls(sandbox, "regions"), "name"));
  // Hosts: the region id is the parent's id; without parents every region's host is listed.
  const std::pair<std::vector<std::string>, std::set<std::string>> hostCases[] = {{{"em2"}, {"em2"}},
                                                                                  {{}, {"us2", "em2"}}};
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
  ExpectCallersFlagsReachTheCloud(*plugin, sandbox, "VMs\\us2\\us2", NodeUnder({"us2", "us2"}));
}
