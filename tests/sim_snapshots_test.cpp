// What a backup asks of the cloud: snapshots that hold a volume's bytes at request time, volumes
// made from them, their lifecycles on the host clock, the instance configurations, and the
// bookkeeping of what was made.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "bridge/sim/SimResources.h"
#include "bridge/sim/SimSnapshots.h"
#include "bridge/sim/VolumeChecksum.h"
#include "bridge/sim/VolumeFiles.h"
#include "sim_test_cloud.h"

using nlohmann::json;
using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;
using simtest::CClockScope;
using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;

namespace {

constexpr UINT64 kBackupFlags = 58;

void WriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return ~0ull;
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

class SimSnapshots : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  bool Classic() const { return GetParam() == sim::EFlavour::Classic; }
  const sim::SFlavourWords& Words() const { return sim::WordsOf(GetParam()); }
  std::string DataVolume(const std::string& instance = "sample-web") const {
    return cloud_.Text("SELECT id FROM volumes WHERE display_name = ?", instance + "-data");
  }
  std::string Sum(const std::string& id) const {
    auto cloud = cloud_.Open();
    return sim::VolumeSha256(*cloud, id);
  }
  std::string SnapshotState(COracleCloudSDKCppBridge& bridge, const std::string& id) {
    std::string state;
    EXPECT_TRUE(bridge.GetSnapshotStatus(id, state)) << bridge.GetLastError();
    return state;
  }
  std::string VolumeState(COracleCloudSDKCppBridge& bridge, const std::string& id) {
    std::string state;
    EXPECT_TRUE(bridge.GetVolumeStatus(id, state)) << bridge.GetLastError();
    return state;
  }
  std::vector<std::string> Left() const {
    auto cloud = cloud_.Open();
    std::vector<std::string> left;
    cloud->Read([&](sim::CSimDb& db) {
      for (const auto& r : sim::ListCreatedResources(db, true)) left.push_back(r.kind + ":" + r.id);
    });
    return left;
  }

  CTestCloud cloud_{GetParam()};
};

// Bytes written after the request reach neither the snapshot nor a volume made from it.
TEST_P(SimSnapshots, ASnapshotHoldsTheBytesOfItsRequestTime) {
  auto bridge = cloud_.Connect();
  const std::string volume = DataVolume();
  const std::string original = Sum(volume);
  std::string snapshot;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(volume, "nightly", "snap-1", snapshot)) << bridge->GetLastError();
  ASSERT_FALSE(snapshot.empty());
  EXPECT_EQ(SnapshotState(*bridge, snapshot), Words().snapshotAvailable);

  // One write into a data run, one into a hole.
  WriteAt(cloud_.BytesPath(volume), sim::kMiB, "overwritten");
  WriteAt(cloud_.BytesPath(volume), 40 * sim::kMiB, "new data in a hole");
  ASSERT_NE(Sum(volume), original);
  EXPECT_EQ(Sum(snapshot), original);

  std::string replica;
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "replica-1", replica)) << bridge->GetLastError();
  EXPECT_EQ(VolumeState(*bridge, replica), Words().volumeAvailable);
  EXPECT_EQ(Sum(replica), original);
  EXPECT_NE(replica, volume);
  // The replica lands where its source lives.
  EXPECT_EQ(cloud_.Text("SELECT ad || '|' || compartment_id || '|' || size_bytes FROM volumes WHERE id = ?", replica),
            cloud_.Text("SELECT ad || '|' || compartment_id || '|' || size_bytes FROM volumes WHERE id = ?", volume));
  EXPECT_EQ(cloud_.Text("SELECT display_name FROM volumes WHERE id = ?", replica), "replica-1");
  EXPECT_EQ(cloud_.Text("SELECT source_snapshot_id FROM volumes WHERE id = ?", replica), snapshot);

  for (const std::string& id : {snapshot, replica}) {
    EXPECT_LT(AllocatedBytes(cloud_.BytesPath(id)), 8 * sim::kMiB) << "holes stay holes: " << id;
  }
  struct stat st;
  ASSERT_EQ(::stat(cloud_.BytesPath(snapshot).c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), 128 * sim::kMiB) << "the whole logical size";
}

