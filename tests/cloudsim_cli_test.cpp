// The cloud-sim tool run as a process: sandboxes, refusals, counters, settings, snapshots,
// checksums, leaks and populate.
#include <nlohmann/json.hpp>
#include <set>

#include "sim_test_cloud.h"

using nlohmann::json;
using simtest::CTestCloud;

namespace {

struct SRun {
  int code = -1;
  std::string out;  // with the standard error
};
SRun Sim(const std::string& dir, std::vector<std::string> args) {
  if (!dir.empty()) args.insert(args.begin(), {"--sandbox", dir});
  SRun run;
  run.code = CTestSandbox::Run("cloud-sim", args, &run.out);
  return run;
}
json Json(const std::string& dir, std::vector<std::string> args) {
  args.push_back("--json");
  return json::parse(Sim(dir, args).out);
}
std::string Field(const json& rows, const std::string& name, const std::string& key) {
  for (const auto& row : rows) {
    if (row["name"] == name) return row[key].get<std::string>();
  }
  return "";
}

TEST(CloudSimCli, InitMakesASandboxThatLooksLikeTheProxy) {
  hosttest::TempDir temp;
  for (const std::string flavour : {"infrastructure", "classic"}) {
    const std::string dir = temp.Path() + "/" + flavour;
    ASSERT_EQ(Sim("", {"init", dir, "--flavour", flavour}).code, 0);
    // Its jobs poll the cloud without a pause; every other key is an example, commented out.
    const std::string ini = ReadTestFile(dir + "/home/etc/platform.ini");
    EXPECT_NE(ini.find("\nnOracleCloudOperationRetryInternvalTimeInMinutes=0\n"), std::string::npos);
    EXPECT_EQ(ini.find("\nnOCI"), std::string::npos);
    const std::string proxy = Field(Json(dir, {"ls", "instances"}), "backup-proxy", "id");
    EXPECT_EQ(ReadTestFile(dir + "/root/var/lib/cloud/data/instance-id"), flavour == "classic" ? "" : proxy + "\n");
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/cloud/volumes")) {
      EXPECT_TRUE(entry.is_regular_file()) << entry.path() << " (a '/' in an id must not make folders)";
    }
  }
}

TEST(CloudSimCli, RefusalsSayWhyAndChangeNothing) {
  CTestCloud cloud;
  const std::string dir = cloud.Dir(), missing = dir + "/nowhere";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--sandbox", missing, "ls"}, "cloud-sim: The sandbox [" + missing + "] does not exist\n"},
      {{"init", dir}, "cloud-sim: [" + dir + "] already holds a sandbox\n"},
      {{"init", missing, "--flavour", "azure"}, "Unknown flavour [azure]"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--nth", "0", "--action", "fail"},
       "Give exactly one of --nth N (N >= 1) and --every"},
      {{"--sandbox", dir, "fault", "add", "--op", "Explode", "--every", "--action", "fail"},
       "Unknown operation [Explode]"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--every", "--action", "delay"},
       "A delay rule needs a delay of 1 millisecond or more"},
      {{"--sandbox", dir, "config", "set", "slot_limit", "-1"}, "slot_limit"},
      {{"--sandbox", dir, "snapshot", "add", "vol-x", "--description", "d", "--created", "1"},
       "cloud-sim: Volume with id [vol-x] was not found\n"},
      {{"--sandbox", dir, "volume", "checksum", "nothing"}, "cloud-sim: No volume or snapshot has the id [nothing]\n"},
  };
  for (const auto& [args, error] : cases) {
    SRun run = Sim("", args);
    EXPECT_EQ(run.code, 1) << error;
    EXPECT_NE(run.out.find(error), std::string::npos) << run.out;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(Json(dir, {"fault", "ls"}).empty());
  EXPECT_EQ(Json(dir, {"config", "ls"})["slot_limit"], "32");
  EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM snapshots"), 1) << "only the seeded snapshot";
}

// Counters and settings are shown and changed; ls settles a transition that came due with no
// bridge call since; the sandbox may come from the environment.
TEST(CloudSimCli, CallsSettingsAndStatesAreShownAsTheyAreNow) {
  CTestCloud cloud;
  const std::string dir = cloud.Dir(), web = cloud.InstanceId("sample-web");
  ASSERT_EQ(Sim(dir, {"config", "set", "provision_seconds.instance", "600"}).code, 0);
  ASSERT_TRUE(cloud.Connect()->PowerOffInstance(web));
  EXPECT_EQ(Json(dir, {"calls"}), json({{"Connect", 1}, {"PowerOffInstance", 1}}));
  ASSERT_EQ(Sim(dir, {"calls", "--reset"}).code, 0);
  EXPECT_EQ(Json(dir, {"calls"}), json::object());
  EXPECT_EQ(Field(Json(dir, {"ls", "instances"}), "sample-web", "state"), "STOPPING");
  cloud.Open()->Write([&](sim::CSimDb& db) { db.Run("UPDATE instances SET ready_at = 0 WHERE id = ?", web); });
  hosttest::ScopedEnv env("CLOUD_SANDBOX", dir);
  EXPECT_EQ(Field(Json("", {"ls", "instances"}), "sample-web", "state"), "STOPPED");
}

