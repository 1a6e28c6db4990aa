// Jobs killed right before or after any cloud operation or iSCSI command that changes something, and
// jobs whose operations fail at each of their calls: the job fails with a code (a kill aside), and
// nothing is left (in the cloud, the registry or on the proxy) once the job's own clean-up, at the
// latest the next job's sweep, ran. The operations are those a clean job calls, as the cloud counted
// them, so an operation a job starts to call joins the tables by itself.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "TestSandbox.h"
#include "host/SqliteDb.h"

namespace {

// A kind of job: what it needs in its sandbox first, and its command line (`run` numbers the runs of
// one case, so that each restore makes an instance of its own name).
struct SJob {
  const char* kind;
  const char* flavour;
  bool backup;  // else a restore, whose instance is the user's once handed over
  std::function<void(CTestSandbox&)> prepare;
  std::function<std::vector<std::string>(const CTestSandbox&, int run)> command;
  std::vector<std::string> mustCall;    // operations whose absence from the table would be a fault
  std::set<std::string> afterHandOver;  // operations called once the job's result is the user's
  // The instance of a run's result; a replication's (one destination for all runs) is kept when there.
  std::function<std::string(int run)> result = [](int run) { return "web-r" + std::to_string(run); };
};

const SJob kBackup = {"backup",
                      "infrastructure",
                      true,
                      [](CTestSandbox&) {},
                      [](const CTestSandbox& s, int) {
                        return std::vector<std::string>{"backup", "sample-web", "--store", s.Dir() + "/store"};
                      },
                      {"CreateVolumeSnapshot", "CreateVolumeFromSnapshot", "AttachVolume", "DetachVolume",
                       "DeleteVolume", "DeleteVolumeSnapshot", "iscsiadm:new", "iscsiadm:login"},
                      {}};

const SJob kRestore = {
    "restore",
    "infrastructure",
    false,
    [](CTestSandbox& s) {
      std::string out;
      EXPECT_EQ(s.Agent({"backup", "sample-web", "--store", s.Dir() + "/backups", "--job-id", "7"}, &out), 0) << out;
      s.CloudSim({"calls", "--reset"}, &out);
    },
    [](const CTestSandbox& s, int run) {
      return std::vector<std::string>{"restore", s.Dir() + "/backups/7-sample-web", "--as",
                                      "web-r" + std::to_string(run)};
    },
    {"CreateVolume", "DeployVM", "DeleteVM", "AttachVolume", "DetachVolumes", "RestoreVM", "PowerOffInstance",
     "iscsiadm:login", "iscsiadm:logout"},
    {"RebootInstance", "PowerOffInstance"}};

// A machine of another hypervisor: the boot volume comes from a temporary image made by the disk tool.
const SJob kConversion = {
    "conversion",
    "infrastructure",
    false,
    kRestore.prepare,
    [](const CTestSandbox& s, int run) {
      std::vector<std::string> args = kRestore.command(s, run);
      args.insert(args.end(), {"--conversion", "--guest-os", "Oracle Linux 8", "--bucket", "image-import", "--shape",
                               "Auto Select", "--cpus", "2", "--memory-mb", "30000"});
      return args;
    },
    {"vmware-vdiskmanager", "UploadToObjectStorage", "CreateImage", "DeleteStorageObject", "DeleteImage", "DeployVM",
     "RestoreVM"},
    kRestore.afterHandOver};

// The classic cloud attaches volumes to the proxy directly and launches from the saved orchestration.
const SJob kClassicBackup = {"classic backup",
                             "classic",
                             true,
                             kBackup.prepare,
                             kBackup.command,
                             {"CreateVolumeSnapshot", "CreateVolumeFromSnapshot", "AttachVolume", "DetachVolumes",
                              "DeleteVolume", "DeleteVolumeSnapshot"},
                             {}};

const SJob kClassicRestore = {"classic restore",
                              "classic",
                              false,
                              kRestore.prepare,
                              kRestore.command,
                              {"CreateVolume", "AttachVolume", "DetachVolumes", "MakeVolumeBootable",
                               "DeployVMFromOrchestration", "ClearDescriptionForVolume", "PowerOffInstance"},
                              {"PowerOffInstance"}};

// A first sync of web-dr from a backup: a full one.
const SJob kReplicationFull = {
    "full replication",
    "infrastructure",
    false,
    kRestore.prepare,
    [](const CTestSandbox& s, int) {
      return std::vector<std::string>{"replicate", s.Dir() + "/backups/7-sample-web", "--to", "web-dr"};
    },
    {"CreateVolume", "AttachVolume", "DetachVolumes", "RestoreVM", "PowerOffInstance", "CreateVolumeSnapshot",
     "iscsiadm:login", "iscsiadm:logout"},
    {"agent:sync-state"},  // no cloud call: OCI_AGENT_KILL_AT kills the agent there
    [](int) { return std::string("web-dr"); }};

// An incremental sync of web-dr: the source's data volume changed since the full sync of backup 1.
const SJob kReplication = {
    "incremental replication",
    "infrastructure",
    false,
    [](CTestSandbox& s) {
      std::string out;
      const std::string store = s.Dir() + "/backups";
      EXPECT_EQ(s.Agent({"backup", "sample-web", "--store", store, "--job-id", "7"}, &out), 0);
      EXPECT_EQ(s.Agent({"replicate", store + "/7-sample-web", "--to", "web-dr"}, &out), 0) << out;
      const auto manifest = nlohmann::json::parse(ReadTestFile(store + "/7-sample-web/manifest.json"));
      s.CloudSim({"volume", "write", manifest["disks"][1]["volume_id"], "--offset", "1048576", "--text", "changed"},
                 &out);
      EXPECT_EQ(s.Agent({"backup", "sample-web", "--store", store, "--job-id", "8"}, &out), 0);
      s.CloudSim({"calls", "--reset"}, &out);
      WaitForNextSecond();  // the sync's volumes are named by it
    },
    [](const CTestSandbox& s, int) {
      return std::vector<std::string>{"replicate", s.Dir() + "/backups/8-sample-web", "--to", "web-dr"};
    },
    {"CreateVolumeFromSnapshot", "AttachVolume", "DetachVolumes", "DeleteVM", "RestoreVM", "PowerOffInstance",
     "CreateVolumeSnapshot", "DeleteVolumeSnapshot", "DeleteVolume"},
    // Once the new restore points exist, the previous sync's go without a way back.
    {"DeleteVM", "DeleteVolumeSnapshot", "DeleteVolume", "agent:sync-state"},
    [](int) { return std::string("web-dr"); }};

// The destination the last successful sync recorded, or the one a sync recorded as pending, holds its backup whole.
std::string LastGoodCopy(const CTestSandbox& sandbox) {
  std::string problems, out;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.Home() + "/replication")) {
    if (entry.path().extension() != ".json") continue;
    const auto state = nlohmann::json::parse(ReadTestFile(entry.path()));
    std::string wrong[2] = {"", state.contains("pending") ? "" : "none"};
    for (int g = 0; g < 2; ++g) {
      const auto& gen = g == 0 ? state : state.value("pending", nlohmann::json{{"disks", {}}});
      for (size_t i = 0; wrong[g].empty() && i < gen["disks"].size(); ++i) {
        const auto manifest = nlohmann::json::parse(ReadTestFile(gen["backup"].get<std::string>() + "/manifest.json"));
        const std::string size = std::to_string(manifest["disks"][i]["size"].get<long long>());
        sandbox.CloudSim({"volume", "checksum", gen["disks"][i]["volume_id"], "--bytes", size}, &out);
        if (out.substr(0, 64) != manifest["disks"][i]["chunked_sha256"]) wrong[g] = "the synced volume changed: " + out;
      }
    }
    if (!wrong[0].empty() && !wrong[1].empty()) problems += wrong[0] + "; pending: " + wrong[1] + "\n";
  }
  return problems;
}

