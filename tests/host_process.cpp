// TzProcess::system: status, captured output, stderr handling, timeout, descriptors, quoting.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "HostTestUtil.h"
#include "host/TzProcess.h"

namespace {

TEST(HostProcess, ReturnsTheExitStatus) {
  struct Case {
    const char* command;
    int status;
  };
  const Case cases[] = {{"true", 0},   {"false", 1},          {"exit 3", 3},
                        {"exit 255", 255}, {"kill -TERM $$", 128 + 15}, {"no_such_command_xyz 2>/dev/null", 127}};
  for (const Case& c : cases) {
    string out;
    EXPECT_EQ(TzProcess::system(c.command, &out, nullptr), c.status) << c.command;
  }
  EXPECT_EQ(TzProcess::system(nullptr, nullptr, nullptr), -1);
}

TEST(HostProcess, SeparatesOrMergesStandardError) {
  const char* command = "echo out; echo err >&2; echo out2";
  string out = "stale", err = "stale";
  ASSERT_EQ(TzProcess::system(command, &out, &err), 0);
  EXPECT_EQ(out, "out\nout2\n");
  EXPECT_EQ(err, "err\n");

  out = err = "stale";
  ASSERT_EQ(TzProcess::system(command, &out, &err, 0, true), 0);
  EXPECT_EQ(out, "out\nerr\nout2\n");
  EXPECT_EQ(err, "");

  out = "stale";
  ASSERT_EQ(TzProcess::system(command, &out, nullptr), 0);
  EXPECT_EQ(out, "out\nerr\nout2\n") << "without an error string, stderr goes to output";
}

// Both streams well beyond a pipe's buffer: reading one while the other fills must not deadlock.
TEST(HostProcess, CapturesLargeOutputOnBothStreams) {
  string out, err;
  ASSERT_EQ(TzProcess::system("head -c 300000 /dev/zero | tr '\\0' a; head -c 200000 /dev/zero | tr '\\0' b >&2",
                              &out, &err, 30),
            0);
  EXPECT_EQ(out, string(300000, 'a'));
  EXPECT_EQ(err, string(200000, 'b'));
}

TEST(HostProcess, StandardInputIsEmpty) {
  string out = "stale";
  EXPECT_EQ(TzProcess::system("cat; echo done", &out, nullptr, 30), 0);
  EXPECT_EQ(out, "done\n");
}

// State letter of a process from /proc, or 0 when it is gone.
char ProcessState(int pid) {
  std::string stat = hosttest::GetFile("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

TEST(HostProcess, TimeoutKillsTheCommandGroupAndReturnsMinusOne) {
  string out, err;
  auto start = std::chrono::steady_clock::now();
  // The background child shares the process group and holds the pipe: it must be killed too.
  int rc = TzProcess::system("echo started; sleep 60 & echo $!; sleep 60", &out, &err, 1);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(rc, -1);
  auto lines = hosttest::SplitLines(out);
  ASSERT_EQ(lines.size(), 2u) << out;
  EXPECT_EQ(lines[0], "started");
  EXPECT_LT(took, std::chrono::seconds(30)) << "the command was waited for instead of killed";

  int background = std::stoi(lines[1]);
  char state = ProcessState(background);
  for (int i = 0; i < 500 && state != 0 && state != 'Z' && state != 'X'; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    state = ProcessState(background);
  }
  EXPECT_TRUE(state == 0 || state == 'Z' || state == 'X') << "background child " << background << " state " << state;
}

// How each limit ends a command: its own end, the time limit, or a stop request; a command that
// closes its output and runs on is held to the same limits.
TEST(HostProcess, TellsHowTheCommandEndedAndStopsItOnRequest) {
  struct Case {
    const char* command;
    int timeout;
    bool stop;
    int status;
    TzProcess::EEnd end;
  } cases[] = {
      {"exit 4", 0, false, 4, TzProcess::EEnd::Exited},
      {"kill -KILL $$", 0, false, 128 + 9, TzProcess::EEnd::Signalled},
      {"exec >&- 2>&-; sleep 60", 1, false, -1, TzProcess::EEnd::TimedOut},
      {"sleep 60", 0, true, -1, TzProcess::EEnd::Stopped},
      {"exec >&- 2>&-; sleep 60", 0, true, -1, TzProcess::EEnd::Stopped},
  };
  for (const Case& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    TzProcess::EEnd end = TzProcess::EEnd::NotStarted;
    string out;
    std::function<bool()> stop;
    if (c.stop) stop = [start] { return std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300); };
    EXPECT_EQ(TzProcess::system(c.command, &out, nullptr, c.timeout, true, stop, &end), c.status) << c.command;
    EXPECT_EQ(end, c.end) << c.command;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << c.command;
  }
}

TEST(HostProcess, ChildInheritsOnlyStandardDescriptors) {
  hosttest::TempDir dir;
  hosttest::PutFile(dir / "open.txt", "x");
  int plain = ::open((dir / "open.txt").c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(plain, 0);
  // A high number cannot be confused with the descriptor `ls` opens for its own listing.
  int high = ::dup2(plain, 200);
  ASSERT_EQ(high, 200);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);  // also without O_CLOEXEC
  ASSERT_EQ(::dup2(pipeFds[1], 201), 201);

  string out;
  int rc = TzProcess::system("ls /proc/self/fd", &out, nullptr);
  for (int fd : {plain, high, pipeFds[0], pipeFds[1], 201}) ::close(fd);
  ASSERT_EQ(rc, 0) << out;

  std::set<int> seen;
  for (const auto& line : hosttest::SplitLines(out)) seen.insert(std::stoi(line));
  EXPECT_TRUE(seen.count(0) && seen.count(1) && seen.count(2)) << out;
  EXPECT_EQ(seen.count(200), 0u) << out;
  EXPECT_EQ(seen.count(201), 0u) << out;
  // Low descriptors the test left open would push the listing's own past 3.
  std::set<int> extra;
  for (int fd : seen)
    if (fd > 2) extra.insert(fd);
  EXPECT_LE(extra.size(), 1u) << "only the listing's own descriptor may follow 0,1,2:\n" << out;
}

TEST(HostProcess, MetacharactersReachTheShellUnchanged) {
  struct Case {
    const char* command;
    const char* output;
  };
  const Case cases[] = {
      {R"(printf '%s|' "a b" 'c$d' "e\"f" 'g\h' "*")", R"(a b|c$d|e"f|g\h|*|)"},
      {"echo x | tr x y; echo z", "y\nz\n"},
      {"v='semi;colon'; echo \"$v\" && echo '&&'", "semi;colon\n&&\n"},
      {"printf 'tab\\there'", "tab\there"},
  };
  for (const Case& c : cases) {
    string out;
    EXPECT_EQ(TzProcess::system(c.command, &out, nullptr), 0) << c.command;
    EXPECT_EQ(out, c.output) << c.command;
  }
}

}  // namespace
