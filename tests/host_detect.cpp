// Detection of the platform from DMI and cloud-init files, the BIOS identity, the disk mapper's root.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "HostTestUtil.h"
#include "host/CDiskMapperLinux.h"
#include "host/CVMInfo.h"
#include "host/TZVMDetect.h"

namespace {

using hosttest::PutFile;

class HostDetect : public ::testing::Test {
 protected:
  hosttest::TempDir root;
  hosttest::ScopedEnv platformRoot{"TZ_PLATFORM_ROOT", root.Path()};
  std::string Dmi(const std::string& name) const { return root / ("sys/class/dmi/id/" + name); }

  void SetUp() override { EvDebug::SetLogDirectory(""); }
};

TEST_F(HostDetect, AssetTagMarksTheCloudInstance) {
  struct Case {
    const char* tag;  // nullptr: no file
    bool cloud;
  };
  const Case cases[] = {{"OracleCloud.com\n", true},  {"OracleCloud.com", true},    {"OracleCloud.com  \n", true},
                        {"OracleCloud.co\n", false},  {"xOracleCloud.com\n", false}, {"No Asset Tag\n", false},
                        {"\n", false},                {nullptr, false}};
  for (const Case& c : cases) {
    std::filesystem::remove(Dmi("chassis_asset_tag"));
    if (c.tag) PutFile(Dmi("chassis_asset_tag"), c.tag);
    UINT32 bits = TZVMDetect().DetectHypervisor();
    EXPECT_EQ((bits & TZVMDetect::HYPERVISOR_ORACLE_CLOUD) != 0, c.cloud) << (c.tag ? c.tag : "(no file)");
  }
}

TEST_F(HostDetect, NoDmiFilesDetectsNothing) {
  EXPECT_EQ(TZVMDetect().DetectHypervisor(), 0u);
  PutFile(Dmi("sys_vendor"), "QEMU\n");
  PutFile(Dmi("chassis_asset_tag"), "OracleCloud.com\n");
  EXPECT_EQ(TZVMDetect().DetectHypervisor(), TZVMDetect::HYPERVISOR_KVM | TZVMDetect::HYPERVISOR_ORACLE_CLOUD);
}

TEST_F(HostDetect, LocalInstanceIdComesFromCloudInit) {
  TZVMDetect detect;
  string uuid = "untouched";
  EXPECT_FALSE(detect.GetLocalVMUUID(uuid));
  EXPECT_EQ(uuid, "untouched");
  PutFile(root / "var/lib/cloud/data/instance-id", "");
  EXPECT_FALSE(detect.GetLocalVMUUID(uuid));
  EXPECT_EQ(uuid, "untouched");
  PutFile(root / "var/lib/cloud/data/instance-id", "instance-0001-abc\n");
  ASSERT_TRUE(detect.GetLocalVMUUID(uuid));
  EXPECT_EQ(uuid, "instance-0001-abc");
}

TEST_F(HostDetect, BiosInfoReadsDmiIdentity) {
  PutFile(Dmi("sys_vendor"), "Vendor Inc.\n");
  PutFile(Dmi("product_serial"), "SER-1\n");
  PutFile(Dmi("product_uuid"), "4c4c4544-0042-3510-8052-b4c04f384d32\n");
  PutFile(Dmi("chassis_asset_tag"), "OracleCloud.com\n");
  string vendor, serial, uuid, extra;
  ASSERT_TRUE(CVMInfo::getBiosInfo(vendor, serial, uuid, extra));
  EXPECT_EQ(vendor, "Vendor Inc.");
  EXPECT_EQ(serial, "SER-1");
  EXPECT_EQ(uuid, "4c4c4544-0042-3510-8052-b4c04f384d32");
  EXPECT_EQ(extra, "OracleCloud.com");

  // Serial and asset tag are optional.
  std::filesystem::remove(Dmi("product_serial"));
  std::filesystem::remove(Dmi("chassis_asset_tag"));
  ASSERT_TRUE(CVMInfo::getBiosInfo(vendor, serial, uuid, extra));
  EXPECT_EQ(serial, "");
  EXPECT_EQ(extra, "");
}

TEST_F(HostDetect, BiosInfoNeedsVendorAndUuid) {
  for (const char* missing : {"sys_vendor", "product_uuid"}) {
    PutFile(Dmi("sys_vendor"), "Vendor\n");
    PutFile(Dmi("product_uuid"), "uuid\n");
    std::filesystem::remove(Dmi(missing));
    string vendor = "v0", serial = "s0", uuid = "u0", extra = "e0";
    EXPECT_FALSE(CVMInfo::getBiosInfo(vendor, serial, uuid, extra)) << missing;
    EXPECT_EQ(vendor + serial + uuid + extra, "v0s0u0e0") << "outputs untouched without " << missing;
  }
}

TEST_F(HostDetect, DiskMapperInitNeedsAnExistingRoot) {
  CDiskMapperLinux mapper;
  ASSERT_TRUE(mapper.Init());
  EXPECT_TRUE(mapper.IsInitialized());
  EXPECT_EQ(mapper.DeviceDirectory(), root / "dev/disk/by-path");
  EXPECT_TRUE(mapper.Init()) << "repeatable";
  EXPECT_TRUE(mapper.IsInitialized());

  for (const std::string& bad : {root / "does-not-exist", root / "a-file"}) {
    if (bad.ends_with("a-file")) PutFile(bad, "x");
    hosttest::ScopedEnv otherRoot("TZ_PLATFORM_ROOT", bad);
    EvLogSink::Clear();
    CDiskMapperLinux other;
    EXPECT_FALSE(other.Init()) << bad;
    EXPECT_FALSE(other.IsInitialized());
    EXPECT_TRUE(EvLogSink::Contains("[" + bad + "] is not a directory")) << bad;
  }
}

TEST(HostVirtualClock, SleepsAdvanceTimeWithoutBlocking) {
  CVirtualClock clock(1'000'000);
  {
    hosttest::ScopedClock installed(&clock);
    auto start = std::chrono::steady_clock::now();
    HostClock::Sleep(2 * 60 * 1000);
    HostClock::Sleep(500);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(30)) << "a virtual sleep blocked";
    EXPECT_EQ(HostClock::Now(), 1'000'120);
    EXPECT_EQ(HostClock::Get().NowMilliseconds(), 1'000'120'500);
    EXPECT_EQ(clock.TotalSleptMilliseconds(), 120'500u);
    clock.Advance(10);
    EXPECT_EQ(HostClock::Now(), 1'000'130);
    EXPECT_EQ(clock.TotalSleptMilliseconds(), 120'500u) << "advancing is not sleeping";
  }
  // Install(nullptr) brings back the system clock.
  int64_t system = HostClock::Now();
  EXPECT_NE(&HostClock::Get(), &clock);
  EXPECT_LE(std::llabs(system - static_cast<int64_t>(::time(nullptr))), 5);
}

}  // namespace
