// The restore's Init at the plug-in: the empty volumes it makes, what it refuses before creating
// anything, and the clean-up of a failed restore.
#include "MountTestUtil.h"
#include "bridge/sim/CloudSeeder.h"
#include "host/FXFile.h"
#include "host/SqliteDb.h"
#include "util/OracleCloudInfoUtils.h"

using namespace mounttest;
using namespace VMInfoStructs;
namespace utils = OracleCloudInfoUtils;

namespace {

struct RestorePlugin : testbase::InfraBase {
  RestorePlugin() : InfraBase(kType) {}
  using InfraBase::_FindBestMatchingVMSize, InfraBase::_GetAdjustedVolumeSize, InfraBase::AdjustConvertedVMSize,
      InfraBase::_GetImageIdForVMRestore, InfraBase::_GetImageLaunchMode, InfraBase::MakeVolumesBootable,
      InfraBase::_GetVolumeAttachmentTypeToRestoredInstance, InfraBase::RemoveJobResultsDir, InfraBase::UpdateDiskNames,
      InfraBase::_PopulateRestoreCtxVMInfo, InfraBase::bridge;
  // A phase that throws, as an unexpected failure would: Init once its volumes exist, Pre at once.
  std::string throwIn;
  bool _InitRestoreVM(const RestoreCtx& c) override {
    const bool ok = InfraBase::_InitRestoreVM(c);
    if (throwIn == "Init") throw std::runtime_error("boom");
    return ok;
  }
  bool _PreRestoreVM(const RestoreCtx& c) override {
    if (throwIn == "Pre") throw std::bad_alloc();
    return InfraBase::_PreRestoreVM(c);
  }
};

class PluginRestore : public CMountFixture {
 protected:
  void SetUp() override {
    CMountFixture::SetUp();
    UseSandboxTools();
    plugin = NewPlugin<RestorePlugin>();
  }
  void TearDown() override {
    plugin.reset();
    CMountFixture::TearDown();
  }
  RestoreCtx Ctx(const std::string& name) const { return WebRestoreCtx(name); }
  std::vector<std::string> Running(const std::string& name) const {
    std::vector<std::string> ids;
    for (const auto& row : Rows("SELECT id FROM instances WHERE name = ? AND state <> 'TERMINATED'", name))
      ids.push_back(row[0]);
    return ids;
  }

