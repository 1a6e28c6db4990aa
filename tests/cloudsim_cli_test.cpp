// The cloud-sim tool run as a process: sandbox creation, listing, fault rules, counters and
// settings.
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "bridge/sim/VolumeFiles.h"
#include "sim_test_cloud.h"

using nlohmann::json;
using simtest::CTempDir;
using simtest::ReadFile;
using simtest::RunTool;
using simtest::SToolResult;

namespace {

class CloudSimCli : public ::testing::Test {
 protected:
  // Makes a sandbox with `cloud-sim init`.
  std::string Init(const std::string& flavour) {
    std::string dir = temp_.Path() + "/" + flavour;
    SToolResult result = RunTool("cloud-sim", {"init", dir, "--flavour", flavour});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return dir;
  }
  SToolResult Sim(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir});
    return RunTool("cloud-sim", args);
  }
  json ListJson(const std::string& dir, const std::string& kind) {
    SToolResult result = Sim(dir, {"ls", kind, "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return json::parse(result.out);
  }
  static json Named(const json& rows, const std::string& name) {
    for (const auto& row : rows) {
      if (row["name"] == name) return row;
    }
    ADD_FAILURE() << "no row named " << name;
    return json::object();
  }

  CTempDir temp_;
};

TEST_F(CloudSimCli, InitMakesTheWholeLayout) {
  std::string dir = Init("infrastructure");
  for (const char* sub : {"cloud/cloud.db", "cloud/volumes", "cloud/objects", "cloud/iscsi", "root/dev/disk/by-path",
                          "home/etc/platform.ini", "home/registry", "home/log", "home/VMware/vddk/VDDK673/bin64",
                          "bin", "store"}) {
    EXPECT_TRUE(std::filesystem::exists(dir + "/" + sub)) << sub;
  }
  EXPECT_EQ(ReadFile(dir + "/sandbox.ini"), "[Sandbox]\nflavour=infrastructure\ncloud=" + dir + "/cloud\n");
  EXPECT_EQ(::access((dir + "/bin/iscsiadm").c_str(), X_OK), 0) << "the fake initiator tool is installed";
  EXPECT_EQ(ReadFile(dir + "/bin/iscsiadm").rfind("#!/bin/bash\n", 0), 0u);
  std::string ini = ReadFile(dir + "/home/etc/platform.ini");
  EXPECT_NE(ini.find("[VirtualServer]"), std::string::npos);
  EXPECT_NE(ini.find("; nOCIDiskSlotWaitIntervalInMinutes=10"), std::string::npos);
  // The sandbox's cloud provisions at once: its jobs poll without a pause; every other key is an example.
  EXPECT_NE(ini.find("\nnOracleCloudOperationRetryInternvalTimeInMinutes=0\n"), std::string::npos);
  EXPECT_EQ(ini.find("\nnOCI"), std::string::npos) << "other keys are examples only, commented out";
}

TEST_F(CloudSimCli, ProxyIdentityMatchesTheProxyInstanceOfEachFlavour) {
  std::string infra = Init("infrastructure");
  json proxy = Named(ListJson(infra, "instances"), "backup-proxy");
  const std::string dmi = "/root/sys/class/dmi/id/";
  EXPECT_EQ(ReadFile(infra + "/root/var/lib/cloud/data/instance-id"), proxy["id"].get<std::string>() + "\n");
  EXPECT_EQ(ReadFile(infra + dmi + "chassis_asset_tag"), "OracleCloud.com\n");
  EXPECT_EQ(ReadFile(infra + dmi + "sys_vendor"), "QEMU\n");
  EXPECT_FALSE(ReadFile(infra + dmi + "product_serial").empty());

  std::string classic = Init("classic");
  json classicProxy = Named(ListJson(classic, "instances"), "backup-proxy");
  std::string guid = classicProxy["id"];
  std::string upper = guid;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(guid, upper) << "the cloud keeps the UUID in lower case";
  EXPECT_EQ(ReadFile(classic + dmi + "product_uuid"), upper + "\n");
  EXPECT_EQ(ReadFile(classic + dmi + "sys_vendor"), "Red Hat\n");
  EXPECT_NE(ReadFile(classic + dmi + "chassis_asset_tag"), "OracleCloud.com\n");
  EXPECT_FALSE(std::filesystem::exists(classic + "/root/var/lib/cloud/data/instance-id"));
  EXPECT_EQ(classicProxy["uri"], "/Compute-a424242/backup.admin@example.com/backup-proxy/" + guid);
}

TEST_F(CloudSimCli, InitRefusesAnExistingSandboxAndAnUnknownFlavour) {
  std::string dir = Init("infrastructure");
  std::string before = ReadFile(dir + "/root/var/lib/cloud/data/instance-id");
  SToolResult again = RunTool("cloud-sim", {"init", dir});
  EXPECT_NE(again.exitCode, 0);
  EXPECT_EQ(again.err, "cloud-sim: [" + dir + "] already holds a sandbox\n");
  EXPECT_EQ(ReadFile(dir + "/root/var/lib/cloud/data/instance-id"), before) << "the sandbox is left as it was";

  SToolResult flavour = RunTool("cloud-sim", {"init", temp_.Path() + "/x", "--flavour", "azure"});
  EXPECT_NE(flavour.exitCode, 0);
  EXPECT_NE(flavour.err.find("Unknown flavour [azure]"), std::string::npos) << flavour.err;
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() + "/x"));
}

