// The cloud-sim tool run as a process: sandboxes, refusals, fault rules, counters, settings,
// snapshots, checksums, leaks and populate.
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>

#include "host/TzProcess.h"
#include "sim_test_cloud.h"

using nlohmann::json;
using simtest::CTestCloud;
using simtest::ReadFile;
using simtest::RunTool;
using simtest::SToolResult;

namespace {

class CloudSimCli : public ::testing::Test {
 protected:
  std::string Init(const std::string& flavour) {
    std::string dir = temp_.Path() + "/" + flavour;
    SToolResult result = RunTool("cloud-sim", {"init", dir, "--flavour", flavour});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return dir;
  }
  static SToolResult Sim(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir});
    return RunTool("cloud-sim", args);
  }
  static json Ls(const std::string& dir, const std::vector<std::string>& what) {
    std::vector<std::string> args = what;
    args.push_back("--json");
    SToolResult result = Sim(dir, args);
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
  // "kind id" of each leak; the exit code tells whether there are any.
  static std::set<std::string> Leaks(const std::string& dir) {
    SToolResult result = Sim(dir, {"leaks", "--json"});
    std::set<std::string> leaks;
    for (const auto& leak : json::parse(result.out)) leaks.insert(leak["kind"].get<std::string>() + " " + leak["id"].get<std::string>());
    EXPECT_EQ(result.exitCode, leaks.empty() ? 0 : 1) << result.out;
    return leaks;
  }

  simtest::CTempDir temp_;
};

// The sandbox looks like the proxy of its flavour, and its jobs poll the cloud without a pause.
TEST_F(CloudSimCli, InitMakesASandboxThatLooksLikeTheProxy) {
  const std::string dmi = "/root/sys/class/dmi/id/";
  std::string infra = Init("infrastructure");
  EXPECT_EQ(ReadFile(infra + "/sandbox.ini"), "[Sandbox]\nflavour=infrastructure\ncloud=" + infra + "/cloud\n");
  EXPECT_EQ(::access((infra + "/bin/iscsiadm").c_str(), X_OK), 0);
  const std::string ini = ReadFile(infra + "/home/etc/platform.ini");
  EXPECT_NE(ini.find("\nnOracleCloudOperationRetryInternvalTimeInMinutes=0\n"), std::string::npos);
  EXPECT_EQ(ini.find("\nnOCI"), std::string::npos) << "other keys are examples only, commented out";
  EXPECT_EQ(ReadFile(infra + "/root/var/lib/cloud/data/instance-id"),
            Named(Ls(infra, {"ls", "instances"}), "backup-proxy")["id"].get<std::string>() + "\n");
  EXPECT_EQ(ReadFile(infra + dmi + "chassis_asset_tag"), "OracleCloud.com\n");

  std::string classic = Init("classic");
  std::string guid = Named(Ls(classic, {"ls", "instances"}), "backup-proxy")["id"];
  std::string upper = guid;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(guid, upper) << "the cloud keeps the UUID in lower case";
  EXPECT_EQ(ReadFile(classic + dmi + "product_uuid"), upper + "\n");
  EXPECT_NE(ReadFile(classic + dmi + "chassis_asset_tag"), "OracleCloud.com\n");
  EXPECT_FALSE(std::filesystem::exists(classic + "/root/var/lib/cloud/data/instance-id"));
  for (const auto& entry : std::filesystem::directory_iterator(classic + "/cloud/volumes")) {
    EXPECT_TRUE(entry.is_regular_file()) << entry.path() << " (a '/' in an id must not make folders)";
  }

  SToolResult again = RunTool("cloud-sim", {"init", infra});
  EXPECT_EQ(again.err, "cloud-sim: [" + infra + "] already holds a sandbox\n");
  SToolResult azure = RunTool("cloud-sim", {"init", temp_.Path() + "/x", "--flavour", "azure"});
  EXPECT_NE(azure.err.find("Unknown flavour [azure]"), std::string::npos) << azure.err;
  EXPECT_NE(again.exitCode * azure.exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() + "/x"));
}

