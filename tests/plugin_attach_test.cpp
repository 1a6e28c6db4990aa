// The proxy attachment of volumes on the infrastructure flavour, against the simulated cloud, the
// sandbox's iscsiadm and the real registry: attach and iSCSI login, the wait for a free slot on a
// virtual clock, the batch and single detach, and the deletion of the job's volumes.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <numeric>

#include "MountTestUtil.h"
#include "PluginTestUtil.h"
#include "bridge/sim/SimAttachments.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using json = nlohmann::json;

namespace {

constexpr uint64_t kReplicaBytes = 4u << 20;
constexpr const char* kSessionId = "linux-session-id";

class CAttachPlugin : public InfraPlugin {
 public:
  using COracleCloudInfo::_CleanupMountedVM;
  using COracleCloudInfo::diskMapper;
  using COracleCloudInfrastructureInfo::AttachVolumes;
  using COracleCloudInfrastructureInfo::AttachVolumeToProxy;
  using COracleCloudInfrastructureInfo::AttachVolumeToProxyWithSlotWait;
  using COracleCloudInfrastructureInfo::DeleteVolumes;
  using COracleCloudInfrastructureInfo::DetachAndDeleteVolumes;
  using COracleCloudInfrastructureInfo::DetachVolumeFromProxy;
  using COracleCloudInfrastructureInfo::DetachVolumes;
};

std::string Str(const json& value) { return value.is_string() ? value.get<std::string>() : value.dump(); }

class PluginAttach : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    UseSandboxTools();
    root = InstanceId("sample-web");
    plugin = NewPlugin<CAttachPlugin>();
    ASSERT_TRUE(plugin->InitProxyVMInfo());
    ASSERT_TRUE(plugin->InitMapperAndCleaner());
    ASSERT_TRUE(plugin->cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, root));
  }
  void TearDown() override { plugin.reset(), CMountFixture::TearDown(); }

  // A volume made for the job (as a replica is), with its own bytes, and the record naming it.
  SDisk NewReplica(const std::string& name, bool registered = true) {
    SDisk request;
    request.displayName = name;
    request.size = kReplicaBytes;
    EXPECT_TRUE(plugin->bridge->CreateVolume(request, plugin->proxyVMInfo.compartmentId));
    WriteVolume(request.guid, 64 * 1024, "the bytes of " + name);
    if (registered) {
      EXPECT_TRUE(plugin->cleaner.RegisterDisk(VM_CLEANER_MODE_BACKUP, root, request.guid));
    }
    SDisk disk;
    disk.displayName = name;
    disk.guid = name + "-disk";
    disk.selectedForRestore = 1;
    disk.createdVolumeId = disk.targetVolume = request.guid;
    disk.attachmentType = "iscsi";  // as the attach of a disk open or of the batch attach sets it
    return disk;
  }

  std::string RootPath() {
    std::string path;
    EXPECT_TRUE(plugin->cleaner.GetRegisteredVM(VM_CLEANER_MODE_BACKUP, root, path));
    return path;
  }
  std::set<std::string> Sessions() const { return RegisteredChildren(root, VM_CLEANER_ENTITY_ISCSI_SESSION); }
  std::set<std::string> Disks() const { return RegisteredChildren(root, VM_CLEANER_ENTITY_DISK); }
  bool VolumeExists(const std::string& id) const { return !Rows("SELECT id FROM volumes WHERE id = ?", id).empty(); }
  std::string DevicePath(const SDisk& disk) const {
    return sandbox->Root() + "/dev/disk/by-path/ip-" + disk.iscsiTargetPortal + ":" + disk.iscsiTargetPort + "-iscsi-" +
           disk.iscsiIqn + "-lun-1";
  }
  static std::string CleanupString(const SDisk& disk) {
    return disk.iscsiTargetPortal + "+" + disk.iscsiTargetPort + "+" + disk.iscsiIqn;
  }
  std::string IscsiadmLog() const { return ReadTestFile(sandbox->Dir() + "/cloud/iscsi/iscsiadm.log"); }
  uint64_t SleptSince(size_t base) {  // a slot wait sleeps in steps of a second, to see a cancel
    const auto all = clock.Sleeps();
    return std::accumulate(all.begin() + static_cast<long>(base), all.end(), uint64_t{0});
  }

  std::string root;
  std::unique_ptr<CAttachPlugin> plugin;
};

}  // namespace