  std::unique_ptr<RestorePlugin> plugin;
};

TEST_F(PluginRestore, VolumesAreWholeGiBOfAtLeastFifty) {
  constexpr long long kGiB = 1ll << 30;
  for (const auto& [bytes, gib] : std::vector<std::pair<long long, long long>>{{0, 50},
                                                                               {1, 50},
                                                                               {49 * kGiB + 1, 50},
                                                                               {50 * kGiB, 50},
                                                                               {50 * kGiB + 1, 51},
                                                                               {60 * kGiB + 1, 61},
                                                                               {100 * kGiB, 100},
                                                                               {100 * kGiB - 1, 100}})
    EXPECT_EQ(RestorePlugin::_GetAdjustedVolumeSize(bytes), gib * kGiB) << bytes;
}

// Init makes a volume per unfiltered disk (the boot volume through a temporary instance, whose end it awaits), attached
// to the proxy and registered under the restore; the clean-up of the failed restore removes all and leaves the source.
TEST_F(PluginRestore, InitAttachesAVolumePerDiskAndTheCleanupRemovesThem) {
  RestoreCtx ctx = Ctx("web-r");
  ctx.disks.push_back(ctx.disks[1]), ctx.disks.back().isFiltered = true;
  const auto sources = InstanceVolumes("sample-web");
  SetProvisionSeconds("instance", 300);
  ASSERT_EQ(plugin->InitRestoreVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  std::set<std::string> created;
  for (const SDisk& disk : ctx.disks) {
    if (disk.isFiltered) {
      EXPECT_EQ(disk.createdVolumeId, "");
      continue;
    }
    created.insert(disk.createdVolumeId);
    EXPECT_TRUE(AttachedToProxy(disk.createdVolumeId)) << disk.displayName;
    EXPECT_TRUE(std::filesystem::exists(disk.name)) << disk.name;
    EXPECT_EQ(Text("SELECT size_bytes FROM volumes WHERE id = ?", disk.createdVolumeId),
              std::to_string(disk.isBootDisk ? 50ull << 30 : 61ull << 30));
  }
  EXPECT_EQ(Text("SELECT is_boot FROM volumes WHERE id = ?", ctx.disks[0].createdVolumeId), "1");
  EXPECT_TRUE(Running("web-r").empty()) << "the temporary instance is gone";
  EXPECT_EQ(RegisteredChildren(ctx.restoreGuid, VM_CLEANER_ENTITY_DISK), created);
  EXPECT_EQ(RegisteredChildren(ctx.restoreGuid, VM_CLEANER_ENTITY_ISCSI_SESSION).size(), 2u);

  EXPECT_EQ(plugin->CleanupRestoreVM(ctx), 1);
  ExpectNothingLeft();
  EXPECT_EQ(InstanceVolumes("sample-web"), sources);
  // Without its root the clean-up deletes nothing, whatever the context names.
  RestoreCtx stale = Ctx("web-r");
  stale.restoreGuid = "never-registered";
  stale.disks[1].createdVolumeId = sources[1];
  EXPECT_EQ(plugin->CleanupRestoreVM(stale), 1);
  EXPECT_EQ(InstanceVolumes("sample-web"), sources);
}

// What Init refuses, with its code, before anything is made.
TEST_F(PluginRestore, RefusalsHaveTheirCodeAndCreateNothing) {
  const std::string dbId = InstanceId("sample-db");
  const std::string registry = VMCleaner::DatabasePathFor(sandbox->Home() + "/registry", sandbox->ProxyInstanceId());
  struct SCase {
    const char* what;
    std::function<void(RestoreCtx&)> arrange;
    int code;
    std::string details = "";  // a part of the error's details
  };
  const std::vector<SCase> cases = {
      {"another availability domain, whatever the restore type",
       [](RestoreCtx& c) { c.availabilityDomain = "Uocm:PHX-AD-2", c.restoreType = 2; }, VMERR_NOT_FEASIBLE},
      {"restore type 3", [](RestoreCtx& c) { c.restoreType = 3; }, VMERR_VM_OPERATION_NOT_SUPPORTED, "type [3]"},
      {"the name is taken", [](RestoreCtx& c) { c.vmName = "sample-db"; }, VMERR_VM_ALREADY_EXISTS},
      {"overwriting the proxy",
       [&](RestoreCtx& c) {
         c.vmName = sim::kProxyName, c.overwrite = true;
         c.compartmentId = Text("SELECT compartment_id FROM instances WHERE name = ?", c.vmName);
       },
       VMERR_VM_ALREADY_EXISTS},
      {"two instances of the name",
       [&](RestoreCtx& c) {
         Exec("UPDATE instances SET name = 'sample-web' WHERE id = ?", dbId);
         c.vmName = "sample-web", c.overwrite = true;
       },
       VMERR_MULTIPLE_VMS_WITH_NAME},
      {"the lookup fails", [&](RestoreCtx&) { AddFault("DoesVMExist", 1, sim::EFaultAction::Fail); },
       VMERR_VM_CREATION_FAILED},
      {"a cancelled job", [&](RestoreCtx&) { plugin->SetJobCancelled(true); }, VMERR_JOB_CANCELLED},
      {"a source image not found and no bucket",
       [&](RestoreCtx&) { AddFault("GetTemplateInfo", 1, sim::EFaultAction::Fail); }, VMERR_RESOURCE_CREATION_FAILED,
       "bucket is required to create temporary image: the source image [ocid1.image"},
      {"a forced image that does not exist",
       [](RestoreCtx&) { TZPlatformInfo::SetValue("VirtualServer", "sOCIForceImageIdForRestore", "ocid1.image.none"); },
       VMERR_RESOURCE_CREATION_FAILED},
      {"the registry cannot record the restore",  // as on a full disk
       [&](RestoreCtx&) {
         CSqliteDb(registry, false)
             .Exec(
                 "CREATE TRIGGER refuse BEFORE INSERT ON entities BEGIN "
                 "SELECT RAISE(ABORT, 'database or disk is full'); END;");
       },
       VMERR_REGISTRY_WRITE_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RestoreCtx ctx = Ctx("web-r2");
    c.arrange(ctx);
    EXPECT_EQ(plugin->InitRestoreVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), c.code);
    EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.details), std::string::npos) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(Running(sim::kProxyName).size(), 1u);
    EXPECT_EQ(Rows("SELECT id FROM instances WHERE id = ? AND state = 'RUNNING'", dbId).size(), 1u);
    ExpectNothingLeft();
    ClearFaults();
    Exec("UPDATE instances SET name = 'sample-db' WHERE id = ?", dbId);
    TZPlatformInfo::RemoveValue("VirtualServer", "sOCIForceImageIdForRestore");
    CSqliteDb(registry, false).Exec("DROP TRIGGER IF EXISTS refuse");
    plugin->SetJobCancelled(false);
  }
}

