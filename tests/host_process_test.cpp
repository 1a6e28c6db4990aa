// The host utilities the plug-in relies on: TzProcess::system's time limit and stop request, which
// end a command with its whole process group, and the configuration's defaults.
#include <chrono>
#include <thread>

#include "HostTestUtil.h"
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

}  // namespace