TEST_F(PluginAttach, AttachVolumesLogsInEachSelectedVolumeInOrderAndRegistersItsSession) {
  SDisk filtered = NewReplica("filtered"), unselected = NewReplica("unselected"), noVolume;
  filtered.isFiltered = true;
  unselected.selectedForRestore = 0;
  noVolume.selectedForRestore = 1;
  std::vector<SDisk> disks = {filtered, NewReplica("replica-a"), noVolume, unselected, NewReplica("replica-b")};
  for (auto& disk : disks) disk.attachmentType.clear();

  ASSERT_TRUE(plugin->AttachVolumes(root, disks, false, true)) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(plugin->GetLastVMError(), 0);
  // Only the two selected records reached the cloud, in their order, as iSCSI attachments; one is
  // logged in completely before the next is attached.
  const json live = LiveProxyAttachments();
  ASSERT_EQ(live.size(), 2u) << live.dump(1);
  std::set<std::string> sessions;
  std::string calls;
  for (const auto& [i, row] : std::vector<std::pair<size_t, json>>{{1, live[0]}, {4, live[1]}}) {
    const SDisk& disk = disks[i];
    SCOPED_TRACE(disk.displayName);
    EXPECT_EQ(Str(row["volume_id"]) + " " + Str(row["type"]) + " " + disk.attachmentType,
              disk.createdVolumeId + " iscsi iscsi");
    EXPECT_EQ(disk.iscsiIqn + disk.iscsiTargetPortal + disk.iscsiTargetPort,
              Str(row["iqn"]) + Str(row["portal"]) + Str(row["port"]));
    EXPECT_EQ(disk.iscsiSessionId, kSessionId);
    // The device the login made, its size, offline, holding the volume's bytes.
    EXPECT_EQ(disk.name + " " + std::to_string(disk.size), DevicePath(disk) + " " + std::to_string(kReplicaBytes));
    EXPECT_TRUE(plugin->diskMapper->IsOffline(disk.name));
    EXPECT_EQ(sim::ChecksumOfSparseFile(disk.name, disk.size), Checksum(disk.createdVolumeId));
    sessions.insert(CleanupString(disk));
    const std::string t = "-T " + disk.iscsiIqn + " -p " + disk.iscsiTargetPortal + ":" + disk.iscsiTargetPort;
    calls += "-m node -o new " + t + "\n-m node " + t + " -l\n";
  }
  for (size_t i : {0u, 2u, 3u}) EXPECT_TRUE(disks[i].name.empty() && disks[i].attachmentType.empty()) << i;
  EXPECT_EQ(IscsiadmLog(), calls);
  // Sessions are registered under the instance as "<portal>+<port>+<iqn>".
  EXPECT_EQ(Sessions(), sessions);
  EXPECT_EQ(Disks().size(), 4u);
}

TEST_F(PluginAttach, AttachVolumesStopsAtTheFirstFailureAndACancelledJobAttachesNothing) {
  std::vector<SDisk> disks = {NewReplica("replica-a", false), NewReplica("replica-b", false),
                              NewReplica("replica-c", false)};
  AddFault("AttachVolume", 2, sim::EFaultAction::Fail, "volume is busy");
  EXPECT_FALSE(plugin->AttachVolumes(root, disks, false, true));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VOLUME_ATTACH_FAILED);
  EXPECT_EQ(Calls("AttachVolume"), 2);
  EXPECT_TRUE(AttachedToProxy(disks[0].createdVolumeId));
  EXPECT_FALSE(AttachedToProxy(disks[1].createdVolumeId));
  // The successful attach was registered; the failed and the unattempted ones were not.
  EXPECT_EQ(Disks(), std::set<std::string>{disks[0].createdVolumeId});
  EXPECT_EQ(Sessions(), std::set<std::string>{CleanupString(disks[0])});

  std::vector<SDisk> more = {NewReplica("replica-d")};
  plugin->SetJobCancelled(true);
  EXPECT_FALSE(plugin->AttachVolumes(root, more, false, true));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED);
  EXPECT_EQ(Calls("AttachVolume"), 2);
}

