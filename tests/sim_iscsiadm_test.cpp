// The sandbox's iscsiadm, run as the plug-in runs it: node records, logins that link a target's
// volume bytes into the proxy's by-path folder, logouts, the real tool's error exits, and hostile
// arguments that must stay data.
#include <filesystem>
#include <set>

#include "bridge/sim/FakeIscsiadm.h"
#include "bridge/sim/SimFaults.h"
#include "bridge/sim/VolumeChecksum.h"
#include "bridge/sim/VolumeFiles.h"
#include "host/TzProcess.h"
#include "sim_test_cloud.h"

using simtest::CTestCloud;
using VMInfoStructs::SDisk;
namespace fs = std::filesystem;

namespace {

struct SRun {
  int code = -1;
  std::string output;
};

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class SimIscsiadm : public ::testing::Test {
 protected:
  // Runs a shell command line in a folder of its own, with the sandbox's bin first on PATH.
  SRun Shell(const std::string& line) {
    std::string command = "cd " + Quote(work_.Path()) + " && PATH=" + Quote(cloud_.Dir() + "/bin") + ":\"$PATH\" " + line;
    SRun run;
    run.code = TzProcess::system(command.c_str(), &run.output, nullptr, 30, true);
    return run;
  }
  SRun Iscsiadm(const std::vector<std::string>& args) {
    std::string line = "iscsiadm";
    for (const std::string& arg : args) line += " " + Quote(arg);
    return Shell(line);
  }
  // A fresh copy of the sample-db data volume, attached to the proxy over iSCSI.
  SDisk Attach() {
    std::string snapshot, volume;
    const std::string data = cloud_.Text("SELECT id FROM volumes WHERE display_name = 'sample-db-data'");
    EXPECT_TRUE(bridge_->CreateVolumeSnapshot(data, "d", "", snapshot)) << bridge_->GetLastError();
    EXPECT_TRUE(bridge_->CreateVolumeFromSnapshot(snapshot, "", volume)) << bridge_->GetLastError();
    SDisk disk;
    disk.createdVolumeId = volume;
    disk.attachmentType = "iscsi";
    bool noFreeSlot = false;
    EXPECT_TRUE(bridge_->AttachVolume(disk, cloud_.Sandbox().proxyId, noFreeSlot)) << bridge_->GetLastError();
    return disk;
  }
  static std::string Target(const SDisk& d) {
    return " -T " + d.iscsiIqn + " -p " + d.iscsiTargetPortal + ":" + d.iscsiTargetPort;
  }
  std::string Device(const SDisk& d) const {
    return cloud_.Dir() + "/root/dev/disk/by-path/ip-" + d.iscsiTargetPortal + ":3260-iscsi-" + d.iscsiIqn + "-lun-1";
  }
  std::string Iscsi(const std::string& sub) const { return cloud_.CloudDir() + "/iscsi/" + sub; }

  CTestCloud cloud_;
  simtest::CTempDir work_;
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
};

TEST_F(SimIscsiadm, LoginLinksTheVolumeBytesAndLogoutRemovesThem) {
  SDisk disk = Attach();
  const std::string t = Target(disk);
  EXPECT_EQ(Shell("iscsiadm -m node" + t + " -l").output, "iscsiadm: No records found\n");
  ASSERT_EQ(Shell("iscsiadm -m node -o new" + t).code, 0);
  EXPECT_TRUE(fs::exists(Iscsi("nodes/" + disk.iscsiIqn + "," + disk.iscsiTargetPortal + ",3260")));
  SRun login = Shell("iscsiadm -m node" + t + " -l");
  ASSERT_EQ(login.code, 0) << login.output;
  auto cloud = cloud_.Open();
  EXPECT_EQ(sim::Sha256OfSparseFile(Device(disk), 128 * sim::kMiB), sim::VolumeSha256(*cloud, disk.createdVolumeId));

  struct SStep {
    std::string line;
    int code;
    bool deviceAfter;
  } steps[] = {
      {"iscsiadm -m node" + t + " -l", sim::kIscsiadmSessionExists, true},
      {"iscsiadm -m node -o delete" + t, sim::kIscsiadmSessionExists, true},  // a session uses the record
      {"iscsiadm -m  node" + t + " -u", 0, false},
      {"iscsiadm -m node" + t + " -u", sim::kIscsiadmNoObjects, false},
      {"iscsiadm -m node -o delete" + t, 0, false},
      {"iscsiadm -m node -o delete" + t, sim::kIscsiadmNoObjects, false},
  };
  for (const SStep& step : steps) {
    SRun run = Shell(step.line);
    EXPECT_EQ(run.code, step.code) << step.line << ": " << run.output;
    EXPECT_EQ(fs::is_symlink(Device(disk)), step.deviceAfter) << step.line;
  }
  EXPECT_TRUE(fs::is_empty(Iscsi("nodes")));
  EXPECT_TRUE(fs::is_empty(Iscsi("sessions")));
  std::string log = simtest::ReadFile(Iscsi("iscsiadm.log"));
  EXPECT_EQ(log.substr(0, log.find('\n')), "-m node" + t + " -l");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 9) << "one line per call";

