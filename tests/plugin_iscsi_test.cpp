// iSCSI command lines, session cleanup strings, and the refusal of values that must not reach a shell.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "TestSandbox.h"
#include "host/EvDebug.h"
#include "host/TZPlatformInfo.h"
#include "host/TzProcess.h"
#include "util/IscsiUtils.h"

namespace {

IscsiAttachment Attachment(const string& portal, const string& port, const string& iqn) {
  IscsiAttachment a;
  a.targetPortal = portal;
  a.targetPort = port;
  a.iqn = iqn;
  return a;
}

const string kIqn = "iqn.2015-12.com.oracleiaas:0f3a9c1e-5b7d-4e2a-9d61-2c8e4b7a1f00";

}  // namespace

TEST(PluginIscsi, CleanupStringIsFormedFromThreeNonEmptyFieldsWithoutSeparatorAndParsedBack) {
  EXPECT_EQ(IscsiUtils::generateLinuxSessionCleanupString("10.0.0.5", "3260", kIqn), "10.0.0.5+3260+" + kIqn);
  EXPECT_EQ(IscsiUtils::generateLinuxSessionCleanupString("10.0.0.5", "", kIqn), "");
  EXPECT_EQ(IscsiUtils::generateLinuxSessionCleanupString("", "3260", kIqn), "");
  EXPECT_EQ(IscsiUtils::generateLinuxSessionCleanupString("10.0.0.5", "3260", "iqn.a+b"), "");

  IscsiAttachment parsed = Attachment("keep", "keep", "keep");
  ASSERT_TRUE(IscsiUtils::parseLinuxSessionCleanupString("10.0.0.5+3260+" + kIqn, parsed));
  EXPECT_EQ(parsed.targetPortal, "10.0.0.5");
  EXPECT_EQ(parsed.targetPort, "3260");
  EXPECT_EQ(parsed.iqn, kIqn);
  for (const char* bad : {"10.0.0.5+3260", "a+b+c+d", "", "a++b+c"}) {
    IscsiAttachment untouched = Attachment("keep", "keep", "keep");
    EXPECT_FALSE(IscsiUtils::parseLinuxSessionCleanupString(bad, untouched)) << bad;
    EXPECT_EQ(untouched.targetPortal, "keep");
  }
}

TEST(PluginIscsi, ValueGrammar) {
  const string prefix = "iqn.2015-12.com.oracleiaas:";
  for (const string& good :
       std::vector<string>{kIqn, "iqn.2001-04.com.example:storage.disk2.sys1.xyz", "iqn.1992-01.com.example",
                           "eui.02004567A425678D", prefix + string(223 - prefix.size(), 'a')})
    EXPECT_TRUE(IscsiUtils::isValidIqn(good)) << good;
  for (const string& bad : std::vector<string>{
           "iqn.2015-13.com.x", "iqn.15-12.com.x", "IQN.2015-12.com.x", "iqn.2015-12.com.x;reboot",
           "iqn.2015-12.com.x:$(id)", "iqn.2015-12.com.x\nid", "iqn.2015-12.-com.x", "eui.123", "-iqn.2015-12.com.x",
           "", prefix + string(224 - prefix.size(), 'a'), "iqn.2015-12.com.x:a b", "iqn.2015-12.com.x:\""})
    EXPECT_FALSE(IscsiUtils::isValidIqn(bad)) << bad;
  for (const char* good : {"169.254.2.2", "fe80::1", "iscsi.example.com", "host-1"})
    EXPECT_TRUE(IscsiUtils::isValidPortal(good)) << good;
  for (const char* bad : {"", "-p", "a;b", "../x", "host name", "$(id)", "a_b.com", "x\ny", "`id`"})
    EXPECT_FALSE(IscsiUtils::isValidPortal(bad)) << bad;
  for (const char* good : {"1", "3260", "65535"}) EXPECT_TRUE(IscsiUtils::isValidPort(good)) << good;
  for (const char* bad : {"", "0", "65536", "+3260", "-1", "32 60", "3260;", "003260", "99999999999"})
    EXPECT_FALSE(IscsiUtils::isValidPort(bad)) << bad;
}

