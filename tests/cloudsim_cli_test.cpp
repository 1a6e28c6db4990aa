// The cloud-sim tool run as a process: its JSON, exit codes and messages, refusals, leaks and populate.
#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "SimTestUtil.h"
#include "bridge/sim/VolumeFiles.h"
#include "sandbox/VolumeChecksum.h"

using nlohmann::json;
using simtest::CTestCloud;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace {

struct SRun {
  int code = -1;
  std::string out, err;
};
// cloud-sim [--sandbox dir] args..., its standard output and error apart.
SRun Sim(const std::string& dir, std::vector<std::string> args) {
  if (!dir.empty()) args.insert(args.begin(), {"--sandbox", dir});
  args.insert(args.begin(), std::string(OCI_BUILD_DIR) + "/cloud-sim");
  SRun run;
  run.code = TzProcess::run(
      args, TzProcess::EnvironmentWith("CLOUD_SANDBOX", ""), &run.out, &run.err, 120, false, [] { return false; },
      nullptr);
  return run;
}
json Json(const std::string& dir, std::vector<std::string> args) {
  args.push_back("--json");
  return json::parse(Sim(dir, args).out);
}
// The leaks as "<kind> <field>"; the exit code says whether there are any.
std::set<std::string> Leaks(const std::string& dir, const std::vector<std::string>& args, const char* field = "id") {
  std::set<std::string> found;
  for (const auto& leak : Json(dir, args))
    found.insert(leak["kind"].get<std::string>() + " " + leak[field].get<std::string>());
  EXPECT_EQ(Sim(dir, args).code, found.empty() ? 0 : 1);
  return found;
}
bool HasRawControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\n'; });
}