TEST_F(PluginAttach, AttachmentWithoutIqnNeedsNoLogin) {
  SDisk disk = NewReplica("replica-pv");
  disk.attachmentType = "paravirtualized";
  bool noFreeSlot = false;
  ASSERT_TRUE(plugin->AttachVolumeToProxy(disk, root, false, true, noFreeSlot)) << plugin->GetLastVMErrorDetails();
  EXPECT_TRUE(disk.iscsiIqn.empty() && disk.iscsiSessionId.empty());
  // The kernel's new disk: the loop device the attach bound, which the proxy's virtio link names.
  std::vector<std::string> links;
  for (const auto& link : std::filesystem::directory_iterator(sandbox->Root() + "/dev/disk/by-path"))
    links.push_back(std::filesystem::read_symlink(link.path()).string());
  EXPECT_EQ(links, std::vector<std::string>{disk.name});
  EXPECT_EQ(disk.name.rfind("/dev/loop", 0), 0u) << disk.name;
  EXPECT_EQ(sim::ChecksumOfSparseFile(disk.name, disk.size), Checksum(disk.createdVolumeId));
  EXPECT_EQ(IscsiadmLog(), "");
  EXPECT_TRUE(Sessions().empty());
}

// A failure at each step of an attach: its code, no device, and what it left is removed by the clean-up of the unmount.
TEST_F(PluginAttach, AFailureAtEachAttachStepSetsItsCodeAndTheUnmountsCleanupRemovesWhatItLeft) {
  plugin->diskMapper->SetDeviceWaitMilliseconds(2000);
  struct Case {
    std::string what;
    std::function<void()> arrange;
    int code;
    bool noFreeSlot;
    std::string error;     // the error line; empty: the cloud's refusal of the attach
    bool attachedAtCloud;  // the cloud made the attachment, and the session was registered before the login
    bool loggedIn;
  } cases[] = {
      {"no free slot", [&] { AddFault("AttachVolume", 0, sim::EFaultAction::NoSlot); }, VMERR_NO_FREE_ATTACH_SLOT, true,
       "", false, false},
      {"the cloud refuses", [&] { AddFault("AttachVolume", 0, sim::EFaultAction::Fail, "volume is busy"); },
       VMERR_VOLUME_ATTACH_FAILED, false, "", false, false},
      // A port the target is not offered on: the login times out.
      {"the login fails", [&] { plugintest::SetConfig(*sandbox, "iscsi.reported_port", "3261"); },
       VMERR_VOLUME_ATTACH_FAILED, false, "iSCSI attach failed", true, false},
      {"the device never appears", [&] { AddFault("iscsiadm:login", 0, sim::EFaultAction::Faulty); },
       VMERR_VOLUME_ATTACH_FAILED, false, "Post attach disk operation failed.", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EvLogSink::Clear();
    if (!FindRoot(Registry(), root)) {
      ASSERT_TRUE(plugin->cleaner.RegisterVM(VM_CLEANER_MODE_BACKUP, root));
    }
    SDisk disk = NewReplica("replica");
    const int64_t attachesBefore = Calls("AttachVolume");
    c.arrange();
    bool noFreeSlot = !c.noFreeSlot;
    EXPECT_FALSE(plugin->AttachVolumeToProxy(disk, root, false, true, noFreeSlot));
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_EQ(noFreeSlot, c.noFreeSlot);
    EXPECT_TRUE(disk.name.empty()) << disk.name;
    const std::string error = c.error.empty() ? "Attaching volume [" + disk.targetVolume + "] failed" : c.error;
    EXPECT_TRUE(plugintest::LoggedError(error)) << error;
    EXPECT_GT(Calls("AttachVolume"), attachesBefore);
    EXPECT_EQ(AttachedToProxy(disk.createdVolumeId), c.attachedAtCloud);
    EXPECT_EQ(disk.iscsiSessionId, c.loggedIn ? kSessionId : "");
    EXPECT_EQ(Sessions().size(), c.attachedAtCloud ? 1u : 0u);
    if (c.loggedIn) {
      EXPECT_FALSE(std::filesystem::exists(DevicePath(disk)));
    }

    ClearFaults();
    Cloud()->SetMeta(sim::kMetaReportedPort, "");
    // The clean-up of the unmount frees the mapper, detaches and deletes the volume, unregisters.
    EXPECT_TRUE(plugin->_CleanupMountedVM(root));
    EXPECT_FALSE(AttachedToProxy(disk.createdVolumeId));
    EXPECT_FALSE(VolumeExists(disk.createdVolumeId));
    EXPECT_FALSE(FindRoot(Registry(), root));
  }
}

TEST_F(PluginAttach, NoFreeSlotIsRetriedAtTheIntervalUntilTheMaximumWaitHasPassed) {
  struct Case {
    std::string interval, maximum;  // configured minutes; empty: the defaults (10 minutes, 24 hours)
    uint32_t minutes;
    size_t attempts;  // at 0, interval, ... up to the first one past the maximum
  } cases[] = {{"", "", 10, 146}, {"131", "", 131, 12}, {"5", "30", 5, 8}};  // 11 x 131 = 1441 minutes
  AddFault("AttachVolume", 0, sim::EFaultAction::NoSlot);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.minutes);
    EvLogSink::Clear();
    if (!c.interval.empty()) TZPlatformInfo::SetValue("VirtualServer", "nOCIDiskSlotWaitIntervalInMinutes", c.interval);
    if (!c.maximum.empty())
      TZPlatformInfo::SetValue("VirtualServer", "nOCIDiskSlotMaximumWaitTimeInMinutes", c.maximum);
    SDisk disk = NewReplica("replica");
    const int64_t callsBefore = Calls("AttachVolume");
    const size_t sleepsBefore = clock.Sleeps().size();

    EXPECT_FALSE(plugin->AttachVolumeToProxyWithSlotWait(disk, root, false));
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_NO_FREE_ATTACH_SLOT);
    EXPECT_EQ(Calls("AttachVolume") - callsBefore, static_cast<int64_t>(c.attempts));
    EXPECT_EQ(SleptSince(sleepsBefore), (c.attempts - 1) * c.minutes * 60000ull);
    EXPECT_EQ(
        EvLogSink::Count("No free slots are available on the proxy for attachment of volume [" + disk.createdVolumeId +
                         "]. Will retry after [" + std::to_string(c.minutes) + "] minutes."),
        c.attempts - 1);
    EXPECT_TRUE(plugintest::LoggedError("Reached timeout waiting for free slots to attach disk [" +
                                        disk.createdVolumeId + "] to proxy"));
    EXPECT_FALSE(AttachedToProxy(disk.createdVolumeId));
  }
}