// What the sandbox holds that no finished job should leave: a job's resources in the cloud (the
// instances of the restores in `results`, with what belongs to them, aside, and the loop devices bound to
// the sandbox's files), registry entries, devices, node records and sessions on the proxy, job folders in
// the agent's home.
std::string Leftovers(const SJob& job, const CTestSandbox& sandbox, const std::vector<int>& results) {
  std::string out, problems;
  std::vector<std::string> leaks = {"leaks"};
  for (int run : results) leaks.insert(leaks.end(), {"--keep", job.result(run)});
  // A destination of an earlier sync stays the user's whatever the job did.
  if (results.empty() && job.result(1) == job.result(2) &&
      (sandbox.CloudSim({"leaks", "--keep", job.result(1)}, &out), out.find("is there to keep") == std::string::npos))
    leaks.insert(leaks.end(), {"--keep", job.result(1)});
  if (sandbox.CloudSim(leaks, &out) != 0) problems += "left in the cloud: " + out + "\n";
  if (sandbox.Agent({"registry", "--json"}, &out) != 0 ||
      nlohmann::json::parse(out, nullptr, false) != nlohmann::json::array())
    problems += "left in the registry: " + out + "\n";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(sandbox.Home() + "/registry", ec)) {
    if (entry.path().extension() != ".db") continue;
    CSqliteDb db(entry.path().string(), false);
    CSqliteStatement check = db.Prepare("PRAGMA integrity_check");
    if (!check.Step() || check.Text(0) != "ok") problems += "the registry is damaged: " + entry.path().string() + "\n";
  }
  for (const char* folder :
       {"/root/dev/disk/by-path", "/cloud/iscsi/nodes", "/cloud/iscsi/sessions", "/home/restore-jobs"}) {
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.Dir() + folder, ec))
      if (entry.path().filename().string()[0] != '.') problems += "left on the proxy: " + entry.path().string() + "\n";
  }
  return problems;
}

