// Fault rules and call counters: what a rule does to a call, and when.
#include "bridge/BridgeBackend.h"
#include "bridge/sim/SimFaults.h"
#include "host/HostClock.h"
#include "sim_test_cloud.h"

using OracleCloudSDKCppBridge::CBridgeBackend;
using simtest::CClockScope;
using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;

namespace {

sim::SFaultRule Rule(const std::string& op, int64_t nth, sim::EFaultAction action, const std::string& text = "",
                     int64_t delayMs = 0) {
  sim::SFaultRule rule;
  rule.op = op;
  rule.nth = nth;
  rule.action = action;
  rule.text = text;
  rule.delayMs = delayMs;
  return rule;
}

class SimFaultRules : public ::testing::Test {
 protected:
  bool CallGetVMInfo(OracleCloudSDKCppBridge::COracleCloudSDKCppBridge& bridge) {
    SVMInfo vm;
    return bridge.GetVMInfo("sample-web", "", vm, 58);
  }
  int64_t Counter(const std::string& op) {
    auto db = cloud_.Open();
    auto counters = sim::CSimFaults(*db).Counters();
    return counters.count(op) ? counters[op] : 0;
  }
  std::vector<sim::SFaultRule> Rules() {
    auto db = cloud_.Open();
    return sim::CSimFaults(*db).List();
  }
  int64_t AddRule(const sim::SFaultRule& rule) {
    auto db = cloud_.Open();
    return sim::CSimFaults(*db).Add(rule);
  }

  CTestCloud cloud_;
};

TEST_F(SimFaultRules, NthCallIsCountedFromWhenTheRuleWasAdded) {
  auto bridge = cloud_.Connect();
  ASSERT_TRUE(CallGetVMInfo(*bridge));  // before the rule: not counted for it
  AddRule(Rule("GetVMInfo", 2, sim::EFaultAction::Fail, "Service unavailable (503)"));

  EXPECT_TRUE(CallGetVMInfo(*bridge)) << bridge->GetLastError();
  EXPECT_FALSE(CallGetVMInfo(*bridge));
  EXPECT_EQ(bridge->GetLastError(), "Service unavailable (503)");
  EXPECT_TRUE(CallGetVMInfo(*bridge)) << "only the 2nd call fails";
  EXPECT_TRUE(bridge->CheckConnection()) << "other operations are not affected";

  EXPECT_EQ(Counter("GetVMInfo"), 4) << "failed calls are counted too";
  auto rules = Rules();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0].seen, 3);
  EXPECT_EQ(rules[0].fired, 1);
}

TEST_F(SimFaultRules, EveryCallRuleFailsUntilCleared) {
  auto bridge = cloud_.Connect();
  AddRule(Rule("GetVMInfo", 0, sim::EFaultAction::Fail));
  AddRule(Rule("CheckConnection", 1, sim::EFaultAction::Fail, "Connection reset"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(CallGetVMInfo(*bridge));
    EXPECT_EQ(bridge->GetLastError(), "Simulated failure of GetVMInfo") << "the default text names the operation";
  }
  {
    auto db = cloud_.Open();
    EXPECT_EQ(sim::CSimFaults(*db).Clear("GetVMInfo"), 1);
  }
  EXPECT_TRUE(CallGetVMInfo(*bridge));
  ASSERT_EQ(Rules().size(), 1u) << "clearing one operation keeps the others' rules";
  EXPECT_EQ(Rules()[0].op, "CheckConnection");
  EXPECT_FALSE(bridge->CheckConnection());
  EXPECT_EQ(bridge->GetLastError(), "Connection reset");
}

TEST_F(SimFaultRules, ConnectItselfCanBeFailed) {
  AddRule(Rule("Connect", 1, sim::EFaultAction::Fail, "Authentication failed"));
  OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  EXPECT_FALSE(bridge.Connect(cloud_.Url(), "u", "p"));
  EXPECT_EQ(bridge.GetLastError(), "Authentication failed");
  EXPECT_FALSE(bridge.CheckConnection()) << "a refused Connect leaves no session";
  EXPECT_TRUE(bridge.Connect(cloud_.Url(), "u", "p"));
}

TEST_F(SimFaultRules, DelaySleepsOnTheHostClock) {
  CVirtualClock clock;
  CClockScope scope(clock);
  auto bridge = cloud_.Connect();
  AddRule(Rule("GetVMInfo", 1, sim::EFaultAction::Delay, "", 120000));
  AddRule(Rule("GetVMInfo", 0, sim::EFaultAction::Delay, "", 5));
  EXPECT_TRUE(CallGetVMInfo(*bridge)) << "a delay alone does not fail the call";
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 120005u);
  EXPECT_TRUE(CallGetVMInfo(*bridge));
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 120010u);
}

