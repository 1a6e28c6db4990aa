// Restores run the way the agent runs them: every stored disk written back into its new volume exactly (old bytes
// never survive), the new instance alone left in the cloud, and every failure unwound through CleanupRestoreVM.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "PluginTestUtil.h"
#include "agent/diskio/DiskWrite.h"
#include "agent/jobs/BackupFolder.h"
#include "agent/jobs/RestoreContext.h"
#include "host/FXFile.h"
#include "host/SqliteDb.h"
#include "sandbox/VolumeChecksum.h"

using namespace agent;

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// The backup's data regions are copied and its holes made zero on a target full of old bytes, writing
// only the data; the target past the disk stays as it was. A checksum that the written target does
// not match, or a target too small, fails.
TEST(AgentRestore, WritesDataRegionsZeroesHolesAndVerifies) {
  constexpr size_t kMiB = 1 << 20, kSize = 8 * kMiB, kData = kMiB + 64 * 1024;
  hosttest::TempDir dir;
  const std::string backup = dir / "disk.img", target = dir / "volume";
  auto piece = [](size_t at, size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(1 + (at + i) * 7 % 251);
    return std::make_pair(at, bytes);
  };
  const std::string logical = hosttest::SparseFile(backup, kSize, {piece(0, kMiB), piece(5 * kMiB, 64 * 1024)});
  const SDiskChecksum stored = hosttest::DiskChecksumOf(backup, kSize);
  const auto checksum = [](EChecksumScheme scheme, const std::string& hex) {  // not braced: GCC 12 -O3 warns
    SDiskChecksum sum;
    sum.scheme = scheme, sum.hex = hex;
    return sum;
  };
  const struct {
    SDiskChecksum sum;
    size_t targetSize;
    std::string error;  // empty: written and verified
  } cases[] = {
      {stored, 2 * kSize, ""},
      // An older agent's backup carries a whole SHA-256.
      {hosttest::DiskChecksumOf(backup, kSize, EChecksumScheme::WholeSha256), 2 * kSize, ""},
      // A target that does not verify: the backup's data is what differs from the checksum.
      {checksum(EChecksumScheme::ChunkedSha256, std::string(64, '0')), 2 * kSize,
       "the stored disk [" + backup + "] is damaged"},
      {checksum(EChecksumScheme::WholeSha256, stored.hex), 2 * kSize, "the stored disk [" + backup + "] is damaged"},
      {stored, kSize - 4096, "fewer than the"},
  };
  for (const auto& c : cases) {
    hosttest::PutFile(target, std::string(c.targetSize, '\xab'));
    SDiskWriteResult result;
    std::string error;
    EXPECT_EQ(WriteDiskFromBackup(backup, kSize, target, c.sum, result, error), c.error.empty()) << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (!c.error.empty()) continue;
    const std::string after = hosttest::GetFile(target);
    EXPECT_TRUE(after.compare(0, kSize, logical) == 0);
    EXPECT_EQ(after.substr(kSize), std::string(c.targetSize - kSize, '\xab'));
    EXPECT_EQ(result.bytesWritten, kData);
    EXPECT_EQ(result.bytesZeroed, kSize - kData);
  }
  // A backup that still has its checksum: the target's read-back is what differs.
  hosttest::PutFile(target, std::string(kSize, 'x'));
  SFd in(::open(backup.c_str(), O_RDONLY)), out(::open(target.c_str(), O_RDWR));
  std::string error;
  EXPECT_FALSE(VerifyWrittenDisk(out.fd, target, in.fd, backup, kSize, stored, error));
  EXPECT_NE(error.find("the read-back of [" + target + "] differs from the stored disk"), std::string::npos) << error;
}