TEST_F(CloudSimCli, RefusalsSayWhyAndChangeNothing) {
  std::string dir = Init("infrastructure");
  ASSERT_EQ(Sim(dir, {"config", "set", "slot_limit", "4"}).exitCode, 0);
  const std::string missing = temp_.Path() + "/nowhere";
  struct SCase {
    std::string sandbox;  // "" for none
    std::vector<std::string> args;
    std::string error;    // the standard error holds this
  };
  const SCase cases[] = {
      {missing, {"ls"}, "cloud-sim: The sandbox [" + missing + "] does not exist\n"},
      {temp_.Path(), {"calls"}, "cloud-sim: [" + temp_.Path() + "] is not a sandbox\n"},
      {"", {"ls"}, "No sandbox given"},
      {dir, {"ls", "vms"}, "Unknown kind [vms]"},
      {dir, {"fault", "add", "--op", "GetVMInfo", "--action", "fail"}, "Give exactly one of --nth N (N >= 1) and --every"},
      {dir, {"fault", "add", "--op", "GetVMInfo", "--nth", "0", "--action", "fail"}, "Give exactly one of --nth N"},
      {dir, {"fault", "add", "--op", "Explode", "--every", "--action", "fail"}, "Unknown operation [Explode]"},
      {dir, {"fault", "add", "--op", "GetVMInfo", "--every", "--action", "explode"}, "Unknown action [explode]"},
      {dir, {"fault", "add", "--op", "GetVMInfo", "--every", "--action", "delay"}, "A delay rule needs a delay of 1"},
      {dir, {"fault", "add", "--op", "GetVMInfo", "--every", "--action", "faulty", "--text", "x"},
       "--text applies to the fail action only"},
      {dir, {"config", "set", "flavour", "classic"}, "Unknown setting [flavour]"},
      {dir, {"config", "set", "slot_limit", "-1"}, "slot_limit"},
      {dir, {"snapshot", "add", "ocid1.volume.oc1.phx.none", "--description", "d", "--created", "1"},
       "cloud-sim: Volume with id [ocid1.volume.oc1.phx.none] was not found\n"},
      {dir, {"snapshot", "add", "v", "--description", "d", "--created", "-5"},
       "cloud-sim: --created must be seconds since the epoch, not -5\n"},
      {dir, {"volume", "checksum", "nothing"}, "cloud-sim: No volume or snapshot has the id [nothing]\n"},
      {dir, {"populate", "--compartments", "0", "--instances", "4"}, "Populate needs 1 or more compartments"},
  };
  for (const SCase& c : cases) {
    SToolResult result = c.sandbox.empty() ? RunTool("cloud-sim", c.args) : Sim(c.sandbox, c.args);
    EXPECT_EQ(result.exitCode, 1) << c.error;
    EXPECT_NE(result.err.find(c.error), std::string::npos) << result.err;
  }
  EXPECT_TRUE(Ls(dir, {"fault", "ls"}).empty());
  EXPECT_EQ(Ls(dir, {"config", "ls"})["slot_limit"], "4");
  EXPECT_EQ(Ls(dir, {"ls", "snapshots"}).size(), 1u) << "only the seeded snapshot";
}

