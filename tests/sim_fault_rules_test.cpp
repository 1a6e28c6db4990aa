// Fault rules and call counters: what a rule does to which call, in this process and others.
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "SimTestUtil.h"
#include "bridge/BridgeBackend.h"

using OracleCloudSDKCppBridge::CBridgeBackend;
using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;
using A = sim::EFaultAction;

namespace {

bool Get(OracleCloudSDKCppBridge::COracleCloudSDKCppBridge& bridge) {
  SVMInfo vm;
  return bridge.GetVMInfo("sample-web", "", vm, 0);
}

std::vector<sim::SFaultRule> Rules(const CTestCloud& cloud) { return sim::CSimFaults(*cloud.Open()).List(); }

TEST(SimFaultRules, EachRuleActsOnItsOwnCallsOnly) {
  CTestCloud cloud;
  CVirtualClock clock;
  hosttest::ScopedClock scope(&clock);
  auto bridge = cloud.Connect();
  ASSERT_TRUE(Get(*bridge));  // before the rule: not counted for it
  cloud.AddFault("GetVMInfo", 2, A::Fail, "Service unavailable (503)");
  cloud.AddFault("CheckConnection", 0, A::Fail);
  cloud.AddFault("GetDefaultRegion", 1, A::Delay, "", 120000);
  std::vector<bool> results;
  for (int i = 0; i < 3; ++i) results.push_back(Get(*bridge));
  EXPECT_EQ(results, (std::vector<bool>{true, false, true})) << "only the 2nd call fails";
  EXPECT_EQ(bridge->GetLastError(), "Service unavailable (503)");
  const sim::SFaultRule first = Rules(cloud)[0];
  EXPECT_EQ(std::make_pair(first.seen, first.fired), std::make_pair(int64_t{3}, int64_t{1}));
  EXPECT_FALSE(bridge->CheckConnection() || bridge->CheckConnection()) << "every call";
  EXPECT_EQ(bridge->GetLastError(), "Simulated failure of CheckConnection") << "the default text names the operation";
  EXPECT_EQ(bridge->GetDefaultRegion(), "us-phoenix-1") << "a delay alone does not fail the call";
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 120000u) << "on the host clock";
  EXPECT_EQ(sim::CSimFaults(*cloud.Open()).Clear("CheckConnection"), 1);
  EXPECT_TRUE(bridge->CheckConnection());
  EXPECT_EQ(Rules(cloud).size(), 2u) << "clearing one operation keeps the others' rules";
}

// kill-before ends the process before the operation's change, kill-after once it committed; either
// way the call was counted and the rule fired.
TEST(SimFaultRules, KillRulesEndTheCallingProcessBeforeOrAfterTheChange) {
  // The rule, its call, and the change of the last call that made one.
  const std::tuple<A, int64_t, std::string> cases[] = {
      {A::KillBefore, 1, ""}, {A::KillAfter, 1, "1"}, {A::KillBefore, 2, "1"}};
  for (const auto& [action, nth, probe] : cases) {
    SCOPED_TRACE(std::string(sim::FaultActionName(action)) + " " + std::to_string(nth));
    CTestCloud cloud;
    cloud.AddFault("DeleteImage", nth, action);
    int status = simtest::RunInChild([&, nth = nth] {
      CBridgeBackend backend(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
      if (!backend.Connect(cloud.Url(), "u", "p")) return 1;
      for (int64_t i = 1; i <= nth; ++i) {
        backend.Run("DeleteImage", [&](sim::CSimCloud& db, const sim::SCallFaults&) {
          db.SetMeta("probe", std::to_string(i));
          return true;
        });
      }
      return 0;  // not reached
    });
    EXPECT_TRUE(simtest::DiedOfSigkill(status)) << "status " << status;
    EXPECT_EQ(cloud.Open()->Meta("probe"), probe);
    EXPECT_EQ(cloud.Calls("DeleteImage"), nth);
    EXPECT_EQ(Rules(cloud)[0].fired, 1);
  }
}

// A rule added by cloud-sim reaches other processes. Two of them with four threads each on one
// bridge per process lose no count, and of all their calls exactly one is the 7th, which alone fails.
TEST(SimFaultRules, ConcurrentProcessesShareRulesAndCountsAndAnNthRuleFiresOnce) {
  constexpr int kProcesses = 2, kThreads = 4, kCalls = 15;
  CTestCloud cloud;
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("cloud-sim",
                              {"--sandbox", cloud.Dir(), "fault", "add", "--op", "GetVMInfo", "--nth", "7", "--action",
                               "fail", "--text", "seventh"},
                              &out),
            0)
      << out;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(simtest::StartChild([&] {
      auto bridge = cloud.Connect();
      std::atomic<int> failed{0}, wrong{0};
      std::vector<std::thread> threads(kThreads);
      for (auto& thread : threads) {
        thread = std::thread([&] {
          for (int i = 0; i < kCalls; ++i) {
            SVMInfo vm;
            const bool ok = bridge->GetVMInfo("sample-web", "", vm, 2);
            failed += !ok;
            wrong += ok ? vm.disks.size() != 2 : bridge->GetLastError() != "seventh";
          }
        });
      }
      for (auto& thread : threads) thread.join();
      return wrong ? 100 : failed.load();
    }));
  }
  int failures = 0;
  for (pid_t pid : children) failures += simtest::ExitCode(simtest::Wait(pid));
  EXPECT_EQ(failures, 1);
  ASSERT_EQ(CTestSandbox::Run("cloud-sim", {"--sandbox", cloud.Dir(), "calls", "--json"}, &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out),
            nlohmann::json({{"Connect", kProcesses}, {"GetVMInfo", kProcesses * kThreads * kCalls}}));
}