TEST_F(PluginAttach, SlotFreedAfterThreeAttemptsIsTakenOnTheFourth) {
  // The proxy is full: a filler volume takes its last slot until the third wait.
  SDisk filler = NewReplica("filler", false);
  bool noFreeSlot = false;
  ASSERT_TRUE(plugin->bridge->AttachVolume(filler.createdVolumeId, sandbox->ProxyInstanceId(), noFreeSlot));
  Cloud()->SetMeta(sim::kMetaSlotLimit, std::to_string(LiveProxyAttachments().size()));
  const size_t base = clock.Sleeps().size();
  clock.OnSleep([&](size_t index) {
    if (index == base + 1200)
      sim::CSimAttachments(*Cloud()).Detach({filler.createdVolumeId}, sandbox->ProxyInstanceId(), "test");
  });
  SDisk disk = NewReplica("replica");
  const int64_t callsBefore = Calls("AttachVolume");

  ASSERT_TRUE(plugin->AttachVolumeToProxyWithSlotWait(disk, root, false));
  clock.OnSleep(nullptr);
  EXPECT_EQ(Calls("AttachVolume") - callsBefore, 4);
  EXPECT_EQ(SleptSince(base), 3 * 600000u);
  EXPECT_TRUE(AttachedToProxy(disk.createdVolumeId));
  EXPECT_EQ(disk.name, DevicePath(disk));
  EXPECT_EQ(Sessions(), std::set<std::string>{CleanupString(disk)});
}

