// Backups of different instances on one proxy at once, each job an agent process of its own: every
// stored disk holds its own volume's bytes, a job killed inside an attach holds up no other job, and
// a job killed anywhere in its iSCSI login leaves nothing that the next job does not remove.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "PluginTestUtil.h"
#include "TestSandbox.h"
#include "bridge/sim/SimVolumeStore.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// Starts `backup-agent backup NAME` with its output in a file beside the store.
pid_t StartBackup(const CTestSandbox& sandbox, const std::string& name, const std::string& store) {
  fs::create_directories(store);
  const std::string agent = std::string(OCI_BUILD_DIR) + "/backup-agent";
  const std::string log = store + "/agent.out";
  pid_t child = ::fork();
  if (child == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execl(agent.c_str(), "backup-agent", "--sandbox", sandbox.Dir().c_str(), "backup", name.c_str(), "--store",
            store.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

int WaitFor(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The stored disks of the one backup in `store`: volume id and SHA-256 of what was stored.
std::map<std::string, std::string> StoredDisks(const std::string& store) {
  std::map<std::string, std::string> disks;
  for (const auto& entry : fs::directory_iterator(store)) {
    const fs::path manifest = entry.path() / "manifest.json";
    if (!fs::exists(manifest)) continue;
    const json parsed = json::parse(ReadTestFile(manifest.string()));
    for (const auto& disk : parsed["disks"]) disks[disk["volume_id"].get<std::string>()] = disk["sha256"].get<std::string>();
  }
  return disks;
}

json Registry(const CTestSandbox& sandbox) {
  std::string out;
  EXPECT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "registry", "--json"}, &out), 0) << out;
  return json::parse(out);
}

// No resource in the cloud, no registry entry, no device, node record or session on the proxy.
void ExpectNothingLeft(const CTestSandbox& sandbox) {
  std::string out;
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
  EXPECT_EQ(Registry(sandbox), json::array());
  for (const char* folder : {"/root/dev/disk/by-path", "/cloud/iscsi/nodes", "/cloud/iscsi/sessions"}) {
    const std::string dir = sandbox.Dir() + folder;
    EXPECT_TRUE(!fs::exists(dir) || fs::is_empty(dir)) << folder;
  }
}

class AgentConcurrency : public ::testing::Test {
 protected:
  // The two sample instances and two populated ones whose boot volumes get bytes of their own, so
  // that every source volume has a checksum no other has.
  void SetUp() override {
    std::string out;
    ASSERT_EQ(sandbox_.CloudSim({"populate", "--compartments", "1", "--instances", "2"}, &out), 0) << out;
    instances_ = {"sample-web", "sample-db", "populated-1-vm-1", "populated-1-vm-2"};
    sim::CSimCloud cloud(sandbox_.Dir() + "/cloud");
    for (const auto& row : plugintest::Ls(sandbox_, "instances")) {
      const std::string name = row["name"];
      if (name.rfind("populated-", 0) != 0) continue;
      const std::string path = sim::BytesFileOf(cloud, row["boot_volume_id"]).path;
      const std::string data = "the boot volume of " + name + std::string(8192, name.back());
      int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0) << path;
      ASSERT_EQ(::pwrite(fd, data.data(), data.size(), 1 << 20), static_cast<ssize_t>(data.size()));
      ::close(fd);
    }
  }

  // Backs every instance up at once; returns each job's wait status by instance.
  std::map<std::string, int> BackUpAllAtOnce(const std::string& round) {
    std::map<std::string, pid_t> jobs;
    for (const auto& name : instances_) jobs[name] = StartBackup(sandbox_, name, Store(round, name));
    std::map<std::string, int> statuses;
    for (const auto& [name, pid] : jobs) statuses[name] = WaitFor(pid);
    return statuses;
  }
  std::string Store(const std::string& round, const std::string& name) const {
    return sandbox_.Dir() + "/store/" + round + "/" + name;
  }
  // Every stored disk of the instance's backup equals its source volume, and there is one per volume.
  void ExpectOwnVolumes(const std::string& round, const std::string& name, size_t volumes) {
    const auto disks = StoredDisks(Store(round, name));
    EXPECT_EQ(disks.size(), volumes) << name << "\n" << ReadTestFile(Store(round, name) + "/agent.out");
    for (const auto& [volumeId, sha] : disks) EXPECT_EQ(sha, SourceChecksum(volumeId)) << name << " " << volumeId;
  }
  // `cloud-sim volume checksum` of a source volume, asked once: sources do not change.
  const std::string& SourceChecksum(const std::string& volumeId) {
    auto known = checksums_.find(volumeId);
    if (known != checksums_.end()) return known->second;
    const std::string out = plugintest::Checksum(sandbox_, volumeId);
    return checksums_[volumeId] = out.substr(0, out.find(' '));
  }
  size_t VolumesOf(const std::string& name) const { return name.rfind("sample-", 0) == 0 ? 2 : 1; }

  CTestSandbox sandbox_;
  std::vector<std::string> instances_;
  std::map<std::string, std::string> checksums_;
};

}  // namespace