// The HTTP actions and their options: what fault add takes and refuses (also on a database made before
// their columns), what fault ls shows, and the in-process backend, which counts such a call and lets it go.
TEST(SimFaultRules, HttpActionsAreCheckedStoredAndIgnoredInProcess) {
  CTestCloud cloud;
  cloud.Open()->Write([](sim::CSimDb& db) {
    for (const char* column : {"retry_after", "drop_connection", "count"})
      db.Run(std::string("ALTER TABLE fault_rules DROP COLUMN ") + column);
  });
  const struct {
    std::vector<std::string> args;
    const char* refusal;  // empty: taken
    int code;             // 2: the command line alone is wrong; 1: the cloud refuses the rule
  } cases[] = {
      {{"--op", "GetVMInfo", "--nth", "1", "--action", "http-503", "--retry-after", "5"}, "", 0},
      {{"--op", "DeleteVM", "--every", "--action", "lost-response", "--drop"}, "", 0},
      {{"--op", "CreateVolume", "--nth", "2", "--action", "stale-read", "--count", "3"}, "", 0},
      {{"--op", "GetVMInfo", "--nth", "1", "--action", "lost-response"}, "[GetVMInfo] changes nothing", 1},
      {{"--op", "CreateVolume", "--nth", "1", "--action", "stale-read"}, "a count of 1 or more", 2},
      {{"--op", "CreateVolume", "--nth", "1", "--action", "http-500", "--drop"},
       "--drop applies to lost-response only",
       2},
      {{"--op", "DeleteVM", "--nth", "1", "--action", "reset", "--retry-after", "1"}, "--retry-after applies to", 2},
      {{"--op", "iscsiadm:login", "--nth", "1", "--action", "reset"}, "make no HTTP requests", 1},
      {{"--op", "CreateVolume", "--nth", "1", "--action", "http-418"}, "http-429, http-500, http-503, reset", 2},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--sandbox", cloud.Dir(), "fault", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out;
    const int status = CTestSandbox::Run("cloud-sim", args, &out);
    EXPECT_EQ(status, c.code) << c.args[4] << out;
    EXPECT_NE(out.find(c.refusal), std::string::npos) << out;
  }
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("cloud-sim", {"--sandbox", cloud.Dir(), "fault", "ls", "--json"}, &out), 0) << out;
  nlohmann::json shown = nlohmann::json::array();
  for (const auto& rule : nlohmann::json::parse(out))
    shown.push_back({rule["action"], rule["retry_after"], rule["drop"], rule["count"]});
  EXPECT_EQ(shown, nlohmann::json::parse(
                       R"([["http-503",5,false,0],["lost-response",null,true,0],["stale-read",null,false,3]])"));
  auto bridge = cloud.Connect();
  EXPECT_TRUE(Get(*bridge)) << bridge->GetLastError();
  EXPECT_EQ(cloud.Calls("GetVMInfo"), 1);
  EXPECT_EQ(Rules(cloud)[0].fired, 1);
}

}  // namespace
