// The disk mapper's attach and detach brackets: the new device is found, the lock is always
// released, and concurrent attaches of threads and processes take turns so that each gets the
// device its own attach made.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "HostTestUtil.h"
#include "host/CDiskMapperLinux.h"
#include "host/EvDebug.h"

namespace {

class HostDiskMapper : public ::testing::Test {
 protected:
  void SetUp() override {
    hosttest::PutFile(root_ / "volumes/.keep", "");
    byPath_ = root_ / "dev/disk/by-path";
    std::filesystem::create_directories(byPath_);
  }
  // A volume's bytes and the device link an attach would make for it.
  string MakeDevice(const string& name, size_t bytes) {
    const string volume = root_ / ("volumes/" + name + ".img");
    hosttest::PutFile(volume, string(bytes, 'v'));
    const string link = byPath_ + "/" + name;
    std::filesystem::create_symlink(volume, link);
    return link;
  }

  hosttest::TempDir root_;
  hosttest::ScopedEnv env_{"TZ_PLATFORM_ROOT", root_.Path()};
  string byPath_;
};

}  // namespace

TEST_F(HostDiskMapper, PostAttachReportsTheDeviceThatAppearedAndItsSize) {
  CDiskMapperLinux mapper;
  ASSERT_TRUE(mapper.Init());
  MakeDevice("already-there", 10);
  ASSERT_TRUE(mapper.PreAttachDisk());
  const string device = MakeDevice("new-disk", 4096);
  string name;
  UINT64 size = 0;
  ASSERT_TRUE(mapper.PostAttachDisk("vol-1", name, size, false));
  EXPECT_EQ(name, device);
  EXPECT_EQ(size, 4096u);
  EXPECT_TRUE(mapper.BringDiskOffline(name));
  EXPECT_TRUE(mapper.IsOffline(name));
  EXPECT_TRUE(mapper.MakeDiskWriteable(name));
}

TEST_F(HostDiskMapper, NoNewDeviceFailsAfterTheBoundedWaitAndReleasesTheLock) {
  CVirtualClock clock;
  hosttest::ScopedClock installed(&clock);
  CDiskMapperLinux mapper;
  mapper.SetDeviceWaitMilliseconds(5000);
  ASSERT_TRUE(mapper.PreAttachDisk());
  string name = "untouched";
  UINT64 size = 7;
  EXPECT_FALSE(mapper.PostAttachDisk("vol-1", name, size, false));
  EXPECT_EQ(name, "untouched");
  EXPECT_GE(clock.TotalSleptMilliseconds(), 5000u);
  // The lock was released: another thread can open its own bracket.
  std::thread other([&] {
    EXPECT_TRUE(mapper.PreAttachDisk());
    EXPECT_TRUE(mapper.PostAttachDisk("vol-2", name, size, true));
  });
  other.join();
}

TEST_F(HostDiskMapper, FailedAttachAndDetachAlwaysReleaseTheLock) {
  CDiskMapperLinux mapper;
  string name;
  UINT64 size = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(mapper.PreAttachDisk());
    EXPECT_TRUE(mapper.PostAttachDisk("vol", name, size, true));
    ASSERT_TRUE(mapper.PreDetatchDisk(""));
    EXPECT_TRUE(mapper.PostDetatchDisk());
  }
}

TEST_F(HostDiskMapper, PostCallWithoutItsPreCallIsRefused) {
  CDiskMapperLinux mapper;
  string name;
  UINT64 size = 0;
  EvLogSink::Clear();
  EXPECT_FALSE(mapper.PostAttachDisk("vol", name, size, true));
  EXPECT_FALSE(mapper.PostDetatchDisk());
  EXPECT_TRUE(EvLogSink::Contains("Called without its pre-call on this thread"));
  // The mapper still works afterwards.
  ASSERT_TRUE(mapper.PreAttachDisk());
  EXPECT_TRUE(mapper.PostAttachDisk("vol", name, size, true));
}