// The boot volume's image: a forced one, else the source's own, or its counterpart (same key) in this
// region when the backup came from another (region keys and names compared without case).
TEST_F(PluginRestore, TheBootVolumeComesFromTheForcedTheSourceOrTheMatchingImage) {
  const std::string phx = Text("SELECT id FROM images WHERE name = 'Oracle-Linux-8.8' AND region = 'us-phoenix-1'");
  const std::string iad = Text("SELECT id FROM images WHERE name = 'Oracle-Linux-8.8' AND region = 'us-ashburn-1'");
  const std::string ubuntu = Text("SELECT id FROM images WHERE name = 'Canonical-Ubuntu-22.04'");
  // No counterpart in this region (another build of the name, or no image of the name): a temporary image,
  // gone again once the boot volume exists.
  const std::string temporary = "a temporary image";
  struct {
    std::string forced, source, regionKey, used, change = "";  // change: made to the source image first
  } cases[] = {{"", iad, "IAD", phx},
               {"", ubuntu, "phx", ubuntu},
               {ubuntu, iad, "IAD", ubuntu},
               {"", iad, "IAD", temporary, "image_key = 'another build'"},
               {"", iad, "IAD", temporary, "name = 'Oracle-Linux-7.9'"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source + " " + c.regionKey + " " + c.change);
    if (!c.change.empty()) Exec("UPDATE images SET " + c.change + " WHERE id = ?", iad);
    Cloud()->SetMeta(sim::kMetaDefaultRegion, c.regionKey == "phx" ? "US-Phoenix-1" : "us-phoenix-1");
    TZPlatformInfo::SetValue("VirtualServer", "sOCIForceImageIdForRestore", c.forced);
    RestoreCtx ctx = Ctx("web-r");
    ctx.sourceImageId = c.source, ctx.sourceRegionKey = c.regionKey;
    ctx.bucketName = "image-import", ctx.jobResultsDir = sandbox->Dir() + "/jobs/7/results";
    ASSERT_EQ(plugin->InitRestoreVM(ctx), 1) << plugin->GetLastVMErrorDetails();
    const std::string used = Text("SELECT image_id FROM instances WHERE name = 'web-r' ORDER BY rowid DESC LIMIT 1");
    if (c.used == temporary) {
      EXPECT_EQ(used, ctx.tempImageId);
      EXPECT_EQ(Text("SELECT name FROM created_resources WHERE id = ?", used).rfind("_TZ_IMAGE_", 0), 0u);
      EXPECT_EQ(Text("SELECT COUNT(*) FROM images WHERE id = ?", used), "0") << "the temporary image outlived its use";
      EXPECT_EQ(Text("SELECT COUNT(*) FROM objects"), "0");
      EXPECT_EQ(clock.Sleeps().back(), 60000u) << "the import is asked after every minute";
    } else {
      EXPECT_EQ(used, c.used);
    }
    EXPECT_EQ(plugin->CleanupRestoreVM(ctx), 1);
    ExpectNothingLeft();
  }
}

