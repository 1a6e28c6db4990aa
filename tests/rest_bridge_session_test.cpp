// The bridge's REST backend session against `cloud-sim serve`: what Connect refuses and how the refusal
// reads, fault rules met once per bridge operation (a kill stops the calling process), and secrets that
// never reach a log or an error text.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "PluginTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/rest/ApiKey.h"

using namespace OracleCloudSDKCppBridge;

namespace {

class RestSession : public ::testing::Test {
 protected:
  // A profile [name] in the sandbox's API configuration: the API user with `keyFile` (and `extra` lines).
  std::string AddProfile(const std::string& name, const std::string& keyFile, const std::string& extra = "") {
    std::ofstream(sandbox_.Dir() + "/api/config", std::ios::app) << "[" << name << "]\nkey_file=" << keyFile << "\n"
                                                                 << extra;
    return sandbox_.CloudUser() + "#" + name;
  }
  std::string LogsText() const {
    std::string all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox_.Home()))
      if (entry.is_regular_file()) all += ReadTestFile(entry.path().string());
    return all;
  }

  CTestSandbox sandbox_{"infrastructure", "sandbox", "rest"};
};

TEST_F(RestSession, ConnectRefusalsNameTheirCauseInTheApisWords) {
  std::string error;
  const auto stranger = CPrivateKey::Generate(error);
  hosttest::PutFile(sandbox_.Dir() + "/api/stranger.pem", stranger->PrivatePem());
  ::chmod((sandbox_.Dir() + "/api/stranger.pem").c_str(), 0600);
  const std::string open = sandbox_.Dir() + "/api/open.pem";
  std::filesystem::copy_file(sandbox_.Dir() + "/api/api_key.pem", open);
  ::chmod(open.c_str(), 0644);
  const std::string strangerUser = AddProfile("STRANGER", "stranger.pem"), openUser = AddProfile("OPEN", "open.pem");
  const struct {
    const char* what;
    int type;
    std::string url, user, starts, contains;
  } cases[] = {
      {"the API user", VSINST_ORACLE_CLOUD_INFRASTRUCTURE, sandbox_.CloudUrl(), sandbox_.CloudUser(), "", ""},
      {"another key", VSINST_ORACLE_CLOUD_INFRASTRUCTURE, sandbox_.CloudUrl(), strangerUser,
       "Cannot connect to [" + sandbox_.CloudUrl().substr(7) + "]: NotAuthenticated: ", "(opc-request-id "},
      {"a key others may read", VSINST_ORACLE_CLOUD_INFRASTRUCTURE, sandbox_.CloudUrl(), openUser,
       "Cannot connect: the key file [" + open + "] has mode 0644", "group and others may not read"},
      {"a profile the file lacks", VSINST_ORACLE_CLOUD_INFRASTRUCTURE, sandbox_.CloudUrl(),
       sandbox_.CloudUser() + "#NONE", "Cannot connect: the API configuration file [", "has no profile [NONE]"},
      {"plain HTTP off the loopback", VSINST_ORACLE_CLOUD_INFRASTRUCTURE, "http://iaas.example.com",
       sandbox_.CloudUser(), "Plain HTTP to [iaas.example.com] is refused", ""},
      {"the classic flavour", VSINST_ORACLE_CLOUD_CLASSIC, sandbox_.CloudUrl(), sandbox_.CloudUser(),
       "The cloud's REST API serves the infrastructure flavour only", ""},
  };
  for (const auto& c : cases) {
    COracleCloudSDKCppBridge bridge(c.type);
    const bool connected = bridge.Connect(c.url, c.user, "");
    EXPECT_EQ(connected, c.starts.empty()) << c.what << ": " << bridge.GetLastError();
    if (connected) {
      EXPECT_TRUE(bridge.CheckConnection()) << bridge.GetLastError();
      continue;
    }
    EXPECT_EQ(bridge.GetLastError().rfind(c.starts, 0), 0u) << c.what << ": " << bridge.GetLastError();
    EXPECT_NE(bridge.GetLastError().find(c.contains), std::string::npos) << c.what << ": " << bridge.GetLastError();
    EXPECT_FALSE(bridge.CheckConnection());
    EXPECT_EQ(bridge.GetLastError(), "Not connected to the cloud") << c.what;
  }
  // Only the Connect the service let in was counted.
  EXPECT_EQ(sandbox_.Calls("Connect"), 1);
  EXPECT_EQ(sandbox_.Calls("CheckConnection"), 1);
}

