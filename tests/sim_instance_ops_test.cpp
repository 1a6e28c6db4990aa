// Instance operations through the bridge: power, shape changes, clones and launches from images,
// the wait for a boot, termination; checked on the simulated cloud's state and files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge/sim/SimResources.h"
#include "bridge/sim/VolumeChecksum.h"
#include "bridge/sim/VolumeFiles.h"
#include "sim_test_cloud.h"

using OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;
using simtest::CClockScope;
using simtest::CTestCloud;
using VMInfoStructs::SVMInfo;

namespace {

constexpr UINT64 kBackupFlags = 58;

class SimInstanceOps : public ::testing::TestWithParam<sim::EFlavour> {
 protected:
  bool Classic() const { return GetParam() == sim::EFlavour::Classic; }
  const sim::SFlavourWords& Words() const { return sim::WordsOf(GetParam()); }
  std::string State(const std::string& id) const { return cloud_.Text("SELECT state FROM instances WHERE id = ?", id); }
  SVMInfo Record(COracleCloudSDKCppBridge& bridge, const std::string& id, UINT64 flags = kBackupFlags) {
    SVMInfo vm;
    EXPECT_TRUE(bridge.GetVMInfo("", id, vm, flags)) << bridge.GetLastError();
    return vm;
  }
  std::string Sum(const std::string& id) const {
    auto cloud = cloud_.Open();
    return sim::VolumeSha256(*cloud, id);
  }
  // Leftovers of what the bridge made, as "kind:name" in creation order.
  std::vector<std::string> Left() const {
    auto cloud = cloud_.Open();
    std::vector<std::string> left;
    cloud->Read([&](sim::CSimDb& db) {
      for (const auto& r : sim::ListCreatedResources(db, true)) left.push_back(r.kind + ":" + r.name);
    });
    return left;
  }