TEST_F(CloudSimCli, FaultRulesCallsAndSettingsAreShownAndChanged) {
  std::string dir = Init("infrastructure");
  SToolResult first = Sim(dir, {"fault", "add", "--op", "CreateVolume", "--nth", "3", "--action", "faulty"});
  EXPECT_EQ(first.out, "1\n");
  ASSERT_EQ(Sim(dir, {"fault", "add", "--op", "GetVMInfo", "--every", "--action", "delay", "--delay-ms", "250"}).exitCode, 0);
  ASSERT_EQ(Sim(dir, {"fault", "add", "--op", "AttachVolume", "--every", "--action", "fail", "--text", "No room"}).exitCode, 0);
  json rules = Ls(dir, {"fault", "ls"});
  ASSERT_EQ(rules.size(), 3u);
  EXPECT_EQ(rules[0]["op"].get<std::string>() + rules[0]["action"].get<std::string>(), "CreateVolumefaulty");
  EXPECT_EQ(rules[0]["when"], 3);
  EXPECT_EQ(rules[1]["when"], "every");
  EXPECT_EQ(rules[1]["delay_ms"], 250);
  EXPECT_EQ(rules[2]["text"], "No room");
  ASSERT_EQ(Sim(dir, {"fault", "clear", "--op", "GetVMInfo"}).exitCode, 0);
  EXPECT_EQ(Ls(dir, {"fault", "ls"}).size(), 2u);
  ASSERT_EQ(Sim(dir, {"fault", "clear"}).exitCode, 0);
  EXPECT_TRUE(Ls(dir, {"fault", "ls"}).empty());

  ASSERT_EQ(Sim(dir, {"config", "set", "provision_seconds.instance", "600"}).exitCode, 0);
  json settings = Ls(dir, {"config", "ls"});
  EXPECT_EQ(settings["provision_seconds.instance"], "600");
  EXPECT_EQ(settings["provision_seconds.snapshot"], "0");
  std::string web = Named(Ls(dir, {"ls", "instances"}), "sample-web")["id"];
  {
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    ASSERT_TRUE(bridge.PowerOffInstance(web)) << bridge.GetLastError();
  }
  EXPECT_EQ(Ls(dir, {"calls"}), json({{"Connect", 1}, {"PowerOffInstance", 1}}));
  ASSERT_EQ(Sim(dir, {"calls", "--reset"}).exitCode, 0);
  EXPECT_EQ(Ls(dir, {"calls"}), json::object());
  // ls settles a transition that came due, with no bridge call since; the sandbox may come from
  // the environment.
  EXPECT_EQ(Named(Ls(dir, {"ls", "instances"}), "sample-web")["state"], "STOPPING");
  sim::CSimCloud(dir + "/cloud").Write([&](sim::CSimDb& db) { db.Run("UPDATE instances SET ready_at = 0 WHERE id = ?", web); });
  SToolResult fromEnv = RunTool("cloud-sim", {"ls", "instances", "--json"}, "CLOUD_SANDBOX=" + dir);
  ASSERT_EQ(fromEnv.exitCode, 0) << fromEnv.err;
  EXPECT_EQ(Named(json::parse(fromEnv.out), "sample-web")["state"], "STOPPED");
  EXPECT_EQ(Named(json::parse(fromEnv.out), "sample-db")["state"], "RUNNING");
}

