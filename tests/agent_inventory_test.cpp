// backup-agent's inventory commands run as processes: browse, list, and the instance operations
// by name or id, checked against what cloud-sim shows afterwards.
#include "PluginTestUtil.h"

using namespace plugintest;

namespace {

class AgentInventory : public ::testing::Test {
 protected:
  int Agent(std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), {"--sandbox", sandbox_.Dir()});
    return CTestSandbox::Run("backup-agent", args, out);
  }
  json AgentJson(const std::vector<std::string>& args) {
    std::string out;
    if (Agent(args, &out) != 0) throw std::runtime_error("backup-agent failed: " + out);
    return json::parse(out);
  }

  CTestSandbox sandbox_;
};

}  // namespace

TEST_F(AgentInventory, BrowseWalksFromTheRootToTheInstancesOfACompartment) {
  std::string out;
  ASSERT_EQ(Agent({"browse"}, &out), 0) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_NE(out.find("name=VMs"), std::string::npos) << out;
  const json root = AgentJson({"browse", "--json"});
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(root[0]["name"], "VMs");

  const json compartments = AgentJson({"browse", "VMs", "--json"});
  const json expected = Ls(sandbox_, "compartments");
  EXPECT_EQ(Column(compartments, "name"), Column(expected, "name"));
  EXPECT_EQ(Column(compartments, "guid"), Column(expected, "id"));

  const json instances = AgentJson({"browse", "VMs\\" + CompartmentId(sandbox_, "Production"), "--json"});
  EXPECT_EQ(Column(instances, "name"), (std::set<std::string>{"sample-db", "sample-web"}));
  EXPECT_EQ(Column(instances, "guid"),
            (std::set<std::string>{InstanceId(sandbox_, "sample-db"), InstanceId(sandbox_, "sample-web")}));

  EXPECT_NE(Agent({"browse", "VMs\\a\\b"}, &out), 0);
  EXPECT_NE(out.find("browse failed"), std::string::npos) << out;
}

TEST_F(AgentInventory, PowerCommandsFindTheInstanceByNameOrId) {
  const std::string web = InstanceId(sandbox_, "sample-web");
  std::string out;
  ASSERT_EQ(Agent({"power-off", "sample-web"}, &out), 0) << out;
  EXPECT_NE(out.find("power-off [sample-web] " + web + ": done"), std::string::npos) << out;
  EXPECT_EQ(InstanceState(sandbox_, web), "STOPPED");
  EXPECT_EQ(InstanceState(sandbox_, InstanceId(sandbox_, "sample-db")), "RUNNING");

  ASSERT_EQ(Agent({"power-on", web}, &out), 0) << out;
  EXPECT_EQ(InstanceState(sandbox_, web), "RUNNING");
}

TEST_F(AgentInventory, UnknownAndAmbiguousNamesFailClearlyAndChangeNothing) {
  std::string out;
  EXPECT_NE(Agent({"power-off", "no-such-vm"}, &out), 0);
  EXPECT_NE(out.find("no instance named [no-such-vm]"), std::string::npos) << out;

  // A clone given an existing name makes the name ambiguous.
  ASSERT_EQ(Agent({"clone", "sample-web", "--as", "sample-db"}, &out), 0) << out;
  const json twins = RowsWhere(Ls(sandbox_, "instances"), "name", "sample-db");
  ASSERT_EQ(twins.size(), 2u);
  EXPECT_NE(Agent({"power-off", "sample-db"}, &out), 0);
  EXPECT_NE(out.find("instance name [sample-db] is ambiguous:"), std::string::npos) << out;
  for (const auto& twin : twins) {
    EXPECT_NE(out.find(twin["id"].get<std::string>()), std::string::npos) << out;
    EXPECT_EQ(InstanceState(sandbox_, twin["id"]), "RUNNING");
  }
  EXPECT_EQ(sandbox_.Calls("PowerOffInstance"), 0);

  // Its id still names one of them.
  const std::string first = twins[0]["id"];
  ASSERT_EQ(Agent({"power-off", first}, &out), 0) << out;
  EXPECT_EQ(InstanceState(sandbox_, first), "STOPPED");
  EXPECT_EQ(InstanceState(sandbox_, twins[1]["id"]), "RUNNING");
}

TEST_F(AgentInventory, CloneReconfigureAndDeleteShowInTheCloud) {
  const json source = RowWhere(Ls(sandbox_, "instances"), "name", "sample-web");
  std::string out;
  ASSERT_EQ(Agent({"clone", "sample-web", "--as", "web-copy"}, &out), 0) << out;
  const json clone = RowWhere(Ls(sandbox_, "instances"), "name", "web-copy");
  EXPECT_NE(out.find("Cloned [sample-web] as [web-copy] " + clone["id"].get<std::string>()), std::string::npos) << out;
  EXPECT_EQ(clone["state"], "RUNNING");
  EXPECT_EQ(Checksum(sandbox_, clone["boot_volume_id"]), Checksum(sandbox_, source["boot_volume_id"]));

  ASSERT_EQ(Agent({"reconfigure", "web-copy", "--shape", "VM.Standard2.2"}, &out), 0) << out;
  EXPECT_EQ(RowWhere(Ls(sandbox_, "instances"), "name", "web-copy")["shape"], "VM.Standard2.2");
  ASSERT_EQ(Agent({"reconfigure", "sample-db", "--shape", "VM.Standard.E4.Flex", "--cpus", "4", "--memory-mb", "65536"},
                  &out),
            0)
      << out;
  const json db = RowWhere(Ls(sandbox_, "instances"), "name", "sample-db");
  EXPECT_EQ(db["cpus"], 4);
  EXPECT_EQ(db["memory_mb"], 65536);
  EXPECT_NE(Agent({"reconfigure", "sample-db", "--shape", "VM.NoSuchShape"}, &out), 0);
  EXPECT_NE(out.find("reconfigure failed"), std::string::npos) << out;
  EXPECT_NE(out.find("VM.NoSuchShape"), std::string::npos) << out;

  ASSERT_EQ(Agent({"delete", "web-copy"}, &out), 0) << out;
  EXPECT_EQ(InstanceState(sandbox_, clone["id"]), "TERMINATED");
  EXPECT_TRUE(RowsWhere(Ls(sandbox_, "volumes"), "id", clone["boot_volume_id"]).empty());
  EXPECT_NE(Agent({"power-on", "web-copy"}, &out), 0);
  EXPECT_NE(out.find("no instance named [web-copy]"), std::string::npos) << out;
}

