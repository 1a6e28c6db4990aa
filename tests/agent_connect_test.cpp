// backup-agent and the shipped plug-in, run as the agent runs them: as processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "TestSandbox.h"
#include "host/FXString.h"
#include "host/TzProcess.h"

TEST(AgentConnect, PrintsTheInfrastructureProxyIdentityAndRecord) {
  CTestSandbox sandbox;
  string out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "connect"}, &out), 0) << out;
  EXPECT_NE(out.find("Proxy identity: " + sandbox.ProxyInstanceId()), string::npos) << out;
  EXPECT_NE(out.find("backup-proxy"), string::npos) << out;

  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "connect", "--json"}, &out), 0) << out;
  auto json = nlohmann::json::parse(out);
  EXPECT_EQ(json["identity"], sandbox.ProxyInstanceId());
  EXPECT_EQ(json["record"]["guid"], sandbox.ProxyInstanceId());
  EXPECT_EQ(json["record"]["name"], "backup-proxy");
}

TEST(AgentConnect, PrintsTheLowerCasedBiosUuidOnClassic) {
  CTestSandbox sandbox("classic");
  string uuid = ReadTestFile(sandbox.Root() + "/sys/class/dmi/id/product_uuid");
  uuid = uuid.substr(0, uuid.find('\n'));
  ASSERT_NE(uuid, FXString::ToLower(uuid)) << "the sandbox should write the UUID in upper case";
  string out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "connect", "--json"}, &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out)["identity"], FXString::ToLower(uuid));
}

TEST(AgentConnect, FailuresExitNonZeroWithTheReason) {
  string out;
  EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", "/tmp/no/such/sandbox", "connect"}, &out), 0);
  EXPECT_NE(out.find("does not exist"), string::npos) << out;

  CTestSandbox sandbox;
  std::filesystem::rename(sandbox.Dir() + "/cloud", sandbox.Dir() + "/cloud-moved");
  EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "connect"}, &out), 0);
  EXPECT_NE(out.find("error 48:"), string::npos) << out;
  EXPECT_NE(out.find(sandbox.Dir() + "/cloud"), string::npos) << out;
}

TEST(PluginLibrary, ExportsOnlyTheFactory) {
  string out;
  string command = "nm -D --defined-only '" + string(OCI_BUILD_DIR) + "/libOracleCloudInfo.so'";
  ASSERT_EQ(TzProcess::system(command.c_str(), &out, nullptr), 0) << out;
  std::set<string> symbols;
  std::istringstream lines(out);
  string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    string address, type, name;
    if (fields >> address >> type >> name) symbols.insert(name);
  }
  EXPECT_EQ(symbols, std::set<string>{"CreateOracleCloudInfoObject"}) << out;
}