// A cancel while the source image is looked up, the stub disk uploads or its image imports ends the restore there
// with 4000, and an import still running after "nImageImportMaximumWaitTimeInMinutes" with 24: no image after the
// upload, no volume's create once the cancel came, and what was made is gone again.
TEST_F(PluginRestore, ACancelOrAnEndlessImportEndsTheRestoreAtTheImage) {
  clock.OnSleep([&](size_t i) {
    if (clock.Sleeps()[i] == 4321) plugin->SetJobCancelled(true);
  });
  for (const std::string op : {"GetTemplateInfo", "UploadToObjectStorage", "CreateImage", "endless import"}) {
    SCOPED_TRACE(op);
    const bool endless = op == "endless import";
    if (endless)
      SetProvisionSeconds("image", 100000),
          TZPlatformInfo::SetValue("VirtualServer", "nImageImportMaximumWaitTimeInMinutes", "5");
    if (!endless) AddFault(op, 1, sim::EFaultAction::Delay, "", 4321);
    plugin->SetJobCancelled(false);
    RestoreCtx ctx = Ctx("web-r");
    if (op != "GetTemplateInfo") ctx.sourceImageId.clear();
    ctx.bucketName = "image-import", ctx.jobResultsDir = sandbox->Dir() + "/jobs/7/results";
    EXPECT_EQ(plugin->InitRestoreVM(ctx), 0);
    EXPECT_EQ(plugin->GetLastVMError(), endless ? VMERR_RESOURCE_CREATION_FAILED : VMERR_JOB_CANCELLED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails().find("] did not complete within 5 minutes") != std::string::npos,
              endless);
    EXPECT_EQ(Calls("CreateImage"), op == "CreateImage" ? 1 : endless ? 2 : 0);  // counted since the test began
    EXPECT_EQ(Calls("DeployVM") + Calls("CreateVolume"), 0);
    EXPECT_EQ(plugin->CleanupRestoreVM(ctx), 1);
    ExpectNothingLeft();
  }
}

// No exception leaves a phase: it fails with the phase's code naming the cause, and what Init had made
// is unwound as after any other failure.
TEST_F(PluginRestore, AnExceptionInAPhaseFailsItAndLeavesNothing) {
  for (const std::string phase : {"Init", "Pre"}) {
    plugin->throwIn = phase;
    RestoreCtx ctx = Ctx("web-r");
    const int init = plugin->InitRestoreVM(ctx);
    EXPECT_EQ(init, phase == "Init" ? 0 : 1) << plugin->GetLastVMErrorDetails();
    if (init) {
      EXPECT_EQ(plugin->PreRestoreVM(ctx), 0);
    }
    EXPECT_EQ(plugin->GetLastVMError(), phase == "Init" ? VMERR_RESOURCE_CREATION_FAILED : VMERR_VM_CREATION_FAILED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), phase == "Init" ? "InitRestoreVM failed unexpectedly: boom"
                                                               : "PreRestoreVM failed unexpectedly: std::bad_alloc");
    if (init) {
      EXPECT_EQ(plugin->CleanupRestoreVM(ctx), 1);
    }
    ExpectNothingLeft();
  }
}