TEST_F(AgentInventory, ListPrintsEachKindAsJson) {
  const std::string production = CompartmentId(sandbox_, "Production");
  const std::string backup = CompartmentId(sandbox_, "Backup");
  std::set<std::string> images;
  for (const auto& image : Ls(sandbox_, "images")) images.insert(image["id"].get<std::string>());
  struct Case {
    std::vector<std::string> args;
    std::string key;
    std::set<std::string> expected;
  } cases[] = {
      {{"regions"}, "name", {"us-phoenix-1", "us-ashburn-1"}},
      {{"regions"}, "key", {"PHX", "IAD"}},
      {{"compartments"}, "id", {production, backup}},
      {{"instances"}, "name", {"backup-proxy", "sample-db", "sample-web"}},
      {{"instances", "--compartment", production}, "name", {"sample-db", "sample-web"}},
      {{"images"}, "guid", images},
      {{"shapes"}, "name", {"VM.Standard2.1", "VM.Standard2.2", "VM.Standard2.4", "VM.Standard2.8"}},
      {{"ads"}, "name", {"Uocm:PHX-AD-1", "Uocm:PHX-AD-2"}},
      {{"buckets", "--compartment", backup}, "name", {"backup-staging", "image-import"}},
      {{"buckets", "--compartment", production}, "name", {}},
      {{"keys"}, "name", {"ops-key"}},
      {{"security-lists"}, "name", {"Default Security List", "web-ingress"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"list"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("--json");
    const json rows = AgentJson(args);
    ASSERT_TRUE(rows.is_array()) << c.args[0];
    EXPECT_EQ(Column(rows, c.key), c.expected) << c.args[0] << " " << c.args.size();
    EXPECT_EQ(rows.size(), c.expected.size()) << c.args[0] << " " << c.args.size();
  }

  std::string out;
  EXPECT_NE(Agent({"list", "volumes"}, &out), 0);
  EXPECT_NE(Agent({"list", "instances", "--compartment", "ocid1.compartment.oc1..missing"}, &out), 0);
  EXPECT_NE(out.find("list instances failed"), std::string::npos) << out;
}

// On the classic cloud a region's level lists the hosts of that region only.
TEST(AgentInventoryClassic, BrowseOfARegionListsOnlyThatRegionsHosts) {
  CTestSandbox sandbox("classic");
  for (const std::string region : {"us2", "em2"}) {
    std::string out;
    ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "browse", "VMs\\" + region, "--json"}, &out),
              0)
        << out;
    EXPECT_EQ(Column(json::parse(out), "guid"), std::set<std::string>{region}) << out;
  }
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "browse", "VMs\\us2\\us2", "--json"}, &out),
            0)
      << out;
  EXPECT_EQ(Column(json::parse(out), "name"), (std::set<std::string>{"backup-proxy", "sample-db", "sample-web"}));
}

// Every failing command names its step, the plug-in's code (never a fake 0) and a cause.
TEST_F(AgentInventory, FailuresNameTheStepTheCodeAndTheCause) {
  struct Case {
    std::string op;  // failed once
    std::vector<std::string> args;
    std::string step;
  } cases[] = {
      {"GetDCInfoList", {"list", "regions"}, "list regions"},
      {"GetVMInfoList", {"power-on", "sample-web"}, "listing instances"},
      {"PowerOnInstance", {"power-on", "sample-web"}, "power-on"},
      {"DeleteVM", {"delete", "sample-web"}, "delete"},
      {"ReConfigureVM", {"reconfigure", "sample-web", "--shape", "VM.Standard2.4"}, "reconfigure"},
      {"Connect", {"connect"}, "Connect"},
  };
  for (const auto& c : cases) {
    std::string out;
    ASSERT_EQ(sandbox_.CloudSim({"fault", "add", "--op", c.op, "--nth", "1", "--action", "fail"}, &out), 0) << out;
    EXPECT_EQ(Agent(c.args, &out), 1) << c.op << "\n" << out;
    EXPECT_TRUE(NamesStepCodeAndCause(out, c.step)) << c.op << "\n" << out;
    EXPECT_NE(out.find("Simulated failure of " + c.op), std::string::npos) << out;
  }
  EXPECT_EQ(InstanceState(sandbox_, InstanceId(sandbox_, "sample-web")), "RUNNING");
}
