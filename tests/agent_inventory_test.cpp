// backup-agent's connect and inventory commands run as processes, checked against what cloud-sim
// shows; and the shipped plug-in's exports.
#include "PluginTestUtil.h"
#include "host/SqliteDb.h"
#include "host/TzProcess.h"

using namespace plugintest;

namespace {

json AgentJson(const CTestSandbox& sandbox, const std::vector<std::string>& args) {
  std::string out;
  EXPECT_EQ(sandbox.Agent(args, &out), 0) << out;
  return json::parse(out, nullptr, false);
}

TEST(AgentConnect, PrintsTheProxyIdentityAndRecordOrTheReasonItCannot) {
  CTestSandbox sandbox;
  const json connect = AgentJson(sandbox, {"connect", "--json"});
  EXPECT_EQ(connect["identity"], sandbox.ProxyInstanceId());
  EXPECT_EQ(connect["record"]["guid"], sandbox.ProxyInstanceId());
  EXPECT_EQ(connect["record"]["name"], "backup-proxy");
  std::filesystem::rename(sandbox.Dir() + "/cloud", sandbox.Dir() + "/cloud-moved");
  std::string out;
  EXPECT_EQ(sandbox.Agent({"connect"}, &out), 1);
  EXPECT_TRUE(NamesStepCodeAndCause(out, "Connect")) << out;
  EXPECT_NE(out.find("error 48: "), std::string::npos) << out;
  EXPECT_NE(out.find(sandbox.Dir() + "/cloud"), std::string::npos) << out;
}

TEST(AgentInventory, BrowseWalksUnderTheNodeItsPathNames) {
  CTestSandbox sandbox;
  EXPECT_EQ(Column(AgentJson(sandbox, {"browse", "--json"}), "name"), std::set<std::string>{"VMs"});
  const json compartments = AgentJson(sandbox, {"browse", "VMs", "--json"});
  EXPECT_EQ(Column(compartments, "guid"), Column(Ls(sandbox, "compartments"), "id"));
  const json instances = AgentJson(sandbox, {"browse", "VMs\\" + CompartmentId(sandbox, "Production"), "--json"});
  EXPECT_EQ(Column(instances, "name"), (std::set<std::string>{"sample-db", "sample-web"}));
  std::string out;
  EXPECT_NE(sandbox.Agent({"browse", "VMs\\a\\b"}, &out), 0);
  EXPECT_NE(out.find("browse failed"), std::string::npos) << out;
  // On classic the node a path names is built from each of its levels.
  CTestSandbox classic("classic");
  EXPECT_EQ(Column(AgentJson(classic, {"browse", "VMs\\us2\\us2", "--json"}), "name"),
            (std::set<std::string>{"backup-proxy", "sample-db", "sample-web"}));
}

// A name that two instances share is refused with both ids and changes nothing; an id still works.
TEST(AgentInventory, AmbiguousNamesFailClearlyAndChangeNothing) {
  CTestSandbox sandbox;
  std::string out;
  // A clone takes no name in use: the twin is an instance renamed behind the agent's back.
  CSqliteDb(sandbox.Dir() + "/cloud/cloud.db", false)
      .Exec("UPDATE instances SET name = 'sample-db' WHERE name = 'sample-web'");
  const json twins = RowsWhere(Ls(sandbox, "instances"), "name", "sample-db");
  ASSERT_EQ(twins.size(), 2u);
  EXPECT_NE(sandbox.Agent({"power-off", "sample-db"}, &out), 0);
  EXPECT_NE(out.find("instance name [sample-db] is ambiguous:"), std::string::npos) << out;
  for (const auto& twin : twins) EXPECT_NE(out.find(twin["id"].get<std::string>()), std::string::npos) << out;
  EXPECT_EQ(sandbox.Calls("PowerOffInstance"), 0);
  ASSERT_EQ(sandbox.Agent({"power-off", twins[0]["id"]}, &out), 0) << out;
  EXPECT_EQ(InstanceState(sandbox, twins[0]["id"]), "STOPPED");
  EXPECT_EQ(InstanceState(sandbox, twins[1]["id"]), "RUNNING");
}

// Every failing command names its step, the plug-in's code (never a fake 0) and a cause.
TEST(AgentInventory, FailuresNameTheStepTheCodeAndTheCause) {
  CTestSandbox sandbox;
  const struct {
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
    sandbox.Fault(c.op, 1, "fail");
    EXPECT_EQ(sandbox.Agent(c.args, &out), 1) << c.op << "\n" << out;
    EXPECT_TRUE(NamesStepCodeAndCause(out, c.step)) << c.op << "\n" << out;
    EXPECT_NE(out.find("Simulated failure of " + c.op), std::string::npos) << out;
  }
  EXPECT_EQ(InstanceState(sandbox, InstanceId(sandbox, "sample-web")), "RUNNING");
  // A shape change asks for nothing else; CPUs that a fixed shape does not take are a failure.
  std::string out;
  EXPECT_EQ(sandbox.Agent({"reconfigure", "sample-web", "--shape", "VM.Standard2.2"}, &out), 0) << out;
  EXPECT_EQ(sandbox.Agent({"reconfigure", "sample-web", "--cpus", "4"}, &out), 1) << out;
  EXPECT_TRUE(NamesStepCodeAndCause(out, "reconfigure")) << out;
  EXPECT_NE(out.find("was not changed as asked: 4 CPUs (it has 2)"), std::string::npos) << out;
}

TEST(PluginLibrary, ExportsOnlyTheFactory) {
  std::string out;
  const std::string command = "nm -D --defined-only '" + std::string(OCI_BUILD_DIR) + "/libOracleCloudInfo.so'";
  ASSERT_EQ(TzProcess::system(command.c_str(), &out, nullptr), 0) << out;
  std::set<std::string> symbols;
  std::istringstream lines(out);
  for (std::string address, type, name; lines >> address >> type >> name;) symbols.insert(name);
  EXPECT_EQ(symbols, std::set<std::string>{"CreateOracleCloudInfoObject"}) << out;
}

}  // namespace
