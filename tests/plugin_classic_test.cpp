// The classic flavour's own steps: which instances a classic proxy backs up, its volumes on the proxy
// (attached directly, detached in one request, deleted with their entries), the disk numbers of a
// launched instance and the saved configuration a restore reads.
#include "MountTestUtil.h"

namespace {
using namespace mounttest;
using VMInfoStructs::SDisk;

struct SClassic : ClassicPlugin {
  using ClassicPlugin::CleanupMountedVolumes, ClassicPlugin::DetachVolumes, ClassicPlugin::NumberDisksOfInstance,
      ClassicPlugin::_PopulateRestoreCtxVMInfoFromConfig, ClassicPlugin::_PopulateRestoreCtxVMInfo,
      ClassicPlugin::AttachVolumes, ClassicPlugin::diskMapper;
};

// A disk mapper that closes every attach as it should but never finds the attachment's device, or
// (`refuse`) does not begin one.
struct CBlindMapper : CDiskMapper {
  bool PreAttachDisk() override { return !refuse && CDiskMapper::PreAttachDisk(); }
  bool PostAttachDisk(const string& volumeId, string& deviceName, UINT64& size, bool failed) override {
    return CDiskMapper::PostAttachDisk(volumeId, deviceName, size, failed) && failed;
  }
  bool refuse = false;
};

class PluginClassic : public CMountFixture {
 protected:
  PluginClassic() { flavour_ = "classic"; }
  void SetUp() override {
    CMountFixture::SetUp();
    Connect();
  }
  void Connect() {
    plugin = NewPlugin<SClassic>();
    ASSERT_TRUE(plugin->InitProxyVMInfo() && plugin->InitMapperAndCleaner());
  }
  // A new volume of 1 MiB attached to the instance.
  void AddVolume(const std::string& instanceId, int n) {
    SDisk volume;
    volume.displayName = "extra-" + std::to_string(n), volume.size = 1 << 20;
    bool noSlot = false;
    ASSERT_TRUE(
        plugin->bridge->CreateVolume(volume, Text("SELECT compartment_id FROM instances WHERE id = ?", instanceId)));
    ASSERT_TRUE(plugin->bridge->AttachVolume(volume.volumeId, instanceId, noSlot)) << plugin->bridge->GetLastError();
  }
  std::unique_ptr<SClassic> plugin;
};

// A classic proxy takes nine volumes beside its boot volume: an instance of nine is backed up (each volume on a
// device of the proxy) and the unmount leaves nothing; one of ten, or a stopped one, fails before any snapshot.
TEST_F(PluginClassic, BacksUpRunningInstancesOfAtMostNineVolumes) {
  const struct {
    int extra;
    bool stop;
    EVMInfoError code;
    std::string text;
  } cases[] = {{7, false, VMERR_NONE, ""},
               {8, false, VMERR_TOO_MANY_VOLUMES,
                "[10] volumes of [sample-web] Instance cannot be attached to  "
                "[backup-proxy] Proxy as it exceeds the maximum limit. Maximum limit is [9]."},
               {0, true, VMERR_VM_NOT_RUNNING, "Cannot backup shutdown Instance [sample-web]["}};
  for (const auto& c : cases) {
    NewSandbox();
    Connect();
    const MountCtx ctx = Ctx("sample-web");
    for (int i = 0; i < c.extra; ++i) AddVolume(ctx.vmGuid, i);
    if (c.stop) {
      ASSERT_TRUE(plugin->bridge->PowerOffInstance(ctx.vmGuid));
    }
    ASSERT_EQ(plugin->MountVM(ctx), c.code == VMERR_NONE ? 1 : 0) << c.text;
    EXPECT_EQ(plugin->GetLastVMError(), c.code) << c.text;
    EXPECT_EQ(plugin->GetLastVMErrorDetails().rfind(c.text, 0), 0u) << plugin->GetLastVMErrorDetails();
    if (c.code != VMERR_NONE) {
      EXPECT_EQ(sandbox->Calls("CreateVolumeSnapshot"), 0) << c.text;
      continue;
    }
    ASSERT_EQ(ctx.vmInfo.disks.size(), 9u);
    for (const auto& disk : ctx.vmInfo.disks) EXPECT_TRUE(std::filesystem::exists(disk.name)) << disk.targetVolume;
    EXPECT_EQ(plugin->UnmountVM(ctx), 1);
    EXPECT_EQ(sandbox->Registry(), nlohmann::json::array());
    EXPECT_EQ(Text("SELECT COUNT(*) FROM volumes WHERE display_name LIKE '%QD_BACKUP%'") +
                  Text("SELECT COUNT(*) FROM attachments WHERE instance_id = ? AND state = 'attached'",
                       plugin->proxyVMInfo.guid),
              "00");
    EXPECT_TRUE(SnapshotIds(true).empty());
  }
}

// Detach and delete: nothing to detach asks neither cloud nor mapper; a registered volume that is gone
// loses its entry; one whose deletion fails keeps it and fails the clean-up.
TEST_F(PluginClassic, RegisteredVolumesAreDetachedDeletedAndUnregistered) {
  SDisk filtered, unnamed;
  filtered.isFiltered = true, filtered.targetVolume = "/Compute-a424242/x";
  EXPECT_TRUE(plugin->DetachVolumes(std::vector<SDisk>{filtered, unnamed}));
  EXPECT_EQ(sandbox->Calls("DetachVolumes"), 0);

  std::string gone = "/Compute-a424242/backup.admin@example.com/gone", root = "job-root", path;
  ASSERT_TRUE(plugin->cleaner.RegisterVM(plugin->cleanerMode, root) &&
              plugin->cleaner.RegisterDisk(plugin->cleanerMode, root, gone));
  ASSERT_TRUE(plugin->cleaner.GetRegisteredVM(plugin->cleanerMode, root, path));
  const std::string data = Text("SELECT id FROM volumes WHERE display_name = 'sample-db-data'");
  ASSERT_TRUE(plugin->bridge->DetachVolume(data, InstanceId("sample-db")));
  ASSERT_TRUE(plugin->cleaner.RegisterDisk(plugin->cleanerMode, root, data));
  sandbox->Fault("DeleteVolume", 1, "fail");
  EXPECT_FALSE(plugin->CleanupMountedVolumes(path));
  std::vector<SDisk> left;
  EXPECT_TRUE(plugin->cleaner.GetRegisteredDisks(path, left) && left.size() == 1 && left[0].targetVolume == data);
  EXPECT_TRUE(plugin->CleanupMountedVolumes(path));
  EXPECT_EQ(Text("SELECT id FROM volumes WHERE id = ?", data), "");
  EXPECT_EQ(sandbox->Registry()[0]["children"], nlohmann::json::array());
}

// The launched instance boots from disk 1. A plain restore takes each disk's number from its index
// name; a conversion numbers the boot disk 1 and every other selected disk once after it, whatever
// its name, and without a boot disk it fails.
TEST_F(PluginClassic, DisksOfTheLaunchedInstanceAreNumberedOnce) {
  auto disk = [](const char* volume, const char* indexName, bool boot, UINT32 selected = 1) {
    SDisk d;
    d.targetVolume = volume, d.indexName = indexName, d.isBootDisk = boot, d.selectedForRestore = selected;
    return d;
  };
  const struct {
    bool conversion;
    std::vector<SDisk> disks;
    std::string numbers;  // "volume:number ..." in launch order; empty: refused
  } cases[] = {
      {false,
       {disk("d", "web-data_3", false), disk("b", "web_storage_1", true), disk("", "skip_2", false)},
       "d:3 b:1 "},
      {true,
       {disk("d1", "web_1", false), disk("b", "web_1", true), disk("d2", "", false), disk("c", "x.json", false, 0)},
       "b:1 d1:2 d2:3 "},
      {true, {disk("d1", "web_1", false), disk("d2", "web_2", false)}, ""},
  };
  for (const auto& c : cases) {
    RestoreCtx ctx;
    ctx.isConversion = c.conversion;
    ctx.disks = c.disks;
    ctx.vmInfo.disks.clear();
    ASSERT_EQ(plugin->NumberDisksOfInstance(ctx), !c.numbers.empty()) << c.numbers;
    std::string numbers;
    for (const auto& d : ctx.vmInfo.disks) numbers += d.targetVolume + ":" + std::to_string(d.diskNumber) + " ";
    EXPECT_EQ(numbers, c.numbers);
    if (c.numbers.empty()) {
      EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_CREATION_FAILED);
    }
  }
}