  CTestCloud cloud_{GetParam()};
};

// A change made by one process is what the next call of another process sees.
TEST_P(SimInstanceOps, PowerStateChangesAreSharedBetweenProcesses) {
  const std::string web = cloud_.InstanceId("sample-web");
  int status = simtest::RunInChild([&] {
    auto child = cloud_.Connect();
    return child->PowerOffInstance(web) && child->PowerOffInstance(web) ? 0 : 1;  // stopping twice is no error
  });
  ASSERT_EQ(simtest::ExitCode(status), 0);
  auto bridge = cloud_.Connect();
  SVMInfo stopped = Record(*bridge, web, 0);
  EXPECT_EQ(stopped.lifecycleState, Classic() ? "stopped" : "STOPPED");
  EXPECT_EQ(stopped.powerState, 0u);

  ASSERT_TRUE(bridge->RebootInstance(web)) << bridge->GetLastError();
  EXPECT_EQ(State(web), Words().instanceRunning) << "a reboot ends running";
  ASSERT_TRUE(bridge->RebootInstance(web));
  EXPECT_EQ(State(web), Words().instanceRunning);
  ASSERT_TRUE(bridge->PowerOffInstance(web));
  ASSERT_TRUE(bridge->PowerOnInstance(web)) << bridge->GetLastError();
  SVMInfo running = Record(*bridge, web, 0);
  EXPECT_EQ(running.lifecycleState, Classic() ? "running" : "RUNNING");
  EXPECT_EQ(running.powerState, 1u);
  EXPECT_EQ(State(cloud_.InstanceId("sample-db")), Words().instanceRunning) << "other instances are untouched";
}

TEST_P(SimInstanceOps, PowerTransitionsTakeTheInstanceProvisioningTime) {
  CVirtualClock clock;
  CClockScope scope(clock);
  cloud_.SetMeta("provision_seconds.instance", "30");
  auto bridge = cloud_.Connect();
  const std::string web = cloud_.InstanceId("sample-web");
  ASSERT_TRUE(bridge->PowerOffInstance(web));
  EXPECT_EQ(Record(*bridge, web, 0).lifecycleState, Words().instanceStopping);
  EXPECT_FALSE(bridge->PowerOnInstance(web));
  EXPECT_EQ(bridge->GetLastError(), "Instance [" + web + "] cannot be started while it is " + Words().instanceStopping);
  clock.Advance(29);
  EXPECT_EQ(Record(*bridge, web, 0).lifecycleState, Words().instanceStopping);
  clock.Advance(1);
  EXPECT_EQ(Record(*bridge, web, 0).lifecycleState, Words().instanceStopped);
  ASSERT_TRUE(bridge->PowerOnInstance(web));
  EXPECT_EQ(State(web), Words().instanceStarting);
  clock.Advance(30);
  EXPECT_EQ(Record(*bridge, web, 0).powerState, 1u);
}

TEST_P(SimInstanceOps, UnknownIdsAreNamed) {
  auto bridge = cloud_.Connect();
  const std::string id = Classic() ? "5e1b6f0c-0000-4000-8000-000000000000" : "ocid1.instance.oc1.phx.unknown";
  const std::string text = "Instance with id [" + id + "] was not found";
  SVMInfo vm;
  vm.guid = id;
  vm.name = "unused-name";
  std::string out = "kept";
  struct SCase {
    const char* op;
    std::function<bool()> call;
    std::string text;
  };
  const SCase cases[] = {
      {"PowerOnInstance", [&] { return bridge->PowerOnInstance(id); }, text},
      {"PowerOffInstance", [&] { return bridge->PowerOffInstance(id); }, text},
      {"RebootInstance", [&] { return bridge->RebootInstance(id); }, text},
      {"ReConfigureVM", [&] { return bridge->ReConfigureVM(vm); }, text},
      {"WaitForBoot", [&] { return bridge->WaitForBoot(vm, 10, true); }, text},
      {"DeleteVM", [&] { return bridge->DeleteVM("sample-web", id, true, false); }, text},
      {"GetBootVolumeIdForInstance", [&] { return bridge->GetBootVolumeIdForInstance(vm, out); }, text},
      {"GetInstanceConfigurations",
       [&] {
         std::map<std::string, std::string> files;
         return bridge->GetInstanceConfigurations(id, files);
       },
       text},
      {"DeployVM", [&] { return bridge->DeployVM(vm, id, 0); },
       "Source [" + id + "] is neither an instance nor an image"},
      {"DeleteVM by name", [&] { return bridge->DeleteVM("nobody", "", true, false); },
       "Instance [nobody] was not found"},
  };
  for (const SCase& c : cases) {
    EXPECT_FALSE(c.call()) << c.op;
    EXPECT_EQ(bridge->GetLastError(), c.text) << c.op;
  }
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(vm.guid, id) << "a failed call leaves the record as it was";
  EXPECT_EQ(State(cloud_.InstanceId("sample-web")), Words().instanceRunning) << "the name did not stand in for the id";
}

TEST_P(SimInstanceOps, ReconfigureChangesShapeAndFlexibleSize) {
  auto bridge = cloud_.Connect();
  const std::string db = cloud_.InstanceId("sample-db");  // VM.Standard.E4.Flex, 2 cpus, 32768 MB
  struct SCase {
    std::string shape;
    INT64 cpus, memory;
    bool ok;
    INT64 wantCpus, wantMemory;
    std::string wantShape, text;
  };
  const SCase cases[] = {
      {"VM.Standard.E4.Flex", 8, 65536, true, 8, 65536, "VM.Standard.E4.Flex", ""},
      {"", 0, 131072, true, 8, 131072, "VM.Standard.E4.Flex", ""},  // keeps the shape and the cpus
      {"VM.Standard.E4.Flex", 65, 0, false, 8, 131072, "VM.Standard.E4.Flex",
       "Shape [VM.Standard.E4.Flex] allows 1 to 64 processors, not 65"},
      {"VM.Standard2.2", 16, 1, true, 2, 30720, "VM.Standard2.2", ""},  // a fixed shape decides
      {"VM.Huge.1", 0, 0, false, 2, 30720, "VM.Standard2.2", "Shape [VM.Huge.1] was not found"},
      {"VM.Standard.E4.Flex", 0, 0, true, 1, 16384, "VM.Standard.E4.Flex", ""},  // back to flex: its default
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.shape + " " + std::to_string(c.cpus));
    SVMInfo vm;
    vm.guid = db;
    vm.vmSize = c.shape;
    vm.cpuCount = c.cpus;
    vm.memoryMB = c.memory;
    EXPECT_EQ(bridge->ReConfigureVM(vm), c.ok) << bridge->GetLastError();
    if (!c.ok) {
      EXPECT_EQ(bridge->GetLastError(), c.text);
    }
    SVMInfo now = Record(*bridge, db, 0);
    EXPECT_EQ(now.vmSize, c.wantShape);
    EXPECT_EQ(now.cpuCount, c.wantCpus);
    EXPECT_EQ(now.memoryMB, c.wantMemory);
    if (c.ok) {
      EXPECT_EQ(vm.cpuCount, c.wantCpus) << "the record tells what the cloud chose";
    }
  }
}

