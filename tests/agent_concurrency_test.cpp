// Backups of different instances on one proxy at once, each an agent process of its own; a job
// killed in its attach, and hung logins.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "PluginTestUtil.h"
#include "bridge/sim/SimVolumeStore.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

class AgentConcurrency : public ::testing::Test {
 protected:
  // The two sample instances and two populated ones whose boot volumes get bytes of their own, so
  // that every source volume has a checksum no other has.
  void SetUp() override {
    std::string out;
    ASSERT_EQ(sandbox_.CloudSim({"populate", "--compartments", "1", "--instances", "2"}, &out), 0) << out;
    sim::CSimCloud cloud(sandbox_.Dir() + "/cloud");
    for (const auto& row : plugintest::Ls(sandbox_, "instances")) {
      const std::string name = row["name"];
      if (name.rfind("populated-", 0) != 0) continue;
      const std::string data = "the boot volume of " + name + std::string(8192, name.back());
      const int fd = ::open(sim::BytesFileOf(cloud, row["boot_volume_id"]).path.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0) << name;
      ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 1 << 20), static_cast<ssize_t>(data.size()));
      ::close(fd);
    }
  }
  std::string Store(const std::string& round, const std::string& name) const {
    return sandbox_.Dir() + "/store/" + round + "/" + name;
  }
  // Backs every instance up at once; each job's wait status by instance.
  std::map<std::string, int> BackUpAllAtOnce(const std::string& round) {
    std::map<std::string, pid_t> jobs;
    for (const char* name : {"sample-web", "sample-db", "populated-1-vm-1", "populated-1-vm-2"})
      jobs[name] =
          sandbox_.StartAgent({"backup", name, "--store", Store(round, name)}, Store(round, name) + "/agent.out");
    std::map<std::string, int> statuses;
    for (const auto& [name, pid] : jobs) statuses[name] = CTestSandbox::WaitFor(pid);
    return statuses;
  }
  // The job succeeded, and every stored disk equals its source volume, one per volume; adds the
  // disks checked to `verified`.
  void ExpectOwnVolumes(const std::string& round, const std::string& name, int status, size_t* verified = nullptr) {
    const std::string log = ReadTestFile(Store(round, name) + "/agent.out");
    ASSERT_EQ(status, 0) << name << "\n" << log;
    size_t disks = 0;
    for (const auto& entry : fs::directory_iterator(Store(round, name))) {
      if (!fs::exists(entry.path() / "manifest.json")) continue;
      const json manifest = json::parse(ReadTestFile(entry.path() / "manifest.json"));
      disks += manifest["disks"].size();
      for (const auto& disk : manifest["disks"])
        EXPECT_EQ(disk["chunked_sha256"], SourceChecksum(disk["volume_id"])) << name;
    }
    EXPECT_EQ(disks, name.rfind("sample-", 0) == 0 ? 2u : 1u) << name << "\n" << log;
    if (verified) *verified += disks;
  }
  // Asked once per volume: sources do not change.
  std::string SourceChecksum(const std::string& volumeId) {
    if (!checksums_.count(volumeId)) checksums_[volumeId] = plugintest::Checksum(sandbox_, volumeId).substr(0, 64);
    return checksums_[volumeId];
  }

  CTestSandbox sandbox_;
  std::map<std::string, std::string> checksums_;
};