TEST_P(SimSnapshots, LifecyclesFollowTheProvisioningTimes) {
  CVirtualClock clock;
  CClockScope scope(clock);
  cloud_.SetMeta("provision_seconds.snapshot", "60");
  cloud_.SetMeta("provision_seconds.volume", "30");
  auto bridge = cloud_.Connect();
  std::string snapshot;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(DataVolume(), "d", "n", snapshot));
  EXPECT_EQ(SnapshotState(*bridge, snapshot), Words().snapshotProvisioning);
  std::string early = "kept";
  EXPECT_FALSE(bridge->CreateVolumeFromSnapshot(snapshot, "too-early", early));
  EXPECT_EQ(bridge->GetLastError(),
            "Snapshot [" + snapshot + "] is not available: it is " + Words().snapshotProvisioning);
  EXPECT_EQ(early, "kept");
  clock.Advance(59);
  EXPECT_EQ(SnapshotState(*bridge, snapshot), Words().snapshotProvisioning);
  clock.Advance(1);
  EXPECT_EQ(SnapshotState(*bridge, snapshot), Words().snapshotAvailable);

  std::string replica;
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "replica", replica)) << bridge->GetLastError();
  EXPECT_EQ(VolumeState(*bridge, replica), Words().volumeProvisioning);
  std::string refused;
  EXPECT_FALSE(bridge->CreateVolumeSnapshot(replica, "d", "n", refused)) << "a provisioning volume cannot be snapped";
  EXPECT_EQ(bridge->GetLastError(), "Volume [" + replica + "] is not available: it is " + Words().volumeProvisioning);
  clock.Advance(30);
  EXPECT_EQ(VolumeState(*bridge, replica), Words().volumeAvailable);
}

TEST_P(SimSnapshots, FaultyRulesEndResourcesFaulty) {
  CVirtualClock clock;
  CClockScope scope(clock);
  auto bridge = cloud_.Connect();
  cloud_.AddFault("CreateVolumeSnapshot", 1, sim::EFaultAction::Faulty);
  cloud_.AddFault("CreateVolumeSnapshot", 3, sim::EFaultAction::Faulty);
  cloud_.AddFault("CreateVolumeFromSnapshot", 1, sim::EFaultAction::Faulty);
  std::string faulty, good, late;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(DataVolume(), "d", "bad", faulty)) << "the request itself succeeds";
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(DataVolume(), "d", "good", good));
  EXPECT_EQ(SnapshotState(*bridge, faulty), Words().snapshotFaulty);
  EXPECT_EQ(SnapshotState(*bridge, good), Words().snapshotAvailable);

  // With a provisioning time it is provisioning first, faulty when due.
  cloud_.SetMeta("provision_seconds.snapshot", "20");
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(DataVolume(), "d", "late", late));
  EXPECT_EQ(SnapshotState(*bridge, late), Words().snapshotProvisioning);
  clock.Advance(20);
  EXPECT_EQ(SnapshotState(*bridge, late), Words().snapshotFaulty);

  std::string volume, unusable;
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(good, "replica", volume));
  EXPECT_EQ(VolumeState(*bridge, volume), Words().volumeFaulty);
  EXPECT_FALSE(bridge->CreateVolumeFromSnapshot(faulty, "from-faulty", unusable));
  EXPECT_EQ(bridge->GetLastError(), "Snapshot [" + faulty + "] is not available: it is " + Words().snapshotFaulty);
}

TEST_P(SimSnapshots, DeletingASnapshotRemovesItsRowAndBytes) {
  auto bridge = cloud_.Connect();
  std::string snapshot, replica;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(DataVolume(), "d", "n", snapshot));
  ASSERT_TRUE(bridge->CreateVolumeFromSnapshot(snapshot, "replica", replica));
  const std::string path = cloud_.BytesPath(snapshot);
  ASSERT_EQ(::access(path.c_str(), F_OK), 0);
  EXPECT_EQ(Left(), (std::vector<std::string>{"snapshot:" + snapshot, "volume:" + replica}));

  ASSERT_TRUE(bridge->DeleteVolumeSnapshot(snapshot)) << bridge->GetLastError();
  EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the bytes went with the row";
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM snapshots WHERE id = ?", snapshot), 0);
  EXPECT_EQ(Left(), std::vector<std::string>{"volume:" + replica}) << "a deleted snapshot is no leftover";
  EXPECT_EQ(VolumeState(*bridge, replica), Words().volumeAvailable) << "a volume made from it stays";

  EXPECT_FALSE(bridge->DeleteVolumeSnapshot(snapshot));
  EXPECT_EQ(bridge->GetLastError(), "Snapshot with id [" + snapshot + "] was not found");
}

