// Backups run the way the agent runs them, as processes: the stored disks equal the cloud's
// volumes, every failure names its cause, and every road out leaves nothing behind.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <future>
#include <set>

#include "PluginTestUtil.h"
#include "host/TzProcess.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

json LoadManifest(const std::string& store) {
  for (const auto& entry : fs::directory_iterator(store))
    if (fs::exists(entry.path() / "manifest.json")) return json::parse(ReadTestFile(entry.path() / "manifest.json"));
  return json();
}

// A disk the plug-in leaves out or the agent cannot store makes the backup partial: exit 3, the disk
// named, "complete": false. Other faults fail the job naming step, code (never 0) and cause.
TEST(AgentBackup, FaultsGiveTheirExitCodeAndNameTheMissingDiskAndTheCause) {
  struct Case {
    std::vector<std::pair<std::string, long>> faults;  // op, nth call failed
    std::string action;
    int exitCode;
    std::string text, step;  // on the output; a step whose failure names its code and cause
    std::string instance = "sample-db", flavour = "infrastructure";
  } cases[] = {
      // Snapshots and replicas are asked in the order of the volumes; disks open and close on threads.
      {{{"CreateVolumeSnapshot", 2}}, "fail", 3, "disk [sample-db-data] ", ""},
      {{{"CreateVolumeSnapshot", 2}}, "faulty", 3, "disk [sample-db-data] ", ""},
      {{{"CreateVolumeFromSnapshot", 2}}, "fail", 3, "disk [sample-db-data] ", ""},
      {{{"AttachVolume", 2}}, "fail", 3, " not stored: ", "OpenVmdk"},
      // A disk read whole whose close failed is stored; the unmount detaches its replica.
      {{{"DetachVolume", 1}}, "fail", 0, "; the unmount detaches it", "CloseVmdk"},
      {{{"CreateVolumeSnapshot", 1}, {"CreateVolumeSnapshot", 2}}, "fail", 1, "", "MountVM"},
      // A clean-up that failed leaves the stored backup standing; its own retry removed the replica.
      {{{"DeleteVolume", 1}},
       "fail",
       0,
       "Simulated failure of DeleteVolume; its clean-up removed what the job made",
       "UnmountVM"},
      {{}, "", 1, "error 151: Instance [backup-proxy] [", "", "backup-proxy"},
      // The classic flavour attaches every replica at the mount: one that cannot be attached fails it.
      {{{"AttachVolume", 2}}, "fail", 1, "error 54:", "MountVM", "sample-web", "classic"},
      {{{"AttachVolume", 1}}, "noslot", 1, "error 189:", "MountVM", "sample-web", "classic"},
  };
  for (const auto& c : cases) {
    CTestSandbox sandbox(c.flavour);
    const std::string store = sandbox.Dir() + "/store", label = c.instance + " " + c.action + " " + c.text;
    for (const auto& [op, nth] : c.faults) sandbox.Fault(op, nth, c.action);
    std::string out;
    EXPECT_EQ(sandbox.Agent({"backup", c.instance, "--store", store, "--job-id", "17"}, &out), c.exitCode)
        << label << out;
    out = WithoutApiWording(out);
    EXPECT_NE(out.find(c.text), std::string::npos) << label << out;
    EXPECT_TRUE(c.step.empty() || NamesStepCodeAndCause(out, c.step)) << label << out;
    EXPECT_EQ(out.find("error 0"), std::string::npos) << label << out;
    if (c.exitCode == 3) {
      const json manifest = LoadManifest(store);
      EXPECT_EQ(manifest["complete"], false) << label;
      ASSERT_EQ(manifest["missing_disks"].size(), 1u) << label << manifest.dump();
      EXPECT_TRUE(c.text.find("[sample-db-data]") == std::string::npos ||
                  manifest["missing_disks"][0]["display_name"] == "sample-db-data")
          << label;
      EXPECT_FALSE(manifest["missing_disks"][0]["reason"].get<std::string>().empty()) << label;
      ASSERT_EQ(manifest["disks"].size(), 1u) << label;
      EXPECT_EQ(manifest["disks"][0]["chunked_sha256"],
                plugintest::Checksum(sandbox, manifest["disks"][0]["volume_id"]).substr(0, 64))
          << label;
      // No half-written copy of the missing disk is left in the store.
      EXPECT_EQ(std::distance(fs::directory_iterator(store + "/17-sample-db/disks"), fs::directory_iterator()), 1)
          << label;
    }
    sandbox.ExpectNothingLeft(label);
  }
}