// The load of a busy proxy: each round four backups and four restores (of the round before's backups)
// at once on a proxy of four attachment slots, so that jobs wait for slots; every stored disk equals
// its source, every restored volume its stored disk, and nothing but the restored instances is left.
// In the first round the first iSCSI login's job dies right after the login, inside its attach: the
// others finish with their own bytes, and later rounds remove what it left while sweeping side by side.
TEST_F(AgentConcurrency, EightJobsAtOnceOnFourSlotsVerifyEveryChecksumAndLeaveNothing) {
  const char* value = std::getenv("OCI_LOAD_ROUNDS");  // 20 unless set (the sanitizer builds run fewer)
  const int rounds = value ? std::atoi(value) : 20;
  const std::string ini = sandbox_.Home() + "/etc/platform.ini";
  WriteTestFile(ini, ReadTestFile(ini) + "nOCIDiskSlotWaitIntervalInMinutes=0\n");
  ASSERT_EQ(sandbox_.CloudSim({"config", "set", "slot_limit", "4"}), 0);
  for (const auto& [name, status] : BackUpAllAtOnce("0")) ExpectOwnVolumes("0", name, status);
  std::vector<std::string> keep = {"leaks"},
                           names = {"sample-web", "sample-db", "populated-1-vm-1", "populated-1-vm-2"};
  size_t verified = 0;
  int killed = 0;
  const auto died = [&](int number, int status) { return number == 1 && WIFSIGNALED(status) && ++killed; };
  sandbox_.Fault("iscsiadm:login", 1, "kill-after");
  for (int number = 1; number <= rounds; ++number) {
    const std::string round = std::to_string(number), before = std::to_string(number - 1);
    std::map<std::string, pid_t> restores;
    for (const auto& name : names) {
      std::string folder;
      for (const auto& entry : fs::directory_iterator(Store(before, name)))
        if (fs::exists(entry.path() / "manifest.json")) folder = entry.path();
      if (folder.empty()) continue;  // its backup died
      restores[folder] = sandbox_.StartAgent({"restore", folder, "--as", name + "-r" + round, "--json"},
                                             Store(before, name) + "/restore.out");
    }
    const auto backups = BackUpAllAtOnce(round);
    for (const auto& [name, status] : backups)
      if (!died(number, status)) ExpectOwnVolumes(round, name, status, &verified);
    for (const auto& [folder, pid] : restores) {
      const int status = CTestSandbox::WaitFor(pid);
      if (died(number, status)) continue;
      const std::string log = ReadTestFile(fs::path(folder).parent_path() / "restore.out");
      ASSERT_EQ(status, 0) << folder << "\n" << log;
      const json result = plugintest::ExpectRestoredVolumesHoldTheDisks(sandbox_, folder, log);
      verified += result["volumes"].size();
      keep.insert(keep.end(), {"--keep", result["name"]});
    }
  }
  std::string out;
  EXPECT_EQ(sandbox_.CloudSim(keep, &out), 0) << out;
  EXPECT_EQ(sandbox_.Registry(), json::array());
  // Every disk was attached once for its job; the attempts beyond were refused for want of a slot.
  EXPECT_EQ(killed, 1);
  const long waits = sandbox_.Calls("AttachVolume") - static_cast<long>(verified) - 6 - 1;
  EXPECT_GT(waits, 0) << "no job waited for a slot";
  std::printf(
      "[matrix] load, %d rounds of 8 jobs on 4 slots: %zu checksums verified, %ld attaches refused for "
      "want of a slot\n",
      rounds, verified, waits);
}

// One job's slow step (a sweep's delete of a dead job's replica, a login) stalls no other job on the
// proxy: a backup started beside it and interrupted at +3 s ends long before the 20 s delay, and
// the slow job still succeeds and leaves nothing behind.
TEST_F(AgentConcurrency, AJobBesideASlowSweepOrLoginEndsSoonAfterItsInterrupt) {
  const std::string out = sandbox_.Dir() + "/out";
  for (const char* slowOp : {"DeleteVolume", "iscsiadm:login"}) {
    SCOPED_TRACE(slowOp);
    if (std::string(slowOp) == "DeleteVolume") {  // a backup killed once its replica exists leaves it to a sweep
      sandbox_.Fault("CreateVolumeFromSnapshot", 1, "kill-after");
      ASSERT_NE(sandbox_.Agent({"backup", "sample-db", "--store", out + "/k"}), 0);
    }
    const long before = sandbox_.Calls(slowOp);
    sandbox_.Fault(slowOp, 1, "delay", {"--delay-ms", "20000"});  // its next call
    const pid_t slow = sandbox_.StartAgent({"backup", "sample-web", "--store", out + "/" + slowOp}, out + ".slow");
    for (int i = 0; i < 600 && sandbox_.Calls(slowOp) == before; ++i) ::usleep(50000);
    ASSERT_GT(sandbox_.Calls(slowOp), before);
    const auto start = std::chrono::steady_clock::now();
    const pid_t other = sandbox_.StartAgent({"backup", "populated-1-vm-1", "--store", out + "/o"}, out + ".other");
    ::usleep(3000000), ::kill(other, SIGINT);
    CTestSandbox::WaitFor(other);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12)) << ReadTestFile(out + ".other");
    EXPECT_EQ(CTestSandbox::WaitFor(slow), 0) << ReadTestFile(out + ".slow");
    sandbox_.ExpectNothingLeft(slowOp);
  }
}