// A batch attach (a restore's volumes) waits for another job's batch to end, then for a free slot as
// a single disk does; a cancel while it waits for the other batch ends it with 4000.
TEST_F(PluginAttach, ABatchWaitsForAnotherJobsBatchThenForAFreeSlot) {
  SDisk filler = NewReplica("filler", false);
  bool noFreeSlot = false;
  ASSERT_TRUE(plugin->bridge->AttachVolume(filler.createdVolumeId, sandbox->ProxyInstanceId(), noFreeSlot));
  Cloud()->SetMeta(sim::kMetaSlotLimit, std::to_string(LiveProxyAttachments().size()));
  const std::string lock = sandbox->Root() + "/run/lock/tz-oci-batch-attach.lock";
  std::filesystem::create_directories(sandbox->Root() + "/run/lock");
  CFileLock other;  // another process's batch
  ASSERT_TRUE(other.Acquire(lock));
  const size_t base = clock.Sleeps().size();
  clock.OnSleep([&](size_t index) {
    if (index == base + 1) other.Release();
    if (index == base + 602)
      sim::CSimAttachments(*Cloud()).Detach({filler.createdVolumeId}, sandbox->ProxyInstanceId(), "test");
  });
  std::vector<SDisk> disks = {NewReplica("replica")};
  ASSERT_TRUE(plugin->AttachVolumes(root, disks, true, true)) << plugin->GetLastVMErrorDetails();
  clock.OnSleep(nullptr);
  EXPECT_EQ(SleptSince(base), 2 * 1000 + 2 * 600000u);
  EXPECT_TRUE(AttachedToProxy(disks[0].createdVolumeId));

  ASSERT_TRUE(other.Acquire(lock));
  clock.OnSleep([&](size_t) { plugin->SetJobCancelled(true); });
  std::vector<SDisk> more = {NewReplica("replica-2")};
  EXPECT_FALSE(plugin->AttachVolumes(root, more, true, true));
  clock.OnSleep(nullptr);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_JOB_CANCELLED);
  EXPECT_FALSE(AttachedToProxy(more[0].createdVolumeId));
}

TEST_F(PluginAttach, BatchDetachStopsAtAFailedLogoutButDetachesWhatItCollected) {
  std::vector<SDisk> disks = {NewReplica("replica-a"), NewReplica("replica-b"), NewReplica("replica-c")};
  ASSERT_TRUE(plugin->AttachVolumes(root, disks, false, true));
  const size_t logBefore = IscsiadmLog().size();
  const int64_t detachesBefore = Calls("DetachVolumes");
  AddFault("iscsiadm:logout", 2, sim::EFaultAction::Fail, "connection timed out");

  EXPECT_FALSE(plugin->DetachVolumes(disks, RootPath()));
  // The first: logged out, its session unregistered, detached in one request.
  EXPECT_EQ(Calls("DetachVolumes") - detachesBefore, 1);
  EXPECT_FALSE(AttachedToProxy(disks[0].createdVolumeId) || std::filesystem::exists(DevicePath(disks[0])) ||
               !disks[0].iscsiSessionId.empty());
  // The second's logout failed and the third was not examined: both stay logged in and attached.
  EXPECT_TRUE(plugintest::LoggedError("Iscsi detach failed for disk, [" + disks[1].targetVolume + "]"));
  for (size_t i : {1u, 2u})
    EXPECT_TRUE(AttachedToProxy(disks[i].createdVolumeId) && std::filesystem::exists(DevicePath(disks[i])) &&
                disks[i].iscsiSessionId == kSessionId)
        << i;
  EXPECT_EQ(IscsiadmLog().find(disks[2].iscsiIqn, logBefore), std::string::npos);
  EXPECT_EQ(Sessions(), (std::set<std::string>{CleanupString(disks[1]), CleanupString(disks[2])}));
  EXPECT_EQ(Disks().size(), 3u) << "a detach deletes no volume";

  EXPECT_TRUE(plugin->_CleanupMountedVM(root));
  ExpectNothingLeft();
}