// The saved orchestration is preferred (files after it are never opened); names leaving the results
// folder and links are refused. A restore in place takes its network from it: one that cannot be read
// fails with 20, naming the file, instead of launching on the default network.
TEST_F(PluginClassic, ARestoreReadsTheSavedOrchestrationFromTheResultsFolderOnly) {
  std::map<string, string> saved;
  ASSERT_TRUE(
      plugin->bridge->GetInstanceConfigurations(Text("SELECT uri FROM instances WHERE name = 'sample-web'"), saved));
  const std::string dir = sandbox->Dir() + "/results";
  WriteTestFile(dir + "/w_instance.json", saved.at("_instance.json"));
  WriteTestFile(dir + "/broken.json", "{");
  WriteTestFile(sandbox->Dir() + "/outside_instance.json", saved.at("_instance.json"));
  std::filesystem::create_symlink(dir + "/w_instance.json", dir + "/link_instance.json");
  const struct {
    std::vector<std::string> names;
    bool read;
    std::string unread;  // a part of the in-place refusal's details
  } cases[] = {{{"broken.json", "w_instance.json", "later.json"}, true, ""},
               {{"link_instance.json"}, false, "[" + dir + "/link_instance.json] is missing or not a regular file"},
               {{"../outside_instance.json"}, false, "no saved configuration"},
               {{"broken.json"}, false, "[" + dir + "/broken.json] could not be parsed: "}};
  for (const auto& c : cases) {
    RestoreCtx ctx;
    ctx.jobResultsDir = dir, ctx.vmName = "web-r", ctx.inPlaceRestore = true;
    for (const auto& name : c.names) {
      SDisk file;
      file.selectedForRestore = 0, file.indexName = name;
      ctx.disks.push_back(file);
    }
    VMInfoStructs::SVMInfo out;
    EXPECT_EQ(plugin->_PopulateRestoreCtxVMInfoFromConfig(ctx, out), c.read) << c.names[0];
    EXPECT_EQ(out.name, c.read ? "sample-web" : "") << c.names[0];
    plugin->SetLastVMError(VMERR_NONE);
    EXPECT_EQ(plugin->_PopulateRestoreCtxVMInfo(ctx), c.read) << c.names[0];
    EXPECT_EQ(plugin->GetLastVMError(), c.read ? VMERR_NONE : VMERR_VM_CREATION_FAILED) << c.names[0];
    if (c.read) {
      ASSERT_FALSE(out.networkCards.empty());
      EXPECT_EQ(ctx.vmInfo.networkCards.size(), out.networkCards.size());
      EXPECT_EQ(ctx.vmInfo.networkCards[0].name, out.networkCards[0].name);
    } else {
      EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.unread), std::string::npos) << plugin->GetLastVMErrorDetails();
    }
  }
}