// A clone gets copies of every volume: same bytes, separate files, attached in the same order.
TEST_P(SimInstanceOps, CloneCopiesEveryVolumeIntoNewOnes) {
  auto bridge = cloud_.Connect();
  const std::string sourceId = cloud_.InstanceId("sample-db");
  SVMInfo source = Record(*bridge, sourceId);
  SVMInfo clone;
  clone.name = "db-clone";
  ASSERT_TRUE(bridge->DeployVM(clone, sourceId, 0)) << bridge->GetLastError();
  ASSERT_FALSE(clone.guid.empty());
  EXPECT_NE(clone.guid, sourceId);
  if (Classic()) {
    EXPECT_EQ(clone.uri, "/Compute-a424242/backup.admin@example.com/db-clone/" + clone.guid);
  } else {
    EXPECT_EQ(clone.uri, clone.guid);
    EXPECT_EQ(clone.guid.rfind("ocid1.instance.oc1.phx.", 0), 0u);
  }

  SVMInfo made = Record(*bridge, clone.guid);
  EXPECT_EQ(made.name, "db-clone");
  EXPECT_EQ(made.compartmentId, source.compartmentId);
  EXPECT_EQ(made.availabilityDomain, source.availabilityDomain);
  EXPECT_EQ(made.vmSize, source.vmSize);
  EXPECT_EQ(made.cpuCount, source.cpuCount) << "a flexible shape keeps the source's size";
  EXPECT_EQ(made.imageId, source.imageId);
  EXPECT_EQ(made.lifecycleState, Words().instanceRunning);
  ASSERT_EQ(made.networkCards.size(), 1u);
  EXPECT_EQ(made.networkCards[0].subnetId, source.networkCards[0].subnetId);
  EXPECT_NE(made.networkCards[0].privateIp, source.networkCards[0].privateIp);
  EXPECT_EQ(made.keyPairs.size(), source.keyPairs.size());
  ASSERT_EQ(made.disks.size(), 2u);
  EXPECT_EQ(made.disks[0].displayName, Classic() ? "db-clone_storage" : "db-clone (Boot Volume)");
  EXPECT_EQ(made.disks[1].displayName, "db-clone-data");
  EXPECT_TRUE(made.disks[1].childDisks.empty()) << "snapshots are not cloned";
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NE(made.disks[i].volumeId, source.disks[i].volumeId);
    EXPECT_EQ(made.disks[i].size, source.disks[i].size);
    EXPECT_EQ(Sum(made.disks[i].volumeId), Sum(source.disks[i].volumeId)) << i;
  }
  // The copy is sparse: a few MiB of data, not the 128 MiB of the volume.
  struct stat st;
  ASSERT_EQ(::stat(cloud_.BytesPath(made.disks[1].volumeId).c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 8 * sim::kMiB);

  // Separate files: writing the source afterwards leaves the clone as it was.
  std::string before = Sum(made.disks[1].volumeId);
  {
    int fd = ::open(cloud_.BytesPath(source.disks[1].volumeId).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "changed", 7, 0), 7);
    ::close(fd);
  }
  EXPECT_EQ(Sum(made.disks[1].volumeId), before);
  EXPECT_NE(Sum(source.disks[1].volumeId), before);

  EXPECT_EQ(Left(), (std::vector<std::string>{"volume:" + made.disks[0].displayName, "instance:db-clone",
                                              "volume:db-clone-data", "attachment:db-clone-data",
                                              "vnic:" + made.networkCards[0].name}));
}