// The context handed to the plug-in comes from the manifest and the options (defaults: the source's
// placement, shape and cards); a backup that cannot be restored is refused with the reason.
TEST(AgentRestore, BuildsTheContextFromTheManifestAndRefusesUnrestorableBackups) {
  hosttest::TempDir dir;
  const json good = json::parse(R"({"complete": true, "instance": {"name": "web", "guid": "ocid1.instance.x",
    "compartment_id": "c1", "availability_domain": "AD-1", "shape": "VM.Standard2.1", "image_id": "img",
    "region_key": "PHX", "network_cards": [{"name": "vnic", "subnet_id": "s1", "primary": true}]},
    "disks": [{"boot": true, "size": 16777216, "index_name": "b_1", "display_name": "b", "file": "b.img", "chunked_sha256": "a"},
              {"boot": false, "size": 8388608, "index_name": "d_2", "display_name": "d", "file": "d.img", "sha256": "b"}],
    "files": [{"name": "x_vnics.json", "sha256": "c"}, {"name": "ocid1.instance.x.json", "sha256": "d", "main_config": true}]})");
  SRestoreSource source;
  std::string error;
  hosttest::PutFile(dir / "manifest.json", good.dump());
  fs::create_directory(dir / "disks");
  for (const auto& disk : good["disks"])
    hosttest::SparseFile(dir / ("disks/" + disk["file"].get<std::string>()), disk["size"].get<size_t>(), {});
  ASSERT_TRUE(LoadRestoreSource(dir.Path(), source, error)) << error;
  EXPECT_EQ(source.disks[1].path, dir / "disks/d.img");
  // The key names the checksum's scheme: an older agent's disks carry a whole SHA-256.
  EXPECT_EQ(source.disks[0].checksum, (SDiskChecksum{EChecksumScheme::ChunkedSha256, "a"}));
  EXPECT_EQ(source.disks[1].checksum, (SDiskChecksum{EChecksumScheme::WholeSha256, "b"}));
  SRestoreOptions options;
  options.name = "web-r", options.shape = "Auto Select", options.availabilityDomain = "AD-2", options.powerOn = true;
  RestoreCtx ctx = MakeRestoreCtx(source, options, "/cfg", "/res");
  EXPECT_EQ(
      std::vector<std::string>({ctx.vmName, ctx.originalVmName, ctx.compartmentId, ctx.availabilityDomain, ctx.vmSize,
                                ctx.sourceVmSize, ctx.sourceImageId, ctx.sourceRegionKey, ctx.sourceConfigName,
                                ctx.configFilesPath, ctx.jobResultsDir, ctx.networkCards.at(0).subnetId}),
      std::vector<std::string>({"web-r", "web", "c1", "AD-2", "Auto Select", "VM.Standard2.1", "img", "PHX",
                                "ocid1.instance.x", "/cfg", "/res", "s1"}));
  EXPECT_TRUE(ctx.restoreType == 1 && ctx.powerOnAfterRestore && !ctx.overwrite && !ctx.inPlaceRestore);
  ASSERT_EQ(ctx.disks.size(), 2u);
  EXPECT_TRUE(ctx.disks[0].isBootDisk && !ctx.disks[1].isBootDisk && ctx.disks[1].selectedForRestore == 1);
  EXPECT_EQ(ctx.disks[1].size, 8388608u);
  EXPECT_EQ(ctx.disks[1].indexName + ctx.disks[1].displayName, "d_2d");
  options.subnets = {"s2", "s3"};
  ctx = MakeRestoreCtx(source, options, "/cfg", "/res");
  ASSERT_EQ(ctx.networkCards.size(), 2u);
  EXPECT_TRUE(ctx.networkCards[0].subnetId == "s2" && ctx.networkCards[0].isPrimary && !ctx.networkCards[1].isPrimary);

  const std::pair<std::function<void(json&)>, std::string> refused[] = {
      {[](json& m) { m["complete"] = false; }, "partial"},
      {[](json& m) { m["instance"].erase("shape"); }, "older agent"},
      {[](json& m) { m["disks"][1]["file"] = "../../etc/passwd"; }, "outside its folder"},
      {[](json& m) { m["files"][1]["name"] = ".."; }, "outside its folder"},
      {[](json& m) { m["disks"][0]["boot"] = false; }, "no boot disk"},
      {[](json& m) { m["files"][1]["main_config"] = false; }, "no main configuration"},
      {[](json& m) { m["disks"][0].erase("chunked_sha256"); },
       "disks[0] has no checksum: its \"chunked_sha256\" is missing"},
  };
  for (const auto& [change, text] : refused) {
    json manifest = good;
    change(manifest);
    hosttest::PutFile(dir / "manifest.json", manifest.dump());
    EXPECT_FALSE(LoadRestoreSource(dir.Path(), source, error)) << text;
    EXPECT_NE(error.find(text), std::string::npos) << error;
  }
}

struct SRestoreRun {
  CTestSandbox sandbox;
  std::string folder = sandbox.Dir() + "/store/7-sample-web", out;
  explicit SRestoreRun(const std::string& flavour = "infrastructure") : sandbox(flavour) {
    EXPECT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store", "--job-id", "7"}, &out), 0)
        << out;
  }
  int Restore(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"restore", folder, "--as", "web-r", "--json"});
    return sandbox.Agent(extra, &out);
  }
  long Instances(const std::string& name) {
    const json all = plugintest::Ls(sandbox, "instances");
    return std::count_if(all.begin(), all.end(),
                         [&](const json& i) { return i["name"] == name && i["state"] != "TERMINATED"; });
  }
  // The job folders under the agent's home are gone, the registry is empty and the cloud holds
  // nothing a job made but `keep` and the `allowed` ids.
  void ExpectOnly(const std::string& keep, const std::string& label, const std::set<std::string>& allowed = {}) {
    for (const auto& entry : fs::directory_iterator(sandbox.Home() + "/restore-jobs"))
      EXPECT_FALSE(entry.is_directory()) << label << entry.path();
    std::vector<std::string> args = {"leaks", "--json"};
    if (!keep.empty()) args.insert(args.end(), {"--keep", keep});
    sandbox.CloudSim(args, &out);
    const json leaks = json::parse(out, nullptr, false);
    EXPECT_TRUE(leaks.is_array()) << label << out;
    for (const auto& leak : leaks) EXPECT_TRUE(allowed.count(leak.value("id", ""))) << label << leak;
    EXPECT_EQ(sandbox.Registry(), json::array()) << label;
  }
  // The JSON result of the last restore, whose every volume holds its stored disk.
  json ExpectVolumesHoldTheDisks() { return plugintest::ExpectRestoredVolumesHoldTheDisks(sandbox, folder, out); }
};