TEST_F(CloudSimCli, SeededCloudHasWhatJobsNeed) {
  std::string dir = Init("infrastructure");
  json regions = ListJson(dir, "regions");
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(Named(regions, "us-phoenix-1")["key"], "PHX");
  EXPECT_EQ(Named(regions, "us-phoenix-1")["is_home"], true);
  EXPECT_EQ(Named(regions, "us-ashburn-1")["key"], "IAD");

  int adsInHome = 0;
  for (const auto& ad : ListJson(dir, "ads")) adsInHome += ad["region"] == "us-phoenix-1";
  EXPECT_EQ(adsInHome, 2);
  EXPECT_EQ(ListJson(dir, "compartments").size(), 2u);

  json flex = Named(ListJson(dir, "shapes"), "VM.Standard.E4.Flex");
  EXPECT_EQ(flex["flexible"], true);
  EXPECT_EQ(Named(ListJson(dir, "shapes"), "VM.Standard2.1")["memory_mb"], 15360);

  // The same image in two regions shares its key and nothing else.
  std::map<std::string, std::vector<json>> byKey;
  for (const auto& image : ListJson(dir, "images")) byKey[image["image_key"]].push_back(image);
  bool shared = false;
  for (const auto& [key, images] : byKey) {
    if (images.size() == 2) {
      shared = true;
      EXPECT_NE(images[0]["region"], images[1]["region"]);
      EXPECT_NE(images[0]["id"], images[1]["id"]);
    }
  }
  EXPECT_TRUE(shared);

  json instances = ListJson(dir, "instances");
  ASSERT_EQ(instances.size(), 3u);
  for (const auto& instance : instances) {
    EXPECT_EQ(instance["state"], "RUNNING");
    EXPECT_EQ(instance["availability_domain"], "Uocm:PHX-AD-1");
    for (const char* key : {"id", "name", "compartment", "shape", "region", "cpus", "memory_mb", "image_id"}) {
      EXPECT_TRUE(instance.contains(key)) << key;
    }
  }
  EXPECT_EQ(ListJson(dir, "volumes").size(), 5u);
  EXPECT_EQ(ListJson(dir, "attachments").size(), 2u);
  EXPECT_EQ(ListJson(dir, "buckets").size(), 2u);
  EXPECT_EQ(ListJson(dir, "keys").size(), 1u);
  EXPECT_EQ(ListJson(dir, "security-lists").size(), 2u);
  EXPECT_TRUE(ListJson(dir, "objects").empty());

  SToolResult summary = Sim(dir, {"ls", "--json"});
  ASSERT_EQ(summary.exitCode, 0) << summary.err;
  json counts = json::parse(summary.out);
  EXPECT_EQ(counts["flavour"], "infrastructure");
  EXPECT_EQ(counts["default_region"], "us-phoenix-1");
  EXPECT_EQ(counts["counts"]["instances"], 3);
}