// Each command under --json prints one JSON value on stdout, numbers as numbers; a failure prints
// {"ok": false, "command", "code": null, "exit_code", "message"} with the code it exits with and the message of stderr.
TEST(CloudSimCli, EveryCommandPrintsJsonOnSuccessAndFailure) {
  CTestCloud cloud;
  hosttest::TempDir temp;
  const std::string dir = cloud.Dir(), data = cloud.VolumeId("sample-web-data"), web = cloud.InstanceId("sample-web");
  const auto count = [&](const std::string& table) { return cloud.Int("SELECT COUNT(*) FROM " + table); };
  std::string state, leaked;
  auto bridge = cloud.Connect();
  ASSERT_TRUE(bridge->GetSnapshotStatus(cloud.Text("SELECT id FROM snapshots"), state));
  ASSERT_TRUE(bridge->CreateVolumeSnapshot(data, "a job's", "", leaked));
  const struct {
    std::vector<std::string> args;
    int code;  // leaks and loops: 1 when something is left
    std::function<void(const json&)> check;
  } cases[] = {
      {{"ls"},
       0,
       [&](const json& j) {
         EXPECT_EQ(j["flavour"], "infrastructure");
         EXPECT_EQ(j["counts"]["instances"], count("instances"));
         for (const auto& [kind, n] : j["counts"].items()) EXPECT_EQ(Json(dir, {"ls", kind}).size(), n) << kind;
       }},
      {{"ls", "volumes"},
       0,
       [&](const json& j) {
         EXPECT_EQ(j[0]["size_bytes"],
                   cloud.Int("SELECT size_bytes FROM volumes WHERE id = ?", j[0]["id"].get<std::string>()));
         EXPECT_TRUE(j[0]["is_boot"].is_boolean());
       }},
      {{"config", "set", "iscsi.reported_port", "3260"}, 0, [](const json& j) { EXPECT_EQ(j, json::object()); }},
      {{"config", "ls"},
       0,
       [&](const json& j) {
         EXPECT_EQ(json({j["slot_limit"], j["flavour"], j["iscsi.reported_port"]}),
                   json({32, "infrastructure", "3260"}))
             << "a text setting stays a text";
         EXPECT_EQ(j["boot_volume_bytes"], cloud.Int("SELECT value FROM meta WHERE key = 'boot_volume_bytes'"));
       }},
      {{"config", "set", "provision_seconds.volume", "3"},
       0,
       [&](const json& j) {
         EXPECT_EQ(j, json::object());
         EXPECT_EQ(Json(dir, {"config", "ls"})["provision_seconds.volume"], 3);
       }},
      {{"fault", "add", "--op", "GetVMInfo", "--nth", "2", "--action", "fail"},
       0,
       [&](const json& j) {
         const json rules = Json(dir, {"fault", "ls"});
         ASSERT_EQ(rules.size(), 1u);
         EXPECT_EQ(json({rules[0]["id"], rules[0]["when"], rules[0]["seen"]}), json({j["id"], 2, 0}));
       }},
      {{"fault", "clear"},
       0,
       [&](const json& j) {
         EXPECT_EQ(j, json({{"removed", 1}}));
       }},
      {{"calls"},
       0,
       [&](const json& j) {
         EXPECT_EQ(j, json(sim::CSimFaults(*cloud.Open()).Counters()));
         EXPECT_GE(j.value("GetSnapshotStatus", 0), 1) << j;
       }},
      {{"volume", "write", data, "--offset", "0", "--text", "hello"},
       0,
       [](const json& j) { EXPECT_EQ(j, json::object()); }},
      {{"volume", "checksum", data, "--bytes", "5"},
       0,
       [&](const json& j) {
         WriteTestFile(temp.Path() + "/hello", "hello");
         EXPECT_EQ(j, json({{"id", data},
                            {"chunked_sha256", sim::ChecksumOfSparseFile(temp.Path() + "/hello", 5)},
                            {"bytes", 5}}));
       }},
      {{"volume", "checksum", data},
       0,
       [&](const json& j) { EXPECT_EQ(j["bytes"], cloud.Int("SELECT size_bytes FROM volumes WHERE id = ?", data)); }},
      {{"volume", "add", web, "--size", "4096"},
       0,
       [&](const json& j) {
         EXPECT_EQ(json({j["instance"], j["size_bytes"]}), json({web, 4096}));
         EXPECT_EQ(cloud.Int("SELECT size_bytes FROM volumes WHERE id = ?", j["id"].get<std::string>()), 4096);
       }},
      {{"snapshot", "add", data, "--description", "op", "--created", "1000"},
       0,
       [&](const json& j) {
         EXPECT_EQ(cloud.Int("SELECT created FROM snapshots WHERE id = ? AND volume_id = ?", j["id"].get<std::string>(),
                             data),
                   1000);
         EXPECT_EQ(j["created"], 1000);
       }},
      {{"populate", "--compartments", "2", "--instances", "3"},
       0,
       [&](const json& j) {
         EXPECT_EQ(json({j["compartments"], j["instances_each"], j["instances"]}), json({2, 3, 6}));
         EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM instances WHERE name LIKE 'populated-%'"), 6);
       }},
      {{"leaks"},
       1,
       [&](const json& j) {
         EXPECT_EQ(j, json({{{"kind", "snapshot"}, {"id", leaked}, {"name", j[0]["name"]}}}));
       }},
      {{"loops"}, 0, [](const json& j) { EXPECT_EQ(j, json::array()); }},
      {{"init", temp.Path() + "/links", "--file-links"},
       0,
       [&](const json& j) {
         EXPECT_EQ(json({j["dir"], j["flavour"], j["backend"], j["loop_devices"]}),
                   json({temp.Path() + "/links", "infrastructure", "sim", false}));
         const json instances = Json(temp.Path() + "/links", {"ls", "instances"});
         ASSERT_EQ(j["instances"].size() + 1, instances.size()) << "all but the proxy";
         for (const json& i : instances) {
           const bool sample =
               std::count(j["instances"].begin(), j["instances"].end(), json({{"id", i["id"]}, {"name", i["name"]}}));
           EXPECT_NE(sample, i["id"] == j["proxy_id"]) << i;
         }
       }},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    SRun run = Sim(args[0] == "init" ? "" : dir, args);
    EXPECT_EQ(json({run.code, run.err}), json({c.code, ""})) << ::testing::PrintToString(c.args);
    const json j = json::parse(run.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << ::testing::PrintToString(c.args) << ": not one JSON value: " << run.out;
    c.check(j);
  }
  const struct {
    std::vector<std::string> args;
    int code;
    std::string command;
  } failures[] = {
      {{"--sandbox", dir, "ls", "planets"}, 2, "cloud-sim ls"},
      {{"--sandbox", temp.Path(), "ls"}, 1, "cloud-sim ls"},
      {{"--sandbox", dir, "volume", "checksum", "nothing"}, 1, "cloud-sim volume checksum"},
      {{"--sandbox", dir, "volume", "checksum", data, "--bytes", "abc"}, 2, "cloud-sim volume checksum"},
      {{"--sandbox", dir, "volume", "add", web, "--size", "4096", "--bogus"}, 2, "cloud-sim volume add"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--every", "--action", "explode"},
       2,
       "cloud-sim fault add"},
      {{"--sandbox", dir, "snapshot", "rm", "snap-x"}, 1, "cloud-sim snapshot rm"},
      {{"--sandbox", dir, "leaks", "--keep", "nobody"}, 1, "cloud-sim leaks"},  // not the list of leaks
      {{"init", dir}, 1, "cloud-sim init"},
      {{"explode"}, 2, "cloud-sim"},
  };
  for (const auto& c : failures) {
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    SRun run = Sim("", args);
    const json j = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << ::testing::PrintToString(c.args) << run.out << run.err;
    EXPECT_EQ(json({run.code, j["ok"], j["command"], j["code"], j["exit_code"]}),
              json({c.code, false, c.command, nullptr, c.code}))
        << run.out;
    EXPECT_EQ("cloud-sim: " + j.value("message", "") + "\n", run.err) << run.out;
  }
  EXPECT_EQ(count("fault_rules"), 0) << "a refused rule is not added";
  // A text from the sandbox's files reaches the terminal escaped; JSON's own encoding escapes it there.
  const std::string title = "iqn\x1b]0;owned\x07";
  ASSERT_EQ(Sim(dir, {"config", "set", "iscsi.reported_iqn", title}).code, 0);
  const std::string shown = Sim(dir, {"config", "ls"}).out;
  EXPECT_NE(shown.find("iqn\\x1b]0;owned\\x07"), std::string::npos) << shown;
  EXPECT_FALSE(HasRawControl(shown));
  EXPECT_EQ(Json(dir, {"config", "ls"})["iscsi.reported_iqn"], title);
}

// Usage errors exit 2 (never a code of the parser library), print nothing on stdout, name what was
// wrong and what is accepted, and show control characters escaped.
TEST(CloudSimCli, UsageErrorsExit2AndSayWhatIsAccepted) {
  CTestCloud cloud;
  const std::string dir = cloud.Dir(), data = cloud.VolumeId("sample-web-data");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--sandbox", dir, "ls", "planets\x1b[31m"},
       "Unknown kind [planets\\x1b[31m]: use one of regions, compartments, ads"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--every", "--action", "explode"},
       "Unknown action [explode]: use one of fail, faulty, noslot, delay"},
      {{"--sandbox", dir, "fault", "add", "--op", "Explode", "--every", "--action", "fail"},
       "Unknown operation [Explode]"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--nth", "0", "--action", "fail"},
       "--nth: takes a whole number of at least 1, not [0]"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--action", "fail"},
       "give exactly one of --nth N (N >= 1) and --every"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--every", "--action", "delay"},
       "a delay rule needs a delay of 1 millisecond or more"},
      {{"--sandbox", dir, "volume", "checksum", data, "--bytes", "abc"},
       "--bytes: takes a whole number of at least 1, not [abc]"},
      {{"--sandbox", dir, "volume", "write", data, "--offset", "0"},
       "give the bytes to write: --text TEXT or --file FILE"},
      {{"--sandbox", dir, "volume", "write", data, "--offset", "-1", "--text", "x"},
       "--offset: takes a whole number of at least 0"},
      {{"--sandbox", dir, "volume", "add", "i"}, "--size is required"},
      {{"--sandbox", dir, "config", "set", "slot_limit", "x"}, "The value of [slot_limit] must be a whole number"},
      {{"--sandbox", dir, "config", "set", "color", "1"}, "Unknown setting [color]: use slot_limit"},
      {{"--sandbox", dir, "populate", "--compartments", "0", "--instances", "1"},
       "--compartments: takes a whole number from 1 to 1000000, not [0]"},
      {{"--sandbox", dir, "populate", "--compartments", "1001", "--instances", "1000"},
       "--compartments times --instances must be at most 1000000, not 1001000"},
      {{"init", dir + "2", "--flavour", "azure"}, "Unknown flavour [azure]: use infrastructure or classic"},
      {{"init", dir + "2", "--backend", "cloud"}, "Unknown backend [cloud]: use sim or rest"},
      {{"init", dir + "2", "--flavour", "classic", "--backend", "rest"}, "use --backend sim for classic"},
      {{"init", dir + "2", "--volume-mib", "1"}, "--volume-mib: takes a whole number from 8 to 1048576, not [1]"},
      {{"ls"}, "give the sandbox: --sandbox DIR, or set CLOUD_SANDBOX"},
      // The parser library's own errors (its codes 105 to 109) are usage errors too.
      {{"--sandbox"}, "--sandbox: 1 required TEXT missing"},
      {{"--sandbox", dir, "ls", "volumes", "more"}, "was not expected: more"},
      {{"--sandbox", dir, "fault", "add", "--op", "GetVMInfo", "--nth", "1", "--every", "--action", "fail"},
       "--nth excludes --every"},
      {{"--sandbox", dir, "serve", "--port", "70000"}, "--port: Value 70000 not in range 0 to 65535"},
      {{"loops"}, "give the sandbox: --sandbox DIR (or set CLOUD_SANDBOX), or --all"},
      {{"explode"}, "\"explode\" is not a command. The commands: init, ls, calls, leaks, fault"},
      {{}, "give a command: init, ls"},
  };
  for (const auto& [args, phrase] : cases) {
    SRun run = Sim("", args);
    EXPECT_EQ(run.code, 2) << phrase << run.err;
    EXPECT_EQ(run.out, "") << phrase;
    EXPECT_NE(run.err.find(phrase), std::string::npos) << run.err;
    EXPECT_FALSE(HasRawControl(run.err)) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "2"));
  EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM fault_rules"), 0);
  SRun version = Sim("", {"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out.rfind("cloud-sim ", 0), 0u) << version.out;
}

// A failure of the work exits 1 and says the cause and the fix; nothing is made or changed.
TEST(CloudSimCli, RefusalsSayWhyAndChangeNothing) {
  CTestCloud cloud;
  hosttest::TempDir temp;
  const std::string dir = cloud.Dir(), missing = dir + "/nowhere", full = temp.Path() + "/full";
  WriteTestFile(full + "/file", "x");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--sandbox", missing, "ls"},
       "cloud-sim: The sandbox [" + missing + "] does not exist: make one with \"cloud-sim init DIR\"\n"},
      {{"--sandbox", temp.Path(), "ls"},
       "is not a sandbox: give the folder of one, or make one with \"cloud-sim init DIR\""},
      {{"init", dir},
       "cloud-sim: [" + dir + "] already holds a sandbox: give a new or empty folder, or remove it first"},
      {{"init", full}, "cloud-sim: [" + full + "] is not empty: give a new or empty folder\n"},
      {{"init", full + "/file"}, "[" + full + "/file] is not a folder: give a new or empty folder"},
      {{"init", missing + "/sandbox"},
       "The parent folder [" + missing + "] of [" + missing + "/sandbox] does not exist: init makes no parent folders"},
      {{"--sandbox", dir, "snapshot", "add", "vol-x", "--description", "d", "--created", "1"},
       "cloud-sim: Volume with id [vol-x] was not found\n"},
      {{"--sandbox", dir, "volume", "checksum", "nothing"}, "cloud-sim: No volume or snapshot has the id [nothing]\n"},
      {{"--sandbox", dir, "volume", "checksum", cloud.VolumeId("sample-web-data"), "--bytes", "134217729"},
       "holds 134217728 bytes, fewer than 134217729\n"},
  };
  for (const auto& [args, error] : cases) {
    SRun run = Sim("", args);
    EXPECT_EQ(run.code, 1) << error;
    EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(full), {}), 1);
  EXPECT_TRUE(Json(dir, {"fault", "ls"}).empty());
  EXPECT_EQ(Json(dir, {"config", "ls"})["slot_limit"], 32);
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
                                   "object image-import/stub", "image " + image, "device " + device, "loop " + loop,
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
  SRun written = Sim(dir, {"volume", "write", data, "--offset", "0", "--text", "hello"});
  ASSERT_EQ(json({written.code, written.out}), json({0, ""})) << "no data, and no JSON unasked";
  hosttest::TempDir temp;
  WriteTestFile(temp.Path() + "/hello", "hello");
  EXPECT_EQ(Sim(dir, {"volume", "checksum", data, "--bytes", "5"}).out,
            sim::ChecksumOfSparseFile(temp.Path() + "/hello", 5) + "\n");
  SRun added = Sim(dir, {"volume", "add", web, "--size", "4096"});
  const std::string volume = added.out.substr(0, added.out.find('\n'));
  ASSERT_EQ(added.code, 0) << added.out;
  EXPECT_EQ(cloud.Text("SELECT v.display_name || ' ' || a.type FROM volumes v JOIN attachments a ON a.volume_id = v.id "
                       "WHERE v.id = ? AND a.instance_id = ? AND a.state = 'ATTACHED'",
                       volume, web),
            "sample-web-data2 paravirtualized");
  cloud.SetMeta(sim::kMetaSlotLimit, "2");
  const std::string snapshot = cloud.Text("SELECT id FROM snapshots");
  const std::pair<std::vector<std::string>, std::string> refused[] = {
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
    EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
  }
  EXPECT_EQ(cloud.Int("SELECT COUNT(*) FROM volumes WHERE display_name LIKE 'sample-web-data%'"), 2) << "none kept";
  ASSERT_EQ(Sim(dir, {"volume", "detach", volume}).code, 0);
  EXPECT_NE(Sim(dir, {"volume", "detach", volume}).err.find("is not attached to any instance"), std::string::npos);
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