// Runs one case in a sandbox just prepared for the job; what went wrong, empty when nothing did.
std::string RunCase(const SJob& job, const CTestSandbox& sandbox, const std::string& op, long nth,
                    const std::string& action) {
  std::string out, problems;
  const bool agentStep = op.rfind("agent:", 0) == 0;
  if (agentStep
          ? ::setenv("OCI_AGENT_KILL_AT", op.c_str() + 6, 1) != 0
          : sandbox.CloudSim({"fault", "add", "--op", op, "--nth", std::to_string(nth), "--action", action}, &out) != 0)
    return "cannot add the fault rule: " + out;
  const int status = sandbox.Agent(job.command(sandbox, 1), &out);
  ::unsetenv("OCI_AGENT_KILL_AT");
  if (job.result(1) == job.result(2)) problems += LastGoodCopy(sandbox);
  if (action == "fail") {
    // A job that got over the failure verified everything it reports; one that did not names its step and code. Its
    // own clean-up leaves nothing, or else the next job's sweep does. A backup that stored some disks is partial (3)
    // and names the code of each one left out. The unmount of a backup has no code of its own: its cause is named.
    const bool named = status == 1 ? out.find(" failed: error ") != std::string::npos ||
                                         out.find("UnmountVM failed: no error code: ") != std::string::npos
                                   : job.backup && status == 3 && out.find(" not stored: ") != std::string::npos &&
                                         out.find(": error ") != std::string::npos;
    if (status != 0 && !named)
      problems += "no failure with a code (status " + std::to_string(status) + "): " + out + "\n";
    // A failed job names the cloud's own text, except where a command (named instead) failed or a
    // restore took a failed lookup of the image's counterpart in this region as none.
    const bool tool = op.rfind("iscsiadm:", 0) == 0 || op == "vmware-vdiskmanager";
    const bool lookup = op == "GetDCInfoList" || op == "GetDefaultRegion" || op == "GetTemplateInfo";
    if (status == 1 && !tool && !lookup && out.find("Simulated failure of " + op) == std::string::npos)
      problems += "the failure's cause is not named: " + out + "\n";
    const bool result = !job.backup && (status == 0 || job.afterHandOver.count(op));
    if (Leftovers(job, sandbox, result ? std::vector<int>{1} : std::vector<int>{}).empty()) return problems;
    // What the job could not remove stays registered, and the next job's sweep removes it.
    sandbox.CloudSim({"fault", "clear"}, &out);
    if (!job.backup) WaitForNextSecond();
    if (sandbox.Agent(job.command(sandbox, 2), &out) != 0) problems += "the next job failed: " + out + "\n";
    if (job.backup) return problems + Leftovers(job, sandbox, {});
    return problems + Leftovers(job, sandbox, result ? std::vector<int>{1, 2} : std::vector<int>{2});
  }
  if (status != 128 + SIGKILL) problems += "not killed (status " + std::to_string(status) + "): " + out + "\n";
  sandbox.CloudSim({"fault", "clear"}, &out);
  if (!job.backup) WaitForNextSecond();
  if (sandbox.Agent(job.command(sandbox, 2), &out) != 0) problems += "the next job failed: " + out + "\n";
  if (job.backup) return problems + Leftovers(job, sandbox, {});
  // The killed restore's instance is a result once handed over, else the next job's sweep removed it.
  return problems + Leftovers(job, sandbox, job.afterHandOver.count(op) ? std::vector<int>{1, 2} : std::vector<int>{2});
}