// Hostile values from the cloud or from a registered cleanup string never run a command: each of
// them as the IQN, the portal or the port of a login, a logout and a cleanup string.
TEST(PluginIscsi, HostileValuesRunNoCommand) {
  hosttest::TempDir dir;
  const string canary = dir / "canary";
  size_t tried = 0;
  for (const string& value : hosttest::HostileValues(canary)) {
    for (const auto& a : {Attachment("10.0.0.5", "3260", value), Attachment(value, "3260", kIqn),
                          Attachment("10.0.0.5", value, kIqn)}) {
      EvLogSink::Clear();
      IscsiAttachment login = a;
      EXPECT_FALSE(IscsiUtils::iscsiAttach(login)) << value;
      EXPECT_FALSE(IscsiUtils::iscsiDetach(a)) << value;
      EXPECT_FALSE(IscsiUtils::iscsiDetach(a.targetPortal + "+" + a.targetPort + "+" + a.iqn)) << value;
      EXPECT_FALSE(EvLogSink::Contains("Executing Command")) << value;
      tried += 3;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(canary));
  std::printf("[matrix] hostile iSCSI values: %zu refused, no command run\n", tried);
}

// Commands against the sandbox's iscsiadm with its fault rules.
class PluginIscsiCommands : public ::testing::Test {
 protected:
  void SetUp() override { TZPlatformInfo::SetValue("VirtualServer", "nOCICommandTimeoutInSeconds", "2"); }
  void TearDown() override { TZPlatformInfo::ClearValues(); }
  void Fault(const std::vector<string>& rule) {
    std::vector<string> args = {"fault", "add", "--nth", "1"};
    args.insert(args.end(), rule.begin(), rule.end());
    string out;
    ASSERT_EQ(sandbox_.CloudSim(args, &out), 0) << out;
  }
  bool NodeRecordsLeft() const { return !std::filesystem::is_empty(sandbox_.Dir() + "/cloud/iscsi/nodes"); }

  CTestSandbox sandbox_;
  CPathFirst path_{sandbox_.Dir() + "/bin"};
  IscsiAttachment a_ = Attachment("169.254.2.9", "3260", kIqn);
};

// No target is offered for this IQN: the tool runs, its login fails, and the node record the login
// command made first is removed again; the cleanup string is formed all the same.
TEST_F(PluginIscsiCommands, AFailedLoginLeavesNothingOnTheProxy) {
  EXPECT_FALSE(IscsiUtils::iscsiAttach(a_));
  EXPECT_EQ(sandbox_.Calls("iscsiadm:login"), 1);
  EXPECT_EQ(a_.cleanupString, "169.254.2.9+3260+" + kIqn);
  EXPECT_EQ(a_.sessionId, "");
  EXPECT_FALSE(NodeRecordsLeft());
  string out;
  EXPECT_EQ(sandbox_.CloudSim({"leaks"}, &out), 0) << out;
}

TEST_F(PluginIscsiCommands, AHungLoginIsStoppedAtTheTimeLimitWithItsProcessGroupAndItsNodeRecordRemoved) {
  EvLogSink::Clear();
  // A delay of its own (60 s and this process's share of a second), so that the check for a sleep
  // left behind below meets no other suite's.
  const string millis = std::to_string(::getpid() % 1000 + 1000).substr(1);
  Fault({"--op", "iscsiadm:login", "--action", "delay", "--delay-ms", "60" + millis});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(IscsiUtils::iscsiAttach(a_));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(EvLogSink::Contains("The Command ran longer than [2] seconds and was stopped"));
  EXPECT_FALSE(NodeRecordsLeft());
  string out;
  const string pattern = "'" + sandbox_.Dir() + "/bi[n]/iscsiadm|slee[p] 60[.]" + millis + "'";
  EXPECT_NE(TzProcess::system(("pgrep -f " + pattern).c_str(), &out, nullptr, 10, true), 0) << out;
}

TEST_F(PluginIscsiCommands, LogoutFindingNoRecordIsDoneAndAFailedOneIsNot) {
  const string cleanup = "169.254.2.9+3260+" + kIqn;
  EXPECT_TRUE(IscsiUtils::iscsiDetach(cleanup)) << "nothing to remove";
  Fault({"--op", "iscsiadm:delete", "--action", "fail"});
  EXPECT_FALSE(IscsiUtils::iscsiDetach(cleanup));
  EXPECT_EQ(sandbox_.Calls("iscsiadm:logout"), 2);
  EXPECT_EQ(sandbox_.Calls("iscsiadm:delete"), 2);
}