  // A detach withdraws the target: the device stays until the proxy logs out, but the target can
  // no longer be logged in to.
  ASSERT_EQ(Shell("bash -c \"iscsiadm -m node -o new" + t + " && iscsiadm -m node" + t + " -l\"").code, 0);
  ASSERT_TRUE(bridge_->DetachVolume(disk.createdVolumeId, cloud_.Sandbox().proxyId));
  EXPECT_TRUE(fs::is_symlink(Device(disk))) << "the cloud does not log the proxy out";
  ASSERT_EQ(Shell("iscsiadm -m node" + t + " -u").code, 0);
  EXPECT_EQ(Shell("iscsiadm -m node" + t + " -l").code, sim::kIscsiadmLoginFailed);
  EXPECT_FALSE(fs::exists(Device(disk)));
}

// The plug-in's logout line under the cloud's fault rules: the second of three logouts fails, and
// every call of each command is counted.
TEST_F(SimIscsiadm, FaultRulesFailTheirCallOnlyAndEveryCallIsCounted) {
  std::vector<SDisk> disks = {Attach(), Attach(), Attach()};
  for (const SDisk& d : disks) {
    ASSERT_EQ(Shell("bash -c \"iscsiadm -m node -o new" + Target(d) + " && iscsiadm -m node" + Target(d) + " -l\"").code,
              0);
  }
  cloud_.AddFault("iscsiadm:logout", 2, sim::EFaultAction::Fail, "connection timed out");
  std::vector<int> codes;
  for (const SDisk& d : disks) {
    const std::string t = Target(d);
    codes.push_back(Shell("bash -c \"iscsiadm -m  node" + t + " -u ; iscsiadm -m node -o delete" + t + "\"").code);
  }
  EXPECT_EQ(codes, (std::vector<int>{0, sim::kIscsiadmSessionExists, 0}));
  std::vector<bool> devices;
  for (const SDisk& d : disks) devices.push_back(fs::is_symlink(Device(d)));
  EXPECT_EQ(devices, (std::vector<bool>{false, true, false})) << "only the failed logout left its device";
  auto cloud = cloud_.Open();
  const auto calls = sim::CSimFaults(*cloud).Counters();
  for (const char* op : {"iscsiadm:new", "iscsiadm:login", "iscsiadm:logout", "iscsiadm:delete"})
    EXPECT_EQ(calls.count(op) ? calls.at(op) : 0, 3) << op;
  // Rules of the bridge's kinds that mean nothing to iscsiadm are refused.
  EXPECT_THROW(cloud_.AddFault("iscsiadm:login", 1, sim::EFaultAction::NoSlot), sim::CSimError);
}

TEST_F(SimIscsiadm, HostileArgumentsAndOtherFormsChangeNothingOutsideTheLog) {
  const std::string canary = "/tmp/canary-" + std::to_string(::getpid());
  const std::string p = "169.254.2.2:3260";
  std::vector<std::vector<std::string>> calls = {
      {}, {"-m", "session"}, {"-m", "node", "-T", "iqn.a", "-p", p},
      {"-m", "node", "-o", "new", "-T", "iqn.a", "-p", p, "-l"}, {"-m", "node", "-T", "iqn.a", "-p", p, "-l", "-u"},
      {"-m", "node", "-o", "new", "-T", "iqn.ok", "-p", "1.2.3.4:3260; touch canary"},
  };
  for (const std::string& iqn : {"iqn.x; touch " + canary, std::string("../../etc"), std::string("$(touch canary)"),
                                 std::string("`touch canary`"), std::string("iqn.a/../../../root/x"),
                                 std::string("iqn.a\ntouch canary"), std::string("-l")}) {
    calls.push_back({"-m", "node", "-o", "new", "-T", iqn, "-p", p});
    calls.push_back({"-m", "node", "-T", iqn, "-p", p, "-l"});
    calls.push_back({"-m", "node", "-T", iqn, "-p", p, "-u"});
    calls.push_back({"-m", "node", "-o", "delete", "-T", iqn, "-p", p});
  }
  auto tree = [&] {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(cloud_.Dir())) paths.insert(entry.path().string());
    paths.erase(Iscsi("iscsiadm.log"));
    return paths;
  };
  const std::set<std::string> before = tree();
  for (const auto& args : calls) {
    SRun run = Iscsiadm(args);
    EXPECT_EQ(run.code, sim::kIscsiadmInvalid) << ::testing::PrintToString(args) << run.output;
  }
  EXPECT_FALSE(fs::exists(canary));
  EXPECT_TRUE(fs::is_empty(work_.Path())) << "nothing ran in the caller's folder";
  EXPECT_EQ(tree(), before);
  std::string log = simtest::ReadFile(Iscsi("iscsiadm.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(calls.size())) << "one line per call";
}

}  // namespace