// What the service does to a client now and then, which a job must get over unharmed: a throttled call
// (retried after its back-off), and a change whose answer was lost (retried with the same retry token, which
// the service answers with what the first attempt made). The job succeeds, leaves nothing, and the cloud
// holds what a clean run of the job leaves, no resource twice.
bool IsHttpAction(const std::string& action) { return action.rfind("http-", 0) == 0 || action.rfind("lost-", 0) == 0; }

std::string RunHttpCase(const SJob& job, const CTestSandbox& sandbox, const std::string& op, const std::string& action,
                        const nlohmann::json& cleanCounts) {
  std::string out, problems;
  std::vector<std::string> rule = {"fault", "add", "--op", op, "--nth", "1", "--action"};
  std::istringstream words(action);
  for (std::string word; words >> word;) rule.push_back(word);
  if (sandbox.CloudSim(rule, &out) != 0) return "cannot add the fault rule: " + out;
  const int status = sandbox.Agent(job.command(sandbox, 1), &out);
  if (status != 0) problems += "the job failed (status " + std::to_string(status) + "): " + out + "\n";
  if (sandbox.CloudSim({"fault", "ls", "--json"}, &out) != 0 || out.find("\"fired\": 1") == std::string::npos)
    problems += "the fault rule never acted: " + out + "\n";
  if (job.result(1) == job.result(2)) problems += LastGoodCopy(sandbox);
  sandbox.CloudSim({"ls", "--json"}, &out);
  const nlohmann::json counts = nlohmann::json::parse(out, nullptr, false).value("counts", nlohmann::json());
  if (counts != cleanCounts)
    problems += "the cloud holds " + counts.dump() + ", a clean run " + cleanCounts.dump() + "\n";
  return problems + Leftovers(job, sandbox, job.backup ? std::vector<int>{} : std::vector<int>{1});
}