// A volume whose session would not log out is not detached from under it: it stays attached and
// registered, and the job's clean-up logs it out, detaches and deletes it.
TEST_F(PluginAttach, SingleDetachKeepsAVolumeWhoseLogoutFailedForTheCleanup) {
  std::vector<SDisk> disks = {NewReplica("replica-a")};
  ASSERT_TRUE(plugin->AttachVolumes(root, disks, false, true));
  SDisk& disk = disks[0];
  AddFault("iscsiadm:logout", 1, sim::EFaultAction::Fail, "connection timed out");

  EXPECT_FALSE(plugin->DetachVolumeFromProxy(disk, root));
  EXPECT_TRUE(AttachedToProxy(disk.createdVolumeId));
  EXPECT_EQ(Sessions(), std::set<std::string>{CleanupString(disk)});

  // Without the job's root entry nothing is asked of the cloud; without a volume nothing is to do.
  const int64_t detaches = Calls("DetachVolume");
  SDisk other = disk;
  EXPECT_FALSE(plugin->DetachVolumeFromProxy(other, "ocid1.instance.oc1.phx.unregistered"));
  SDisk empty;
  empty.displayName = "no-volume";
  EXPECT_FALSE(plugin->DetachVolumeFromProxy(empty, "ocid1.instance.oc1.phx.unregistered"));
  EXPECT_TRUE(plugin->DetachVolumeFromProxy(empty, root));
  EXPECT_EQ(Calls("DetachVolume"), detaches);

  EXPECT_TRUE(plugin->_CleanupMountedVM(root));
  ExpectNothingLeft();
}

TEST_F(PluginAttach, DeleteVolumesUnregistersWhatIsGoneAndKeepsWhatCouldNotBeDeleted) {
  // A volume deleted behind the plug-in's back, one deleted; plus one whose deletion fails, or an
  // existence question that fails (for the first volume that exists).
  for (const auto& [withFailing, existenceUnknown] :
       std::vector<std::pair<bool, bool>>{{false, false}, {true, false}, {false, true}}) {
    SCOPED_TRACE(std::to_string(withFailing) + std::to_string(existenceUnknown));
    ClearFaults();
    SDisk gone = NewReplica("gone"), normal = NewReplica("normal"), filtered = NewReplica("filtered");
    ASSERT_TRUE(plugin->bridge->DeleteVolume(gone.createdVolumeId));
    filtered.isFiltered = true;
    SDisk noVolume;
    noVolume.displayName = "no-volume";
    noVolume.selectedForRestore = 1;
    std::vector<SDisk> disks = {gone, filtered, normal, noVolume};
    std::set<std::string> left = {filtered.createdVolumeId};
    if (withFailing) {
      disks.push_back(NewReplica("failing"));
      left.insert(disks.back().createdVolumeId);
      AddFault("DeleteVolume", 2, sim::EFaultAction::Fail, "volume is in use");
    }
    if (existenceUnknown) AddFault("DoesVolumeExist", 2, sim::EFaultAction::Fail, "service unavailable");

    EXPECT_EQ(plugin->DeleteVolumes(disks, RootPath()), !withFailing);
    EXPECT_EQ(Disks(), left);
    EXPECT_FALSE(VolumeExists(normal.createdVolumeId));
    for (const auto& id : left) EXPECT_TRUE(VolumeExists(id)) << id;
    for (const auto& id : Disks()) plugin->cleaner.UnRegisterDisk(RootPath(), id);
  }
}

