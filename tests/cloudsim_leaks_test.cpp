// cloud-sim leaks and populate, run as a process against sandboxes that the bridge changed.
#include <filesystem>

#include <nlohmann/json.hpp>

#include "host/TzProcess.h"
#include "sim_test_cloud.h"

using nlohmann::json;
using simtest::CTestCloud;
using simtest::RunTool;
using simtest::SToolResult;
using VMInfoStructs::SDisk;

namespace {

SToolResult Sim(const CTestCloud& cloud, std::vector<std::string> args) {
  args.insert(args.begin(), {"--sandbox", cloud.Dir()});
  return RunTool("cloud-sim", args);
}

// Runs the sandbox's iscsiadm; the sandbox path and the cloud's IQNs need no quoting.
int Iscsiadm(const CTestCloud& cloud, const std::string& args) {
  std::string output;
  return TzProcess::system((cloud.Dir() + "/bin/iscsiadm " + args).c_str(), &output, nullptr, 30, true);
}

// "kind id" of each leak cloud-sim reports; exit code checked against the list.
std::set<std::string> Leaks(const CTestCloud& cloud) {
  SToolResult result = Sim(cloud, {"leaks", "--json"});
  std::set<std::string> leaks;
  for (const auto& leak : json::parse(result.out)) {
    leaks.insert(leak["kind"].get<std::string>() + " " + leak["id"].get<std::string>());
  }
  EXPECT_EQ(result.exitCode, leaks.empty() ? 0 : 1) << result.out;
  return leaks;
}

TEST(CloudSimLeaks, WhatJobsLeaveIsListedUntilItIsCleanedUp) {
  CTestCloud cloud;
  SToolResult fresh = Sim(cloud, {"leaks"});
  EXPECT_EQ(fresh.exitCode, 0) << fresh.err;
  EXPECT_EQ(fresh.out, "No leaks.\n");

  auto bridge = cloud.Connect();
  const std::string proxy = cloud.Sandbox().proxyId;
  const std::string data = cloud.Text("SELECT id FROM volumes WHERE display_name = 'sample-db-data'");
  std::string snapshot, replica, image;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(data, "backup", "", snapshot));
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "", replica));
  SDisk disk;
  disk.createdVolumeId = replica;
  disk.attachmentType = "iscsi";
  bool noFreeSlot = false;
  ASSERT_TRUE(bridge->AttachVolume(disk, proxy, noFreeSlot));
  ASSERT_TRUE(bridge->UploadToObjectStorage("image-import", "stub", "bytes"));
  ASSERT_TRUE(bridge->CreateImage("image-import", "stub", "temp-image", "NATIVE",
                                  cloud.Text("SELECT id FROM compartments WHERE name = 'Backup'"), image));
  const std::string portal = disk.iscsiTargetPortal + ":3260";
  const std::string t = " -T " + disk.iscsiIqn + " -p " + portal;
  ASSERT_EQ(Iscsiadm(cloud, "-m node -o new" + t), 0);
  ASSERT_EQ(Iscsiadm(cloud, "-m node" + t + " -l"), 0);

  const std::string node = disk.iscsiIqn + "," + disk.iscsiTargetPortal + ",3260";
  const std::string device = "ip-" + portal + "-iscsi-" + disk.iscsiIqn + "-lun-1";
  // Neither the seed's instances and volumes nor the operator's snapshot are among them.
  EXPECT_EQ(Leaks(cloud), (std::set<std::string>{"snapshot " + snapshot, "volume " + replica, "attachment " + disk.attachmentId,
                                          "object image-import/stub", "image " + image, "device " + device,
                                          "iscsi-node " + node}));
  SToolResult text = Sim(cloud, {"leaks"});
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_NE(text.out.find("snapshot   " + snapshot + "  ["), std::string::npos) << text.out;

  // Cleaned up as a job would: logout, node record, detach, deletions.
  ASSERT_EQ(Iscsiadm(cloud, "-m node" + t + " -u"), 0);
  ASSERT_EQ(Iscsiadm(cloud, "-m node -o delete" + t), 0);
  ASSERT_TRUE(bridge->DetachVolumes({replica}, proxy));
  ASSERT_TRUE(bridge->DeleteVolume(replica));
  ASSERT_TRUE(bridge->DeleteVolumeSnapshot(snapshot));
  ASSERT_TRUE(bridge->DeleteStorageObject("image-import", "stub"));
  ASSERT_TRUE(bridge->DeleteImage(image));
  EXPECT_EQ(Leaks(cloud), std::set<std::string>{});
}

TEST(CloudSimLeaks, PopulateAddsCompartmentsOfRunningInstances) {
  for (sim::EFlavour flavour : {sim::EFlavour::Infrastructure, sim::EFlavour::Classic}) {
    CTestCloud cloud(flavour);
    SToolResult result = Sim(cloud, {"populate", "--compartments", "3", "--instances", "4"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM compartments WHERE name LIKE 'populated-%'"), 3);
    EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM instances i JOIN compartments c ON c.id = i.compartment_id "
                        "JOIN volumes v ON v.id = i.boot_volume_id WHERE c.name LIKE 'populated-%' AND i.state = ?",
                        sim::WordsOf(flavour).instanceRunning),
              12);
    EXPECT_EQ(cloud.Int("SELECT COUNT(DISTINCT compartment_id) FROM instances WHERE name LIKE 'populated-%'"), 3);
    EXPECT_TRUE(std::filesystem::exists(
        cloud.BytesPath(cloud.Text("SELECT boot_volume_id FROM instances WHERE name = 'populated-3-vm-4'"))));
    EXPECT_EQ(Leaks(cloud), std::set<std::string>{}) << "populated instances are not a job's";

    SToolResult bad = Sim(cloud, {"populate", "--compartments", "0", "--instances", "4"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find("Populate needs 1 or more compartments"), std::string::npos) << bad.err;
  }
}

}  // namespace