TEST_P(SimSnapshots, UnknownIdsAreNamed) {
  auto bridge = cloud_.Connect();
  std::string out = "kept";
  struct SCase {
    const char* op;
    std::function<bool()> call;
    std::string text;
  };
  const SCase cases[] = {
      {"CreateVolumeSnapshot", [&] { return bridge->CreateVolumeSnapshot("vol-x", "d", "n", out); },
       "Volume with id [vol-x] was not found"},
      {"GetSnapshotStatus", [&] { return bridge->GetSnapshotStatus("snap-x", out); },
       "Snapshot with id [snap-x] was not found"},
      {"CreateVolumeFromSnapshot", [&] { return bridge->CreateVolumeFromSnapshot("snap-x", "n", out); },
       "Snapshot with id [snap-x] was not found"},
      {"GetVolumeStatus", [&] { return bridge->GetVolumeStatus("vol-x", out); },
       "Volume with id [vol-x] was not found"},
  };
  for (const SCase& c : cases) {
    EXPECT_FALSE(c.call()) << c.op;
    EXPECT_EQ(bridge->GetLastError(), c.text) << c.op;
  }
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(Left().empty());
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM snapshots"), 1);
}

// The backup reads every snapshot of a volume from the instance record: id, name, description
// and time, for the ones it made and the ones others left.
TEST_P(SimSnapshots, SnapshotsShowInTheInstanceRecord) {
  CVirtualClock clock(1'900'000'000);
  CClockScope scope(clock);
  auto bridge = cloud_.Connect();
  const std::string volume = DataVolume("sample-db");
  std::string made;
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(volume, "Backup of job 7", "job-7", made));
  std::string added;
  {
    auto cloud = cloud_.Open();
    added = sim::CSimSnapshots(*cloud).Add(volume, "Expired backup", 1'700'000'000, "");
  }
  SVMInfo vm;
  ASSERT_TRUE(bridge->GetVMInfo("sample-db", "", vm, kBackupFlags)) << bridge->GetLastError();
  ASSERT_EQ(vm.disks.size(), 2u);
  const auto& children = vm.disks[1].childDisks;
  ASSERT_EQ(children.size(), 3u);
  // Oldest first: the added one, the operator's, the job's.
  EXPECT_EQ(children[0].id, added);
  EXPECT_EQ(children[0].description, "Expired backup");
  EXPECT_EQ(children[0].creationTime, 1'700'000'000);
  EXPECT_EQ(children[0].name, "sample-db-data-snapshot-1700000000");
  EXPECT_EQ(children[1].name, "sample-db-data-weekly");
  EXPECT_EQ(children[2].id, made);
  EXPECT_EQ(children[2].name, "job-7");
  EXPECT_EQ(children[2].description, "Backup of job 7");
  EXPECT_EQ(children[2].creationTime, 1'900'000'000);
  EXPECT_TRUE(vm.disks[0].childDisks.empty());
  EXPECT_EQ(SnapshotState(*bridge, added), Words().snapshotAvailable);
  EXPECT_EQ(Left(), std::vector<std::string>{"snapshot:" + made}) << "an added snapshot is not a job's";

  // The record's uri is what the configuration download takes.
  std::map<std::string, std::string> files;
  ASSERT_TRUE(bridge->GetInstanceConfigurations(vm.uri, files)) << bridge->GetLastError();
  EXPECT_FALSE(files.empty());
}

TEST_P(SimSnapshots, ConfigurationsAreJsonOfTheInstance) {
  auto bridge = cloud_.Connect();
  SVMInfo vm;
  ASSERT_TRUE(bridge->GetVMInfo("sample-db", "", vm, kBackupFlags));
  std::map<std::string, std::string> byId, byUri;
  ASSERT_TRUE(bridge->GetInstanceConfigurations(vm.guid, byId)) << bridge->GetLastError();
  ASSERT_TRUE(bridge->GetInstanceConfigurations(vm.uri, byUri)) << bridge->GetLastError();
  EXPECT_EQ(byId, byUri);
  if (!Classic()) {
    ASSERT_EQ(byId.size(), 1u);
    ASSERT_EQ(byId.count(".json"), 1u);
    json config = json::parse(byId[".json"]);
    EXPECT_EQ(config["id"], vm.guid);
    EXPECT_EQ(config["displayName"], "sample-db");
    EXPECT_EQ(config["compartmentId"], vm.compartmentId);
    EXPECT_EQ(config["availabilityDomain"], vm.availabilityDomain);
    EXPECT_EQ(config["shape"], "VM.Standard.E4.Flex");
    EXPECT_EQ(config["cpuCount"], 2);
    EXPECT_EQ(config["memoryMB"], 32768);
    EXPECT_EQ(config["imageId"], vm.imageId);
    EXPECT_EQ(config["launchMode"], "NATIVE");
    ASSERT_EQ(config["volumes"].size(), 2u);
    EXPECT_EQ(config["volumes"][0]["id"], vm.disks[0].volumeId);
    EXPECT_EQ(config["volumes"][0]["isBootVolume"], true);
    EXPECT_EQ(config["volumes"][1]["displayName"], "sample-db-data");
    EXPECT_EQ(config["volumes"][1]["sizeInBytes"], 128ull << 20);
    EXPECT_EQ(config["volumes"][1]["isBootVolume"], false);
    ASSERT_EQ(config["vnics"].size(), 1u);
    EXPECT_EQ(config["vnics"][0]["privateIp"], vm.networkCards[0].privateIp);
  } else {
    ASSERT_EQ(byId.size(), 3u);
    json instance = json::parse(byId.at("_instance.json"));
    json storage = json::parse(byId.at("_storage.json"));
    json master = json::parse(byId.at("_master.json"));
    const json& tmpl = instance["objects"][0]["template"];
    EXPECT_EQ(tmpl["name"], vm.uri);
    EXPECT_EQ(tmpl["shape"], "VM.Standard.E4.Flex");
    ASSERT_EQ(tmpl["storage_attachments"].size(), 2u);
    EXPECT_EQ(tmpl["storage_attachments"][0]["volume"], vm.disks[0].volumeId);
    ASSERT_EQ(storage["objects"].size(), 2u);
    EXPECT_EQ(storage["objects"][0]["template"]["bootable"], true);
    EXPECT_EQ(master["oplans"][0]["objects"][0]["name"], storage["name"]);
    EXPECT_EQ(master["oplans"][1]["objects"][0]["name"], instance["name"]);
  }
}

// The checksum covers the whole logical size with holes as zeros, and a file shorter than its
// volume as if padded with zeros.
TEST(SimVolumeChecksum, ReadsHolesAsZerosOverTheLogicalSize) {
  CTestCloud cloud_;
  const std::string file = "tiny.img";
  auto cloud = cloud_.Open();
  const std::string path = cloud->VolumeFilePath(file);
  sim::CreateSparseFile(path, 64 * 1024);
  WriteAt(path, 4096, "hello");
  cloud_.Exec(
      "INSERT INTO volumes(id, display_name, compartment_id, ad, size_bytes, state, file, created) "
      "VALUES ('tiny', 'tiny', '', '', ?, 'AVAILABLE', ?, 0)",
      int64_t{128 * 1024}, file);
  std::string expected(128 * 1024, '\0');
  expected.replace(4096, 5, "hello");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ASSERT_EQ(EVP_Digest(expected.data(), expected.size(), digest, &length, EVP_sha256(), nullptr), 1);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char two[3];
    snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  EXPECT_EQ(sim::VolumeSha256(*cloud, "tiny"), hex);
  try {
    sim::VolumeSha256(*cloud, "nothing");
    ADD_FAILURE() << "an unknown id has no checksum";
  } catch (const sim::CSimError& e) {
    EXPECT_EQ(std::string(e.what()), "No volume or snapshot has the id [nothing]");
  }
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimSnapshots,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