// No proxy-wide lock is held across the cloud's detach (nor across the attach and the login): a
// slow cloud call of one job never stalls the attaches of the others.
TEST_F(PluginAttach, NoMapperLockIsHeldAcrossTheCloudsAttachOrDetach) {
  std::vector<bool> held;
  clock.OnSleep([&](size_t) {
    const int fd = ::open(CDiskMapperLinux::LockFilePath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    held.push_back(fd < 0 || (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK));
    if (fd >= 0) ::close(fd);
  });
  for (const char* op : {"AttachVolume", "DetachVolumes"})
    sim::CSimFaults(*Cloud()).Add({.op = op, .nth = 1, .action = sim::EFaultAction::Delay, .text = "", .delayMs = 400});
  std::vector<SDisk> disks = {NewReplica("replica-a")};
  ASSERT_TRUE(plugin->AttachVolumes(root, disks, false, true));
  EXPECT_TRUE(plugin->DetachVolumes(disks, RootPath()));
  clock.OnSleep(nullptr);
  EXPECT_EQ(held, std::vector<bool>(2, false)) << "the mapper's lock was held while the cloud worked";
  EXPECT_FALSE(AttachedToProxy(disks[0].createdVolumeId));
}

TEST_F(PluginAttach, DetachAndDeleteVolumesDeletesEvenAfterAFailedDetach) {
  std::vector<SDisk> none;
  EXPECT_TRUE(plugin->DetachAndDeleteVolumes(none, RootPath()));
  EXPECT_EQ(Calls("DetachVolumes"), 0);

  std::vector<SDisk> disks = {NewReplica("replica-a"), NewReplica("replica-b")};
  AddFault("DetachVolumes", 0, sim::EFaultAction::Fail, "detach service unavailable");
  EXPECT_FALSE(plugin->DetachAndDeleteVolumes(disks, RootPath()));
  EXPECT_TRUE(plugintest::LoggedError("Could not detach volumes from proxy"));
  for (const auto& disk : disks) EXPECT_FALSE(VolumeExists(disk.createdVolumeId)) << disk.displayName;
  EXPECT_TRUE(Disks().empty());
}

TEST_F(PluginAttach, TheUnmountsCleanupLogsOutBeforeItDetachesAndDetachesBeforeItDeletes) {
  std::vector<SDisk> disks = {NewReplica("replica-a"), NewReplica("replica-b")};
  ASSERT_TRUE(plugin->AttachVolumes(root, disks, false, true));
  ASSERT_TRUE(plugin->_CleanupMountedVM(root));
  // A detach under a logged-in session leaves the cut session behind, and the cloud refuses to
  // delete an attached volume: nothing left means each step came in its turn.
  ExpectNothingLeft();
  EXPECT_TRUE(std::filesystem::is_empty(sandbox->Root() + "/dev/disk/by-path"));
}

// The agent may spell the instance id in upper case where the cloud (and the mount) use lower case:
// the session is registered under the job's root, and found there by the detach in either spelling.
TEST_F(PluginAttach, SessionsAreRegisteredAndFoundWhateverCaseTheInstanceIdIsSpelledIn) {
  std::string upper = root;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  for (const auto& [attachAs, detachAs] :
       std::vector<std::pair<std::string, std::string>>{{upper, root}, {root, upper}}) {
    SDisk disk = NewReplica("replica");
    bool noFreeSlot = false;
    ASSERT_TRUE(plugin->AttachVolumeToProxy(disk, attachAs, false, true, noFreeSlot));
    EXPECT_EQ(Sessions(), std::set<std::string>{CleanupString(disk)});
    ASSERT_TRUE(plugin->DetachVolumeFromProxy(disk, detachAs));
    EXPECT_TRUE(Sessions().empty());
    EXPECT_FALSE(std::filesystem::exists(DevicePath(disk)));
  }
}