TEST_F(AgentConcurrency, FourJobsAtOnceEachStoreTheirOwnVolumes) {
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto statuses = BackUpAllAtOnce(std::to_string(round));
    for (const auto& name : instances_) {
      const int status = statuses.at(name);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << name << " status " << status << "\n" << ReadTestFile(Store(std::to_string(round), name) + "/agent.out");
      ExpectOwnVolumes(std::to_string(round), name, VolumesOf(name));
    }
  }
  ExpectNothingLeft(sandbox_);
}

// The first iSCSI login's job dies right after the login, inside its attach bracket: the others
// finish with their own bytes, and the next job removes what the dead one left.
TEST_F(AgentConcurrency, AJobKilledInsideItsAttachHoldsUpNoOther) {
  std::string out;
  ASSERT_EQ(sandbox_.CloudSim({"fault", "add", "--op", "iscsiadm:login", "--nth", "1", "--action", "kill-after"}, &out),
            0)
      << out;
  const auto statuses = BackUpAllAtOnce("killed");
  std::string killed;
  for (const auto& [name, status] : statuses) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
      EXPECT_TRUE(killed.empty()) << "only one job is killed";
      killed = name;
      continue;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << name << " status " << status << "\n" << ReadTestFile(Store("killed", name) + "/agent.out");
    ExpectOwnVolumes("killed", name, VolumesOf(name));
  }
  ASSERT_FALSE(killed.empty());

  const pid_t again = StartBackup(sandbox_, killed, Store("again", killed));
  const int status = WaitFor(again);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadTestFile(Store("again", killed) + "/agent.out");
  ExpectOwnVolumes("again", killed, VolumesOf(killed));
  ExpectNothingLeft(sandbox_);
}

// A job killed before or after either command of its iSCSI login: the next job succeeds and
// nothing is left in the cloud, the registry or on the proxy.
TEST(AgentIscsiKill, TheNextJobRemovesWhatAKilledLoginLeft) {
  for (const char* op : {"iscsiadm:new", "iscsiadm:login"}) {
    for (const char* action : {"kill-before", "kill-after"}) {
      SCOPED_TRACE(std::string(op) + " " + action);
      CTestSandbox sandbox;
      const std::string store = sandbox.Dir() + "/store";
      std::string out;
      ASSERT_EQ(sandbox.CloudSim({"fault", "add", "--op", op, "--nth", "1", "--action", action}, &out), 0) << out;
      EXPECT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store", store},
                                  &out),
                128 + SIGKILL)
          << out;
      ASSERT_EQ(sandbox.CloudSim({"fault", "clear"}, &out), 0) << out;
      ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store", store},
                                  &out),
                0)
          << out;
      ExpectNothingLeft(sandbox);
    }
  }
}

// A login that hangs (an unreachable portal) is stopped at the command time limit, or at once when
// the job is interrupted; the job fails with the matching code and leaves nothing behind.
TEST(AgentHungCommand, AHungLoginIsStoppedAndTheJobUnwinds) {
  struct Case {
    const char* what;
    bool interrupt;
    const char* error;
  } cases[] = {{"time limit", false, "OpenVmdk failed: error 54"}, {"interrupt", true, "OpenVmdk failed: error 4000"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CTestSandbox sandbox;
    const std::string ini = sandbox.Home() + "/etc/platform.ini";
    WriteTestFile(ini, ReadTestFile(ini) + "nOCICommandTimeoutInSeconds=" + (c.interrupt ? "600" : "2") + "\n");
    std::string out;
    ASSERT_EQ(sandbox.CloudSim({"fault", "add", "--op", "iscsiadm:login", "--nth", "1", "--action", "delay",
                                "--delay-ms", "600000"},
                               &out),
              0)
        << out;
    const std::string store = sandbox.Dir() + "/store";
    const auto start = std::chrono::steady_clock::now();
    const pid_t job = StartBackup(sandbox, "sample-web", store);
    if (c.interrupt) {
      for (int i = 0; i < 1200 && sandbox.Calls("iscsiadm:login") < 1; ++i) ::usleep(50000);
      ASSERT_EQ(sandbox.Calls("iscsiadm:login"), 1);
      ::kill(job, SIGINT);
    }
    const int status = WaitFor(job);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120)) << "the hung login was waited for";
    const std::string log = ReadTestFile(store + "/agent.out");
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(log.find(c.error), std::string::npos) << log;
    ExpectNothingLeft(sandbox);
  }
}
