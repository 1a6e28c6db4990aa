// EvDebug: tags, levels, log files per channel, the host clock in the stamp, concurrent writers.
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "HostTestUtil.h"
#include "host/EvDebug.h"

namespace {

using hosttest::GetFile;
using hosttest::SplitLines;

class HostLogging : public ::testing::Test {
 protected:
  hosttest::TempDir dir;

  void SetUp() override {
    EvDebug::SetLogDirectory(dir.Path());
    EvDebug::SetMaxLevel(3);
    EvLogSink::Clear();
  }
  void TearDown() override {
    EvDebug::SetMaxLevel(3);
    EvDebug::SetLogDirectory("");
    EvLogSink::Clear();
  }
  // The records whose message contains `marker`.
  static std::vector<SLogRecord> With(const string& marker) {
    std::vector<SLogRecord> found;
    for (const auto& r : EvLogSink::Records())
      if (r.message.find(marker) != string::npos) found.push_back(r);
    return found;
  }
};

std::string LogFromFreeFunction(EvDebug& log, int n) {
  EVDEBUG(log, "free probe %d", n);
  return __PRETTY_FUNCTION__;
}

struct Prober {
  std::string ErrorFromMember(EvDebug& log, const std::string& what) const {
    EVERROR(log, "member probe %s", what.c_str());
    return __PRETTY_FUNCTION__;
  }
};

TEST_F(HostLogging, GivenTagIsRecordedVerbatim) {
  EvDebug log("tagtest");
  const char* tag = "odd %s tag (with) [brackets]";
  log.Debug(tag, "value %d of %s", 5, "x");
  log.Error(tag, "failed");
  auto debug = With("value 5 of x");
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0].tag, tag);
  EXPECT_FALSE(debug[0].isError);
  EXPECT_EQ(debug[0].level, 1);
  auto error = With("failed");
  ASSERT_EQ(error.size(), 1u);
  EXPECT_EQ(error[0].tag, tag);
  EXPECT_TRUE(error[0].isError);
}

TEST_F(HostLogging, MacrosTagWithTheCallersFullSignature) {
  EvDebug log("tagtest");
  std::string freeSignature = LogFromFreeFunction(log, 7);
  std::string memberSignature = Prober().ErrorFromMember(log, "m");
  auto free = With("free probe 7");
  ASSERT_EQ(free.size(), 1u);
  EXPECT_EQ(free[0].tag, freeSignature);
  EXPECT_NE(free[0].tag.find("LogFromFreeFunction(EvDebug&, int)"), string::npos) << free[0].tag;
  auto member = With("member probe m");
  ASSERT_EQ(member.size(), 1u);
  EXPECT_EQ(member[0].tag, memberSignature);
  EXPECT_NE(member[0].tag.find("Prober::ErrorFromMember("), string::npos) << member[0].tag;
  EXPECT_TRUE(member[0].isError);
}

TEST_F(HostLogging, LevelsAboveTheMaximumAreDroppedErrorsAlwaysKept) {
  EvDebug log("levels");
  for (int max = 0; max <= 3; ++max) {
    EvDebug::SetMaxLevel(max);
    for (int level = 1; level <= 3; ++level) {
      std::string marker = "max" + std::to_string(max) + "-lvl" + std::to_string(level);
      log.DebugLvl("t", level, "%s", marker.c_str());
      auto kept = With(marker);
      EXPECT_EQ(kept.size(), level <= max ? 1u : 0u) << marker;
      if (!kept.empty()) {
        EXPECT_EQ(kept[0].level, level);
      }
    }
    std::string errorMarker = "max" + std::to_string(max) + "-error";
    log.Error("t", "%s", errorMarker.c_str());
    EXPECT_EQ(With(errorMarker).size(), 1u) << errorMarker;
  }
  // The file carries exactly what the sink kept.
  std::string file = GetFile(dir / "levels.log");
  EXPECT_EQ(SplitLines(file).size(), EvLogSink::Records().size());
  EXPECT_EQ(file.find("max1-lvl2"), string::npos);
  EXPECT_NE(file.find("max2-lvl2"), string::npos);
  EXPECT_NE(file.find("max0-error"), string::npos);
}

TEST_F(HostLogging, LinesGoToTheChannelFileOfTheCurrentDirectory) {
  EvDebug alpha("alpha");
  EvDebug beta("beta");
  alpha.Debug("tagA", "first %s", "line");
  beta.Error("tagB", "second");
  auto alphaLines = SplitLines(GetFile(dir / "alpha.log"));
  auto betaLines = SplitLines(GetFile(dir / "beta.log"));
  ASSERT_EQ(alphaLines.size(), 1u);
  ASSERT_EQ(betaLines.size(), 1u);
  EXPECT_TRUE(alphaLines[0].ends_with(" DBG1 tagA first line")) << alphaLines[0];
  EXPECT_TRUE(betaLines[0].ends_with(" ERR1 tagB second")) << betaLines[0];

  // A new directory takes effect for loggers that already wrote.
  hosttest::TempDir other;
  EvDebug::SetLogDirectory(other / "nested/log");
  alpha.Debug("tagA", "third");
  EXPECT_EQ(SplitLines(GetFile(dir / "alpha.log")).size(), 1u);
  auto moved = SplitLines(GetFile(other / "nested/log/alpha.log"));
  ASSERT_EQ(moved.size(), 1u);
  EXPECT_TRUE(moved[0].ends_with(" tagA third")) << moved[0];
  EvDebug::SetLogDirectory("");  // before `other` goes away
}

TEST_F(HostLogging, StampComesFromTheHostClock) {
  CVirtualClock clock(1'800'000'000);
  hosttest::ScopedClock installed(&clock);
  clock.SleepMilliseconds(1234);
  EvDebug log("stamped");
  log.Debug("t", "when");
  auto lines = SplitLines(GetFile(dir / "stamped.log"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("2027-01-15 08:00:01.234 ")) << lines[0];
}

TEST_F(HostLogging, SinkCapacityDropsOldestLines) {
  EvDebug log("capacity");
  EvLogSink::SetCapacity(3);
  for (int i = 0; i < 5; ++i) log.Debug("t", "line%d", i);
  auto records = EvLogSink::Records();
  EvLogSink::SetCapacity(100000);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, "line2");
  EXPECT_EQ(records[2].message, "line4");
}

TEST_F(HostLogging, ConcurrentWritersLoseNoLine) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  EvDebug log("concurrent");
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, &ready, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();  // start together
      for (int i = 0; i < kLines; ++i) log.Debug("worker", "t%d-%d", t, i);
    });
  for (auto& th : threads) th.join();

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kLines; ++i) expected.insert("t" + std::to_string(t) + "-" + std::to_string(i));

  std::set<std::string> inSink;
  for (const auto& r : EvLogSink::Records()) inSink.insert(r.message);
  EXPECT_EQ(inSink, expected);

  auto lines = SplitLines(GetFile(dir / "concurrent.log"));
  ASSERT_EQ(lines.size(), expected.size());
  std::set<std::string> inFile;
  std::vector<int> lastSeen(kThreads, -1);
  for (const auto& line : lines) {
    size_t pos = line.rfind(" worker ");
    ASSERT_NE(pos, string::npos) << line;
    std::string message = line.substr(pos + 8);
    inFile.insert(message);
    int t = -1, i = -1;
    ASSERT_EQ(sscanf(message.c_str(), "t%d-%d", &t, &i), 2) << line;
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(i, lastSeen[t] + 1) << "lines of one thread keep their order: " << line;
    lastSeen[t] = i;
  }
  EXPECT_EQ(inFile, expected);
}

}  // namespace