// Automatic shapes: of those that cover the machine's CPUs and memory, the fewest CPUs, then the least
// memory; none when no shape covers both (the base variant then fails instead of keeping an old size).
TEST_F(PluginRestore, ShapesAreTheSmallestThatCoverCpusAndMemory) {
  auto shape = [](const char* name, int cpus, int memory) {
    SVMSizeInfo s;
    s.name = name, s.cpuCount = cpus, s.memory = memory;
    return s;
  };
  // d and g are alike: the first listed wins.
  const std::vector<SVMSizeInfo> shapes = {shape("a", 2, 16384), shape("b", 4, 32768), shape("c", 4, 65536),
                                           shape("d", 3, 8192),  shape("g", 3, 8192),  shape("e.Flex", 4, 40960),
                                           shape("f.Flex", 1, 1)};
  const struct {
    int cpus, memory;
    const char* best;
  } picks[] = {{4, 40960, "c"}, {4, 81920, ""}, {4, 32768, "b"}, {4, 32769, "c"}, {0, 0, "a"},
               {1, 0, "a"},     {3, 1, "d"},    {2, 16385, "b"}, {5, 1, ""},      {1, 65536, "c"}};
  for (const auto& p : picks)
    EXPECT_EQ(RestorePlugin::_FindBestMatchingVMSize(shapes, p.memory, p.cpus).name, p.best)
        << p.cpus << " " << p.memory;
  EXPECT_EQ(RestorePlugin::_FindBestMatchingVMSize({}, 0, 0).name, "");

  // The simulator's fixed shapes: 1/15360, 2/30720, 4/61440, 8/122880 (the flexible one never counts).
  const struct {
    std::string asked;
    int cpus, memoryMB;
    bool ok;
    std::string shape;
  } adjusted[] = {{"auto select", 2, 30000, true, "VM.Standard2.2"}, {"", 3, 40000, true, "VM.Standard2.4"},
                  {"Auto Select", 1, 16000, true, "VM.Standard2.2"}, {"VM.Standard2.8", 1, 1, true, "VM.Standard2.8"},
                  {"Auto Select", 8, 122881, false, "Auto Select"},  {"Auto Select", 2, 30720, true, "VM.Standard2.2"}};
  for (const auto& a : adjusted) {
    RestoreCtx ctx = Ctx("web-r");
    ctx.vmSize = a.asked, ctx.vmInfo.cpuCount = a.cpus, ctx.vmInfo.memoryMB = a.memoryMB;
    plugin->SetLastVMError(VMERR_NONE);
    EXPECT_EQ(plugin->AdjustConvertedVMSize(ctx), a.ok) << a.asked << " " << a.cpus;
    EXPECT_EQ(plugin->GetLastVMError(), a.ok ? VMERR_NONE : VMERR_VM_CREATION_FAILED);
    EXPECT_EQ(ctx.vmSize, a.shape);
  }
}

// A flexible shape launches with the CPUs and memory of the saved configuration: one that cannot give them fails
// with 20 naming the file and why, rather than leave them to the cloud. A fixed shape and a conversion need none.
TEST_F(PluginRestore, AFlexibleShapeWithoutItsSavedSizeIsNotLaunched) {
  std::map<std::string, std::string> saved;
  ASSERT_TRUE(plugin->bridge->GetInstanceConfigurations(InstanceId("sample-db"), saved));
  const auto db = Rows("SELECT shape, cpus, memory_mb FROM instances WHERE name = 'sample-db'")[0];
  const std::string dir = sandbox->Dir() + "/config", flex = db[0];
  WriteTestFile(dir + "/db.json", saved.at(".json"));
  WriteTestFile(dir + "/broken.json", "{");
  WriteTestFile(dir + "/sizeless.json", "{}");
  const struct {
    std::string config, shape;
    bool conversion;
    std::string missing;  // a part of the refusal's details; none: launched with `size`
    std::string size = "";
  } cases[] = {{"db", flex, false, "", db[1] + "/" + db[2]},
               {"none", flex, false, "the saved configuration [" + dir + "/none.json] was not found"},
               {"broken", flex, false, "[" + dir + "/broken.json] could not be parsed: "},
               {"sizeless", flex, false, "[" + dir + "/sizeless.json] holds no CPU count or memory"},
               {"none", "VM.Standard2.1", false, "", "0/0"},
               {"none", flex, true, "", "0/-1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config + " " + c.shape);
    RestoreCtx ctx = Ctx("db-r");
    ctx.configFilesPath = dir, ctx.sourceConfigName = c.config, ctx.vmSize = c.shape, ctx.isConversion = c.conversion;
    plugin->SetLastVMError(VMERR_NONE);
    EXPECT_EQ(plugin->_PopulateRestoreCtxVMInfo(ctx), c.missing.empty());
    EXPECT_EQ(plugin->GetLastVMError(), c.missing.empty() ? VMERR_NONE : VMERR_VM_CREATION_FAILED);
    if (c.missing.empty())
      EXPECT_EQ(std::to_string(ctx.vmInfo.cpuCount) + "/" + std::to_string(ctx.vmInfo.memoryMB), c.size);
    else
      EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.missing), std::string::npos) << plugin->GetLastVMErrorDetails();
  }
}

