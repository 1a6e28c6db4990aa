// The backups a user manages, through the agent's processes: a store lists its complete, partial,
// failed and unfinished backups as such; verify checks what is stored without the cloud and names the
// first bad chunk; a failed backup is never restored from.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <tuple>

#include "PluginTestUtil.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// The JSON object in a tool's output (its stderr comes first).
json JsonIn(const std::string& out) {
  const size_t start = out.find('{'), end = out.rfind('}');
  const json parsed = start < end ? json::parse(out.substr(start, end - start + 1), nullptr, false) : json();
  return parsed.is_object() ? parsed : json{{"unparsed", out}};
}

// Every call the cloud counted.
long TotalCalls(const CTestSandbox& sandbox) {
  std::string out;
  EXPECT_EQ(sandbox.CloudSim({"calls", "--json"}, &out), 0) << out;
  long total = 0;
  const json calls = json::parse(out);
  for (const auto& [op, count] : calls.items()) total += count.get<long>();
  return total;
}

// The backups of `store` as `backups --json` lists them, in its order; `code` receives the exit code.
json ListBackups(const CTestSandbox& sandbox, const std::string& store, int* code = nullptr) {
  std::string out;
  const int exitCode = sandbox.Agent({"backups", "--store", store, "--json"}, &out);
  if (code) *code = exitCode;
  return JsonIn(out);
}

// The store of the tests below, built once by real jobs: 1 killed while mounting, 2 complete,
// 3 partial (a snapshot failed), 4 interrupted after a disk was stored, and 5 failed at the mount.
class AgentBackups : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sandbox_ = new CTestSandbox();
    const std::string store = Store();
    std::string out;
    sandbox_->Fault("CreateVolumeFromSnapshot", 1, "kill-after");
    EXPECT_NE(sandbox_->Agent({"backup", "sample-web", "--store", store, "--job-id", "1"}, &out), 0) << out;
    EXPECT_EQ(sandbox_->Agent({"backup", "sample-web", "--store", store, "--job-id", "2"}, &out), 0) << out;
    sandbox_->Fault("CreateVolumeSnapshot", 2, "fail");
    EXPECT_EQ(sandbox_->Agent({"backup", "sample-db", "--store", store, "--job-id", "3"}, &out), 3) << out;
    // The second disk's open waits while the first is stored; Ctrl-C then cancels the job.
    sandbox_->Fault("AttachVolume", 2, "delay", {"--delay-ms", "5000"});
    const pid_t job =
        sandbox_->StartAgent({"backup", "sample-db", "--store", store, "--job-id", "4"}, store + ".4.log");
    const auto stored = [&] {
      std::error_code ec;
      for (const auto& entry : fs::directory_iterator(store + "/4-sample-db/disks", ec))
        if (entry.path().extension() == ".img") return true;
      return false;
    };
    for (int i = 0; i < 400 && !stored(); ++i) ::usleep(25000);
    ::kill(job, SIGINT);
    const int status = CTestSandbox::WaitFor(job);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << ReadTestFile(store + ".4.log");
    sandbox_->Fault("CreateVolumeSnapshot", 1, "fail");
    sandbox_->Fault("CreateVolumeSnapshot", 2, "fail");
    EXPECT_EQ(sandbox_->Agent({"backup", "sample-db", "--store", store, "--job-id", "5"}, &out), 1) << out;
  }
  static void TearDownTestSuite() { delete sandbox_; }
  static std::string Store() { return sandbox_->Dir() + "/store"; }

  static CTestSandbox* sandbox_;
};
CTestSandbox* AgentBackups::sandbox_ = nullptr;