TEST_F(HostDiskMapper, ConcurrentAttachesEachFindTheirOwnDevice) {
  CDiskMapperLinux mapper;
  constexpr int kThreads = 8;
  std::vector<string> made(kThreads), found(kThreads);
  std::vector<UINT64> sizes(kThreads);
  std::atomic<int> inside{0}, overlap{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      ASSERT_TRUE(mapper.PreAttachDisk());
      if (inside.fetch_add(1) != 0) overlap.fetch_add(1);
      made[i] = MakeDevice("disk-" + std::to_string(i), 512 * (i + 1));
      inside.fetch_sub(1);
      ASSERT_TRUE(mapper.PostAttachDisk("vol-" + std::to_string(i), found[i], sizes[i], false));
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlap.load(), 0);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(found[i], made[i]);
    EXPECT_EQ(sizes[i], 512u * (i + 1));
  }
}

TEST_F(HostDiskMapper, DetachForgetsDevicesThatWentAway) {
  CDiskMapperLinux mapper;
  ASSERT_TRUE(mapper.PreAttachDisk());
  const string device = MakeDevice("gone-soon", 100);
  string name;
  UINT64 size = 0;
  ASSERT_TRUE(mapper.PostAttachDisk("vol", name, size, false));
  ASSERT_TRUE(mapper.BringDiskOffline(name));
  ASSERT_TRUE(mapper.PreDetatchDisk(""));
  std::filesystem::remove(device);
  ASSERT_TRUE(mapper.PostDetatchDisk());
  EXPECT_FALSE(mapper.IsOffline(device));
}

TEST_F(HostDiskMapper, AnUnusableLockFileFailsThePreCallsAndLeavesNoLockHeld) {
  CDiskMapperLinux mapper;
  // A folder where the lock file belongs: it can be neither created nor locked.
  std::filesystem::create_directories(CDiskMapperLinux::LockFilePath());
  EvLogSink::Clear();
  EXPECT_FALSE(mapper.PreAttachDisk());
  EXPECT_FALSE(mapper.PreDetatchDisk(""));
  EXPECT_TRUE(EvLogSink::Contains("Cannot open the disk mapper lock file [" + CDiskMapperLinux::LockFilePath() + "]"));
  std::filesystem::remove(CDiskMapperLinux::LockFilePath());
  string name;
  UINT64 size = 0;
  ASSERT_TRUE(mapper.PreAttachDisk());
  EXPECT_TRUE(mapper.PostAttachDisk("vol", name, size, true));
}

TEST_F(HostDiskMapper, MoreThanOneNewDeviceIsRefusedNotGuessed) {
  CDiskMapperLinux mapper;
  mapper.SetDeviceWaitMilliseconds(0);
  ASSERT_TRUE(mapper.PreAttachDisk());
  MakeDevice("one", 512);
  MakeDevice("two", 1024);
  string name = "untouched";
  UINT64 size = 0;
  EvLogSink::Clear();
  EXPECT_FALSE(mapper.PostAttachDisk("vol", name, size, false));
  EXPECT_EQ(name, "untouched");
  EXPECT_TRUE(EvLogSink::Contains("[2] new devices appeared for volume [vol]"));
}

// The bracket excludes other processes too, and a holder that dies releases it.
TEST_F(HostDiskMapper, ABracketHeldByAnotherProcessWaitsUntilThatProcessDies) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    CDiskMapperLinux other;
    const char byte = other.PreAttachDisk() ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::pause();  // holds the bracket until killed
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'y');
  CDiskMapperLinux mapper;
  std::atomic<bool> entered{false};
  std::thread waiter([&] {
    entered = mapper.PreAttachDisk();
    string name;
    UINT64 size = 0;
    mapper.PostAttachDisk("vol", name, size, true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(entered.load()) << "entered while another process held the bracket";
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  waiter.join();
  EXPECT_TRUE(entered.load());
  ::close(ready[0]);
  ::close(ready[1]);
}