TEST_F(CloudSimCli, VolumeFilesAreSparseAndRecognisable) {
  std::string dir = Init("infrastructure");
  auto cloud = std::make_unique<sim::CSimCloud>(dir + "/cloud");
  auto files = cloud->Read([](sim::CSimDb& db) {
    std::vector<std::tuple<std::string, std::string, uint64_t>> rows;
    auto stmt = db.Prepare("SELECT id, display_name, size_bytes FROM volumes WHERE display_name = 'sample-web-data'");
    while (stmt.Step()) rows.emplace_back(stmt.Text(0), stmt.Text(1), static_cast<uint64_t>(stmt.Int(2)));
    return rows;
  });
  ASSERT_EQ(files.size(), 1u);
  auto [id, name, size] = files[0];
  std::string file = cloud->Read([&](sim::CSimDb& db) { return db.QueryText("SELECT file FROM volumes WHERE id = ?", "", id); });
  std::string path = cloud->VolumeFilePath(file);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), size);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 8 * sim::kMiB) << "holes stay holes";

  std::string bytes = ReadFile(path);
  EXPECT_EQ(bytes.rfind("SIMVOLUME\nid=" + id + "\nname=" + name + "\n", 0), 0u);
  uint64_t offsets[3];
  sim::SampleRunOffsets(size, offsets);
  for (uint64_t offset : offsets) {
    std::string text = sim::SampleSectorText(name, offset / 512);
    EXPECT_EQ(bytes.compare(offset, text.size(), text), 0) << offset;
    EXPECT_EQ(bytes[offset + sim::kSampleRunBytes], '\0') << "a hole follows each run";
  }
  EXPECT_EQ(bytes[offsets[0] - 1], '\0');
}

TEST_F(CloudSimCli, VolumeFileNamesAreSafeForAnyId) {
  std::string dir = Init("classic");
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/cloud/volumes")) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path() << " (a '/' in an id must not make folders)";
  }
  json volumes = ListJson(dir, "volumes");
  ASSERT_EQ(volumes.size(), 5u);
  EXPECT_EQ(Named(volumes, "sample-web-data")["id"], "/Compute-a424242/backup.admin@example.com/sample-web-data");
  EXPECT_EQ(Named(volumes, "sample-web-data")["state"], "Online");
  EXPECT_EQ(ListJson(dir, "snapshots")[0]["state"], "completed");
}