// Sessions that will not log out keep their volumes attached (nothing is cut under the proxy) and stay registered
// with them; the backup, all stored, stands with a warning naming them (and its manifest lists them); once logouts
// work again, the next job's sweep removes all of it.
TEST(AgentBackup, SessionsThatWouldNotLogOutStayAttachedAndRegisteredForTheNextJob) {
  CTestSandbox sandbox;
  std::string out;
  sandbox.CloudSim({"fault", "add", "--op", "iscsiadm:logout", "--every", "--action", "fail"});
  EXPECT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store"}, &out), 0) << out;
  EXPECT_TRUE(NamesStepCodeAndCause(out, "UnmountVM") && out.find("would not log out") != std::string::npos) << out;
  const json manifest = LoadManifest(sandbox.Dir() + "/store");
  EXPECT_TRUE(manifest["complete"].get<bool>() && !manifest["cleanup"]["ok"].get<bool>()) << manifest.dump();
  std::multiset<std::string> kinds, listed;
  for (const json& root : sandbox.Registry())
    for (const json& child : root["children"]) kinds.insert(child["type"].get<std::string>());
  for (const json& entry : manifest["cleanup"]["left_for_next_job"]) {
    listed.insert(entry.get<std::string>().substr(0, entry.get<std::string>().find(' ')));
    EXPECT_NE(out.find(entry.get<std::string>()), std::string::npos) << "the warning does not name " << entry << out;
  }
  EXPECT_EQ(listed, kinds);
  sandbox.CloudSim({"leaks", "--json"}, &out);
  for (const json& leak : json::parse(out)) kinds.insert(leak["kind"].get<std::string>());
  EXPECT_EQ(std::vector<size_t>({kinds.count("iscsi-session"), kinds.count("disk"), kinds.count("attachment"),
                                 kinds.count("cut-session")}),
            std::vector<size_t>({2, 2, 2, 0}))
      << out;
  sandbox.CloudSim({"fault", "clear"});
  EXPECT_EQ(sandbox.Agent({"backup", "sample-db", "--store", sandbox.Dir()}, &out), 0) << out;
  sandbox.ExpectNothingLeft();
}

// Whatever the umask, what a backup stores, the registry and the logs are their owner's alone; a restore refuses a
// backup folder, or its disks folder, that others can write to, naming it and its mode.
TEST(AgentBackup, StoreRegistryAndLogsAreTheOwnersAloneAndAWritableBackupIsRefused) {
  CTestSandbox sandbox;
  const std::string job = sandbox.Dir() + "/store/5-sample-web";
  std::string out;
  const mode_t umask = ::umask(0);
  EXPECT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store", "--job-id", "5"}, &out), 0)
      << out;
  ::umask(umask);
  const auto mode = [](const fs::path& path) { return static_cast<int>(fs::status(path).permissions()); };
  for (const std::string& top : {job, sandbox.Home() + "/registry", sandbox.Home() + "/log"}) {
    EXPECT_EQ(mode(top), 0700) << top;
    for (const auto& entry : fs::recursive_directory_iterator(top))
      EXPECT_EQ(mode(entry.path()), entry.is_directory() ? 0700 : 0600) << entry.path();
  }
  for (const auto& [folder, bits] : {std::pair{job, "0777"}, std::pair{job + "/disks", "0720"}}) {
    fs::permissions(folder, static_cast<fs::perms>(std::stoi(bits, nullptr, 8)));
    EXPECT_EQ(sandbox.Agent({"restore", job, "--as", "web-r"}, &out), 1) << out;
    EXPECT_NE(out.find("[" + folder + "] can be written by others (mode " + bits + ")"), std::string::npos) << out;
    fs::permissions(folder, static_cast<fs::perms>(0700));
  }
  sandbox.ExpectNothingLeft();
}

// What the cloud reports for an attachment never reaches a shell unchecked: hostile values fail the
// job with error 54 and the canary file is never made.
TEST(AgentBackup, HostileAttachmentValuesRunNoCommand) {
  CTestSandbox sandbox;
  const std::string canary = sandbox.Dir() + "/canary";
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"iscsi.reported_iqn", "iqn.2015-12.com.x; touch " + canary},
      {"iscsi.reported_iqn", "iqn.2015-12.com.x:$(touch " + canary + ")"},
      {"iscsi.reported_iqn", "iqn.2015-12.com.x\ntouch " + canary},
      {"iscsi.reported_portal", "-o delete"},
      {"iscsi.reported_port", "3260 && touch " + canary},
      {"iscsi.reported_iqn", "iqn.2015-12.com." + std::string(400, 'x')},
  };
  std::string out;
  for (const auto& [key, value] : hostile) {
    ASSERT_EQ(sandbox.CloudSim({"config", "set", key, "--", value}, &out), 0) << out;
    EXPECT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store"}, &out), 1) << value;
    EXPECT_NE(out.find("error 54:"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(canary)) << value;
    sandbox.ExpectNothingLeft(value);
    ASSERT_EQ(sandbox.CloudSim({"config", "set", key, "--", ""}, &out), 0) << out;
  }
  EXPECT_EQ(ReadTestFile(sandbox.Dir() + "/cloud/iscsi/iscsiadm.log").find("touch"), std::string::npos);
}

