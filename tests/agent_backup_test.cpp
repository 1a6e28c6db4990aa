// A backup run the way the agent runs it, as processes: the stored disks equal the cloud's volumes,
// nothing is left behind, and a killed job's leftovers are swept by the next job.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <set>

#include "TestSandbox.h"
#include "host/TzProcess.h"

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
  EXPECT_EQ(manifest["complete"], true);
  EXPECT_EQ(manifest["missing_disks"], nlohmann::json::array());
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

// A disk the plug-in leaves out (its job goes on with the rest) or the agent cannot store makes the
// backup partial: exit 3, the disk named, "complete": false. A fault the plug-in does not tolerate
// fails the job. Every failure names its step, a code other than 0 (or "no error code") and a cause,
// and every road out leaves nothing in the cloud or the registry.
TEST(AgentBackup, FaultsGiveTheirExitCodeAndNameTheMissingDiskAndTheCause) {
  struct Case {
    std::vector<std::pair<std::string, std::string>> faults;  // op, action (on the 2nd call unless "1:")
    int exitCode;
    std::string text;  // must appear on the output
    std::string step;  // a failure naming its code and cause, when not empty
  } cases[] = {
      // The mount asks for snapshots and replicas in the order of the volumes; the disks are opened
      // and closed on threads of their own, in any order.
      {{{"CreateVolumeSnapshot", "fail"}}, 3, "disk [sample-db-data] ", ""},
      {{{"CreateVolumeSnapshot", "faulty"}}, 3, "disk [sample-db-data] ", ""},
      {{{"CreateVolumeFromSnapshot", "fail"}}, 3, "disk [sample-db-data] ", ""},
      {{{"AttachVolume", "fail"}}, 3, " not stored: ", "OpenVmdk"},
      {{{"1:DetachVolume", "fail"}}, 3, " not stored: ", "CloseVmdk"},
      {{{"1:CreateVolumeSnapshot", "fail"}, {"CreateVolumeSnapshot", "fail"}}, 1, "", "MountVM"},
      {{{"1:DeleteVolume", "fail"}}, 1, "", "UnmountVM"},
  };
  for (const auto& c : cases) {
    CTestSandbox sandbox;
    const std::string store = sandbox.Dir() + "/store";
    std::string out, label;
    for (const auto& [op, action] : c.faults) {
      const bool first = op.rfind("1:", 0) == 0;
      const std::string name = first ? op.substr(2) : op;
      label += name + "#" + (first ? "1 " : "2 ") + action + " ";
      ASSERT_EQ(sandbox.CloudSim({"fault", "add", "--op", name, "--nth", first ? "1" : "2", "--action", action}, &out),
                0)
          << out;
    }
    const int status = CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-db", "--store",
                                                          store, "--job-id", "17"},
                                         &out);
    EXPECT_EQ(status, c.exitCode) << label << out;
    EXPECT_NE(out.find(c.text), std::string::npos) << label << out;
    if (!c.step.empty()) {
      EXPECT_TRUE(NamesStepCodeAndCause(out, c.step)) << label << out;
    }
    EXPECT_EQ(out.find("error 0"), std::string::npos) << label << out;
    if (c.exitCode == 3) {
      const nlohmann::json manifest = LoadManifest(store);
      EXPECT_EQ(manifest["complete"], false) << label << manifest.dump();
      ASSERT_EQ(manifest["missing_disks"].size(), 1u) << label << manifest.dump();
      if (c.text.find("[sample-db-data]") != std::string::npos) {
        EXPECT_EQ(manifest["missing_disks"][0]["display_name"], "sample-db-data") << label;
      }
      EXPECT_FALSE(manifest["missing_disks"][0]["reason"].get<std::string>().empty()) << label;
      ASSERT_EQ(manifest["disks"].size(), 1u) << label;
      EXPECT_EQ(manifest["disks"][0]["sha256"], VolumeChecksum(sandbox, manifest["disks"][0]["volume_id"])) << label;
      // No half-written copy of the missing disk is left in the store.
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store + "/17-sample-db/disks"),
                              std::filesystem::directory_iterator()),
                1)
          << label;
    }
    EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << label << out;
    EXPECT_EQ(Registry(sandbox), nlohmann::json::array()) << label;
  }
}

