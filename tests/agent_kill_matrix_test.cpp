// A backup killed right before or after any cloud operation or iSCSI command that changes something
// leaves nothing (in the cloud, the registry or on the proxy) that the next backup does not remove. The operations are those a clean backup calls, as the cloud
// counted them, so an operation the backup starts to call joins the table by itself.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "TestSandbox.h"

namespace {

// Runs one case in a sandbox of its own; what went wrong, empty when nothing did.
std::string RunKillCase(const std::string& op, long nth, const std::string& action) {
  CTestSandbox sandbox;
  std::string out, problems;
  const std::vector<std::string> backup = {"backup", "sample-web", "--store", sandbox.Dir() + "/store"};
  if (sandbox.CloudSim({"fault", "add", "--op", op, "--nth", std::to_string(nth), "--action", action}, &out) != 0)
    return "cannot add the fault rule: " + out;
  if (int status = sandbox.Agent(backup, &out); status != 128 + SIGKILL)
    problems += "not killed (status " + std::to_string(status) + "): " + out + "\n";
  sandbox.CloudSim({"fault", "clear"}, &out);
  if (sandbox.Agent(backup, &out) != 0) problems += "the next backup failed: " + out + "\n";
  if (sandbox.CloudSim({"leaks"}, &out) != 0) problems += "left in the cloud: " + out + "\n";
  if (sandbox.Agent({"registry", "--json"}, &out) != 0 || nlohmann::json::parse(out, nullptr, false) != nlohmann::json::array())
    problems += "left in the registry: " + out + "\n";
  for (const char* folder : {"/root/dev/disk/by-path", "/cloud/iscsi/nodes", "/cloud/iscsi/sessions"})
    if (std::filesystem::exists(sandbox.Dir() + folder) && !std::filesystem::is_empty(sandbox.Dir() + folder))
      problems += std::string("left on the proxy: ") + folder + "\n";
  return problems;
}

void RunKillMatrix(const std::string& action) {
  std::map<std::string, long> calls;
  {
    CTestSandbox sandbox;
    std::string out;
    ASSERT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store"}, &out), 0) << out;
    ASSERT_EQ(sandbox.CloudSim({"calls", "--json"}, &out), 0) << out;
    calls = nlohmann::json::parse(out).get<std::map<std::string, long>>();
  }
  for (const char* op : {"CreateVolumeSnapshot", "CreateVolumeFromSnapshot", "AttachVolume", "DetachVolume",
                         "DeleteVolume", "DeleteVolumeSnapshot", "iscsiadm:new", "iscsiadm:login"})
    EXPECT_EQ(calls.count(op), 1u) << op << " is missing from the table";
  std::vector<std::pair<std::string, long>> cases;  // each changing operation at its first and last call
  for (const auto& [op, count] : calls) {
    bool reads = false;
    for (const char* prefix : {"Get", "Does", "Is", "Check", "Connect", "Find", "Read", "WaitFor", "SetWebProxy"})
      reads = reads || op.rfind(prefix, 0) == 0;
    for (long nth : std::set<long>{1, count})
      if (!reads) cases.emplace_back(op, nth);
  }
  // Two processes at once, each case in its own sandbox; each writes what it found.
  char pattern[] = "/tmp/oci-killmatrix.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string results = pattern;
  std::vector<pid_t> workers;
  for (size_t w = 0; w < 2; ++w) {
    if (const pid_t pid = ::fork(); pid != 0) {
      workers.push_back(pid);
      continue;
    }
    for (size_t i = w; i < cases.size(); i += 2)
      std::ofstream(results + "/" + std::to_string(i)) << RunKillCase(cases[i].first, cases[i].second, action);
    ::_exit(0);
  }
  for (pid_t pid : workers) EXPECT_EQ(CTestSandbox::WaitFor(pid), 0) << "a worker failed";
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string file = results + "/" + std::to_string(i);
    const std::string name = action + " " + cases[i].first + " #" + std::to_string(cases[i].second);
    EXPECT_TRUE(std::filesystem::exists(file)) << name << ": the case did not run to its end";
    EXPECT_EQ(ReadTestFile(file), "") << name;
  }
  std::filesystem::remove_all(results);
}

TEST(AgentKillMatrix, TheNextBackupLeavesNothingAfterAKillBeforeAnyChangingOperation) { RunKillMatrix("kill-before"); }
TEST(AgentKillMatrix, TheNextBackupLeavesNothingAfterAKillAfterAnyChangingOperation) { RunKillMatrix("kill-after"); }

}  // namespace