// The restored volumes hold the stored disks, the instance (rebooted once) is left stopped, the
// registry is empty; a taken name fails with error 10 unless overwritten or restored in place.
TEST(AgentRestore, RestoresAsANewInstanceAndRefusesATakenNameUnlessOverwriting) {
  SRestoreRun run;
  const json manifest = json::parse(ReadTestFile(run.folder + "/manifest.json"));
  ASSERT_EQ(run.Restore(), 0) << run.out;
  const json result = run.ExpectVolumesHoldTheDisks();
  EXPECT_EQ(result["shape"], manifest["instance"]["shape"]);
  run.ExpectOnly("web-r", "first restore");
  EXPECT_EQ(run.sandbox.Calls("RebootInstance"), 1) << "a restored instance is rebooted";
  EXPECT_EQ(plugintest::InstanceState(run.sandbox, plugintest::InstanceId(run.sandbox, "web-r")), "STOPPED");
  EXPECT_EQ(run.Restore(), 1) << run.out;
  EXPECT_TRUE(NamesStepCodeAndCause(run.out, "InitRestoreVM")) << run.out;
  EXPECT_NE(run.out.find("error 10:"), std::string::npos) << run.out;
  run.ExpectOnly("web-r", "name taken");
  // The instance being replaced goes just before the launch: a restore whose disk does not verify, or
  // that cannot delete it (61), leaves it as it was.
  const std::string replacedId = plugintest::InstanceId(run.sandbox, "web-r");
  const std::string dataDisk = run.folder + "/disks/" + manifest["disks"][1]["file"].get<std::string>();
  const std::string stored = ReadTestFile(dataDisk);
  WriteTestFile(dataDisk, std::string(stored.size(), 'x'));
  EXPECT_EQ(run.Restore({"--overwrite"}), 1) << run.out;
  WriteTestFile(dataDisk, stored);
  run.sandbox.Fault("DeleteVM", 2, "fail");
  WaitForNextSecond();
  EXPECT_EQ(run.Restore({"--overwrite"}), 1) << run.out;
  EXPECT_NE(run.out.find("error 61:"), std::string::npos) << run.out;
  EXPECT_EQ(plugintest::InstanceId(run.sandbox, "web-r"), replacedId);
  run.ExpectOnly("web-r", "replacement failed");
  EXPECT_EQ(run.Restore({"--in-place"}), 0) << run.out;  // in place replaces without the overwrite option
  EXPECT_EQ(run.Instances("web-r"), 1);
  // The replaced instance's data volume stays, as a terminated instance's volumes do; nothing else.
  std::set<std::string> replaced;
  for (const auto& volume : result["volumes"])
    if (!volume["boot"].get<bool>()) replaced.insert(volume["id"].get<std::string>());
  run.ExpectOnly("web-r", "overwritten", replaced);
}

// A failed phase or disk write names its step, code and cause, and CleanupRestoreVM leaves nothing;
// the backup stays as it was. (The disk case needs the plug-in's restore phases.)
TEST(AgentRestore, AFailedPhaseOrDiskWriteUnwindsAndLeavesNothing) {
  SRestoreRun run;
  const json manifest = json::parse(ReadTestFile(run.folder + "/manifest.json"));
  const std::string dataDisk = run.folder + "/disks/" + manifest["disks"][1]["file"].get<std::string>();
  const std::string stored = ReadTestFile(dataDisk);
  std::string corrupt = stored;
  corrupt[corrupt.find_first_not_of('\0')] ^= 1;
  for (const auto& [arrange, step, cause] : std::vector<std::tuple<std::function<void()>, std::string, std::string>>{
           {[&] { run.sandbox.Fault("CreateVolume", 1, "fail"); }, "InitRestoreVM", ""},
           // The stored disk, not the volume it was written into, no longer has the manifest's checksum.
           {[&] { WriteTestFile(dataDisk, corrupt); }, "writing disk [sample-web-data]",
            "the stored disk [" + dataDisk + "] is damaged"}}) {
    arrange();
    EXPECT_EQ(run.Restore(), 1) << run.out;
    EXPECT_TRUE(NamesStepCodeAndCause(run.out, step) && run.out.find(cause) != std::string::npos) << step << run.out;
    EXPECT_EQ(run.Instances("web-r"), 0) << step;
    run.ExpectOnly("", step);
  }
  WriteTestFile(dataDisk, stored);
  EXPECT_EQ(json::parse(ReadTestFile(run.folder + "/manifest.json")), manifest);
}

