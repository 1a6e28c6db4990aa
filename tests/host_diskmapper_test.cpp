// The disk mapper's attach bracket: the new device is found, the lock is always released, and the
// bracket excludes other processes until their holder dies.
#include <atomic>
#include <chrono>
#include <thread>

#include "HostTestUtil.h"
#include "bridge/sim/SimLoopDevices.h"
#include "host/CDiskMapperLinux.h"

namespace {

class HostDiskMapper : public ::testing::Test {
 protected:
  HostDiskMapper() { std::filesystem::create_directories(root_ / "root"); }
  // A volume's bytes and the device link an attach would make for it, laid out as in a sandbox: the platform
  // root inside the folder that holds the volumes (the machine's loop devices bound elsewhere are not its disks).
  string MakeDevice(const string& name, size_t bytes) {
    const string volume = root_ / ("volumes/" + name + ".img"), link = root_ / ("root/dev/disk/by-path/" + name);
    hosttest::PutFile(volume, string(bytes, 'v'));
    std::filesystem::create_directories(root_ / "root/dev/disk/by-path");
    std::filesystem::create_symlink(volume, link);
    return link;
  }

  hosttest::TempDir root_;
  hosttest::ScopedEnv env_{"TZ_PLATFORM_ROOT", root_ / "root"};
  CDiskMapperLinux mapper_;
  string name_ = "untouched";
  UINT64 size_ = 0;
};

TEST_F(HostDiskMapper, PostAttachFindsTheOneNewDeviceOrFailsAfterTheBoundedWaitAndReleasesTheLock) {
  CVirtualClock clock;
  hosttest::ScopedClock installed(&clock);
  mapper_.SetDeviceWaitMilliseconds(5000);
  MakeDevice("already-there", 10);
  ASSERT_TRUE(mapper_.PreAttachDisk());
  EXPECT_FALSE(mapper_.PostAttachDisk("vol-1", name_, size_, false));
  EXPECT_EQ(name_, "untouched");
  EXPECT_GE(clock.TotalSleptMilliseconds(), 5000u);
  std::thread other([&] {  // the lock was released: another thread opens its own bracket
    ASSERT_TRUE(mapper_.PreAttachDisk());
    const string device = MakeDevice("new-disk", 4096);
    EXPECT_TRUE(mapper_.PostAttachDisk("vol-2", name_, size_, false));
    EXPECT_EQ(name_ + " " + std::to_string(size_), device + " 4096");
  });
  other.join();
  // Two new devices are refused, not guessed.
  ASSERT_TRUE(mapper_.PreAttachDisk());
  MakeDevice("one", 512);
  MakeDevice("two", 1024);
  EXPECT_FALSE(mapper_.PostAttachDisk("vol-3", name_, size_, false));
  EXPECT_EQ(size_, 4096u);
}

// The bracket excludes other processes too, and a holder that dies releases it; a cancel ends a wait.
TEST_F(HostDiskMapper, ABracketHeldByAnotherProcessWaitsUntilThatProcessDies) {
  hosttest::ChildProcess holder([](int fd) {
    CDiskMapperLinux other;
    hosttest::Report(fd, other.PreAttachDisk() ? 'y' : 'n');
    for (;;) ::pause();
    return 0;
  });
  ASSERT_EQ(holder.ReadByte(), 'y');
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    entered = mapper_.PreAttachDisk();
    mapper_.PostAttachDisk("vol", name_, size_, true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(entered.load()) << "entered while another process held the bracket";
  CDiskMapperLinux cancelled;  // a cancelled job stops waiting
  cancelled.SetCancelCheck([] { return true; });
  EXPECT_FALSE(cancelled.PreAttachDisk());
  holder.Kill(), holder.Wait();
  waiter.join();
  EXPECT_TRUE(entered.load());
}

// The kernel's block devices: the bracket finds the loop device bound to a file of this machine (a
// sandbox), with its size from sysfs, and passes over one bound meanwhile to another sandbox's file; an
// iSCSI device's by-path link to the loop device gives the same size.
TEST(HostDiskMapperLoop, TheBracketFindsThisMachinesNewLoopDeviceWithItsSize) {
  hosttest::TempDir base, other;
  struct SRelease {
    std::vector<string> dirs;
    ~SRelease() {
      for (const string& dir : dirs) sim::ReleaseLoopDevicesUnder(dir);
    }
  } release{{base.Path(), other.Path()}};
  std::filesystem::create_directories(base / "root/dev/disk/by-path");
  hosttest::ScopedEnv env("TZ_PLATFORM_ROOT", base / "root");
  hosttest::PutFile(base / "cloud/volumes/own.img", string(3 << 20, 'o'));
  hosttest::PutFile(other / "cloud/volumes/other.img", string(1 << 20, 'x'));
  CDiskMapperLinux mapper;
  mapper.SetDeviceWaitMilliseconds(2000);
  string name;
  UINT64 size = 0;
  ASSERT_TRUE(mapper.PreAttachDisk());
  sim::BindLoopDevice(other / "cloud/volumes/other.img");
  const string device = sim::BindLoopDevice(base / "cloud/volumes/own.img");
  EXPECT_TRUE(mapper.PostAttachDisk("vol-own", name, size, false));
  EXPECT_EQ(name + " " + std::to_string(size), device + " " + std::to_string(3 << 20));
  const string link = base / "root/dev/disk/by-path/ip-169.254.2.2:3260-iscsi-iqn.x:own-lun-1";
  std::filesystem::create_symlink(device, link);
  EXPECT_TRUE(mapper.FindIscsiDevice("169.254.2.2", "3260", "iqn.x:own", name, size));
  EXPECT_EQ(name + " " + std::to_string(size), link + " " + std::to_string(3 << 20));
}

}  // namespace
