// The sandbox's virtual-disk tool run as the plug-in runs it: directly, leading a process group of
// its own under a job process, with a chosen environment; the file name stays one literal argument.
#include <fcntl.h>
#include <spawn.h>

#include <set>

#include "SimTestUtil.h"
#include "bridge/sim/SandboxTools.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSuccess = "Virtual disk creation successful.";

struct SCase {
  std::string label;
  std::vector<std::string> args;
  std::optional<std::string> libraryPath;  // LD_LIBRARY_PATH; nullopt: unset
  std::optional<sim::EFaultAction> fault;  // for this call
  int exit;                                // of the tool; -1: the job process was killed
  bool counted;                            // a well-formed call, counted by the cloud
  bool made;                               // a stub disk is there afterwards, and the success text
};

TEST(SimVdiskManager, CreatesOneLiteralFileOrRefusesAndMeetsItsFaultRules) {
  simtest::CTestCloud cloud;
  hosttest::TempDir work;
  const std::string kit = cloud.Dir() + "/" + sim::kVddkKitDir, lib = kit + "/lib64";
  const std::string tool = kit + "/bin64/vmware-vdiskmanager", hostile = "a b'c\"$(touch X)`touch Y`;\nz";
  auto create = [](const std::string& file, const std::string& size = "1MB") {
    return std::vector<std::string>{"-c", "-a", "ide", "-s", size, "-t", "0", file};
  };
  WriteTestFile(work / "taken", "keep");
  using A = sim::EFaultAction;
  const SCase cases[] = {
      {"create", create(work / "disk"), lib, {}, 0, true, true},
      {"hostile name", create(hostile), "/usr/lib:" + lib + "/", {}, 0, true, true},
      {"no arguments", {}, lib, {}, 1, false, false},
      {"no file", {"-c", "-a", "ide", "-s", "1MB", "-t", "0"}, lib, {}, 1, false, false},
      {"one word", {"-c -a ide -s 1MB -t 0 " + (work / "w")}, lib, {}, 1, false, false},
      {"scsi", {"-c", "-a", "scsi", "-s", "1MB", "-t", "0", work / "s"}, lib, {}, 1, false, false},
      {"no size", create(work / "n", "0MB"), lib, {}, 1, false, false},
      {"gigabytes", create(work / "g", "1GB"), lib, {}, 1, false, false},
      {"one more", {"-c", "-a", "ide", "-s", "1MB", "-t", "0", work / "m", "x"}, lib, {}, 1, false, false},
      {"unset", create(work / "u"), std::nullopt, {}, 127, false, false},
      {"other folder", create(work / "o"), "/usr/lib", {}, 127, false, false},
      {"trailing empty entry", create(work / "t"), lib + ":", {}, 127, false, false},
      {"leading empty entry", create(work / "l"), ":" + lib, {}, 127, false, false},
      {"inner empty entry", create(work / "i"), "/usr/lib::" + lib, {}, 127, false, false},
      {"existing file", create(work / "taken"), lib, {}, 1, true, false},
      {"missing folder", create(work / "none/disk"), lib, {}, 1, true, false},
      {"fail", create(work / "f"), lib, A::Fail, 1, true, false},
      {"faulty", create(work / "y"), lib, A::Faulty, 0, true, false},
      {"kill-before", create(work / "b"), lib, A::KillBefore, -1, true, false},
      {"kill-after", create(work / "a"), lib, A::KillAfter, -1, true, true},
  };
  long expectedCalls = 0;
  for (const SCase& c : cases) {
    if (c.fault) cloud.AddFault("vmware-vdiskmanager", 1, *c.fault, "disk library offline");
    const int64_t before = cloud.Calls("vmware-vdiskmanager");
    // The job process: runs the tool as the leader of a new process group in the work folder.
    const int status = simtest::RunInChild([&] {
      std::vector<std::string> all = {tool}, env = {"PATH=/usr/bin:/bin"};
      all.insert(all.end(), c.args.begin(), c.args.end());
      if (c.libraryPath) env.push_back("LD_LIBRARY_PATH=" + *c.libraryPath);
      std::vector<char*> argv, envp;
      for (auto& a : all) argv.push_back(a.data());
      for (auto& e : env) envp.push_back(e.data());
      argv.push_back(nullptr), envp.push_back(nullptr);
      posix_spawn_file_actions_t files;
      posix_spawnattr_t attr;
      posix_spawn_file_actions_init(&files);
      posix_spawn_file_actions_addopen(&files, 1, (work / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      posix_spawn_file_actions_adddup2(&files, 1, 2);
      posix_spawnattr_init(&attr);
      posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
      posix_spawnattr_setpgroup(&attr, 0);
      pid_t pid = -1;
      if (::chdir(work.Path().c_str()) != 0 || posix_spawn(&pid, tool.c_str(), &files, &attr, argv.data(), envp.data()))
        return 98;
      return simtest::ExitCode(simtest::Wait(pid));
    });
    const std::string out = ReadTestFile(work / "out");
    fs::remove(work / "out");
    if (c.exit < 0) {
      EXPECT_TRUE(simtest::DiedOfSigkill(status)) << c.label << ": the job process dies";
    } else {
      EXPECT_EQ(simtest::ExitCode(status), c.exit) << c.label << "\n" << out;
    }
    const fs::path file = c.args.size() == 8 ? fs::path(work.Path()) / c.args.back() : fs::path();
    const std::string disk = !file.empty() && fs::exists(file) ? ReadTestFile(file) : "";
    EXPECT_EQ(disk.size() == 4096 && disk.rfind("SANDBOX STUB VIRTUAL DISK\n", 0) == 0 &&
                  disk.find("capacityBytes=1048576\n") != std::string::npos,
              c.made)
        << c.label;
    EXPECT_EQ(out.find(kSuccess) != std::string::npos, c.made) << c.label << "\n" << out;
    EXPECT_EQ(out.find("disk library offline") != std::string::npos, c.fault == A::Fail) << c.label << "\n" << out;
    expectedCalls += c.counted;
    EXPECT_EQ(cloud.Calls("vmware-vdiskmanager") - before, c.counted ? 1 : 0) << c.label;
  }
  EXPECT_EQ(ReadTestFile(work / "taken"), "keep") << "never overwritten";
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(work.Path())) names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"a", "disk", "taken", hostile})) << "nothing else ran or was made";
  const std::string log = ReadTestFile(cloud.Dir() + "/" + sim::kVdiskManagerLog);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(std::size(cases))) << "one line per call";
  std::string oneWord = cases[4].args[0];
  for (size_t at = 0; (at = oneWord.find(' ', at)) != std::string::npos; at += 2) oneWord.insert(at, "\\");
  EXPECT_EQ(log.rfind("-c -a ide -s 1MB -t 0 " + (work / "disk") + "\n", 0), 0u) << log;
  EXPECT_NE(log.find("\n" + oneWord + "\n"), std::string::npos) << "one argument, as it came:\n" << log;
  std::string calls;
  ASSERT_EQ(CTestSandbox::Run("cloud-sim", {"--sandbox", cloud.Dir(), "calls", "--json"}, &calls), 0) << calls;
  EXPECT_EQ(nlohmann::json::parse(calls).value("vmware-vdiskmanager", 0L), expectedCalls);
  EXPECT_THROW(cloud.AddFault("vmware-vdiskmanager", 1, A::NoSlot), sim::CSimError);
}

}  // namespace