TEST_P(SimInstanceOps, CloneTakesTheGivenPlacementAndSize) {
  auto bridge = cloud_.Connect();
  const std::string otherAd = Classic() ? "US2-Z28" : "Uocm:PHX-AD-2";
  SVMInfo clone;
  clone.name = "web-big";
  clone.availabilityDomain = otherAd;
  clone.vmSize = "VM.Standard.E4.Flex";
  clone.cpuCount = 4;
  clone.memoryMB = 65536;
  ASSERT_TRUE(bridge->DeployVM(clone, cloud_.InstanceId("sample-web"), 0)) << bridge->GetLastError();
  SVMInfo made = Record(*bridge, clone.guid);
  EXPECT_EQ(made.availabilityDomain, otherAd);
  EXPECT_EQ(made.vmSize, "VM.Standard.E4.Flex");
  EXPECT_EQ(made.cpuCount, 4);
  EXPECT_EQ(made.memoryMB, 65536);
  for (const auto& disk : made.disks) EXPECT_EQ(disk.availabilityDomain, otherAd);

  SVMInfo far;
  far.name = "web-far";
  far.availabilityDomain = Classic() ? "EM2-Z11" : "Uocm:IAD-AD-1";
  EXPECT_FALSE(bridge->DeployVM(far, cloud_.InstanceId("sample-web"), 0));
  EXPECT_NE(bridge->GetLastError().find("in region [" + std::string(Classic() ? "em2" : "us-ashburn-1") + "]"),
            std::string::npos)
      << bridge->GetLastError();
  EXPECT_TRUE(far.guid.empty());
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM instances WHERE name = 'web-far'"), 0);
}

TEST_P(SimInstanceOps, LaunchFromAnImageMakesAFreshBootVolume) {
  auto bridge = cloud_.Connect();
  const std::string region = Classic() ? "us2" : "us-phoenix-1";
  const std::string image = cloud_.Text("SELECT id FROM images WHERE name = 'Oracle-Linux-8.8' AND region = ?", region);
  const std::string compartment = cloud_.Text("SELECT id FROM compartments WHERE name = 'Production'");
  struct SCase {
    int gib;
    uint64_t bytes;
  };
  for (const SCase& c : {SCase{0, 256ull << 20}, SCase{50, 50ull << 30}}) {
    SVMInfo vm;
    vm.name = "from-image-" + std::to_string(c.gib);
    vm.compartmentId = compartment;
    vm.vmSize = "VM.Standard2.1";
    ASSERT_TRUE(bridge->DeployVM(vm, image, c.gib)) << bridge->GetLastError();
    SVMInfo made = Record(*bridge, vm.guid);
    EXPECT_EQ(made.imageId, image);
    EXPECT_EQ(made.launchMode, "PARAVIRTUALIZED");
    EXPECT_EQ(made.cpuCount, 1);
    EXPECT_EQ(made.availabilityDomain, Classic() ? "US2-Z27" : "Uocm:PHX-AD-1") << "the region's first domain";
    ASSERT_EQ(made.disks.size(), 1u) << "only a boot volume";
    EXPECT_TRUE(made.disks[0].isBootDisk);
    EXPECT_EQ(made.disks[0].size, c.bytes);
    struct stat st;
    ASSERT_EQ(::stat(cloud_.BytesPath(made.disks[0].volumeId).c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), c.bytes);
  }
  SVMInfo noShape;
  noShape.name = "no-shape";
  noShape.compartmentId = compartment;
  EXPECT_FALSE(bridge->DeployVM(noShape, image, 0));
  EXPECT_EQ(bridge->GetLastError(), "No shape was given for instance [no-shape]");
  SVMInfo noCompartment;
  noCompartment.name = "no-compartment";
  noCompartment.vmSize = "VM.Standard2.1";
  EXPECT_FALSE(bridge->DeployVM(noCompartment, image, 0));
  EXPECT_EQ(bridge->GetLastError(), "No compartment was given for instance [no-compartment]");
}

