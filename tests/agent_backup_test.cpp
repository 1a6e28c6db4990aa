// A backup run the way the agent runs it, as processes: the stored disks equal the cloud's volumes,
// nothing is left behind, and a killed job's leftovers are swept by the next job.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestSandbox.h"

namespace {

nlohmann::json LoadManifest(const std::string& store) {
  for (const auto& entry : std::filesystem::directory_iterator(store))
    if (std::filesystem::exists(entry.path() / "manifest.json"))
      return nlohmann::json::parse(ReadTestFile((entry.path() / "manifest.json").string()));
  return nlohmann::json();
}

std::string VolumeChecksum(const CTestSandbox& sandbox, const std::string& id) {
  std::string out;
  EXPECT_EQ(sandbox.CloudSim({"volume", "checksum", id}, &out), 0) << out;
  return out.substr(0, out.find_first_of(" \n"));
}

nlohmann::json Registry(const CTestSandbox& sandbox) {
  std::string out;
  EXPECT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "registry", "--json"}, &out), 0) << out;
  return nlohmann::json::parse(out);
}

}  // namespace

TEST(AgentBackup, StoresEveryDiskWithTheCloudsChecksumAndLeavesNothingBehind) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-db", "--store", store,
                                               "--job-id", "4242"},
                              &out),
            0)
      << out;
  nlohmann::json manifest = LoadManifest(store);
  ASSERT_FALSE(manifest.is_null()) << out;
  EXPECT_EQ(manifest["job_id"], 4242);
  EXPECT_EQ(manifest["instance"]["name"], "sample-db");
  ASSERT_EQ(manifest["disks"].size(), 2u);
  for (const auto& disk : manifest["disks"]) {
    EXPECT_EQ(disk["sha256"], VolumeChecksum(sandbox, disk["volume_id"])) << disk.dump();
    // Only the data regions are read, never the whole logical size of a sparse volume.
    EXPECT_LT(disk["bytes_read"].get<long>(), disk["size"].get<long>()) << disk.dump();
  }
  int mainConfigs = 0;
  for (const auto& file : manifest["files"]) mainConfigs += file["main_config"].get<bool>() ? 1 : 0;
  EXPECT_EQ(mainConfigs, 1) << manifest["files"].dump();

  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
  EXPECT_EQ(Registry(sandbox), nlohmann::json::array());
}

TEST(AgentBackup, AKilledJobIsSweptByTheNextJob) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  // The first disk is attached and logged in when the agent closes it: die right there.
  std::string out;
  ASSERT_EQ(sandbox.CloudSim({"fault", "add", "--op", "DetachVolume", "--nth", "1", "--action", "kill-before"}, &out),
            0)
      << out;
  int status = CTestSandbox::Run("backup-agent",
                                 {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store", store}, &out);
  EXPECT_EQ(status, 128 + SIGKILL) << out;
  EXPECT_NE(sandbox.CloudSim({"leaks"}, &out), 0) << "the killed job should have left resources: " << out;
  nlohmann::json registry = Registry(sandbox);
  ASSERT_EQ(registry.size(), 1u);
  EXPECT_TRUE(registry[0]["orphan"].get<bool>());

  ASSERT_EQ(sandbox.CloudSim({"fault", "clear"}, &out), 0) << out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-db", "--store", store},
                              &out),
            0)
      << out;
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
  EXPECT_EQ(Registry(sandbox), nlohmann::json::array());
}

TEST(AgentBackup, FailureExitsNonZeroWithThePluginError) {
  CTestSandbox sandbox;
  std::string out;
  EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "backup-proxy", "--store",
                                               sandbox.Dir() + "/store"},
                              &out),
            0);
  EXPECT_NE(out.find("error 151:"), std::string::npos) << out;
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
}

// What the cloud reports for an attachment, and what a registry holds, never reaches a shell
// unchecked: hostile values fail the job, and the canary file is never made.
TEST(AgentBackup, HostileAttachmentValuesRunNoCommand) {
  CTestSandbox sandbox;
  const std::string canary = sandbox.Dir() + "/canary";
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"iscsi.reported_iqn", "iqn.2015-12.com.x; touch " + canary},
      {"iscsi.reported_iqn", "iqn.2015-12.com.x:$(touch " + canary + ")"},
      {"iscsi.reported_iqn", "iqn.2015-12.com.x:\"`touch " + canary + "`\""},
      {"iscsi.reported_iqn", "iqn.2015-12.com.x\ntouch " + canary},
      {"iscsi.reported_portal", "-o delete"},
      {"iscsi.reported_portal", "../../" + sandbox.Dir()},
      {"iscsi.reported_port", "3260 && touch " + canary},
      {"iscsi.reported_iqn", "iqn.2015-12.com." + std::string(400, 'x')},
  };
  std::string out;
  for (const auto& [key, value] : hostile) {
    ASSERT_EQ(sandbox.CloudSim({"config", "set", key, "--", value}, &out), 0) << out;
    EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store",
                                                 sandbox.Dir() + "/store"},
                                &out),
              0)
        << value;
    EXPECT_NE(out.find("error 54:"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(canary)) << value;
    EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << value << "\n" << out;
    ASSERT_EQ(sandbox.CloudSim({"config", "set", key, "--", ""}, &out), 0) << out;
  }
  const std::string log = ReadTestFile(sandbox.Dir() + "/cloud/iscsi/iscsiadm.log");
  EXPECT_EQ(log.find("touch"), std::string::npos) << log;
}

// Ctrl-C sets the job's cancel flag: the plug-in stops at its next poll, the job unwinds and the
// agent exits with the plug-in's error.
TEST(AgentBackup, InterruptCancelsAndUnwinds) {
  CTestSandbox sandbox;
  std::string out;
  ASSERT_EQ(sandbox.CloudSim({"config", "set", "provision_seconds.snapshot", "30"}, &out), 0) << out;
  const std::string log = sandbox.Dir() + "/agent.out";
  pid_t child = ::fork();
  if (child == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    const std::string agent = std::string(OCI_BUILD_DIR) + "/backup-agent";
    ::execl(agent.c_str(), "backup-agent", "--sandbox", sandbox.Dir().c_str(), "backup", "sample-web", "--store",
            (sandbox.Dir() + "/store").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the snapshots were requested, then interrupt.
  for (int i = 0; i < 200 && sandbox.Calls("CreateVolumeSnapshot") < 2; ++i) ::usleep(50000);
  ASSERT_EQ(sandbox.Calls("CreateVolumeSnapshot"), 2);
  ::kill(child, SIGINT);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(ReadTestFile(log).find("error 4000:"), std::string::npos) << ReadTestFile(log);
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
  EXPECT_EQ(Registry(sandbox), nlohmann::json::array());
}

// A flavour that cannot query the state of what it created ends its wait at once with error 17
// instead of polling for ever, and the job unwinds.
TEST(AgentBackup, AWaitWithoutAStatusQueryFailsAndUnwinds) {
  CTestSandbox sandbox("classic");
  std::string out;
  EXPECT_NE(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-web", "--store",
                                               sandbox.Dir() + "/store"},
                              &out),
            0);
  EXPECT_NE(out.find("error 17: The state of ["), std::string::npos) << out;
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
  EXPECT_EQ(Registry(sandbox), nlohmann::json::array());
}