// Every operation that changes something at its first and last call (kills), or every operation at
// each of its calls (failures), or every operation at its first call (throttling; lost answers: every
// operation that changes something). Three workers share the cases: a job spends part of its time
// waiting for the next second, which the others use.
constexpr size_t kWorkers = 3;
void RunMatrix(const SJob& job, const std::string& action, const std::string& backend = "") {
  std::map<std::string, long> calls;
  nlohmann::json cleanCounts;
  {
    CTestSandbox sandbox(job.flavour, "sandbox", backend);
    job.prepare(sandbox);
    std::string out;
    ASSERT_EQ(sandbox.Agent(job.command(sandbox, 1), &out), 0) << out;
    ASSERT_EQ(sandbox.CloudSim({"calls", "--json"}, &out), 0) << out;
    calls = nlohmann::json::parse(out).get<std::map<std::string, long>>();
    ASSERT_EQ(sandbox.CloudSim({"ls", "--json"}, &out), 0) << out;
    cleanCounts = nlohmann::json::parse(out)["counts"];
  }
  for (const auto& op : job.mustCall) EXPECT_EQ(calls.count(op), 1u) << op << " is missing from the table";
  std::vector<std::pair<std::string, long>> cases;
  for (const auto& [op, count] : calls) {
    const auto prefixes = {"Get", "Does", "Is", "Check", "Connect", "Find", "Read", "WaitFor", "SetWebProxy"};
    const bool reads =
        std::any_of(prefixes.begin(), prefixes.end(), [&op = op](const char* p) { return op.rfind(p, 0) == 0; });
    const bool tool = op.find(':') != std::string::npos || op == "vmware-vdiskmanager";  // no HTTP in it
    if (IsHttpAction(action)) {
      if (!tool && (!reads || action.rfind("http-", 0) == 0)) cases.emplace_back(op, 1);
    } else if (action == "fail") {
      if (op == "SetWebProxy" || op == "Connect") continue;  // the session's, not the job's
      for (long nth = 1; nth <= count; ++nth) cases.emplace_back(op, nth);
    } else if (!reads) {
      for (long nth : std::set<long>{1, count}) cases.emplace_back(op, nth);
    }
  }
  for (const auto& op : job.afterHandOver)
    if (op.rfind("agent:", 0) == 0 && action == "kill-after") cases.emplace_back(op, 1);
  const hosttest::TempDir results;
  std::vector<pid_t> workers;
  for (size_t w = 0; w < kWorkers; ++w) {
    if (const pid_t pid = ::fork(); pid != 0) {
      workers.push_back(pid);
      continue;
    }
    int status = 1;
    try {  // the worker's sandbox is prepared once; each case starts from a copy of it at the same paths
      CTestSandbox sandbox(job.flavour, "sandbox", backend);
      job.prepare(sandbox);
      const std::string prepared = sandbox.Dir() + ".prepared";
      auto copy = [](const std::string& from, const std::string& to) {
        if (std::system(("rm -rf '" + to + "' && cp -a --sparse=always '" + from + "' '" + to + "'").c_str())) throw 1;
      };
      copy(sandbox.Dir(), prepared);
      for (size_t i = w; i < cases.size(); i += kWorkers) {
        if (i != w) copy(prepared, sandbox.Dir());
        std::ofstream(results / std::to_string(i))
            << (IsHttpAction(action) ? RunHttpCase(job, sandbox, cases[i].first, action, cleanCounts)
                                     : RunCase(job, sandbox, cases[i].first, cases[i].second, action));
      }
      status = 0;
    } catch (...) {
    }
    ::_exit(status);
  }
  for (pid_t pid : workers) EXPECT_EQ(CTestSandbox::WaitFor(pid), 0) << "a worker failed";
  size_t clean = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    const std::string file = results / std::to_string(i);
    const std::string name =
        std::string(job.kind) + " " + action + " " + cases[i].first + " #" + std::to_string(cases[i].second);
    EXPECT_TRUE(std::filesystem::exists(file)) << name << ": the case did not run to its end";
    EXPECT_EQ(ReadTestFile(file), "") << name;
    clean += std::filesystem::exists(file) && ReadTestFile(file).empty();
  }
  std::printf("[matrix] %s, %s: %zu cases tried, %zu clean\n", job.kind, action.c_str(), cases.size(), clean);
}

