// backup-agent's command line run as a process: --json results and failures (stdout alone, parsed),
// the exit codes, progress on stderr, secrets from a file, and the messages that name cause and fix.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "PluginTestUtil.h"
#include "agent/jobs/FailureCause.h"
#include "cli/DisplayText.h"

using namespace plugintest;
namespace fs = std::filesystem;

namespace {

struct SAgentRun {
  int exitCode = -1;  // 128 + the signal for one that killed it
  std::string out, err;
  json Json() const { return json::parse(out, nullptr, false); }
};

// Starts backup-agent with stdout and stderr in files of their own under `base`.
pid_t StartAgent(const CTestSandbox& sandbox, std::vector<std::string> args, const std::string& base) {
  args.insert(args.begin(), {std::string(OCI_BUILD_DIR) + "/backup-agent", "--sandbox", sandbox.Dir()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
    ::dup2(::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return child;
}

SAgentRun Finish(pid_t child, const std::string& base) {
  const int status = CTestSandbox::WaitFor(child);
  SAgentRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadTestFile(base + ".out");
  run.err = ReadTestFile(base + ".err");
  return run;
}

SAgentRun RunAgent(const CTestSandbox& sandbox, const std::vector<std::string>& args) {
  const std::string base = sandbox.Dir() + "/agent-run";
  return Finish(StartAgent(sandbox, args, base), base);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// Every command's --json prints one object (or the list it always printed) on stdout, "ok" true
// exactly when it exits 0; its outcome is the cloud's and the store's.
TEST(AgentCli, JsonResultsOfEveryCommandMatchTheCloudAndTheStore) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  const SAgentRun connect = RunAgent(sandbox, {"connect", "--json"});
  EXPECT_EQ(connect.exitCode, 0) << connect.err;
  EXPECT_EQ(connect.Json()["ok"], true);
  EXPECT_EQ(connect.Json()["identity"], sandbox.ProxyInstanceId());

  const SAgentRun backup = RunAgent(sandbox, {"backup", "sample-web", "--store", store, "--json"});
  ASSERT_EQ(backup.exitCode, 0) << backup.out << backup.err;
  const json stored = backup.Json();
  EXPECT_EQ(stored["ok"], true);
  const json manifest = json::parse(ReadTestFile(stored["backup_folder"].get<std::string>() + "/manifest.json"));
  EXPECT_EQ(stored["disks"], manifest["disks"]);
  EXPECT_EQ(stored["job_id"], manifest["job_id"]);
  EXPECT_TRUE(Has(backup.err, "copying disk 1 of ") && Has(backup.err, "done in")) << backup.err;

  // ls (list's alias) shows each instance's volumes, as many as the backup stored of sample-web.
  const SAgentRun ls = RunAgent(sandbox, {"ls", "instances", "--json"});
  ASSERT_EQ(ls.exitCode, 0) << ls.err;
  EXPECT_EQ(RowWhere(ls.Json(), "name", "sample-web")["disks"].size(), manifest["disks"].size());
  const SAgentRun text = RunAgent(sandbox, {"list", "instances"});
  EXPECT_FALSE(Has(text.out, "disks=[]")) << text.out;
  EXPECT_TRUE(Has(text.out, "disks=" + std::to_string(manifest["disks"].size()))) << text.out;

  const std::string folder = stored["backup_folder"];
  const SAgentRun restore = RunAgent(sandbox, {"restore", folder, "--as", "web-r", "--json", "--quiet"});
  ASSERT_EQ(restore.exitCode, 0) << restore.out << restore.err;
  EXPECT_EQ(restore.Json()["ok"], true);
  EXPECT_EQ(restore.Json()["instance_id"], InstanceId(sandbox, "web-r"));
  EXPECT_FALSE(Has(restore.err, "writing disk")) << restore.err;  // --quiet

  for (const auto& [operation, state] :
       std::vector<std::pair<std::string, std::string>>{{"power-off", "STOPPED"}, {"power-on", "RUNNING"}}) {
    const SAgentRun done = RunAgent(sandbox, {operation, "web-r", "--json"});
    EXPECT_EQ(done.exitCode, 0) << done.err;
    EXPECT_EQ(done.Json()["instance"]["state"], state) << done.out;
    EXPECT_EQ(InstanceState(sandbox, restore.Json()["instance_id"]), state);
  }
  const SAgentRun clone = RunAgent(sandbox, {"clone", "web-r", "--as", "web-c", "--json"});
  ASSERT_EQ(clone.exitCode, 0) << clone.err;
  const std::string cloneId = InstanceId(sandbox, "web-c");
  EXPECT_EQ(clone.Json()["clone"]["id"], cloneId) << clone.out;
  const SAgentRun deleted = RunAgent(sandbox, {"delete", cloneId, "--json"});
  EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_EQ(deleted.Json()["instance"]["state"], InstanceState(sandbox, cloneId)) << deleted.out;
  EXPECT_EQ(InstanceState(sandbox, cloneId), "TERMINATED");
  for (const auto& args : std::vector<std::vector<std::string>>{{"registry", "--json"}, {"browse", "VMs", "--json"}}) {
    const SAgentRun listed = RunAgent(sandbox, args);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_TRUE(listed.Json().is_array()) << listed.out;
  }
}

// Each failure with --json is one object on stdout with the step, the plug-in's code, the exit code
// and a message naming the cause and the fix; without --json the same message is on stderr.
TEST(AgentCli, FailuresAreOneJsonObjectWithTheirCodeAndAMessageThatSaysTheFix) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  ASSERT_EQ(RunAgent(sandbox, {"backup", "sample-web", "--store", store, "--job-id", "7"}).exitCode, 0);
  const std::string folder = store + "/7-sample-web";
  ASSERT_EQ(RunAgent(sandbox, {"restore", folder, "--as", "web-r"}).exitCode, 0);
  const json null;
  const struct {
    std::vector<std::string> args;
    int exitCode;
    json code;
    std::string message;
  } cases[] = {
      {{"restore", folder, "--as", "web-r"}, 1, 10, "--overwrite"},
      {{"backup", "no-such", "--store", store}, 1, null, "no instance [no-such]"},
      {{"browse", "nonsense"}, 1, null, "no such path [nonsense]: a path starts at one of VMs"},
      {{"backup", "sample-web", "--store", ""}, 2, null, "--store needs a folder path"},
      {{"backup", "sample-web", "--store", store, "--job-id", "abc"},
       2,
       null,
       "--job-id needs a whole number of at least 1"},
      {{"reconfigure", "sample-web"}, 2, null, "reconfigure has nothing to change"},
      {{"backup", "--store", store}, 2, null, "\"backup-agent backup --help\" lists the options"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const SAgentRun run = RunAgent(sandbox, args);
    const json failure = run.Json();
    EXPECT_EQ(run.exitCode, c.exitCode) << c.message << run.out << run.err;
    EXPECT_EQ(failure["ok"], false) << run.out;
    EXPECT_EQ(failure["exit_code"], c.exitCode);
    EXPECT_EQ(failure["code"], c.code) << run.out;
    EXPECT_TRUE(Has(failure.value("message", ""), c.message)) << run.out;
    EXPECT_TRUE(Has(run.err, c.message)) << run.err;
    EXPECT_EQ(failure["log"].is_string(), c.exitCode != 2) << run.out;
  }
  long folders = 0;  // the refused backups made none
  for (const auto& entry : fs::directory_iterator(store)) folders += entry.is_directory();
  EXPECT_EQ(folders, 1);

  // A partial backup exits 3 with its result ("ok": false) naming the disk it did not store.
  sandbox.Fault("CreateVolumeSnapshot", 2, "fail");
  const SAgentRun partial = RunAgent(sandbox, {"backup", "sample-db", "--store", store, "--json"});
  EXPECT_EQ(partial.exitCode, 3) << partial.err;
  const json result = partial.Json();
  EXPECT_EQ(result["ok"], false);
  EXPECT_EQ(result["exit_code"], 3);
  ASSERT_EQ(result["missing_disks"].size(), 1u) << partial.out;
  EXPECT_EQ(result["missing_disks"][0]["display_name"], "sample-db-data");
  EXPECT_EQ(json::parse(ReadTestFile(result["backup_folder"].get<std::string>() + "/manifest.json"))["complete"],
            false);
}

// The exit codes of the command line itself, and a password file others may read refused by its mode.
TEST(AgentCli, UsageErrorsVersionAndPasswordFiles) {
  CTestSandbox sandbox;
  const std::string secret = sandbox.Dir() + "/secret";
  WriteTestFile(secret, "not-shown\n");
  ::chmod(secret.c_str(), 0644);
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string out, err;
  } cases[] = {
      {{"--version"}, 0, "backup-agent ", ""},
      {{"frobnicate"}, 2, "", "\"frobnicate\" is not a command. The commands: connect, registry, browse, list,"},
      {{"connect", "--password-file", secret}, 2, "", "has mode 0644: group or others may read it. Run \"chmod 600 "},
      {{"verify"}, 2, "", "verify --help"},
  };
  for (const auto& c : cases) {
    const SAgentRun run = RunAgent(sandbox, c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, c.out) && Has(run.err, c.err)) << run.out << run.err;
    EXPECT_FALSE(Has(run.out + run.err, "not-shown"));
  }
  ::chmod(secret.c_str(), 0600);
  const SAgentRun connect = RunAgent(sandbox, {"connect", "--password-file", secret, "--json"});
  EXPECT_EQ(connect.exitCode, 0) << connect.err;
}

// A signal to a running backup: the job unwinds, nothing is left in the cloud or the registry, its
// folder is marked failed when it holds a stored disk (the other disk's copy may have ended) and gone
// when not, and it exits 130 (SIGINT) or 143 (SIGTERM) with the failure on stdout.
TEST(AgentCli, AnInterruptedBackupUnwindsAndExitsWithTheSignalsCode) {
  CTestSandbox sandbox;
  for (const int signo : {SIGINT, SIGTERM}) {
    const std::string name = signo == SIGINT ? "SIGINT" : "SIGTERM";
    SCOPED_TRACE(name);
    const long before = sandbox.Calls("iscsiadm:login");
    sandbox.Fault("iscsiadm:login", 1, "delay", {"--delay-ms", "600000"});
    const std::string base = sandbox.Dir() + "/" + name;
    const pid_t job = StartAgent(sandbox, {"backup", "sample-web", "--store", base + "-store", "--json"}, base);
    for (int i = 0; i < 1200 && sandbox.Calls("iscsiadm:login") == before; ++i) ::usleep(50000);
    ASSERT_GT(sandbox.Calls("iscsiadm:login"), before);
    ::kill(job, signo);
    const SAgentRun run = Finish(job, base);
    EXPECT_EQ(run.exitCode, signo == SIGINT ? 130 : 143) << run.err;
    const json failure = run.Json();
    EXPECT_EQ(failure["exit_code"], run.exitCode) << run.out;
    EXPECT_TRUE(Has(failure.value("message", ""), "interrupted (" + name + "): the job unwound")) << run.out;
    EXPECT_FALSE(Has(run.err, "Detected Quit flag")) << run.err;
    const std::string folder = failure["left"].value("backup_folder", "");
    if (!folder.empty()) {
      EXPECT_TRUE(fs::exists(folder + "/failed.json")) << run.out;
    }
    for (const auto& entry : fs::directory_iterator(base + "-store")) {
      if (entry.is_directory()) {
        EXPECT_EQ(entry.path().string(), folder) << "a folder that looks like a backup";
      }
    }
    sandbox.ExpectNothingLeft(name);
  }
}

// What a failure shows of the plug-in's text: a tab as a space, the fix for the codes the agent knows.
TEST(AgentCli, FailureTextsShowTabsAsSpacesAndNameTheFix) {
  const struct {
    int code;
    std::string details, expected;
  } cases[] = {
      {178, "\tThe selected destination AvailabilityDomain(AD-2) is different",
       "error 178: The selected destination AvailabilityDomain(AD-2) is different"},
      {10, "The VM [web] already exists",
       "error 10: The VM [web] already exists (restore --as another name, or --overwrite"},
      {7003, "destination exists",
       "error 7003: destination exists (sync to another destination, or replace it: "
       "--overwrite (with --first-sync), --force-full)"},
      {17, "a\tb\x01", "error 17: a b\\x01"},
  };
  for (const auto& c : cases) {
    const std::string text = agent::DescribeFailure(c.code, c.details, agent::CStepLog());
    EXPECT_EQ(text.rfind(c.expected, 0), 0u) << text;
    EXPECT_FALSE(Has(text, "\\x09")) << text;
  }
}