TEST_F(AgentBackups, AStoreListsEachBackupWithItsStatusNewestFirst) {
  int code = -1;
  const json listed = ListBackups(*sandbox_, Store(), &code);
  ASSERT_EQ(code, 0) << listed.dump(2);
  ASSERT_TRUE(listed.contains("backups")) << listed.dump(2);
  // A failure before anything was stored leaves no folder: job 5 is not there.
  struct Row {
    long long jobId;
    std::string instance, status;
    size_t disks;  // 0: none; the interrupted job stored one, or both on a slow machine
  } expected[] = {{4, "sample-db", "failed", 1},
                  {3, "sample-db", "partial", 1},
                  {2, "sample-web", "complete", 2},
                  {1, "sample-web", "incomplete", 0}};
  ASSERT_EQ(listed["backups"].size(), std::size(expected)) << listed.dump(2);
  for (size_t i = 0; i < std::size(expected); ++i) {
    const json& backup = listed["backups"][i];
    SCOPED_TRACE(backup.dump(2));
    EXPECT_EQ(backup["job_id"], expected[i].jobId);
    EXPECT_EQ(backup["instance"], expected[i].instance);
    EXPECT_EQ(backup["status"], expected[i].status);
    EXPECT_TRUE(expected[i].status == "failed" ? backup["disks"].size() >= 1
                                               : backup["disks"].size() == expected[i].disks);
    EXPECT_EQ(backup["disk_count"], backup["disks"].size());
    EXPECT_TRUE(backup["bytes_allocated"].is_number_unsigned() && backup["bytes_logical"].is_number_unsigned());
    EXPECT_TRUE(std::regex_match(backup["time"].get<std::string>(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
    const std::string folder = Store() + "/" + backup["folder"].get<std::string>();
    if (fs::exists(folder + "/manifest.json")) {
      const json manifest = json::parse(ReadTestFile(folder + "/manifest.json"));
      unsigned long long logical = 0;
      for (const json& disk : manifest["disks"]) logical += disk["size"].get<unsigned long long>();
      EXPECT_EQ(backup["bytes_logical"], logical);
      EXPECT_EQ(backup["disks"][0]["size"], manifest["disks"][0]["size"]);
    }
  }
  // Zero chunks are holes: the store holds less than the disks' size, and something.
  EXPECT_GT(listed["backups"][2]["bytes_allocated"], 0u);
  EXPECT_LT(listed["backups"][2]["bytes_allocated"], listed["backups"][2]["bytes_logical"]);
  EXPECT_EQ(listed["backups"][0]["failure"]["reason"].get<std::string>().rfind("the backup was interrupted: ", 0), 0u);
  EXPECT_EQ(listed["backups"][3]["job"], "killed");

  std::string text;
  EXPECT_EQ(sandbox_->Agent({"backups", "--store", Store()}, &text), 0);
  const std::regex rows(
      "\n4 +sample-db .* failed .*\n.*this backup failed at copy: the backup was interrupted.*\n3 +sample-db .* "
      "partial .*\n"
      "2 +sample-web .* complete .*\n1 +sample-web .* incomplete \\(killed\\) .*\n.*no finished backup");
  EXPECT_TRUE(std::regex_search(text, rows)) << text;

  // A store that is not there, a file, and a folder that is no store fail naming it; an empty one lists nothing.
  const std::string other = sandbox_->Dir() + "/other";
  fs::create_directories(other + "/empty");
  WriteTestFile(other + "/file", "x");
  WriteTestFile(other + "/notes/readme", "x");
  for (const auto& [store, exitCode, count] : {std::tuple{other + "/gone", 1, 0},
                                               {other + "/file", 1, 0},
                                               {other + "/notes", 1, 0},
                                               {other + "/empty", 0, 0}}) {
    const json result = ListBackups(*sandbox_, store, &code);
    EXPECT_EQ(code, exitCode) << store << result.dump(2);
    EXPECT_EQ(result["ok"], exitCode == 0) << result.dump(2);
    const std::string named = exitCode ? result.value("message", "") : "[" + store + "]";
    EXPECT_NE(named.find("[" + store + "]"), std::string::npos) << result;
    EXPECT_EQ(result.value("backups", json::array()).size(), 0u) << result;
  }
}

// A running backup shows as running to a listing of its store, which neither waits for it nor
// stops it; done, it shows complete.
TEST_F(AgentBackups, ARunningBackupIsListedAsRunningWithoutBeingHeldUp) {
  const std::string store = sandbox_->Dir() + "/running";
  sandbox_->Fault("CreateVolumeSnapshot", 1, "delay", {"--delay-ms", "4000"});
  const pid_t job = sandbox_->StartAgent({"backup", "sample-web", "--store", store, "--job-id", "9"}, store + ".log");
  for (int i = 0; i < 400 && !fs::exists(store + "/9-sample-web"); ++i) ::usleep(25000);
  const json during = ListBackups(*sandbox_, store);
  ASSERT_EQ(during["backups"].size(), 1u) << during.dump(2);
  EXPECT_EQ(during["backups"][0]["status"], "incomplete");
  EXPECT_EQ(during["backups"][0]["job"], "running");
  EXPECT_EQ(CTestSandbox::WaitFor(job), 0) << ReadTestFile(store + ".log");
  EXPECT_EQ(ListBackups(*sandbox_, store)["backups"][0]["status"], "complete");
}

// Verify, on copies of the complete backup each damaged one way, without a call to the cloud.
TEST_F(AgentBackups, VerifyNamesWhatIsWrongAndTheFirstBadChunk) {
  const std::string good = Store() + "/2-sample-web";
  const json manifest = json::parse(ReadTestFile(good + "/manifest.json"));
  const std::string disk = "disks/" + manifest["disks"][1]["file"].get<std::string>();
  const std::string config = "config/" + manifest["files"][0]["name"].get<std::string>();
  const auto flip = [](const std::string& path, off_t at) {
    const int fd = ::open(path.c_str(), O_RDWR);
    char byte = 0;
    ASSERT_EQ(::pread(fd, &byte, 1, at), 1);
    byte = static_cast<char>(byte ^ 0x5a);
    ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1);
    ::close(fd);
  };
  struct Case {
    std::string name;
    std::function<void(const std::string&)> damage;
    int exitCode;
    std::string problem;  // of the disk or the file
    long long badChunk;   // -1: none named
  } cases[] = {
      {"good", [](const std::string&) {}, 0, "", -1},
      {"flipped", [&](const std::string& dir) { flip(dir + "/" + disk, 5 * (1 << 20) + 77); }, 1,
       "chunk 5 at byte 5242880", 5},
      {"flipped without digests",
       [&](const std::string& dir) {
         json old = manifest;
         for (json& d : old["disks"]) d.erase("chunk_digests");
         WriteTestFile(dir + "/manifest.json", old.dump());
         flip(dir + "/" + disk, 3 * (1 << 20));
       },
       1, "differs from the manifest's checksum", -1},
      {"truncated", [&](const std::string& dir) { fs::resize_file(dir + "/" + disk, 1 << 20); }, 1,
       "holds 1048576 bytes", -1},
      {"missing", [&](const std::string& dir) { fs::remove(dir + "/" + disk); }, 1, "is missing", -1},
      {"config", [&](const std::string& dir) { WriteTestFile(dir + "/" + config, "changed"); }, 1, "SHA-256 differs",
       -1},
  };
  const long before = TotalCalls(*sandbox_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string copy = sandbox_->Dir() + "/verify-" + std::to_string(&c - cases);
    fs::copy(good, copy, fs::copy_options::recursive);
    c.damage(copy);
    std::string out;
    EXPECT_EQ(sandbox_->Agent({"verify", copy, "--json"}, &out), c.exitCode) << out;
    const json result = JsonIn(out);
    EXPECT_EQ(result["ok"], c.exitCode == 0);
    std::string problems;
    for (const char* kind : {"disks", "files"})
      for (const json& item : result[kind]) problems += item.value("problem", "");
    EXPECT_EQ(problems.empty(), c.problem.empty()) << problems;
    EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    if (c.badChunk >= 0) {
      EXPECT_EQ(
          result["first_bad_chunk"],
          (json{{"disk", manifest["disks"][1]["index_name"]}, {"index", c.badChunk}, {"offset", c.badChunk << 20}}));
    } else {
      EXPECT_TRUE(result["first_bad_chunk"].is_null()) << result.dump(2);
    }
    EXPECT_EQ(out.find("so the bad chunk cannot be named") != std::string::npos, c.name == "flipped without digests")
        << out;
  }
  EXPECT_EQ(TotalCalls(*sandbox_), before);
  // The partial backup's stored disk is good: 3; the failed backup's verify says it failed: 1.
  std::string out;
  EXPECT_EQ(sandbox_->Agent({"verify", Store() + "/3-sample-db"}, &out), 3) << out;
  EXPECT_NE(out.find("partial backup: 1 of 2 disks of the instance stored, all good"), std::string::npos) << out;
  EXPECT_EQ(sandbox_->Agent({"verify", Store() + "/4-sample-db"}, &out), 1) << out;
  EXPECT_NE(out.find("this backup failed at copy: the backup was interrupted"), std::string::npos) << out;
}

// A failed backup and a killed job's folder are refused by restore and replicate before the cloud
// is touched, each with its cause; the killed job's leftovers went with the next job's sweep.
TEST_F(AgentBackups, FailedAndUnfinishedBackupsAreNeverRestoredFrom) {
  const long calls = TotalCalls(*sandbox_);
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"restore", Store() + "/4-sample-db", "--as", "r4"},
       "backup-agent: this backup failed at copy: the backup was interrupted"},
      {{"replicate", Store() + "/4-sample-db", "--to", "r4"},
       "backup-agent: this backup failed at copy: the backup was interrupted"},
      {{"restore", Store() + "/1-sample-web", "--as", "r1"},
       "backup-agent: this folder holds no finished backup: it has no manifest.json and no job holds it"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(sandbox_->Agent(c.args, &out), 1) << out;
    EXPECT_EQ(out.rfind(c.message, 0), 0u) << out;
  }
  EXPECT_EQ(TotalCalls(*sandbox_), calls);
  sandbox_->ExpectNothingLeft();
}

}  // namespace