// Restores (and, on the infrastructure flavour, syncs) of one backup started in the same second each
// get a job and volume names of their own: all succeed with the stored bytes and leave only their
// instances.
TEST(AgentSameSecond, RestoresAndSyncsOfOneBackupStartedTogetherAllSucceed) {
  for (const std::string flavour : {"infrastructure", "classic"}) {
    SCOPED_TRACE(flavour);
    CTestSandbox sandbox(flavour);
    std::string out;
    const std::string folder = sandbox.Dir() + "/store/7-sample-web";
    ASSERT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store", "--job-id", "7"}, &out), 0)
        << out;
    std::vector<std::vector<std::string>> jobs = {{"restore", folder, "--as", "web-a"},
                                                  {"restore", folder, "--as", "web-b"}};
    if (flavour == "infrastructure")
      jobs.insert(jobs.end(), {{"replicate", folder, "--to", "dr-a"}, {"replicate", folder, "--to", "dr-b"}});
    std::vector<std::string> keep = {"leaks"};
    std::vector<pid_t> pids;
    WaitForNextSecond();
    for (size_t i = 0; i < jobs.size(); ++i) {
      jobs[i].push_back("--json");
      pids.push_back(sandbox.StartAgent(jobs[i], sandbox.Dir() + "/job" + std::to_string(i)));
      keep.insert(keep.end(), {"--keep", jobs[i][3]});
    }
    std::set<long> jobIds;
    for (size_t i = 0; i < jobs.size(); ++i) {
      ASSERT_EQ(CTestSandbox::WaitFor(pids[i]), 0) << jobs[i][3] << "\n"
                                                   << ReadTestFile(sandbox.Dir() + "/job" + std::to_string(i));
      const std::string log = ReadTestFile(sandbox.Dir() + "/job" + std::to_string(i));
      jobIds.insert(plugintest::ExpectRestoredVolumesHoldTheDisks(sandbox, folder, log)["job_id"].get<long>());
    }
    EXPECT_EQ(jobIds.size(), jobs.size());
    EXPECT_EQ(sandbox.CloudSim(keep, &out), 0) << out;
    EXPECT_EQ(sandbox.Registry(), json::array());
  }
}

// Every integrity snapshot carries one name: a sync whose integrity snapshot cannot be made removes
// what its own request made, never another destination's snapshots of that name.
TEST_F(AgentConcurrency, AFailedIntegritySnapshotKeepsAnotherDestinationsSnapshots) {
  std::string out, store = sandbox_.Dir() + "/store";
  ASSERT_EQ(sandbox_.Agent({"backup", "sample-web", "--store", store, "--job-id", "7"}, &out), 0) << out;
  const auto integrity = [&] { return plugintest::Column(plugintest::Ls(sandbox_, "snapshots"), "id"); };
  const size_t seeded = integrity().size();
  ASSERT_EQ(sandbox_.Agent({"replicate", store + "/7-sample-web", "--to", "rep-web"}, &out), 0) << out;
  const std::set<std::string> kept = integrity();  // rep-web's two integrity snapshots besides
  ASSERT_EQ(kept.size(), seeded + 2);
  sandbox_.Fault("CreateVolumeSnapshot", 1, "fail", {"--text", "snapshot service unavailable"});
  WaitForNextSecond();  // restored volumes are named by it
  EXPECT_NE(sandbox_.Agent({"replicate", store + "/7-sample-web", "--to", "rep-db"}, &out), 0) << out;
  EXPECT_EQ(integrity(), kept) << out;
  EXPECT_EQ(sandbox_.Registry(), json::array());
}

}  // namespace