TEST_F(RestSession, AFaultRuleMeetsTheOperationOnceAndAKillStopsTheCaller) {
  sandbox_.Fault("CheckConnection", 2, "fail", {"--text", "the service is down for maintenance"});
  COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  ASSERT_TRUE(bridge.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "")) << bridge.GetLastError();
  EXPECT_TRUE(bridge.CheckConnection());
  EXPECT_FALSE(bridge.CheckConnection());
  EXPECT_EQ(bridge.GetLastError().rfind("IncorrectState: the service is down for maintenance (opc-request-id ", 0), 0u)
      << bridge.GetLastError();
  EXPECT_TRUE(bridge.CheckConnection());
  EXPECT_EQ(sandbox_.Calls("CheckConnection"), 3);

  // A kill rule stops the process that made the call, before or after the service did its part.
  for (const char* action : {"kill-before", "kill-after"}) {
    sandbox_.Fault("CheckConnection", 1, action);
    const pid_t child = ::fork();
    if (child == 0) {
      COracleCloudSDKCppBridge doomed(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
      ::_exit(doomed.Connect(sandbox_.CloudUrl(), sandbox_.CloudUser(), "") && doomed.CheckConnection() ? 0 : 3);
    }
    const int status = CTestSandbox::WaitFor(child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << action << ": status " << status;
    EXPECT_TRUE(bridge.CheckConnection()) << action << ": the rule met more than one call";
  }
}

TEST_F(RestSession, APassphraseGivenAsThePasswordOpensTheKeyAndNoSecretReachesALog) {
  const std::string passphrase = "tr0ub4dor&3 passphrase", locked = sandbox_.Dir() + "/api/locked.pem";
  const std::string command = "openssl pkey -aes256 -passout pass:'" + passphrase + "' -in '" + sandbox_.Dir() +
                              "/api/api_key.pem' -out '" + locked + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ::chmod(locked.c_str(), 0600);
  const std::string user = AddProfile("LOCKED", "locked.pem");
  for (const std::string given : {"wrong passphrase", passphrase.c_str()}) {
    COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    EXPECT_TRUE(bridge.SetWebProxy("proxy.example.com:3128", "proxy-user", "proxy-secret-password"));
    const bool connected = bridge.Connect(sandbox_.CloudUrl(), user, given);
    EXPECT_EQ(connected, given == passphrase) << bridge.GetLastError();
    if (connected) {
      EXPECT_TRUE(bridge.CheckConnection()) << bridge.GetLastError();
    }
    EXPECT_EQ(bridge.GetLastError().find(given), std::string::npos);
  }
  // The agent's run with the passphrase as its password: it connects, and neither its output nor the
  // logs of the plug-in and the host hold the passphrase.
  std::string out;
  EXPECT_EQ(sandbox_.Agent({"connect", "--user", user, "--password", passphrase}, &out), 0) << out;
  EXPECT_NE(sandbox_.Agent({"connect", "--user", user, "--password", "wrong passphrase"}, &out), 0) << out;
  EXPECT_NE(out.find("locked.pem] holds an encrypted key"), std::string::npos) << out;
  EXPECT_EQ(out.find("wrong passphrase"), std::string::npos) << out;
  // The same passphrase from a file only its owner may read, and from the environment.
  const std::string file = sandbox_.Dir() + "/passphrase";
  WriteTestFile(file, passphrase + "\n");
  ::chmod(file.c_str(), 0600);
  EXPECT_EQ(sandbox_.Agent({"connect", "--user", user, "--password-file", file}, &out), 0) << out;
  {
    hosttest::ScopedEnv fromEnv("BACKUP_AGENT_PASSWORD", passphrase);
    EXPECT_EQ(sandbox_.Agent({"connect", "--user", user}, &out), 0) << out;
  }
  const std::string logs = LogsText(), pem = ReadTestFile(sandbox_.Dir() + "/api/api_key.pem");
  ASSERT_NE(logs.find("Connected to the cloud's API"), std::string::npos) << "no log was written";
  for (const std::string& secret : {passphrase, std::string("wrong passphrase"), std::string("proxy-secret-password"),
                                    pem.substr(pem.find('\n') + 1, 40)})
    EXPECT_EQ(logs.find(secret), std::string::npos) << secret;
}

}  // namespace
