// The cloud-sim tool run as a process: refusals, leaks and populate.
#include <nlohmann/json.hpp>
#include <set>

#include "bridge/sim/VolumeChecksum.h"
#include "bridge/sim/VolumeFiles.h"
#include "sim_test_cloud.h"

using nlohmann::json;
using simtest::CTestCloud;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

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
// The leaks as "<kind> <field>"; the exit code says whether there are any.
std::set<std::string> Leaks(const std::string& dir, const std::vector<std::string>& args, const char* field = "id") {
  std::set<std::string> found;
  for (const auto& leak : Json(dir, args)) found.insert(leak["kind"].get<std::string>() + " " + leak[field].get<std::string>());
  EXPECT_EQ(Sim(dir, args).code, found.empty() ? 0 : 1);
  return found;
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
      {{"--sandbox", dir, "volume", "checksum", cloud.VolumeId("sample-web-data"), "--bytes", "134217729"},
       "holds 134217728 bytes, fewer than 134217729\n"},
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

// What jobs leave is listed until it is cleaned up; the seed, the operator's snapshot and
// populated instances are not among it.
TEST(CloudSimCli, LeaksListWhatJobsLeaveUntilItIsCleanedUp) {
  CTestCloud cloud;
  auto leaks = [&] { return Leaks(cloud.Dir(), {"leaks"}); };
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
  const std::string device = "ip-" + portal + "-iscsi-" + disk.iscsiIqn + "-lun-1";
  const std::string loop = std::filesystem::read_symlink(cloud.Dir() + "/root/dev/disk/by-path/" + device).string();
  EXPECT_EQ(leaks(),
            (std::set<std::string>{"snapshot " + snapshot, "volume " + replica, "attachment " + disk.attachmentId,
                                   "object image-import/stub", "image " + image,
                                   "device " + device, "loop " + loop,
                                   "iscsi-node " + disk.iscsiIqn + "," + disk.iscsiTargetPortal + ",3260"}));

  ASSERT_EQ(run(" -u") + run(" -o delete"), 0);
  ASSERT_TRUE(bridge->DetachVolumes({replica}, proxy) && bridge->DeleteVolume(replica));
  ASSERT_TRUE(bridge->DeleteVolumeSnapshot(snapshot) && bridge->DeleteStorageObject("image-import", "stub"));
  ASSERT_TRUE(bridge->DeleteImage(image));
  EXPECT_EQ(leaks(), std::set<std::string>{});

  ASSERT_EQ(Sim(cloud.Dir(), {"populate", "--compartments", "3", "--instances", "4"}).code, 0);
  EXPECT_EQ(cloud.Int("SELECT COUNT(DISTINCT i.compartment_id) * 100 + COUNT(*) FROM instances i JOIN volumes v "
                      "ON v.id = i.boot_volume_id WHERE i.name LIKE 'populated-%' AND i.state = 'RUNNING'"), 312);
  EXPECT_EQ(leaks(), std::set<std::string>{});
}

// A restored instance kept by name is a result with its boot volume (whose first bytes are the
// image's until a restore writes them), its volumes and their attachments; all else still counts.
TEST(CloudSimCli, LeaksKeepARestoredInstanceAndWhatBelongsToIt) {
  CTestCloud cloud;
  auto bridge = cloud.Connect();
  const std::string image = cloud.Text("SELECT image_id FROM instances WHERE name = 'sample-web'");
  SVMInfo vm;
  vm.name = "temp", vm.vmSize = "VM.Standard2.1";
  vm.compartmentId = cloud.Text("SELECT compartment_id FROM instances WHERE name = 'sample-web'");
  SDisk boot, data, leaked;
  ASSERT_TRUE(bridge->DeployVM(vm, image, 50) && bridge->GetBootVolumeIdForInstance(vm, boot.createdVolumeId));
  data.displayName = "data", leaked.displayName = "leaked", data.size = leaked.size = 1, data.attachmentType = "iscsi";
  ASSERT_TRUE(bridge->DeleteVM(vm.name, vm.guid, false, true) && bridge->CreateVolume(data, vm.compartmentId) &&
              bridge->CreateVolume(leaked, vm.compartmentId));
  vm.name = "restored", vm.guid = "", data.createdVolumeId = data.guid;
  bool noSlot = false;
  ASSERT_TRUE(bridge->RestoreVM(vm, boot) && bridge->AttachVolume(data, vm.guid, noSlot)) << bridge->GetLastError();
  // What a killed conversion leaves: its uploaded stub disk and the image imported from it.
  std::string imported;
  ASSERT_TRUE(bridge->UploadToObjectStorage("image-import", "stub", "disk") &&
              bridge->CreateImage("image-import", "stub", "temp-image", "NATIVE", vm.compartmentId, imported));
  EXPECT_EQ(Leaks(cloud.Dir(), {"leaks", "--keep", "restored"}, "name"),
            (std::set<std::string>{"volume leaked", "object stub", "image temp-image"}));
  EXPECT_EQ(Leaks(cloud.Dir(), {"leaks"}, "name"),
            (std::set<std::string>{"instance restored", "volume data", "volume temp (Boot Volume)", "attachment data",
                                   "volume leaked", "object stub", "image temp-image"}));
  hosttest::TempDir temp;
  WriteTestFile(temp.Path() + "/start", sim::ImageStartBytes(image));
  SRun sum = Sim(cloud.Dir(), {"volume", "checksum", boot.createdVolumeId, "--bytes", "1048576"});
  EXPECT_EQ(sum.out, sim::ChecksumOfSparseFile(temp.Path() + "/start", sim::kMiB) + "\n");
}

// What an operator changes between jobs: bytes written, a data volume added and detached, a
// snapshot damaged and removed; none of it is a leftover, and a boot snapshot's volume boots.
TEST(CloudSimCli, OperatorChangesVolumesAndSnapshots) {
  CTestCloud cloud;
  const std::string dir = cloud.Dir(), data = cloud.VolumeId("sample-web-data"), web = cloud.InstanceId("sample-web");
  ASSERT_EQ(Sim(dir, {"volume", "write", data, "--offset", "0", "--text", "hello"}).code, 0);
  hosttest::TempDir temp;
  WriteTestFile(temp.Path() + "/hello", "hello");
  EXPECT_EQ(Sim(dir, {"volume", "checksum", data, "--bytes", "5"}).out,
            sim::ChecksumOfSparseFile(temp.Path() + "/hello", 5) + "\n");
  SRun added = Sim(dir, {"volume", "add", web, "--size", "4096"});
  const std::string volume = added.out.substr(0, added.out.find('\n'));
  ASSERT_EQ(added.code, 0) << added.out;
  EXPECT_EQ(cloud.Text("SELECT v.display_name || ' ' || a.type FROM volumes v JOIN attachments a ON a.volume_id = v.id "
                       "WHERE v.id = ? AND a.instance_id = ? AND a.state = 'ATTACHED'", volume, web),
            "sample-web-data2 paravirtualized");
  cloud.SetMeta(sim::kMetaSlotLimit, "2");
  const std::string snapshot = cloud.Text("SELECT id FROM snapshots");
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"volume", "write", data, "--offset", "-1", "--text", "x"}, "Offset -1 is negative"},
      {{"volume", "write", volume, "--offset", "4095", "--text", "xy"},
       "Writing 2 bytes at offset 4095 would pass the end of volume [" + volume + "] (4096 bytes)"},
      {{"volume", "write", "vol-x", "--offset", "0", "--text", "x"}, "Volume with id [vol-x] was not found"},
      {{"volume", "add", web, "--size", "1"}, "has no free volume attachment slot"},
      {{"snapshot", "state", snapshot, "Online"}, "Snapshot state [Online] cannot be set: use AVAILABLE or FAULTY"},
      {{"snapshot", "rm", "snap-x"}, "Snapshot with id [snap-x] was not found"},
  };
  for (const auto& [args, error] : refused) {
    SRun run = Sim(dir, args);
    EXPECT_EQ(run.code, 1) << error;
    EXPECT_NE(run.out.find(error), std::string::npos) << run.out;
  }
  EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM volumes WHERE display_name LIKE 'sample-web-data%'"), 2) << "none kept";
  ASSERT_EQ(Sim(dir, {"volume", "detach", volume}).code, 0);
  EXPECT_NE(Sim(dir, {"volume", "detach", volume}).out.find("is not attached to any instance"), std::string::npos);
  auto bridge = cloud.Connect();
  std::string state, bootSnapshot, bootCopy;
  ASSERT_EQ(Sim(dir, {"snapshot", "state", snapshot, "FAULTY"}).code, 0);
  ASSERT_TRUE(bridge->GetSnapshotStatus(snapshot, state));
  EXPECT_EQ(state, "FAULTY");
  ASSERT_EQ(Sim(dir, {"snapshot", "rm", snapshot}).code, 0);
  EXPECT_EQ(cloud.Int("SELECT (SELECT COUNT(*) FROM snapshots) * 10 + COUNT(*) FROM volumes WHERE id = ?", volume), 1)
      << "the snapshot is gone, the detached volume stays";
  EXPECT_EQ(Sim(dir, {"leaks"}).out, "No leaks.\n");
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(cloud.VolumeId("sample-db (Boot Volume)"), "b", "", bootSnapshot) &&
              bridge->CreateVolumeFromSnapshot(bootSnapshot, "", bootCopy));
  EXPECT_EQ(cloud.Int("SELECT is_boot FROM volumes WHERE id = ?", bootCopy), 1);
}

}  // namespace
