// The host utilities the plug-in relies on: TzProcess::system's time limit and stop request, which
// end a command with its whole process group, and the configuration's defaults.
#include <chrono>
#include <thread>

#include "HostTestUtil.h"
#include "host/TZPlatformInfo.h"
#include "host/TzProcess.h"

namespace {

using std::chrono::steady_clock;

// A command that closes its output and runs on is held to the same limits.
TEST(HostProcess, TellsHowTheCommandEndedAndStopsItOnRequest) {
  using E = TzProcess::EEnd;
  const struct Case {
    const char *command, *output;
    int timeout;
    bool stop;
    int status;
    E end;
  } cases[] = {
      {"echo out; echo err >&2; exit 4", "out\nerr\n", 0, false, 4, E::Exited},
      {"kill -KILL $$", "", 0, false, 128 + 9, E::Signalled},
      {"exec >&- 2>&-; sleep 60", "", 1, false, -1, E::TimedOut},
      {"echo started; sleep 60", "started\n", 0, true, -1, E::Stopped},
      {"exec >&- 2>&-; sleep 60", "", 0, true, -1, E::Stopped},
  };
  for (const Case& c : cases) {
    const auto start = steady_clock::now();
    E end = E::NotStarted;
    string out;
    std::function<bool()> stop;
    if (c.stop) stop = [start] { return steady_clock::now() - start > std::chrono::milliseconds(300); };
    EXPECT_EQ(TzProcess::system(c.command, &out, nullptr, c.timeout, true, stop, &end), c.status) << c.command;
    EXPECT_EQ(end, c.end) << c.command;
    EXPECT_EQ(out, c.output) << c.command;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(30)) << c.command;
  }
  string out, err;  // stderr apart
  EXPECT_EQ(std::to_string(TzProcess::system("echo out; echo err >&2", &out, &err)) + out + "|" + err, "0out\n|err\n");
}

// The background child shares the process group and holds the pipe: it is killed too.
TEST(HostProcess, TimeoutKillsTheCommandGroupAndReturnsMinusOne) {
  string out;
  EXPECT_EQ(TzProcess::system("sleep 60 & echo $!; sleep 60", &out, nullptr, 1), -1);
  auto gone = [stat = "/proc/" + std::to_string(std::stoi(out)) + "/stat"] {  // or a zombie
    const std::string s = hosttest::GetFile(stat);
    return s.empty() || s.find(") Z") != std::string::npos || s.find(") X") != std::string::npos;
  };
  for (int i = 0; i < 500 && !gone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(gone()) << "the background child " << out << " lives on";
}

// Configuration defaults: a missing or bad value leaves the preset; file values and in-memory ones.
TEST(HostPlatformInfo, MissingOrBadValuesKeepThePresetAndFileValuesAreRead) {
  hosttest::TempDir home;
  hosttest::ScopedEnv baseHome{"TZ_BASE_HOME", home.Path()};
  TZPlatformInfo::SetFilePath("");
  TZPlatformInfo::ClearValues();
  UINT64 wide = 77;
  uint32_t narrow = 78;
  string text = "preset";
  bool flag = true;
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nAny", &wide) + TZPlatformInfo::getNumber("VirtualServer", "nAny", &narrow) +
                TZPlatformInfo::getString("VirtualServer", "sAny", &text) + TZPlatformInfo::getBoolean("VirtualServer", "bAny", &flag),
            0);
  EXPECT_TRUE(wide == 77 && narrow == 78 && text == "preset" && flag);
  hosttest::PutFile(home / "etc/platform.ini", "[VirtualServer]\nnBad=12abc\nnNeg=-5\nbBad=maybe\n"
                                               "nGood = 42\nsUrl=sim://a=b\nbOn=yes\n");
  for (const char* key : {"nBad", "nNeg"}) EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", key, &narrow), 0) << key;
  EXPECT_EQ(TZPlatformInfo::getBoolean("VirtualServer", "bBad", &flag), 0);
  EXPECT_TRUE(narrow == 78 && flag);
  EXPECT_EQ(TZPlatformInfo::getNumber("virtualserver", "NGOOD", &narrow), 1);
  EXPECT_EQ(narrow, 42u);
  EXPECT_EQ(TZPlatformInfo::getString("VirtualServer", "sUrl", &text), 1);
  EXPECT_EQ(text, "sim://a=b");
  flag = false;
  EXPECT_EQ(TZPlatformInfo::getBoolean("VirtualServer", "bOn", &flag), 1);
  EXPECT_TRUE(flag);
  TZPlatformInfo::SetValue("VirtualServer", "nGood", "7");  // an in-memory value wins
  EXPECT_EQ(TZPlatformInfo::getNumber("VirtualServer", "nGood", &wide), 1);
  EXPECT_EQ(wide, 7u);
  TZPlatformInfo::ClearValues();
}

}  // namespace
