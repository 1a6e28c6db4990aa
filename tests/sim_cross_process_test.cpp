// One cloud, several processes: counters and rules are shared, and concurrent callers lose no
// count.
#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "bridge/sim/SimFaults.h"
#include "sim_test_cloud.h"

using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;

namespace {

std::map<std::string, int64_t> Counters(const CTestCloud& cloud) {
  auto db = cloud.Open();
  return sim::CSimFaults(*db).Counters();
}

TEST(SimCrossProcess, CallsOfAChildProcessAreCountedInTheSharedCloud) {
  CTestCloud cloud;
  int status = simtest::RunInChild([&] {
    auto bridge = cloud.Connect();
    SVMInfo vm;
    for (int i = 0; i < 3; ++i) {
      if (!bridge->GetVMInfo("sample-db", "", vm, 58)) return 1;
    }
    return 0;
  });
  ASSERT_EQ(simtest::ExitCode(status), 0);
  auto counters = Counters(cloud);
  EXPECT_EQ(counters["GetVMInfo"], 3);
  EXPECT_EQ(counters["Connect"], 1);
}

TEST(SimCrossProcess, ARuleAddedByCloudSimReachesThisProcess) {
  CTestCloud cloud;
  auto added = simtest::RunTool("cloud-sim", {"--sandbox", cloud.Dir(), "fault", "add", "--op", "GetVMInfo", "--nth",
                                              "1", "--action", "fail", "--text", "Quota exceeded"});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  auto bridge = cloud.Connect();
  SVMInfo vm;
  EXPECT_FALSE(bridge->GetVMInfo("sample-web", "", vm, 0));
  EXPECT_EQ(bridge->GetLastError(), "Quota exceeded");
  EXPECT_TRUE(bridge->GetVMInfo("sample-web", "", vm, 0));

  auto calls = simtest::RunTool("cloud-sim", {"--sandbox", cloud.Dir(), "calls", "--json"});
  ASSERT_EQ(calls.exitCode, 0) << calls.err;
  auto counters = nlohmann::json::parse(calls.out);
  EXPECT_EQ(counters["GetVMInfo"], 2);
  EXPECT_EQ(counters["Connect"], 1);
}

// Two processes with four threads each, all on one bridge per process, count every call.
TEST(SimCrossProcess, ConcurrentCallersLoseNoCount) {
  constexpr int kProcesses = 2, kThreads = 4, kCalls = 15;
  CTestCloud cloud;
  std::vector<pid_t> children;
  fflush(nullptr);
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      {
        auto bridge = cloud.Connect();
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
          threads.emplace_back([&] {
            for (int i = 0; i < kCalls; ++i) {
              SVMInfo vm;
              if (!bridge->GetVMInfo("sample-web", "", vm, 2) || vm.disks.size() != 2) ++failed;
            }
          });
        }
        for (auto& thread : threads) thread.join();
        failures = failed.load();
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(simtest::ExitCode(status), 0) << "a call failed in child " << pid;
  }
  auto counters = Counters(cloud);
  EXPECT_EQ(counters["GetVMInfo"], kProcesses * kThreads * kCalls);
  EXPECT_EQ(counters["Connect"], kProcesses);
}

// Of many concurrent calls exactly one is the 7th, and only it fails.
TEST(SimCrossProcess, NthRuleFiresOnceAmongConcurrentThreads) {
  CTestCloud cloud;
  {
    auto db = cloud.Open();
    sim::CSimFaults(*db).Add({.op = "GetVMInfo", .nth = 7, .action = sim::EFaultAction::Fail, .text = "seventh"});
  }
  auto bridge = cloud.Connect();
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        SVMInfo vm;
        if (!bridge->GetVMInfo("sample-web", "", vm, 0)) {
          ++failed;
          EXPECT_EQ(bridge->GetLastError(), "seventh");
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failed.load(), 1);
  EXPECT_EQ(Counters(cloud)["GetVMInfo"], 20);
}

}  // namespace