TEST_P(SimInstanceOps, WaitForBootPollsTheHostClock) {
  CVirtualClock clock;
  CClockScope scope(clock);
  auto bridge = cloud_.Connect();
  const std::string source = cloud_.InstanceId("sample-web");

  SVMInfo quick;
  quick.name = "quick";
  ASSERT_TRUE(bridge->DeployVM(quick, source, 0));
  ASSERT_TRUE(bridge->WaitForBoot(quick, 600, true)) << bridge->GetLastError();
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 0u) << "provisioning time 0: running at once";

  cloud_.SetMeta("provision_seconds.instance", "120");
  SVMInfo slow;
  slow.name = "slow";
  ASSERT_TRUE(bridge->DeployVM(slow, source, 0));
  EXPECT_EQ(slow.lifecycleState, Words().instanceProvisioning);
  EXPECT_EQ(slow.powerState, 0u);
  SVMInfo impatient = slow;
  EXPECT_FALSE(bridge->WaitForBoot(impatient, 60, true));
  EXPECT_EQ(bridge->GetLastError(), "Instance [" + slow.guid + "] did not reach " + Words().instanceRunning +
                                        " within 60 seconds: it is " + Words().instanceProvisioning);
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 60000u);
  ASSERT_TRUE(bridge->WaitForBoot(slow, 600, true)) << bridge->GetLastError();
  EXPECT_EQ(slow.powerState, 1u);
  EXPECT_EQ(slow.lifecycleState, Words().instanceRunning);
  EXPECT_GE(clock.TotalSleptMilliseconds(), 120000u);
  EXPECT_LE(clock.TotalSleptMilliseconds(), 122000u) << "woken when due, not a poll later";

  // An instance that fails to boot ends the wait at once.
  cloud_.SetMeta("provision_seconds.instance", "0");
  cloud_.AddFault("DeployVM", 1, sim::EFaultAction::Faulty);
  SVMInfo broken;
  broken.name = "broken";
  ASSERT_TRUE(bridge->DeployVM(broken, source, 0));
  uint64_t slept = clock.TotalSleptMilliseconds();
  EXPECT_FALSE(bridge->WaitForBoot(broken, 600, true));
  EXPECT_EQ(bridge->GetLastError(), "Instance [" + broken.guid + "] did not boot: it is " + Words().instanceStopped);
  EXPECT_EQ(clock.TotalSleptMilliseconds(), slept);
}

// Termination: the instance goes, its data volumes stay (detached), its boot volume only when asked.
TEST_P(SimInstanceOps, DeleteKeepsDataVolumesAndTheBootVolumeOnlyWhenAsked) {
  auto bridge = cloud_.Connect();
  for (bool preserve : {false, true}) {
    SCOPED_TRACE(preserve ? "preserve" : "delete boot volume");
    const std::string name = preserve ? "sample-db" : "sample-web";
    const std::string id = cloud_.InstanceId(name);
    SVMInfo before = Record(*bridge, id);
    const std::string boot = before.disks[0].volumeId;
    const std::string data = before.disks[1].volumeId;
    const std::string bootPath = cloud_.BytesPath(boot);
    const std::string dataSum = Sum(data);

    ASSERT_TRUE(bridge->DeleteVM(name, id, true, preserve)) << bridge->GetLastError();
    EXPECT_EQ(State(id), Words().instanceTerminated);
    std::vector<SVMInfo> all;
    ASSERT_TRUE(bridge->GetVMInfoList(all, 0));
    for (const auto& vm : all) EXPECT_NE(vm.guid, id);
    SVMInfo byName;
    EXPECT_FALSE(bridge->GetVMInfo(name, "", byName, 0));
    EXPECT_EQ(bridge->GetLastError(), "Instance [" + name + "] was not found");

    EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM volumes WHERE id = ?", boot), preserve ? 1 : 0);
    EXPECT_EQ(::access(bootPath.c_str(), F_OK) == 0, preserve);
    EXPECT_EQ(Sum(data), dataSum) << "the data volume keeps its bytes";
    EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM attachments WHERE volume_id = ? AND state <> ?", data,
                         std::string(Words().attachmentDetached)),
              0);
    EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM vnics WHERE instance_id = ?", id), 0);
    ASSERT_TRUE(bridge->DeleteVM(name, id, true, preserve)) << "terminating a terminated instance is no error";
  }
  EXPECT_EQ(cloud_.Int("SELECT COUNT(*) FROM snapshots"), 1) << "the operator's snapshot outlives its instance";
}