// Numeric options take a plain decimal in range only, the store must be a folder, a name that is not
// readable text is shown escaped. Backups started together get job ids and folders of their own; a
// used job id is refused and its folder left as it was.
TEST(AgentBackup, RefusesBadOptionsAndUsedJobIdsAndGivesJobsAtOnceIdsOfTheirOwn) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store";
  WriteTestFile(sandbox.Dir() + "/a-file", "x");
  auto with = [&](const std::string& id) {
    return std::vector<std::string>{"backup", "sample-web", "--store", store, "--job-id", id};
  };
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string text;
  } cases[] = {
      {with(""), 2, "--job-id [] is empty"},
      {with("0x10"), 2, "--job-id [0x10] is not a plain decimal"},
      {with("0"), 2, "--job-id [0] is below the minimum 1"},
      {with("9223372036854775808"), 2, "is past the maximum"},
      {{"reconfigure", "sample-web", "--cpus", "2147483648"}, 2, "--cpus [2147483648] is past the maximum"},
      {{"backup", "sample-web", "--store", ""}, 2, "--store needs a folder path"},
      {{"backup", "sample-web", "--store", sandbox.Dir() + "/a-file"}, 1, "cannot create the store"},
      {{"backup", "bad\x01\xff\\name", "--store", store}, 1, "no instance [bad\\x01\\xff\\\\name]"},
  };
  std::string out;
  for (const auto& c : cases) {
    EXPECT_EQ(sandbox.Agent(c.args, &out), c.exitCode) << c.text << "\n" << out;
    EXPECT_NE(out.find(c.text), std::string::npos) << out;
  }
  EXPECT_TRUE(!fs::exists(store) || fs::is_empty(store));
  EXPECT_EQ(sandbox.Calls("CreateVolumeSnapshot") + sandbox.Calls("ReConfigureVM"), 0);

  auto backup = [&](const std::string& instance) { return sandbox.Agent({"backup", instance, "--store", store}); };
  auto web = std::async(std::launch::async, backup, "sample-web");
  auto db = std::async(std::launch::async, backup, "sample-db");
  EXPECT_EQ(web.get() + db.get(), 0);
  std::set<std::string> ids;
  std::string webFolder, usedId;
  for (const auto& entry : fs::directory_iterator(store)) {
    if (!entry.is_directory()) continue;
    const auto manifest = json::parse(ReadTestFile(entry.path() / "manifest.json"));
    const std::string id = std::to_string(manifest["job_id"].get<long long>());
    EXPECT_EQ(entry.path().filename().string().rfind(id + "-", 0), 0u) << entry.path();
    ids.insert(id);
    if (manifest["instance"]["name"] == "sample-web") webFolder = entry.path(), usedId = id;
  }
  ASSERT_EQ(ids.size(), 2u);
  const std::string before = ReadTestFile(webFolder + "/manifest.json");
  EXPECT_EQ(sandbox.Agent(with(usedId), &out), 1) << out;
  EXPECT_NE(out.find("job id " + usedId + " is already used"), std::string::npos) << out;
  EXPECT_EQ(ReadTestFile(webFolder + "/manifest.json"), before);
  sandbox.ExpectNothingLeft();
}

// A full backup stores every disk with the cloud's checksum, reading the whole device; a name
// too long for a folder is shortened in the store's names only. Past the file-size limit the job
// fails with the cause (not killed by SIGXFSZ) and unwinds.
TEST(AgentBackup, StoresEveryDiskShortensLongNamesAndFailsCleanlyAtTheFileSizeLimit) {
  CTestSandbox sandbox;
  const std::string store = sandbox.Dir() + "/store", name(300, 'n');
  const std::string command = "bash -c \"ulimit -f 4096; exec '" + std::string(OCI_BUILD_DIR) +
                              "/backup-agent' --sandbox '" + sandbox.Dir() + "' backup sample-db --store '" +
                              sandbox.Dir() + "/limited'\"";
  std::string out;
  EXPECT_EQ(TzProcess::system(command.c_str(), &out, nullptr, 120, true), 1) << out;
  EXPECT_NE(out.find("File too large"), std::string::npos) << out;
  sandbox.ExpectNothingLeft();

  ASSERT_EQ(sandbox.Agent({"clone", "sample-web", "--as", name}, &out), 0) << out;
  ASSERT_EQ(sandbox.Agent({"backup", name, "--store", store, "--job-id", "4242"}, &out), 0) << out;
  const json manifest = LoadManifest(store);
  EXPECT_EQ(manifest["job_id"], 4242);
  EXPECT_EQ(manifest["instance"]["name"], name);
  EXPECT_EQ(manifest["complete"], true);
  EXPECT_EQ(manifest["missing_disks"], json::array());
  EXPECT_EQ(std::count_if(manifest["files"].begin(), manifest["files"].end(),
                          [](const json& f) { return f["main_config"] == true; }),
            1);
  ASSERT_EQ(manifest["disks"].size(), 2u);
  EXPECT_NE(manifest["disks"][0]["file"], manifest["disks"][1]["file"]);
  for (const auto& disk : manifest["disks"]) {
    EXPECT_EQ(disk["chunked_sha256"], plugintest::Checksum(sandbox, disk["volume_id"]).substr(0, 64)) << disk.dump();
    // An attached volume is a block device, which cannot tell its holes: every byte is read.
    EXPECT_EQ(disk["bytes_read"].get<long>(), disk["size"].get<long>()) << disk.dump();
  }
  for (const auto& entry : fs::recursive_directory_iterator(store))
    EXPECT_LE(entry.path().filename().string().size(), 255u) << entry.path();
}

}  // namespace
