// The sandbox's iscsiadm, run as the plug-in runs it: node records, logins that link a target's volume bytes into
// the proxy's by-path folder, the real tool's error exits, fault rules, and hostile arguments that must stay data.
#include <set>

#include "SimTestUtil.h"
#include "bridge/sim/FakeIscsiadm.h"
#include "bridge/sim/VolumeFiles.h"
#include "sandbox/VolumeChecksum.h"

using VMInfoStructs::SDisk;
namespace fs = std::filesystem;

namespace {

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

class SimIscsiadm : public ::testing::Test {
 protected:
  // Runs a command line in a folder of its own, with the sandbox's bin first on PATH.
  int Shell(const std::string& line) {
    std::string output, cd = "cd " + Quote(work_.Path()) + " && PATH=" + Quote(cloud_.Dir() + "/bin") + ":\"$PATH\"; ";
    return TzProcess::system((cd + line).c_str(), &output, nullptr, 30, true);
  }
  // A fresh copy of the sample-db data volume attached to the proxy over iSCSI, and its target.
  std::pair<SDisk, std::string> Attach() {
    std::string snapshot;
    SDisk disk;
    disk.attachmentType = "iscsi";
    EXPECT_TRUE(bridge_->CreateVolumeSnapshot(cloud_.VolumeId("sample-db-data"), "d", "", snapshot));
    EXPECT_TRUE(bridge_->CreateVolumeFromSnapshot(snapshot, "", disk.createdVolumeId)) << bridge_->GetLastError();
    bool noFreeSlot = false;
    EXPECT_TRUE(bridge_->AttachVolume(disk, cloud_.Sandbox().proxyId, noFreeSlot)) << bridge_->GetLastError();
    return {disk, " -T " + disk.iscsiIqn + " -p " + disk.iscsiTargetPortal + ":" + disk.iscsiTargetPort};
  }
  std::string Device(const SDisk& d) const {
    return cloud_.Dir() + "/root/dev/disk/by-path/ip-" + d.iscsiTargetPortal + ":3260-iscsi-" + d.iscsiIqn + "-lun-1";
  }
  std::string Iscsi(const std::string& sub) const { return cloud_.CloudDir() + "/iscsi/" + sub; }