TEST(AgentKillMatrix, BackupKilledBeforeAnyChangingOperation) { RunMatrix(kBackup, "kill-before"); }
TEST(AgentKillMatrix, BackupKilledAfterAnyChangingOperation) { RunMatrix(kBackup, "kill-after"); }
TEST(AgentKillMatrix, RestoreKilledBeforeAnyChangingOperation) { RunMatrix(kRestore, "kill-before"); }
TEST(AgentKillMatrix, RestoreKilledAfterAnyChangingOperation) { RunMatrix(kRestore, "kill-after"); }
TEST(AgentFailureMatrix, RestoreFailedAtEachCallOfEachOperation) { RunMatrix(kRestore, "fail"); }
TEST(AgentKillMatrix, ConversionKilledBeforeAnyChangingOperation) { RunMatrix(kConversion, "kill-before"); }
TEST(AgentKillMatrix, ConversionKilledAfterAnyChangingOperation) { RunMatrix(kConversion, "kill-after"); }
TEST(AgentFailureMatrix, ConversionFailedAtEachCallOfEachOperation) { RunMatrix(kConversion, "fail"); }
TEST(AgentKillMatrix, ClassicBackupKilledBeforeAnyChangingOperation) { RunMatrix(kClassicBackup, "kill-before"); }
TEST(AgentKillMatrix, ClassicBackupKilledAfterAnyChangingOperation) { RunMatrix(kClassicBackup, "kill-after"); }
TEST(AgentFailureMatrix, ClassicBackupFailedAtEachCallOfEachOperation) { RunMatrix(kClassicBackup, "fail"); }
TEST(AgentKillMatrix, FullReplicationKilledBeforeAnyChangingOperation) { RunMatrix(kReplicationFull, "kill-before"); }
TEST(AgentKillMatrix, FullReplicationKilledAfterAnyChangingOperation) { RunMatrix(kReplicationFull, "kill-after"); }
TEST(AgentFailureMatrix, FullReplicationFailedAtEachCallOfEachOperation) { RunMatrix(kReplicationFull, "fail"); }
TEST(AgentFailureMatrix, BackupFailedAtEachCallOfEachOperation) { RunMatrix(kBackup, "fail"); }
TEST(AgentKillMatrix, ReplicationKilledBeforeAnyChangingOperation) { RunMatrix(kReplication, "kill-before"); }
TEST(AgentKillMatrix, ReplicationKilledAfterAnyChangingOperation) { RunMatrix(kReplication, "kill-after"); }
TEST(AgentFailureMatrix, ReplicationFailedAtEachCallOfEachOperation) { RunMatrix(kReplication, "fail"); }
TEST(AgentKillMatrix, ClassicRestoreKilledBeforeAnyChangingOperation) { RunMatrix(kClassicRestore, "kill-before"); }
TEST(AgentKillMatrix, ClassicRestoreKilledAfterAnyChangingOperation) { RunMatrix(kClassicRestore, "kill-after"); }
TEST(AgentFailureMatrix, ClassicRestoreFailedAtEachCallOfEachOperation) { RunMatrix(kClassicRestore, "fail"); }

// Over the REST API only: the in-process backend has no HTTP to throttle or lose.
TEST(HttpMatrix, BackupThrottledAtEachOperation) { RunMatrix(kBackup, "http-429", "rest"); }
TEST(HttpMatrix, BackupLosesTheAnswerOfEachChange) { RunMatrix(kBackup, "lost-response", "rest"); }
TEST(HttpMatrix, BackupLosesTheConnectionOfEachChange) { RunMatrix(kBackup, "lost-response --drop", "rest"); }
TEST(HttpMatrix, RestoreThrottledAtEachOperation) { RunMatrix(kRestore, "http-429", "rest"); }
TEST(HttpMatrix, RestoreLosesTheAnswerOfEachChange) { RunMatrix(kRestore, "lost-response", "rest"); }
TEST(HttpMatrix, RestoreLosesTheConnectionOfEachChange) { RunMatrix(kRestore, "lost-response --drop", "rest"); }
TEST(HttpMatrix, ReplicationThrottledAtEachOperation) { RunMatrix(kReplicationFull, "http-429", "rest"); }
TEST(HttpMatrix, ReplicationLosesTheAnswerOfEachChange) { RunMatrix(kReplicationFull, "lost-response", "rest"); }
TEST(HttpMatrix, ReplicationLosesTheConnectionOfEachChange) {
  RunMatrix(kReplicationFull, "lost-response --drop", "rest");
}

}  // namespace