// Backups started together without --job-id get job ids of their own and folders of their own; a
// job id the store already uses is refused and its folder is left as it was.
TEST(AgentBackup, JobIdsAreUniquePerStoreAndAFolderIsNeverReused) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  auto backup = [&](const std::string& instance) {
    std::string out;
    const int status =
        CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", instance, "--store", store}, &out);
    return std::make_pair(status, out);
  };
  auto web = std::async(std::launch::async, backup, "sample-web");
  auto db = std::async(std::launch::async, backup, "sample-db");
  for (auto* result : {&web, &db}) {
    const auto [status, out] = result->get();
    EXPECT_EQ(status, 0) << out;
  }
  std::set<long long> ids;
  std::string webFolder;
  for (const auto& entry : std::filesystem::directory_iterator(store)) {
    if (!entry.is_directory()) continue;
    const auto manifest = nlohmann::json::parse(ReadTestFile((entry.path() / "manifest.json").string()));
    ids.insert(manifest["job_id"].get<long long>());
    EXPECT_EQ(entry.path().filename().string().rfind(std::to_string(manifest["job_id"].get<long long>()) + "-", 0), 0u);
    if (manifest["instance"]["name"] == "sample-web") webFolder = entry.path().string();
  }
  ASSERT_EQ(ids.size(), 2u);
  ASSERT_FALSE(webFolder.empty());

  const std::string before = ReadTestFile(webFolder + "/manifest.json");
  const std::string folderName = std::filesystem::path(webFolder).filename().string();
  const std::string usedId = folderName.substr(0, folderName.find('-'));
  std::string out;
  EXPECT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", "sample-db", "--store", store,
                                               "--job-id", usedId},
                              &out),
            1)
      << out;
  EXPECT_NE(out.find("job id " + usedId + " is already used"), std::string::npos) << out;
  EXPECT_EQ(ReadTestFile(webFolder + "/manifest.json"), before);
  EXPECT_EQ(sandbox.CloudSim({"leaks"}, &out), 0) << out;
}

// Refused command lines: numeric options take a plain decimal in range only, the store must be
// named and be a folder, and a name that is not readable text is shown escaped.
TEST(AgentBackup, RefusesBadOptionsWithAUsageErrorAndShowsNamesEscaped) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  WriteTestFile(sandbox.Dir() + "/a-file", "x");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string text;
  } cases[] = {
      {{"backup", "sample-web", "--store", store, "--job-id", ""}, 2, "--job-id [] is empty"},
      {{"backup", "sample-web", "--store", store, "--job-id", "0x10"}, 2, "--job-id [0x10] is not a plain decimal"},
      {{"backup", "sample-web", "--store", store, "--job-id", " 5"}, 2, "--job-id [ 5] is not a plain decimal"},
      {{"backup", "sample-web", "--store", store, "--job-id", "-3"}, 2, "--job-id [-3] is not a plain decimal"},
      {{"backup", "sample-web", "--store", store, "--job-id", "+3"}, 2, "--job-id [+3] is not a plain decimal"},
      {{"backup", "sample-web", "--store", store, "--job-id", "0"}, 2, "--job-id [0] is below the minimum 1"},
      {{"backup", "sample-web", "--store", store, "--job-id", "9223372036854775808"}, 2, "is past the maximum"},
      {{"reconfigure", "sample-web", "--cpus", "2147483648"}, 2, "--cpus [2147483648] is past the maximum"},
      {{"reconfigure", "sample-web", "--memory-mb", "1e3"}, 2, "--memory-mb [1e3] is not a plain decimal"},
      {{"backup", "sample-web", "--store", ""}, 2, "the store folder must not be empty"},
      {{"backup", "sample-web", "--store", sandbox.Dir() + "/a-file"}, 1, "cannot create the store"},
      {{"backup", "bad\x01\xff\\name", "--store", store}, 1, "no instance [bad\\x01\\xff\\\\name]"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--sandbox", sandbox.Dir()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string out;
    EXPECT_EQ(CTestSandbox::Run("backup-agent", args, &out), c.exitCode) << c.text << "\n" << out;
    EXPECT_NE(out.find(c.text), std::string::npos) << out;
  }
  EXPECT_TRUE(!std::filesystem::exists(store) || std::filesystem::is_empty(store));
  std::string out;
  EXPECT_EQ(sandbox.CloudSim({"calls", "--json"}, &out), 0);
  EXPECT_EQ(nlohmann::json::parse(out).value("CreateVolumeSnapshot", 0), 0) << out;
}

// A name too long for a folder is shortened in the store's folder and file names, kept whole in
// the manifest.
TEST(AgentBackup, ALongInstanceNameIsShortenedInFolderNamesOnly) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  const std::string name(300, 'n');
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "clone", "sample-web", "--as", name}, &out), 0)
      << out;
  ASSERT_EQ(CTestSandbox::Run("backup-agent", {"--sandbox", sandbox.Dir(), "backup", name, "--store", store}, &out), 0)
      << out;
  const nlohmann::json manifest = LoadManifest(store);
  EXPECT_EQ(manifest["instance"]["name"], name);
  EXPECT_EQ(manifest["complete"], true);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(store))
    EXPECT_LE(entry.path().filename().string().size(), 255u) << entry.path();
  std::set<std::string> files;
  for (const auto& disk : manifest["disks"]) files.insert(disk["file"].get<std::string>());
  EXPECT_EQ(files.size(), 2u);
}

// Past the file-size limit a write fails with EFBIG: the job fails with the cause, the agent is not
// killed by SIGXFSZ, and the job is unwound.
TEST(AgentBackup, AFileSizeLimitFailsTheJobCleanly) {
  CTestSandbox sandbox;
  const std::string command = "ulimit -f 8192; exec '" + std::string(OCI_BUILD_DIR) + "/backup-agent' --sandbox '" +
                              sandbox.Dir() + "' backup sample-db --store '" + sandbox.Dir() + "/store'";
  std::string out;
  EXPECT_EQ(TzProcess::system(("bash -c \"" + command + "\"").c_str(), &out, nullptr, 120, true), 1) << out;
  EXPECT_NE(out.find("File too large"), std::string::npos) << out;
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