  simtest::CTestCloud cloud_;
  hosttest::TempDir work_;
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> bridge_ = cloud_.Connect();
};

TEST_F(SimIscsiadm, LoginLinksTheVolumeBytesAndLogoutRemovesThem) {
  auto [disk, t] = Attach();
  EXPECT_EQ(Shell("iscsiadm -m node" + t + " -l"), sim::kIscsiadmNoObjects) << "no node record yet";
  struct SStep {
    std::string line;
    int code;
    bool device;  // linked afterwards
  } steps[] = {
      {"-m node -o new" + t, 0, false},
      {"-m node" + t + " -l", 0, true},
      {"-m node" + t + " -l", sim::kIscsiadmSessionExists, true},
      {"-m node -o delete" + t, sim::kIscsiadmSessionExists, true},  // a session uses the record
      {"-m  node" + t + " -u", 0, false},
      {"-m node" + t + " -u", sim::kIscsiadmNoObjects, false},
      {"-m node -o delete" + t, 0, false},
      {"-m node -o delete" + t, sim::kIscsiadmNoObjects, false},
  };
  for (const SStep& step : steps) {
    EXPECT_EQ(Shell("iscsiadm " + step.line), step.code) << step.line;
    EXPECT_EQ(fs::is_symlink(Device(disk)), step.device) << step.line;
    if (step.device) {
      EXPECT_EQ(sim::ChecksumOfSparseFile(Device(disk), 128 * sim::kMiB),
                sim::VolumeChecksum(*cloud_.Open(), disk.createdVolumeId));
    }
  }

  // A detach withdraws the target: the device stays until the proxy logs out, and no new login.
  ASSERT_EQ(Shell("iscsiadm -m node -o new" + t + " && iscsiadm -m node" + t + " -l"), 0);
  ASSERT_TRUE(bridge_->DetachVolume(disk.createdVolumeId, cloud_.Sandbox().proxyId));
  EXPECT_TRUE(fs::is_symlink(Device(disk))) << "the cloud does not log the proxy out";
  ASSERT_EQ(Shell("iscsiadm -m node" + t + " -u"), 0);
  EXPECT_EQ(Shell("iscsiadm -m node" + t + " -l"), sim::kIscsiadmLoginFailed);
  EXPECT_FALSE(fs::exists(Device(disk)));
}

// The plug-in's logout line under a fault rule: the second of three logouts fails, and every call
// of each command is counted.
TEST_F(SimIscsiadm, FaultRulesFailTheirCallOnlyAndEveryCallIsCounted) {
  std::vector<std::pair<SDisk, std::string>> disks = {Attach(), Attach(), Attach()};
  for (const auto& [d, t] : disks)
    ASSERT_EQ(Shell("iscsiadm -m node -o new" + t + " && iscsiadm -m node" + t + " -l"), 0);
  cloud_.AddFault("iscsiadm:logout", 2, sim::EFaultAction::Fail, "connection timed out");
  std::vector<int> codes;
  std::vector<bool> devices;
  for (const auto& [d, t] : disks) {
    codes.push_back(Shell("iscsiadm -m  node" + t + " -u ; iscsiadm -m node -o delete" + t));
    devices.push_back(fs::is_symlink(Device(d)));
  }
  EXPECT_EQ(codes, (std::vector<int>{0, sim::kIscsiadmSessionExists, 0}));
  EXPECT_EQ(devices, (std::vector<bool>{false, true, false})) << "only the failed logout left its device";
  for (const char* op : {"iscsiadm:new", "iscsiadm:login", "iscsiadm:logout", "iscsiadm:delete"}) {
    EXPECT_EQ(cloud_.Calls(op), 3) << op;
  }
  EXPECT_THROW(cloud_.AddFault("iscsiadm:login", 1, sim::EFaultAction::NoSlot), sim::CSimError) << "no meaning here";
  EXPECT_THROW(cloud_.AddFault("iscsiadm:logout", 1, sim::EFaultAction::Faulty), sim::CSimError) << "only a login";
}

TEST_F(SimIscsiadm, HostileArgumentsAndOtherFormsChangeNothingOutsideTheLog) {
  const std::string canary = "/tmp/canary-" + std::to_string(::getpid()), p = "169.254.2.2:3260";
  std::vector<std::vector<std::string>> calls = {
      {},
      {"-m", "session"},
      {"-m", "node", "-T", "iqn.a", "-p", p},
      {"-m", "node", "-o", "new", "-T", "iqn.a", "-p", p, "-l"},
      {"-m", "node", "-T", "iqn.a", "-p", p, "-l", "-u"},
      {"-m", "node", "-o", "new", "-T", "iqn.ok", "-p", "1.2.3.4:3260; touch canary"},
  };
  for (const std::string& iqn :
       std::vector<std::string>{"iqn.x; touch " + canary, "iqn.a..b", "$(touch canary)", "`touch canary`",
                                "iqn.a/../../../root/x", "iqn.a\ntouch x", "-l"}) {
    calls.push_back({"-m", "node", "-o", "new", "-T", iqn, "-p", p});
    calls.push_back({"-m", "node", "-T", iqn, "-p", p, "-l"});
    calls.push_back({"-m", "node", "-T", "iqn.ok", "-p", iqn + ":3260", "-u"});  // as the portal
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
    std::string line = "iscsiadm";
    for (const std::string& arg : args) line.append(" ").append(Quote(arg));
    EXPECT_EQ(Shell(line), sim::kIscsiadmInvalid) << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(canary));
  EXPECT_TRUE(fs::is_empty(work_.Path())) << "nothing ran in the caller's folder";
  EXPECT_EQ(tree(), before);
  std::string log = ReadTestFile(Iscsi("iscsiadm.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), static_cast<long>(calls.size())) << "one line per call";
}

}  // namespace