// The disk tool: the configured path, else the preferred kit's, else the newest kit that has it, by
// version number; its libraries are the kit's lib64.
TEST_F(PluginRestore, TheDiskToolIsTheConfiguredThePreferredOrTheNewestKitsOne) {
  std::vector<std::string> versions = {"VDDK9", "VDDK673", "VDDK10", "VDDK700", "VDDK6.7", "VDDK067"},
                           two = {"VDDK6.7", "VDDK6"};
  utils::SortVersionsNewestFirst(versions);
  utils::SortVersionsNewestFirst(two);
  EXPECT_EQ(versions, (std::vector<std::string>{"VDDK700", "VDDK673", "VDDK067", "VDDK10", "VDDK9", "VDDK6.7"}));
  EXPECT_EQ(two.front(), "VDDK6.7") << "a version is older than one that goes on from it";

  const std::string vddk = sandbox->Home() + "/VMware/vddk";
  auto tool = [&](const std::string& kit) { return vddk + "/" + kit + "/bin64/vmware-vdiskmanager"; };
  std::filesystem::remove(tool("VDDK673"));
  std::string path, error;  // no kit holds the tool
  EXPECT_FALSE(utils::CreateStubVmdkFile(sandbox->Dir(), 1, path, error) || error != "No virtual disk tool was found");
  for (const char* kit : {"VDDK9", "VDDK10"}) WriteTestFile(tool(kit), "#!/bin/sh\n");
  std::filesystem::create_directories(vddk + "/VDDK700/bin64");  // a kit without the tool
  WriteTestFile(vddk + "/VDDK800", "not a kit");
  EXPECT_EQ(utils::getVDiskManagerPath(), tool("VDDK10"));
  for (const char* kit : {"VDDK673", "VDDK700"}) WriteTestFile(tool(kit), "#!/bin/sh\n");
  EXPECT_EQ(utils::getVDiskManagerPath(), tool("VDDK673")) << "the preferred kit over a newer one";
  EXPECT_EQ(utils::getVDiskManagerAdditionalLibPath(tool("VDDK673")), vddk + "/VDDK673/lib64");
  TZPlatformInfo::SetValue("VirtualServer", "szVDiskManagerPath", "/opt/tools/vdm");
  EXPECT_EQ(utils::getVDiskManagerPath(), "/opt/tools/vdm");
}