TEST_F(SimFaultRules, FaultyAndNoSlotReachTheOperationWithoutFailingIt) {
  AddRule(Rule("CreateVolume", 1, sim::EFaultAction::Faulty));
  AddRule(Rule("AttachVolume", 2, sim::EFaultAction::NoSlot));
  CBridgeBackend backend(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
  ASSERT_TRUE(backend.Connect(cloud_.Url(), "u", "p"));
  std::vector<std::pair<bool, bool>> seen;  // (faulty, noSlot) per call
  auto probe = [&](const char* op) {
    return backend.Run(op, [&](sim::CSimCloud&, const sim::SCallFaults& faults) {
      seen.emplace_back(faults.faulty, faults.noSlot);
      return true;
    });
  };
  EXPECT_TRUE(probe("CreateVolume"));
  EXPECT_TRUE(probe("CreateVolume"));
  EXPECT_TRUE(probe("AttachVolume"));
  EXPECT_TRUE(probe("AttachVolume"));
  std::vector<std::pair<bool, bool>> expected{{true, false}, {false, false}, {false, false}, {false, true}};
  EXPECT_EQ(seen, expected);
}

TEST_F(SimFaultRules, InvalidRulesAreRefused) {
  struct SCase {
    sim::SFaultRule rule;
    std::string text;
  };
  const SCase cases[] = {
      {Rule("GetVmInfo", 1, sim::EFaultAction::Fail), "Unknown operation [GetVmInfo]"},
      {Rule("GetVMInfo", -1, sim::EFaultAction::Fail), "The call number of a fault rule must be 1 or more"},
      {Rule("GetVMInfo", 1, sim::EFaultAction::Delay), "A delay rule needs a delay of 1 millisecond or more"},
  };
  for (const SCase& c : cases) {
    try {
      AddRule(c.rule);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const sim::CSimError& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
  EXPECT_TRUE(Rules().empty());
}

TEST_F(SimFaultRules, ResettingCountersKeepsRulesOnTheirOwnCount) {
  auto bridge = cloud_.Connect();
  AddRule(Rule("GetVMInfo", 2, sim::EFaultAction::Fail, "second"));
  EXPECT_TRUE(CallGetVMInfo(*bridge));
  {
    auto db = cloud_.Open();
    sim::CSimFaults(*db).ResetCounters();
  }
  EXPECT_EQ(Counter("GetVMInfo"), 0);
  EXPECT_FALSE(CallGetVMInfo(*bridge));
  EXPECT_EQ(bridge->GetLastError(), "second");
  EXPECT_EQ(Counter("GetVMInfo"), 1);
}

// kill-before ends the process before the operation's change; kill-after once it committed.
// Either way the call itself was counted.
TEST_F(SimFaultRules, KillRulesEndTheCallingProcessBeforeOrAfterTheChange) {
  struct SCase {
    sim::EFaultAction action;
    bool changed;
  };
  for (const SCase& c : {SCase{sim::EFaultAction::KillBefore, false}, SCase{sim::EFaultAction::KillAfter, true}}) {
    SCOPED_TRACE(sim::FaultActionName(c.action));
    {
      auto db = cloud_.Open();
      sim::CSimFaults(*db).Clear("");
      sim::CSimFaults(*db).ResetCounters();
      db->SetMeta("probe", "");
      sim::CSimFaults(*db).Add(Rule("DeleteImage", 1, c.action));
    }
    int status = simtest::RunInChild([&] {
      CBridgeBackend backend(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
      if (!backend.Connect(cloud_.Url(), "u", "p")) return 1;
      backend.Run("DeleteImage", [](sim::CSimCloud& cloud, const sim::SCallFaults&) {
        cloud.SetMeta("probe", "changed");
        return true;
      });
      return 0;  // not reached
    });
    EXPECT_TRUE(simtest::DiedOfSigkill(status)) << "status " << status;
    auto db = cloud_.Open();
    EXPECT_EQ(db->Meta("probe"), c.changed ? "changed" : "");
    EXPECT_EQ(Counter("DeleteImage"), 1);
  }
}

TEST_F(SimFaultRules, KillBeforeOnABridgeOperationLeavesTheCallCounted) {
  AddRule(Rule("GetVMInfo", 2, sim::EFaultAction::KillBefore));
  int status = simtest::RunInChild([&] {
    auto bridge = cloud_.Connect();
    SVMInfo vm;
    if (!bridge->GetVMInfo("sample-web", "", vm, 0)) return 1;  // the 1st call goes through
    bridge->GetVMInfo("sample-web", "", vm, 0);
    return 0;
  });
  EXPECT_TRUE(simtest::DiedOfSigkill(status)) << "status " << status;
  EXPECT_EQ(Counter("GetVMInfo"), 2);
  ASSERT_EQ(Rules().size(), 1u);
  EXPECT_EQ(Rules()[0].fired, 1);
}

}  // namespace