TEST_P(SimInstanceOps, DeleteWithoutWaitingReturnsWhileTerminating) {
  CVirtualClock clock;
  CClockScope scope(clock);
  cloud_.SetMeta("provision_seconds.instance", "90");
  auto bridge = cloud_.Connect();
  const std::string web = cloud_.InstanceId("sample-web");
  ASSERT_TRUE(bridge->DeleteVM("", web, false, false)) << bridge->GetLastError();
  EXPECT_EQ(clock.TotalSleptMilliseconds(), 0u);
  EXPECT_EQ(Record(*bridge, web, 0).lifecycleState, Words().instanceTerminating);
  std::vector<SVMInfo> found;
  bool exists = true;
  ASSERT_TRUE(bridge->DoesVMExist("sample-web", found, "", exists));
  EXPECT_FALSE(exists) << "a terminating instance no longer holds its name";
  clock.Advance(90);
  EXPECT_EQ(Record(*bridge, web, 0).lifecycleState, Words().instanceTerminated);

  const std::string db = cloud_.InstanceId("sample-db");
  ASSERT_TRUE(bridge->DeleteVM("sample-db", "", true, false)) << bridge->GetLastError();
  EXPECT_EQ(State(db), Words().instanceTerminated);
  EXPECT_GE(clock.TotalSleptMilliseconds(), 90000u);
  EXPECT_LE(clock.TotalSleptMilliseconds(), 92000u);
}

TEST_P(SimInstanceOps, ExistenceAndBootVolumeLookups) {
  auto bridge = cloud_.Connect();
  const std::string production = cloud_.Text("SELECT id FROM compartments WHERE name = 'Production'");
  const std::string backup = cloud_.Text("SELECT id FROM compartments WHERE name = 'Backup'");
  std::vector<SVMInfo> found;
  bool exists = false;
  ASSERT_TRUE(bridge->DoesVMExist("sample-web", found, production, exists)) << bridge->GetLastError();
  EXPECT_TRUE(exists);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].guid, cloud_.InstanceId("sample-web"));
  ASSERT_TRUE(bridge->DoesVMExist("sample-web", found, backup, exists));
  EXPECT_FALSE(exists);
  EXPECT_TRUE(found.empty());

  SVMInfo twin;
  twin.name = "sample-web";
  twin.compartmentId = backup;
  ASSERT_TRUE(bridge->DeployVM(twin, cloud_.InstanceId("sample-web"), 0)) << bridge->GetLastError();
  ASSERT_TRUE(bridge->DoesVMExist("sample-web", found, "", exists));
  EXPECT_EQ(found.size(), 2u);
  ASSERT_TRUE(bridge->DoesVMExist("sample-web", found, backup, exists));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].guid, twin.guid);
  EXPECT_FALSE(bridge->DoesVMExist("sample-web", found, "no-such-compartment", exists));
  EXPECT_EQ(bridge->GetLastError(), "Compartment [no-such-compartment] was not found");

  std::string bootId;
  ASSERT_TRUE(bridge->GetBootVolumeIdForInstance(twin, bootId)) << bridge->GetLastError();
  SVMInfo made = Record(*bridge, twin.guid, OracleCloudSDKCppBridge::VMINFO_FLAG_DISKS);
  EXPECT_EQ(bootId, made.disks[0].volumeId);
  EXPECT_TRUE(made.disks[0].isBootDisk);
}

// Deleting a clone ends the bookkeeping of what went with it; its detached data volume is left.
TEST_P(SimInstanceOps, DeletedResourcesAreNoLongerLeftovers) {
  auto bridge = cloud_.Connect();
  SVMInfo clone;
  clone.name = "db-clone";
  ASSERT_TRUE(bridge->DeployVM(clone, cloud_.InstanceId("sample-db"), 0));
  ASSERT_EQ(Left().size(), 5u);
  ASSERT_TRUE(bridge->DeleteVM("", clone.guid, true, false));
  EXPECT_EQ(Left(), std::vector<std::string>{"volume:db-clone-data"});
  auto cloud = cloud_.Open();
  auto all = cloud->Read([](sim::CSimDb& db) { return sim::ListCreatedResources(db, false); });
  ASSERT_EQ(all.size(), 5u);
  for (const auto& r : all) {
    EXPECT_EQ(r.op, "DeployVM");
    EXPECT_EQ(r.pid, ::getpid());
    if (r.deleted != 0) {
      EXPECT_EQ(r.deletedOp, "DeleteVM") << r.kind;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SimFlavours, SimInstanceOps,
                         ::testing::Values(sim::EFlavour::Infrastructure, sim::EFlavour::Classic),
                         [](const auto& info) { return std::string(sim::FlavourName(info.param)); });

}  // namespace