// A volume the cloud attached but whose device the proxy cannot find fails the attach with 54, as
// does one whose attach the disk mapper does not begin.
TEST_F(PluginClassic, AnAttachWithoutADeviceOnTheProxyFails) {
  for (const bool refuse : {false, true}) {
    auto mapper = std::make_unique<CBlindMapper>();
    mapper->refuse = refuse, plugin->diskMapper = std::move(mapper);
    ASSERT_TRUE(plugin->InitMapperAndCleaner());
    std::vector<SDisk> disks(1);
    disks[0].size = 1 << 20, disks[0].displayName = "loose";
    ASSERT_TRUE(plugin->bridge->CreateVolume(disks[0], Text("SELECT compartment_id FROM instances LIMIT 1")));
    disks[0].selectedForRestore = 1, disks[0].targetVolume = disks[0].volumeId;
    plugin->SetLastVMError(VMERR_NONE);
    EXPECT_FALSE(plugin->AttachVolumes("r-1", disks, true, true));
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_VOLUME_ATTACH_FAILED);
    const std::string why =
        refuse ? "The proxy's disk mapper could not begin the attach of" : "No device of the proxy could be found for";
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), why + " volume [" + disks[0].targetVolume + "]");
  }
}

// A replication has no classic form: refused with its code in every phase before anything is registered or made.
TEST_F(PluginClassic, AReplicationIsRefusedAndLeavesNoRoot) {
  RestoreCtx ctx;
  ctx.vmName = "web-r", ctx.restoreType = RESTORE_TYPE_REPLICATION;
  ctx.disks.resize(1);
  for (auto phase : {&IVMInfo::InitRestoreVM, &IVMInfo::PreRestoreVM, &IVMInfo::PostRestoreVM}) {
    EXPECT_EQ(((*plugin).*phase)(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_NOT_SUPPORTED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), "Replication is not supported for instances of the classic cloud");
  }
  EXPECT_EQ(sandbox->Registry(), nlohmann::json::array());
  EXPECT_EQ(sandbox->Calls("CreateVolume") + sandbox->Calls("DoesVMExist"), 0);
  // A restore of no disks goes on, with 172 to tell.
  ctx.restoreType = RESTORE_TYPE_FULL_INSTANCE, ctx.restoreGuid = "r-1", ctx.disks.clear();
  EXPECT_EQ(plugin->InitRestoreVM(ctx), 1);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NO_VOLUMES);
}

}  // namespace