// An added snapshot shows in the backup's record; volume and snapshot hold the same bytes until
// the volume changes.
TEST_F(CloudSimCli, SnapshotAddAndVolumeChecksum) {
  for (const std::string flavour : {"infrastructure", "classic"}) {
    SCOPED_TRACE(flavour);
    std::string dir = Init(flavour);
    std::string volume = Named(Ls(dir, {"ls", "volumes"}), "sample-web-data")["id"];
    SToolResult added = Sim(dir, {"snapshot", "add", volume, "--description", "Old backup", "--created", "1700000000",
                                  "--name", "old-backup"});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    std::string id = added.out.substr(0, added.out.find('\n'));
    OracleCloudSDKCppBridge::COracleCloudSDKCppBridge bridge(flavour == "classic" ? VSINST_ORACLE_CLOUD_CLASSIC
                                                                                   : VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    ASSERT_TRUE(bridge.Connect("sim://" + dir + "/cloud", "u", "p"));
    VMInfoStructs::SVMInfo vm;
    ASSERT_TRUE(bridge.GetVMInfo("sample-web", "", vm, 58)) << bridge.GetLastError();
    ASSERT_EQ(vm.disks.size(), 2u);
    ASSERT_EQ(vm.disks[1].childDisks.size(), 1u);
    const auto& child = vm.disks[1].childDisks[0];
    EXPECT_EQ(child.id + "|" + child.name + "|" + child.description + "|" + std::to_string(child.creationTime),
              id + "|old-backup|Old backup|1700000000");

    SToolResult snapshotSum = Sim(dir, {"volume", "checksum", id});
    EXPECT_EQ(snapshotSum.out.size(), 65u) << "64 hex digits and a new line";
    EXPECT_EQ(Sim(dir, {"volume", "checksum", volume}).out, snapshotSum.out);
    std::string file = sim::CSimCloud(dir + "/cloud").Read([&](sim::CSimDb& db) {
      return db.QueryText("SELECT file FROM volumes WHERE id = ?", "", volume);
    });
    std::fstream(dir + "/cloud/volumes/" + file, std::ios::in | std::ios::out | std::ios::binary).seekp(5000) << "changed";
    EXPECT_NE(Sim(dir, {"volume", "checksum", volume}).out, snapshotSum.out);
    EXPECT_EQ(Sim(dir, {"volume", "checksum", id}).out, snapshotSum.out);
  }
}

// What jobs leave is listed until it is cleaned up; the seed, the operator's snapshot and
// populated instances are not among it.
TEST_F(CloudSimCli, LeaksListWhatJobsLeaveUntilItIsCleanedUp) {
  CTestCloud cloud;
  EXPECT_EQ(Sim(cloud.Dir(), {"leaks"}).out, "No leaks.\n");
  auto bridge = cloud.Connect();
  const std::string proxy = cloud.Sandbox().proxyId;
  std::string snapshot, replica, image, output;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(cloud.VolumeId("sample-db-data"), "backup", "", snapshot));
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "", replica));
  VMInfoStructs::SDisk disk;
  disk.createdVolumeId = replica;
  disk.attachmentType = "iscsi";
  bool noFreeSlot = false;
  ASSERT_TRUE(bridge->AttachVolume(disk, proxy, noFreeSlot));
  ASSERT_TRUE(bridge->UploadToObjectStorage("image-import", "stub", "bytes"));
  ASSERT_TRUE(bridge->CreateImage("image-import", "stub", "temp-image", "NATIVE",
                                  cloud.Text("SELECT id FROM compartments WHERE name = 'Backup'"), image));
  const std::string portal = disk.iscsiTargetPortal + ":3260";
  const std::string iscsiadm = cloud.Dir() + "/bin/iscsiadm -m node -T " + disk.iscsiIqn + " -p " + portal;
  for (const char* step : {" -o new", " -l"}) ASSERT_EQ(TzProcess::system((iscsiadm + step).c_str(), &output, nullptr, 30, true), 0);
  EXPECT_EQ(Leaks(cloud.Dir()), (std::set<std::string>{"snapshot " + snapshot, "volume " + replica, "attachment " + disk.attachmentId,
                                                        "object image-import/stub", "image " + image,
                                                        "device ip-" + portal + "-iscsi-" + disk.iscsiIqn + "-lun-1",
                                                        "iscsi-node " + disk.iscsiIqn + "," + disk.iscsiTargetPortal + ",3260"}));
  EXPECT_NE(Sim(cloud.Dir(), {"leaks"}).out.find("snapshot   " + snapshot + "  ["), std::string::npos);

  for (const char* step : {" -u", " -o delete"}) ASSERT_EQ(TzProcess::system((iscsiadm + step).c_str(), &output, nullptr, 30, true), 0);
  ASSERT_TRUE(bridge->DetachVolumes({replica}, proxy));
  ASSERT_TRUE(bridge->DeleteVolume(replica));
  ASSERT_TRUE(bridge->DeleteVolumeSnapshot(snapshot));
  ASSERT_TRUE(bridge->DeleteStorageObject("image-import", "stub"));
  ASSERT_TRUE(bridge->DeleteImage(image));
  EXPECT_EQ(Leaks(cloud.Dir()), std::set<std::string>{});

  ASSERT_EQ(Sim(cloud.Dir(), {"populate", "--compartments", "3", "--instances", "4"}).exitCode, 0);
  EXPECT_EQ(cloud.Int("SELECT COUNT(DISTINCT i.compartment_id) || COUNT(*) FROM instances i JOIN compartments c ON "
                      "c.id = i.compartment_id JOIN volumes v ON v.id = i.boot_volume_id WHERE c.name LIKE 'populated-%' "
                      "AND i.state = 'RUNNING'"), 312);
  EXPECT_TRUE(std::filesystem::exists(
      cloud.BytesPath(cloud.Text("SELECT boot_volume_id FROM instances WHERE name = 'populated-3-vm-4'"))));
  EXPECT_EQ(Leaks(cloud.Dir()), std::set<std::string>{});
}

}  // namespace