TEST_F(CloudSimCli, FaultRulesCanBeAddedListedAndCleared) {
  std::string dir = Init("infrastructure");
  SToolResult first = Sim(dir, {"fault", "add", "--op", "CreateVolume", "--nth", "3", "--action", "faulty"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.out, "1\n");
  ASSERT_EQ(Sim(dir, {"fault", "add", "--op", "GetVMInfo", "--every", "--action", "delay", "--delay-ms", "250"}).exitCode, 0);
  ASSERT_EQ(Sim(dir, {"fault", "add", "--op", "AttachVolume", "--every", "--action", "fail", "--text", "No capacity"})
                .exitCode,
            0);

  SToolResult listed = Sim(dir, {"fault", "ls", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.err;
  json rules = json::parse(listed.out);
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0]["op"], "CreateVolume");
  EXPECT_EQ(rules[0]["when"], 3);
  EXPECT_EQ(rules[0]["action"], "faulty");
  EXPECT_EQ(rules[1]["when"], "every");
  EXPECT_EQ(rules[1]["delay_ms"], 250);
  EXPECT_EQ(rules[2]["text"], "No capacity");

  ASSERT_EQ(Sim(dir, {"fault", "clear", "--op", "GetVMInfo"}).exitCode, 0);
  EXPECT_EQ(json::parse(Sim(dir, {"fault", "ls", "--json"}).out).size(), 2u);
  ASSERT_EQ(Sim(dir, {"fault", "clear"}).exitCode, 0);
  EXPECT_TRUE(json::parse(Sim(dir, {"fault", "ls", "--json"}).out).empty());
}

TEST_F(CloudSimCli, BadFaultRulesAreRefused) {
  std::string dir = Init("infrastructure");
  struct SCase {
    std::vector<std::string> args;
    std::string error;
  };
  const SCase cases[] = {
      {{"--op", "GetVMInfo", "--action", "fail"}, "Give exactly one of --nth N (N >= 1) and --every"},
      {{"--op", "GetVMInfo", "--nth", "0", "--action", "fail"}, "Give exactly one of --nth N (N >= 1) and --every"},
      {{"--op", "Explode", "--every", "--action", "fail"}, "Unknown operation [Explode]"},
      {{"--op", "GetVMInfo", "--every", "--action", "explode"}, "Unknown action [explode]"},
      {{"--op", "GetVMInfo", "--every", "--action", "delay"}, "A delay rule needs a delay of 1 millisecond or more"},
      {{"--op", "GetVMInfo", "--every", "--action", "faulty", "--text", "x"}, "--text applies to the fail action only"},
  };
  for (const SCase& c : cases) {
    std::vector<std::string> args{"fault", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SToolResult result = Sim(dir, args);
    EXPECT_EQ(result.exitCode, 1) << c.error;
    EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
  }
  EXPECT_TRUE(json::parse(Sim(dir, {"fault", "ls", "--json"}).out).empty());
}

TEST_F(CloudSimCli, CallsAreShownAndReset) {
  std::string dir = Init("infrastructure");
  EXPECT_EQ(json::parse(Sim(dir, {"calls", "--json"}).out), json::object());
  {
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    VMInfoStructs::SVMInfo vm;
    bridge.GetVMInfo("sample-web", "", vm, 0);
    bridge.GetVMInfo("nobody", "", vm, 0);
  }
  json counters = json::parse(Sim(dir, {"calls", "--json"}).out);
  EXPECT_EQ(counters, json({{"Connect", 1}, {"GetVMInfo", 2}}));
  SToolResult text = Sim(dir, {"calls"});
  EXPECT_NE(text.out.find("GetVMInfo"), std::string::npos);
  ASSERT_EQ(Sim(dir, {"calls", "--reset"}).exitCode, 0);
  EXPECT_EQ(json::parse(Sim(dir, {"calls", "--json"}).out), json::object());
}

TEST_F(CloudSimCli, SettingsAreValidated) {
  std::string dir = Init("infrastructure");
  EXPECT_EQ(Sim(dir, {"config", "set", "slot_limit", "4"}).exitCode, 0);
  EXPECT_EQ(Sim(dir, {"config", "set", "provision_seconds.volume", "30"}).exitCode, 0);
  json settings = json::parse(Sim(dir, {"config", "ls", "--json"}).out);
  EXPECT_EQ(settings["slot_limit"], "4");
  EXPECT_EQ(settings["provision_seconds.volume"], "30");
  EXPECT_EQ(settings["provision_seconds.snapshot"], "0");
  EXPECT_EQ(settings["flavour"], "infrastructure");

  SToolResult flavour = Sim(dir, {"config", "set", "flavour", "classic"});
  EXPECT_EQ(flavour.exitCode, 1);
  EXPECT_NE(flavour.err.find("Unknown setting [flavour]"), std::string::npos) << flavour.err;
  SToolResult negative = Sim(dir, {"config", "set", "slot_limit", "-1"});
  EXPECT_EQ(negative.exitCode, 1);
  EXPECT_EQ(json::parse(Sim(dir, {"config", "ls", "--json"}).out)["slot_limit"], "4");
}

TEST_F(CloudSimCli, MissingSandboxesAndUnknownKindsFail) {
  std::string missing = temp_.Path() + "/nowhere";
  SToolResult result = Sim(missing, {"ls"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "cloud-sim: The sandbox [" + missing + "] does not exist\n");

  SToolResult notSandbox = Sim(temp_.Path(), {"calls"});
  EXPECT_EQ(notSandbox.exitCode, 1);
  EXPECT_EQ(notSandbox.err, "cloud-sim: [" + temp_.Path() + "] is not a sandbox\n");

  SToolResult none = RunTool("cloud-sim", {"ls"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("No sandbox given"), std::string::npos) << none.err;

  std::string dir = Init("infrastructure");
  SToolResult kind = Sim(dir, {"ls", "vms"});
  EXPECT_EQ(kind.exitCode, 1);
  EXPECT_NE(kind.err.find("Unknown kind [vms]"), std::string::npos) << kind.err;

  // The sandbox may come from the environment.
  SToolResult fromEnv = RunTool("cloud-sim", {"ls", "instances", "--json"}, "CLOUD_SANDBOX=" + dir);
  ASSERT_EQ(fromEnv.exitCode, 0) << fromEnv.err;
  EXPECT_EQ(json::parse(fromEnv.out).size(), 3u);
}

// What the bridge changed is what `ls` shows, with transitions that came due settled by `ls`
// itself.
TEST_F(CloudSimCli, ListShowsPowerStatesAsTheyAreNow) {
  std::string dir = Init("infrastructure");
  std::string webId = Named(ListJson(dir, "instances"), "sample-web")["id"];
  {
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    ASSERT_TRUE(bridge.PowerOffInstance(webId)) << bridge.GetLastError();
  }
  json instances = ListJson(dir, "instances");
  EXPECT_EQ(Named(instances, "sample-web")["state"], "STOPPED");
  EXPECT_EQ(Named(instances, "sample-db")["state"], "RUNNING");

  ASSERT_EQ(Sim(dir, {"config", "set", "provision_seconds.instance", "600"}).exitCode, 0);
  {
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    ASSERT_TRUE(bridge.PowerOnInstance(webId)) << bridge.GetLastError();
  }
  EXPECT_EQ(Named(ListJson(dir, "instances"), "sample-web")["state"], "STARTING");
  // The start came due (as if the time had passed) with no bridge call since.
  sim::CSimCloud(dir + "/cloud").Write([&](sim::CSimDb& db) {
    db.Run("UPDATE instances SET ready_at = 0 WHERE id = ?", webId);
  });
  EXPECT_EQ(Named(ListJson(dir, "instances"), "sample-web")["state"], "RUNNING");
}

TEST_F(CloudSimCli, SnapshotAddAndVolumeChecksum) {
  for (const std::string flavour : {"infrastructure", "classic"}) {
    SCOPED_TRACE(flavour);
    std::string dir = Init(flavour);
    std::string volume = Named(ListJson(dir, "volumes"), "sample-web-data")["id"];
    SToolResult added = Sim(dir, {"snapshot", "add", volume, "--description", "Backup snapshot of job 12 at 1700000000",
                                  "--created", "1700000000", "--name", "old-backup"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    std::string id = added.out.substr(0, added.out.find('\n'));
    ASSERT_FALSE(id.empty());

    // The backup's record of the instance lists it with its description and time.
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(flavour == "classic" ? VSINST_ORACLE_CLOUD_CLASSIC
                                                                                   : VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    VMInfoStructs::SVMInfo vm;
    ASSERT_TRUE(bridge.GetVMInfo("sample-web", "", vm, 58)) << bridge.GetLastError();
    ASSERT_EQ(vm.disks.size(), 2u);
    ASSERT_EQ(vm.disks[1].childDisks.size(), 1u);
    EXPECT_EQ(vm.disks[1].childDisks[0].id, id);
    EXPECT_EQ(vm.disks[1].childDisks[0].name, "old-backup");
    EXPECT_EQ(vm.disks[1].childDisks[0].description, "Backup snapshot of job 12 at 1700000000");
    EXPECT_EQ(vm.disks[1].childDisks[0].creationTime, 1700000000);

    // Volume and snapshot hold the same bytes until the volume changes.
    SToolResult volumeSum = Sim(dir, {"volume", "checksum", volume});
    SToolResult snapshotSum = Sim(dir, {"volume", "checksum", id});
    ASSERT_EQ(volumeSum.exitCode, 0) << volumeSum.err;
    ASSERT_EQ(snapshotSum.exitCode, 0) << snapshotSum.err;
    EXPECT_EQ(volumeSum.out.size(), 65u) << "64 hex digits and a new line";
    EXPECT_EQ(volumeSum.out, snapshotSum.out);
    std::string file = sim::CSimCloud(dir + "/cloud").Read([&](sim::CSimDb& db) {
      return db.QueryText("SELECT file FROM volumes WHERE id = ?", "", volume);
    });
    {
      std::fstream bytes(dir + "/cloud/volumes/" + file, std::ios::in | std::ios::out | std::ios::binary);
      bytes.seekp(5000);
      bytes << "changed";
    }
    EXPECT_NE(Sim(dir, {"volume", "checksum", volume}).out, snapshotSum.out);
    EXPECT_EQ(Sim(dir, {"volume", "checksum", id}).out, snapshotSum.out);
  }
}

TEST_F(CloudSimCli, BadSnapshotAndChecksumRequestsFail) {
  std::string dir = Init("infrastructure");
  struct SCase {
    std::vector<std::string> args;
    std::string error;
  };
  const SCase cases[] = {
      {{"snapshot", "add", "ocid1.volume.oc1.phx.none", "--description", "d", "--created", "1"},
       "cloud-sim: Volume with id [ocid1.volume.oc1.phx.none] was not found\n"},
      {{"snapshot", "add", "v", "--description", "d", "--created", "-5"},
       "cloud-sim: --created must be seconds since the epoch, not -5\n"},
      {{"volume", "checksum", "nothing"}, "cloud-sim: No volume or snapshot has the id [nothing]\n"},
  };
  for (const SCase& c : cases) {
    SToolResult result = Sim(dir, c.args);
    EXPECT_EQ(result.exitCode, 1) << c.error;
    EXPECT_EQ(result.err, c.error);
  }
  SToolResult missing = Sim(dir, {"snapshot", "add", "v", "--created", "1"});
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.err.find("--description"), std::string::npos) << missing.err;
  EXPECT_EQ(ListJson(dir, "snapshots").size(), 1u) << "only the seeded snapshot";
}

}  // namespace