// Results folders, disk-tool paths and buckets handed over from outside, each hostile value bare and
// under the jobs' folder: a folder or tool path that is not absolute and clean, and a bucket name the
// object storage would refuse, are refused with the reason before anything runs; the others reach
// the tool as one argument each. A folder of any clean name gets the stub disk, the kit's libraries
// first and never the current folder. Nothing runs a shell or writes outside the jobs' folder.
TEST_F(PluginRestore, HostileFoldersToolPathsAndBucketsRunNoShellAndWriteNothingOutside) {
  const std::string canary = sandbox->Dir() + "/canary", jobs = sandbox->Dir() + "/jobs";
  const std::string folder = jobs + "/a b'c\"$(touch canary)`touch canary`;d";
  std::filesystem::create_directories(folder);
  const std::string notClean = "is not an absolute path without '.' or '..' parts";
  int refused = 0;
  for (const std::string& bare : hosttest::HostileValues(canary)) {
    for (const std::string& value : {bare, jobs + "/" + bare}) {
      const bool clean = value[0] == '/' && value.find("/../") == std::string::npos &&
                         std::none_of(value.begin(), value.end(), [](char c) { return c >= 0 && c < 0x20; });
      refused += clean ? 0 : 1;
      std::string path, error;
      EXPECT_FALSE(utils::CreateStubVmdkFile(value, 1, path, error)) << value;  // no such folder when clean
      EXPECT_EQ(error.find("The folder of the stub disk [" + value + "] " + notClean) == 0, !clean) << error;
      TZPlatformInfo::SetValue("VirtualServer", "szVDiskManagerPath", value);
      EXPECT_FALSE(utils::CreateStubVmdkFile(folder, 1, path, error)) << value;
      EXPECT_EQ(error.find("The virtual disk tool [" + value + "] " + (clean ? "failed" : notClean)), 0u) << error;
      TZPlatformInfo::RemoveValue("VirtualServer", "szVDiskManagerPath");
    }
    RestoreCtx ctx = Ctx("web-r");
    ctx.sourceImageId.clear(), ctx.bucketName = bare, ctx.jobResultsDir = folder;
    std::string image;
    bool temporary = false;
    EXPECT_FALSE(plugin->_GetImageIdForVMRestore(ctx, image, temporary)) << bare;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_RESOURCE_CREATION_FAILED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails().find("The bucket name [" + bare + "] is not valid"), 0u);
  }
  EXPECT_GT(refused, 200);
  EXPECT_TRUE(utils::IsValidBucketName(std::string(256, 'b')) && !utils::IsValidBucketName(std::string(257, 'b')));
  for (const std::optional<std::string>& old : {std::optional<std::string>(), std::optional<std::string>("/usr/lib")}) {
    hosttest::ScopedEnv env("LD_LIBRARY_PATH", old);
    std::string path, error;
    ASSERT_TRUE(utils::CreateStubVmdkFile(folder, 1, path, error)) << error;
    EXPECT_TRUE(FXPath::GetParent(path) == folder && std::filesystem::remove(path)) << path;
  }
  ExpectNothingLeft();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "canary"));
  for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox->Dir()))
    EXPECT_NE(entry.path().filename(), "canary") << entry.path();
}

// Launch mode and attachment type: the asked mode (NATIVE by default) unless a conversion, which gets
// paravirtualized for a Linux guest while the configuration allows it, emulated and iSCSI otherwise.
TEST_F(PluginRestore, LaunchModeAndAttachmentTypeFollowTheGuestAndTheConfiguration) {
  struct {
    bool conversion;
    const char *guest, *asked, *paravirtualAllowed, *mode, *type;
  } cases[] = {{false, "Oracle Linux", "", "", "NATIVE", "iscsi"},
               {false, "Oracle Linux", "EMULATED", "", "EMULATED", "iscsi"},
               {true, "Oracle Linux 8", "NATIVE", "", "PARAVIRTUALIZED", "paravirtualized"},
               {true, "CentOS 7", "", "true", "PARAVIRTUALIZED", "paravirtualized"},
               {true, "Oracle Linux 8", "", "false", "EMULATED", "iscsi"},
               {true, "Windows Server 2019", "", "true", "EMULATED", "iscsi"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.guest) + " " + c.asked + " " + c.paravirtualAllowed);
    TZPlatformInfo::SetValue("VirtualServer", "bOCIEnableParavirtualizedModeForLinuxVMConversion",
                             c.paravirtualAllowed);
    RestoreCtx ctx = Ctx("web-r");
    ctx.isConversion = c.conversion, ctx.guestOs = c.guest, ctx.launchMode = c.asked;
    EXPECT_EQ(plugin->_GetImageLaunchMode(ctx), c.mode);
    EXPECT_EQ(plugin->_GetVolumeAttachmentTypeToRestoredInstance(ctx), c.type);
  }
}