// An added snapshot shows in the backup's record; volume and snapshot hold the same bytes until
// the volume changes.
TEST(CloudSimCli, SnapshotAddAndVolumeChecksum) {
  CTestCloud cloud(sim::EFlavour::Classic);
  const std::string volume = cloud.VolumeId("sample-web-data");
  SRun added = Sim(cloud.Dir(), {"snapshot", "add", volume, "--description", "Old backup", "--created", "1700000000",
                                 "--name", "old-backup"});
  ASSERT_EQ(added.code, 0) << added.out;
  const std::string id = added.out.substr(0, added.out.find('\n'));
  VMInfoStructs::SVMInfo vm;
  ASSERT_TRUE(cloud.Connect()->GetVMInfo("sample-web", "", vm, 58));
  ASSERT_EQ(vm.disks.size(), 2u);
  ASSERT_EQ(vm.disks[1].childDisks.size(), 1u);
  const auto& child = vm.disks[1].childDisks[0];
  EXPECT_EQ(child.id + "|" + child.name + "|" + child.description + "|" + std::to_string(child.creationTime),
            id + "|old-backup|Old backup|1700000000");
  const std::string sum = Sim(cloud.Dir(), {"volume", "checksum", id}).out;
  EXPECT_EQ(Sim(cloud.Dir(), {"volume", "checksum", volume}).out, sum);
  std::fstream(cloud.BytesPath(volume), std::ios::in | std::ios::out | std::ios::binary).seekp(5000) << "changed";
  EXPECT_NE(Sim(cloud.Dir(), {"volume", "checksum", volume}).out, sum);
  EXPECT_EQ(Sim(cloud.Dir(), {"volume", "checksum", id}).out, sum);
}

// What jobs leave is listed until it is cleaned up; the seed, the operator's snapshot and
// populated instances are not among it.
TEST(CloudSimCli, LeaksListWhatJobsLeaveUntilItIsCleanedUp) {
  CTestCloud cloud;
  auto leaks = [&] {
    std::set<std::string> found;
    for (const auto& leak : Json(cloud.Dir(), {"leaks"})) {
      found.insert(leak["kind"].get<std::string>() + " " + leak["id"].get<std::string>());
    }
    EXPECT_EQ(Sim(cloud.Dir(), {"leaks"}).code, found.empty() ? 0 : 1);
    return found;
  };
  EXPECT_EQ(Sim(cloud.Dir(), {"leaks"}).out, "No leaks.\n");
  auto bridge = cloud.Connect();
  const std::string proxy = cloud.Sandbox().proxyId;
  std::string snapshot, replica, image, output;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(cloud.VolumeId("sample-db-data"), "backup", "", snapshot));
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "", replica));
  VMInfoStructs::SDisk disk;
  disk.createdVolumeId = replica, disk.attachmentType = "iscsi";
  bool noFreeSlot = false;
  ASSERT_TRUE(bridge->AttachVolume(disk, proxy, noFreeSlot));
  ASSERT_TRUE(bridge->UploadToObjectStorage("image-import", "stub", "bytes"));
  ASSERT_TRUE(bridge->CreateImage("image-import", "stub", "temp-image", "NATIVE",
                                  cloud.Text("SELECT id FROM compartments LIMIT 1"), image));
  const std::string portal = disk.iscsiTargetPortal + ":3260";
  const std::string iscsiadm = cloud.Dir() + "/bin/iscsiadm -m node -T " + disk.iscsiIqn + " -p " + portal;
  auto run = [&](const char* step) { return TzProcess::system((iscsiadm + step).c_str(), &output, nullptr, 30); };
  ASSERT_EQ(run(" -o new") + run(" -l"), 0);
  EXPECT_EQ(leaks(),
            (std::set<std::string>{"snapshot " + snapshot, "volume " + replica, "attachment " + disk.attachmentId,
                                   "object image-import/stub", "image " + image,
                                   "device ip-" + portal + "-iscsi-" + disk.iscsiIqn + "-lun-1",
                                   "iscsi-node " + disk.iscsiIqn + "," + disk.iscsiTargetPortal + ",3260"}));

  ASSERT_EQ(run(" -u") + run(" -o delete"), 0);
  ASSERT_TRUE(bridge->DetachVolumes({replica}, proxy) && bridge->DeleteVolume(replica));
  ASSERT_TRUE(bridge->DeleteVolumeSnapshot(snapshot) && bridge->DeleteStorageObject("image-import", "stub"));
  ASSERT_TRUE(bridge->DeleteImage(image));
  EXPECT_EQ(leaks(), std::set<std::string>{});

  ASSERT_EQ(Sim(cloud.Dir(), {"populate", "--compartments", "3", "--instances", "4"}).code, 0);
  EXPECT_EQ(cloud.Int("SELECT COUNT(DISTINCT i.compartment_id) * 100 + COUNT(*) FROM instances i JOIN volumes v "
                      "ON v.id = i.boot_volume_id WHERE i.name LIKE 'populated-%' AND i.state = 'RUNNING'"),
            312);
  EXPECT_EQ(leaks(), std::set<std::string>{});
}

}  // namespace