// What a tampered backup shows without reading its data refuses it before the cloud makes anything
// (no job folder, no registration either), naming the field or the stored disk and the cause; no
// message shows where the cloud keeps its volumes.
TEST(AgentRestore, ATamperedBackupIsRefusedBeforeAnythingIsMade) {
  SRestoreRun run;
  const std::string manifestPath = run.folder + "/manifest.json", original = ReadTestFile(manifestPath);
  const json manifest = json::parse(original);
  const std::string disk = run.folder + "/disks/" + manifest["disks"][1]["file"].get<std::string>(), aside = disk + "~";
  const size_t size = manifest["disks"][1]["size"];
  const auto creates = [&] {
    long n = 0;
    for (const auto& [op, count] : plugintest::AllCalls(run.sandbox))
      if (op.rfind("Create", 0) == 0 || op.rfind("Deploy", 0) == 0 || op.rfind("Upload", 0) == 0) n += count;
    return n;
  };
  const long made = creates();
  // The stored data disk put aside and `put` in its place.
  const auto replaced = [&](const std::function<void()>& put) {
    return [=](json&) {
      fs::rename(disk, aside);
      put();
    };
  };
  const std::pair<std::function<void(json&)>, std::string> cases[] = {
      {[](json& m) { m["disks"].push_back(m["disks"][1]); }, "disks[2] repeats the disk [sample-web-data_"},
      {[](json& m) { m["disks"].push_back(m["disks"][1]), m["disks"][2]["index_name"] = "x"; },
       "disks[2] repeats the file ["},
      {[](json& m) { m["disks"].push_back(m["disks"][0]), m["disks"][2]["index_name"] = m["disks"][2]["file"] = "x"; },
       "disks[2] is a second boot disk (disks[0] is one)"},
      {[](json& m) { m["files"].push_back(m["files"][0]); }, "files[1] repeats the file ["},
      {[](json& m) { m["disks"][1]["size"] = -1; }, "disks[1].size [-1] is below the minimum 1"},
      {[](json& m) { m["disks"][1]["size"] = 0; }, "disks[1].size [0] is below the minimum 1"},
      {[](json& m) { m["disks"][1]["size"] = 1e30; }, "disks[1].size [1e+30] is not a plain integer"},
      {[](json& m) { m["disks"][1]["size"] = 134217728.5; }, "disks[1].size [134217728.5] is not a plain integer"},
      {[](json& m) { m["disks"][1]["size"] = 1ULL << 62; }, "disks[1].size [4611686018427387904] is past the maximum"},
      {[](json& m) { m["instance"]["memory_mb"] = -15360; }, "instance.memory_mb [-15360] is below the minimum 0"},
      {[](json& m) { m["disks"][1].erase("chunked_sha256"); },
       "disks[1] has no checksum: its \"chunked_sha256\" is missing"},
      {replaced([] {}), "the stored disk [" + disk + "] is missing"},
      {replaced([&] { hosttest::SparseFile(disk, size - 1, {}); }),
       "] holds " + std::to_string(size - 1) + " bytes, not the"},
      {replaced([&] { hosttest::SparseFile(disk, size + 1, {}); }),
       "] holds " + std::to_string(size + 1) + " bytes, not the"},
      {replaced([&] { fs::create_directory(disk); }), "the stored disk [" + disk + "] is not a regular file"},
      {replaced([&] { ::mkfifo(disk.c_str(), 0600); }), "the stored disk [" + disk + "] is not a regular file"},
      {replaced([&] { fs::create_symlink(aside, disk); }), "the stored disk [" + disk + "] is a symbolic link"},
  };
  for (const auto& [tamper, cause] : cases) {
    json changed = manifest;
    tamper(changed);
    WriteTestFile(manifestPath, changed.dump());
    EXPECT_EQ(run.Restore(), 1) << cause;
    EXPECT_NE(run.out.find("backup [" + run.folder + "] cannot be restored: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(cause), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(run.sandbox.Dir() + "/cloud"), std::string::npos) << run.out;
    EXPECT_EQ(creates(), made) << cause;
    if (!fs::exists(aside)) continue;
    fs::remove_all(disk);
    fs::rename(aside, disk);
  }
  WriteTestFile(manifestPath, original);
  EXPECT_FALSE(fs::exists(run.sandbox.Home() + "/restore-jobs"));
  EXPECT_EQ(run.sandbox.Registry(), json::array());
}

// A classic instance comes back from its saved orchestration, which the agent copied into the job's results folder: the
// volumes hold the stored disks, the boot volume is disk 1, the backup's files are untouched. A taken name fails with
// 10 even when overwriting; a launch plan serves a plain restore only, not a conversion or an in-place one.
TEST(AgentRestore, AClassicInstanceComesBackFromItsSavedOrchestration) {
  SRestoreRun run("classic");
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(run.folder + "/config"))
    files[entry.path()] = ReadTestFile(entry.path());
  ASSERT_EQ(files.size(), 3u);
  ASSERT_EQ(run.Restore(), 0) << run.out;
  const json result = run.ExpectVolumesHoldTheDisks();
  const json instance = plugintest::RowWhere(plugintest::Ls(run.sandbox, "instances"), "name", "web-r");
  EXPECT_EQ(instance["boot_volume_id"], result["volumes"][0]["id"]);
  EXPECT_EQ(
      plugintest::RowWhere(plugintest::Ls(run.sandbox, "attachments"), "instance_id", instance["id"])["volume_id"],
      result["volumes"][1]["id"]);
  run.ExpectOnly("web-r", "classic restore");
  for (const auto& [path, content] : files) EXPECT_EQ(ReadTestFile(path), content) << path;
  for (const auto& options : {std::vector<std::string>{}, {"--overwrite"}}) {
    EXPECT_EQ(run.Restore(options), 1) << run.out;
    EXPECT_NE(run.out.find("InitRestoreVM failed: error 10: Found Instance with name [web-r] already in user"),
              std::string::npos)
        << run.out;
  }
  run.ExpectOnly("web-r", "name taken");
  WriteTestFile(run.sandbox.Home() + "/etc/platform.ini", "[VirtualServer]\nbUseLaunchPlanForOracleCloudRestore=1\n");
  // "Auto Select" launches the source's shape, or for a conversion the one fitting the machine.
  const struct {
    const char* launch;
    std::vector<std::string> options;
    json shape;
  } launches[] = {
      {"RestoreVM", {"--as", "web-plan", "--shape", "Auto Select", "--json"}, instance["shape"]},
      {"DeployVMFromOrchestration",
       {"--as", "web-conv", "--conversion", "--shape", "Auto Select", "--cpus", "1", "--memory-mb", "15000"},
       "VM.Standard2.1"},
      {"DeployVMFromOrchestration", {"--as", "web-in-place", "--in-place"}, instance["shape"]}};
  ASSERT_EQ(run.sandbox.Agent({"delete", "sample-web"}, &run.out), 0) << run.out;  // in place takes its address
  for (const auto& c : launches) {
    WaitForNextSecond();
    const long before = run.sandbox.Calls(c.launch);
    std::vector<std::string> args = {"restore", run.folder};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(run.sandbox.Agent(args, &run.out), 0) << run.out;
    EXPECT_EQ(run.sandbox.Calls(c.launch), before + 1) << c.launch;
    EXPECT_EQ(plugintest::RowWhere(plugintest::Ls(run.sandbox, "instances"), "name", c.options[1])["shape"], c.shape);
  }
  EXPECT_EQ(run.sandbox.Calls("DeployVMFromOrchestration") + run.sandbox.Calls("RestoreVM"), 4);
  EXPECT_EQ(run.sandbox.Calls("RebootInstance"), 1) << "only the conversion is rebooted";
}

const std::vector<std::string> kConversion = {"--conversion", "--guest-os", "Oracle Linux 8", "--bucket",
                                              "image-import", "--shape",    "Auto Select"};

// A machine of another hypervisor: its boot volume comes from a temporary image imported from a stub disk for its
// guest (a Linux one paravirtualized, its data volumes too) through a temporary instance of the smallest shape, and
// "Auto Select" picks the smallest fixed shape of that image's that covers the machine's CPUs and memory (never a
// flexible one), or fails with 20 naming the need, the old instance kept. Neither image nor object outlives the job.
TEST(AgentRestore, AConversionGetsItsShapeFromATemporaryImageThatDoesNotOutliveIt) {
  SRestoreRun run;
  json manifest = json::parse(ReadTestFile(run.folder + "/manifest.json"));  // a shape no temporary instance takes
  WriteTestFile(run.folder + "/manifest.json", (manifest["instance"]["shape"] = "VM.Standard2.4", manifest).dump());
  CSqliteDb cloud(run.sandbox.Dir() + "/cloud/cloud.db", false);
  const struct {
    const char *cpus, *memoryMB, *shape;
  } cases[] = {{"2", "30000", "VM.Standard2.2"},
               {"1", "16000", "VM.Standard2.2"},
               {"2", "100000", "VM.Standard2.8"},
               {"8", "200000", nullptr}};
  std::set<std::string> replaced;
  for (const auto& c : cases) {
    std::vector<std::string> args = kConversion;
    args.insert(args.end(), {"--cpus", c.cpus, "--memory-mb", c.memoryMB, "--overwrite"});
    if (!c.shape) {
      EXPECT_EQ(run.Restore(args), 1) << run.out;
      EXPECT_NE(run.out.find("error 20: Of the shapes that launch image"), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("no shape has 8 CPUs and 200000 MB of memory"), std::string::npos) << run.out;
      run.ExpectOnly("web-r", "no shape", replaced);
      continue;
    }
    ASSERT_EQ(run.Restore(args), 0) << run.out;
    const json result = run.ExpectVolumesHoldTheDisks();
    EXPECT_EQ(result["shape"], c.shape);
    EXPECT_EQ(cloud.QueryText("SELECT t.shape || ' ' || t.launch_mode || ' ' || a.type FROM instances t, attachments a "
                              "WHERE t.boot_volume_id = ? AND t.state = 'TERMINATED' AND a.volume_id = ? "
                              "ORDER BY a.seq DESC",
                              "", std::string(result["volumes"][0]["id"]), std::string(result["volumes"][1]["id"])),
              "VM.Standard2.1 PARAVIRTUALIZED paravirtualized");
    for (const auto& volume : result["volumes"])
      if (!volume["boot"].get<bool>()) replaced.insert(volume["id"].get<std::string>());
    run.ExpectOnly("web-r", c.shape, replaced);
  }
  // The machine's figures describe a conversion only.
  EXPECT_EQ(run.sandbox.Agent({"restore", run.folder, "--as", "x", "--cpus", "2", "--memory-mb", "1"}, &run.out), 2);
}

// An agent home whose path holds shell syntax: the disk tool and every other command get it as it
// is, and no command in it runs.
TEST(AgentRestore, AConversionInAHomeWithShellSyntaxInItsPathRunsNoCommandOfIt) {
  const std::string canary = "oci-canary-" + std::to_string(::getpid());
  CTestSandbox sandbox("infrastructure", "s b'q\"$(touch " + canary + ")`touch " + canary + "`;x");
  std::string out;
  ASSERT_EQ(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store", "--job-id", "7"}, &out), 0)
      << out;
  std::vector<std::string> args = {"restore", sandbox.Dir() + "/store/7-sample-web", "--as", "web-r"};
  args.insert(args.end(), kConversion.begin(), kConversion.end());
  EXPECT_EQ(sandbox.Agent(args, &out), 0) << out;
  EXPECT_EQ(sandbox.CloudSim({"leaks", "--keep", "web-r"}, &out), 0) << out;
  for (const std::string& where :
       {fs::current_path().string(), sandbox.Dir(), sandbox.Home(), fs::path(sandbox.Dir()).parent_path().string()})
    EXPECT_FALSE(fs::exists(where + "/" + canary)) << where;
}

// A conversion that cannot have its temporary image fails with its code and cause and leaves nothing; without a
// bucket, or with one whose name the object storage would refuse, nothing at all is created.
TEST(AgentRestore, AConversionWithoutItsTemporaryImageFailsCleanly) {
  SRestoreRun run;
  const std::string hostile = "b; touch " + run.sandbox.Dir() + "/canary";
  const struct {
    const char *op, *action, *cause;
  } cases[] = {{"", "", "An object storage bucket is required to create temporary image"},
               {"", hostile.c_str(), "The bucket name [b; touch "},
               {"vmware-vdiskmanager", "fail", "Failed to create virtual disk file"},
               {"vmware-vdiskmanager", "faulty", "Failed to create virtual disk file"},
               {"CreateImage", "faulty", "failed"},
               {"IsImageImportOperationCompleted", "fail", "Simulated failure"}};
  for (const auto& c : cases) {
    run.sandbox.CloudSim({"calls", "--reset"});
    std::vector<std::string> args = kConversion;
    if (*c.op) {
      run.sandbox.Fault(c.op, 1, c.action);
    } else {
      args.resize(args.size() - 4);  // no --bucket, or the one named as the action
      args.insert(args.end(), {"--shape", "Auto Select"});
      if (*c.action) args.insert(args.end(), {"--bucket", c.action});
    }
    EXPECT_EQ(run.Restore(args), 1) << run.out;
    EXPECT_TRUE(NamesStepCodeAndCause(run.out, "InitRestoreVM")) << run.out;
    EXPECT_NE(run.out.find("error 24: "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(c.cause), std::string::npos) << run.out;
    if (!*c.op) {
      EXPECT_EQ(run.sandbox.Calls("CreateVolume") + run.sandbox.Calls("DeployVM"), 0);
    }
    run.ExpectOnly("", c.op);
    run.sandbox.CloudSim({"fault", "clear"});
  }
  EXPECT_FALSE(fs::exists(run.sandbox.Dir() + "/canary"));
}

// Names from the cloud and the command line, each of a sample of hostile values: the instance's and
// its data volume's in the cloud, and the restored instance's. The backup stores every disk and file
// in its folder, the restore makes the instance of that name; nothing runs a shell or lands outside.
TEST(AgentRestore, HostileInstanceAndVolumeNamesStayInTheirFoldersAndRunNoShell) {
  CTestSandbox sandbox;
  const std::string canary = sandbox.Dir() + "/canary", store = sandbox.Dir() + "/store";
  const std::string instance = plugintest::InstanceId(sandbox, "sample-web");
  const std::string volume = plugintest::RowWhere(plugintest::Ls(sandbox, "volumes"), "name", "sample-web-data")["id"];
  const std::vector<std::string> values = hosttest::HostileValues(canary);
  // Every name becomes a file name of its folder (the store's folders and disk files are named so)...
  for (const std::string& name : values)
    EXPECT_TRUE(FXPath::IsBareName(SafeFileName(name) + ".img") &&
                SafeFileName(name).find_first_of("/\\ ;$`'\"\n") == std::string::npos)
        << name;
  // ...and whole jobs of a sample of them keep to their folders.
  std::string out;
  CSqliteDb cloud(sandbox.Dir() + "/cloud/cloud.db", false);
  for (size_t i = 0; i < values.size(); i += 29) {
    const std::string& name = values[i];
    cloud.Run("UPDATE instances SET name = ? WHERE id = ?", name, instance);
    cloud.Run("UPDATE volumes SET display_name = ? WHERE id = ?", name, volume);
    const std::string job = std::to_string(100 + i);
    ASSERT_EQ(sandbox.Agent({"backup", instance, "--store", store, "--job-id", job}, &out), 0) << out;
    const fs::path folder = store + "/" + job + "-" + SafeFileName(name);
    const json manifest = json::parse(ReadTestFile(folder / "manifest.json"));
    EXPECT_EQ(manifest["disks"].size(), 2u) << name;
    for (const auto& disk : manifest["disks"])
      EXPECT_TRUE(fs::is_regular_file(folder / "disks" / disk["file"].get<std::string>()));
    const std::string restored = name.substr(0, name.find('\0')) + "-r";  // what a command line can carry
    EXPECT_EQ(sandbox.Agent({"restore", folder, "--as", restored}, &out), 0) << out;
    EXPECT_NO_THROW(plugintest::InstanceId(sandbox, restored)) << name;
  }
  for (const auto& entry : fs::recursive_directory_iterator(sandbox.Dir())) EXPECT_NE(entry.path(), canary);
  EXPECT_FALSE(fs::exists(fs::current_path() / "canary"));
  const auto stored = std::count_if(fs::directory_iterator(store), fs::directory_iterator(),
                                    [](const auto& e) { return e.is_directory(); });
  EXPECT_EQ(static_cast<size_t>(stored), (values.size() + 28) / 29) << "a backup folder outside the store";
}

// A wrong command line exits 2 before any job starts; a folder without a manifest fails with 1.
TEST(AgentRestore, OptionErrorsExitTwo) {
  CTestSandbox sandbox;
  const std::string dir = sandbox.Dir();
  const std::pair<std::vector<std::string>, int> cases[] = {{{"restore", dir}, 2},
                                                            {{"restore", "--as", "x"}, 2},
                                                            {{"restore", "", "--as", "x"}, 2},
                                                            {{"restore", dir, "--as", ""}, 2},
                                                            {{"restore", dir, "--as", "x", "--job-id", "0"}, 2},
                                                            {{"restore", dir, "--as", "x", "--subnet", ""}, 2},
                                                            {{"restore", dir, "--as", "x", "--shape"}, 2},
                                                            {{"restore", dir, "--as", "x"}, 1}};
  std::string out;
  for (const auto& [args, code] : cases) EXPECT_EQ(sandbox.Agent(args, &out), code) << args.size() << out;
  EXPECT_NE(out.find("manifest.json"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(sandbox.Home() + "/restore-jobs"));
}

}  // namespace

// "Auto Select" keeps the source's flexible shape, CPUs and memory (the temporary instance that makes the boot volume
// takes one CPU and 1 GiB), the instance gets the source's cards, and --power-on leaves it running (else stopped).
TEST(AgentRestore, AFlexInstanceKeepsItsSizeAndCardsAndPowerOnLeavesItRunning) {
  CTestSandbox sandbox;
  std::string out;
  ASSERT_EQ(sandbox.Agent({"backup", "sample-db", "--store", sandbox.Dir() + "/store", "--job-id", "8"}, &out), 0)
      << out;
  ASSERT_EQ(sandbox.Agent({"restore", sandbox.Dir() + "/store/8-sample-db", "--as", "db-r", "--shape", "Auto Select",
                           "--power-on"},
                          &out),
            0)
      << out;
  std::map<std::string, json> instances;
  for (const json& i : plugintest::Ls(sandbox, "instances"))
    instances[i["state"] == "TERMINATED" ? std::string("temporary") : i["name"].get<std::string>()] = i;
  ASSERT_EQ(instances.count("db-r"), 1u);
  for (const char* field : {"shape", "cpus", "memory_mb", "availability_domain", "compartment"})
    EXPECT_EQ(instances["db-r"][field], instances["sample-db"][field]) << field;
  EXPECT_EQ(json({instances["temporary"]["cpus"], instances["temporary"]["memory_mb"]}), json({1, 1024}));
  EXPECT_EQ(instances["db-r"]["state"], "RUNNING");
  std::map<std::string, std::multiset<std::string>> subnets;
  for (const json& vnic : plugintest::Ls(sandbox, "vnics")) {
    for (const auto& [name, instance] : instances)
      if (vnic["instance_id"] == instance["id"]) subnets[name].insert(vnic["subnet_id"].get<std::string>());
  }
  EXPECT_EQ(subnets["db-r"], subnets["sample-db"]);
  EXPECT_EQ(sandbox.CloudSim({"leaks", "--keep", "db-r"}, &out), 0) << out;
}

// Ctrl-C while a login hangs stops it at once; the restore fails with 4000, exits 130 and leaves nothing.
TEST(AgentRestore, AnInterruptStopsAHungLoginAndTheRestoreUnwinds) {
  SRestoreRun run;
  run.sandbox.CloudSim({"calls", "--reset"});
  run.sandbox.Fault("iscsiadm:login", 1, "delay", {"--delay-ms", "600000"});
  const std::string log = run.sandbox.Dir() + "/restore.out";
  const pid_t job = run.sandbox.StartAgent({"restore", run.folder, "--as", "web-r"}, log);
  for (int i = 0; i < 1200 && run.sandbox.Calls("iscsiadm:login") < 1; ++i) ::usleep(50000);
  ASSERT_EQ(run.sandbox.Calls("iscsiadm:login"), 1);
  ::kill(job, SIGINT);
  const int status = CTestSandbox::WaitFor(job);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_NE(ReadTestFile(log).find("InitRestoreVM failed: error 4000"), std::string::npos) << ReadTestFile(log);
  run.ExpectOnly("", "interrupted");
}

// A hand-over the registry cannot record (its instance, a volume or the root refused) fails Post with 8102 naming the
// registry; an instance whose registration failed leaves a pending record that the hand-over takes along. Neither the
// job's clean-up nor the next job's sweep removes any of these results.
TEST(AgentRestore, AHandOverTheRegistryRefusesFailsAndNoJobRemovesTheResult) {
  SRestoreRun run;
  const std::string db = VMCleaner::DatabasePathFor(run.sandbox.Home() + "/registry", run.sandbox.ProxyInstanceId());
  std::vector<std::string> leaks = {"leaks", "--json", "--keep", "web-r"};
  for (const auto& [name, when] : std::vector<std::pair<std::string, std::string>>{
           {"r-vm", "DELETE ON entities WHEN old.type = 1 AND old.parent <> 0"},
           {"r-volume", "DELETE ON entities WHEN old.type = 3"},
           {"r-root", "DELETE ON entities WHEN old.parent = 0"},
           {"r-pending", "INSERT ON entities WHEN NEW.type = 1 AND NEW.parent <> 0"}}) {
    CSqliteDb(db, false).Exec("CREATE TRIGGER refuse BEFORE " + when +
                              " BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END");
    const bool handedOver = name == "r-pending";
    EXPECT_EQ(run.sandbox.Agent({"restore", run.folder, "--as", name}, &run.out), handedOver ? 0 : 1)
        << name << run.out;
    EXPECT_TRUE(handedOver ||
                (NamesStepCodeAndCause(run.out, "PostRestoreVM") && run.out.find(db) != std::string::npos &&
                 run.out.find("error 8102: Instance [" + name + "]") != std::string::npos))
        << run.out;
    CSqliteDb(db, false).Exec("DROP TRIGGER refuse");
    leaks.insert(leaks.end(), {"--keep", name});
  }
  EXPECT_EQ(run.Restore(), 0) << run.out;  // the next job sweeps
  for (const char* name : {"r-vm", "r-volume", "r-root", "r-pending"}) EXPECT_EQ(run.Instances(name), 1) << name;
  EXPECT_EQ(run.sandbox.CloudSim(leaks, &run.out), 0);
  EXPECT_EQ(json::parse(run.out), json::array());
  EXPECT_EQ(run.sandbox.Registry(), json::array());
}

// A registry lost between a killed job and the next: the next job, on its new registry, finds the dead job's leftovers
// by their marks in the cloud (its session on the proxy included) and removes them, and nothing else: the instance a
// restore handed over stays.
TEST(AgentRestore, ANewRegistrySweepsWhatDeadJobsLeftByTheirMarksAndNothingElse) {
  SRestoreRun run;
  ASSERT_EQ(run.Restore(), 0) << run.out;
  run.sandbox.Fault("iscsiadm:login", 1, "kill-after");
  EXPECT_NE(run.sandbox.Agent({"backup", "sample-db", "--store", run.sandbox.Dir() + "/store"}, &run.out), 0);
  fs::remove_all(run.sandbox.Home() + "/registry");
  EXPECT_EQ(run.sandbox.Agent({"backup", "sample-web", "--store", run.sandbox.Dir() + "/store"}, &run.out), 0)
      << run.out;
  run.ExpectOnly("web-r", "after the sweep");
  // The registry lost again under a running job: the next job leaves that job's snapshots and replicas alone, and a job
  // after it sweeps what the first one could not remove without its registry.
  run.sandbox.CloudSim({"calls", "--reset"});
  run.sandbox.Fault("GetInstanceConfigurations", 1, "delay", {"--delay-ms", "5000"});
  const std::string log = run.sandbox.Dir() + "/running.out";
  const pid_t running = run.sandbox.StartAgent({"backup", "sample-db", "--store", run.sandbox.Dir() + "/store"}, log);
  for (int i = 0; i < 400 && run.sandbox.Calls("GetInstanceConfigurations") < 1; ++i) ::usleep(10000);
  fs::remove_all(run.sandbox.Home() + "/registry");
  EXPECT_EQ(run.sandbox.Agent({"backup", "sample-web", "--store", run.sandbox.Dir() + "/store"}, &run.out), 0)
      << run.out;
  for (const char* kind : {"snapshots", "volumes"}) {
    const json all = plugintest::Ls(run.sandbox, kind);
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const json& r) { return r["name"].get<std::string>().rfind("_QD_", 0) == 0; }),
              2)
        << kind;
  }
  CTestSandbox::WaitFor(running);
  EXPECT_NE(ReadTestFile(log).find("Backup of [sample-db] stored"), std::string::npos) << ReadTestFile(log);
  EXPECT_EQ(run.sandbox.Agent({"backup", "sample-web", "--store", run.sandbox.Dir() + "/store"}, &run.out), 0)
      << run.out;
  run.ExpectOnly("web-r", "after the running job");
  // A replica handed over is the user's too: the search of a new registry leaves it and its integrity snapshots.
  ASSERT_EQ(run.sandbox.Agent({"replicate", run.folder, "--to", "web-dr"}, &run.out), 0) << run.out;
  const json snapshots = plugintest::Ls(run.sandbox, "snapshots");
  fs::remove_all(run.sandbox.Home() + "/registry");
  EXPECT_EQ(run.sandbox.Agent({"backup", "sample-db", "--store", run.sandbox.Dir() + "/store"}, &run.out), 0)
      << run.out;
  EXPECT_EQ(run.Instances("web-dr"), 1);
  EXPECT_EQ(plugintest::Ls(run.sandbox, "snapshots"), snapshots);
}