// Names of restored volumes: kept when given (a plain restore), else the base name and the time, with
// the job's description, the next second when the compartment or another job has the name; a given
// name the compartment has stops the restore with 71 saying so.
TEST_F(PluginRestore, RestoredVolumesGetTheirNamesAndATakenNameStopsTheRestore) {
  const std::string now = std::to_string(kClockStart);
  RestoreCtx ctx = Ctx("web-r");
  ctx.disks[0].targetVolume = "kept";
  ctx.disks[1].selectedForRestore = 0;
  ASSERT_TRUE(plugin->UpdateDiskNames(ctx));
  EXPECT_EQ(ctx.disks[0].displayName + "|" + ctx.disks[0].description, "kept|");
  EXPECT_EQ(ctx.disks[1].displayName, "sample-web-data");
  ctx.useDiskNames = true;
  ctx.disks[1].selectedForRestore = 1;
  ASSERT_TRUE(plugin->UpdateDiskNames(ctx));
  EXPECT_EQ(ctx.disks[0].displayName, "kept_" + now);
  EXPECT_EQ(ctx.disks[0].description,
            "Volume Created by Veltrio for Job " + std::to_string(kJobId) + "_at_" + now + "_from_mount-test-client");
  EXPECT_EQ(ctx.disks[1].displayName, "sample-web-data_" + now);
  CNameClaims otherJob;
  std::string error;
  ASSERT_EQ(otherJob.Claim("kept_" + std::to_string(kClockStart + 1), error), CNameClaims::EClaim::Claimed);
  Exec("UPDATE volumes SET display_name = ? WHERE display_name = 'sample-db-data'", "kept_" + now);
  ASSERT_TRUE(plugin->UpdateDiskNames(ctx));
  EXPECT_EQ(ctx.disks[0].displayName, "kept_" + std::to_string(kClockStart + 2));
  EXPECT_EQ(ctx.disks[1].displayName, "sample-web-data_" + now) << "this job's own claim of the name stays its";
  Exec("UPDATE volumes SET display_name = 'sample-db-data' WHERE display_name = ?", "kept_" + now);
  ctx = Ctx("web-r");
  ctx.disks[1].targetVolume = "sample-db-data";
  EXPECT_FALSE(plugin->UpdateDiskNames(ctx));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VOLUME_NAME_EXISTS);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "Volume [sample-db-data] already exists in compartment [" +
                                                 ctx.compartmentId + "] or another job is making it");
  // A boot disk that cannot be made bootable stops the restore too.
  ctx.disks[0].targetVolume = "ocid1.volume.oc1.phx.none";
  EXPECT_FALSE(plugin->MakeVolumesBootable(ctx));
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_RESOURCE_CREATION_FAILED);
}

// The job's results folder goes whole, links inside it removed and never followed; the agent's home,
// its parents, "/" and paths with ".." are refused.
TEST_F(PluginRestore, OnlyAJobsOwnResultsFolderIsRemovedAndNothingBeyondIt) {
  const std::string home = sandbox->Home(), outside = sandbox->Dir() + "/outside", job = home + "/jobs/7/results";
  WriteTestFile(outside + "/keep", "not the job's");
  WriteTestFile(job + "/sub/stub.vmdk", "stub");
  std::filesystem::create_directory_symlink(outside, job + "/sub/link");
  for (const std::string& refused : {home, home + "/", sandbox->Dir(), std::string("/"), job + "/../../7/results"}) {
    plugin->RemoveJobResultsDir(refused);
    EXPECT_TRUE(std::filesystem::exists(job + "/sub/stub.vmdk")) << refused;
  }
  plugin->RemoveJobResultsDir(job);
  EXPECT_FALSE(std::filesystem::exists(job));
  EXPECT_EQ(ReadTestFile(outside + "/keep"), "not the job's");
}

}  // namespace
