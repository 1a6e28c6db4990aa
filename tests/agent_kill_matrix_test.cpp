// A backup killed right before or right after any cloud operation that changes something leaves
// nothing the next backup of the instance does not remove: that backup succeeds, the cloud keeps
// nothing a job made, and the registry is empty. The operations are those a clean backup calls, as
// the cloud counted them, so an operation the backup starts to call joins the table by itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "TestSandbox.h"

namespace {

using json = nlohmann::json;

struct SKillCase {
  std::string op;
  long nth;
  std::string action;
  std::string Name() const { return action + " " + op + " #" + std::to_string(nth); }
};

// Operations that only read the cloud.
bool OnlyReads(const std::string& op) {
  for (const char* prefix : {"Get", "Does", "Is", "Check", "Connect", "Find", "Read", "WaitFor", "SetWebProxy"})
    if (op.rfind(prefix, 0) == 0) return true;
  return false;
}

int Backup(const CTestSandbox& sandbox, const std::string& store, std::string* out) {
  return CTestSandbox::Run(
      "backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store", sandbox.Dir() + "/" + store}, out);
}

// Each changing operation of a clean backup, killed by `action` at its first and its last call.
std::vector<SKillCase> KillCases(const std::string& action) {
  CTestSandbox sandbox;
  std::string out;
  EXPECT_EQ(Backup(sandbox, "clean", &out), 0) << out;
  EXPECT_EQ(sandbox.CloudSim({"calls", "--json"}, &out), 0) << out;
  std::vector<SKillCase> cases;
  for (const auto& [op, count] : json::parse(out).get<std::map<std::string, long>>()) {
    if (OnlyReads(op)) continue;
    for (long nth : std::set<long>{1, count}) cases.push_back({op, nth, action});
  }
  return cases;
}

// Runs one case in a sandbox of its own; what went wrong, empty when nothing did.
std::string RunKillCase(const SKillCase& c) {
  CTestSandbox sandbox;
  std::ostringstream problems;
  std::string out;
  if (sandbox.CloudSim({"fault", "add", "--op", c.op, "--nth", std::to_string(c.nth), "--action", c.action}, &out) != 0)
    return "cannot add the fault rule: " + out;
  const int status = Backup(sandbox, "killed", &out);
  if (status != 128 + SIGKILL) problems << "the first backup was not killed (status " << status << "): " << out << "\n";
  sandbox.CloudSim({"fault", "clear"}, &out);
  if (Backup(sandbox, "next", &out) != 0) problems << "the next backup failed: " << out << "\n";
  if (sandbox.CloudSim({"leaks"}, &out) != 0) problems << "left in the cloud: " << out << "\n";
  if (CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "registry", "--json"}, &out) != 0 ||
      json::parse(out, nullptr, false) != json::array())
    problems << "left in the registry: " << out << "\n";
  return problems.str();
}

void RunKillMatrix(const std::string& action) {
  const std::vector<SKillCase> cases = KillCases(action);
  std::set<std::string> ops;
  for (const auto& c : cases) ops.insert(c.op);
  for (const char* op : {"CreateVolumeSnapshot", "CreateVolumeFromSnapshot", "AttachVolume", "DetachVolume",
                         "DeleteVolume", "DeleteVolumeSnapshot"})
    EXPECT_EQ(ops.count(op), 1u) << op << " is missing from the table";

  // The cases run in two processes at once, each case in its own sandbox; each writes what it found.
  char pattern[] = "/tmp/oci-killmatrix.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string results = pattern;
  constexpr size_t kWorkers = 2;
  std::vector<pid_t> workers;
  for (size_t w = 0; w < kWorkers; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (size_t i = w; i < cases.size(); i += kWorkers)
        std::ofstream(results + "/" + std::to_string(i)) << RunKillCase(cases[i]);
      ::_exit(0);
    }
    workers.push_back(pid);
  }
  for (pid_t pid : workers) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a worker ended with status " << status;
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string file = results + "/" + std::to_string(i);
    if (!std::filesystem::exists(file)) {
      ADD_FAILURE() << cases[i].Name() << ": the case did not run to its end";
      continue;
    }
    const std::string problems = ReadTestFile(file);
    EXPECT_TRUE(problems.empty()) << cases[i].Name() << ":\n" << problems;
  }
  std::filesystem::remove_all(results);
}

}  // namespace

TEST(AgentKillMatrix, TheNextBackupLeavesNothingAfterAKillBeforeAnyChangingOperation) { RunKillMatrix("kill-before"); }

TEST(AgentKillMatrix, TheNextBackupLeavesNothingAfterAKillAfterAnyChangingOperation) { RunKillMatrix("kill-after"); }
