// Attached volumes on the proxy are loop devices of the machine: bindings made at once by several
// processes get devices of their own, a release clears only the binding it names, a killed job's device
// is a leak until the next job's sweep logs it out, and a sandbox that keeps file links says so.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "TestSandbox.h"
#include "bridge/sim/SimLoopDevices.h"
#include "host/DiskMapperSysfs.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

std::string BackingFileOf(const std::string& device) {
  blockdev::SBlockDisk disk;
  return blockdev::ReadDiskOf(device, disk) ? disk.backingFile : "";
}

}  // namespace

TEST(SandboxLoop, BindingsAtOnceGetDevicesOfTheirOwnAndAReleaseClearsOnlyTheBindingItNames) {
  hosttest::TempDir base;
  struct SRelease {
    std::string dir;
    ~SRelease() { sim::ReleaseLoopDevicesUnder(dir); }
  } release{base.Path()};
  const int kProcesses = 3;
  std::vector<std::string> files;
  std::vector<int> pipes;
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    files.push_back(base.Path() + "/cloud/volumes/v" + std::to_string(i) + ".img");
    WriteTestFile(files.back(), std::string(1 << 20, static_cast<char>('a' + i)));
  }
  for (int i = 0; i < kProcesses; ++i) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      std::string device;
      try {
        device = sim::BindLoopDevice(files[i]);
      } catch (const sim::CSimError& e) {
        device = e.what();
      }
      (void)!::write(fds[1], device.data(), device.size());
      ::_exit(0);
    }
    ::close(fds[1]);
    pipes.push_back(fds[0]);
    children.push_back(child);
  }
  std::vector<std::string> devices;
  for (int i = 0; i < kProcesses; ++i) {
    char text[512] = {};
    (void)!::read(pipes[i], text, sizeof text - 1);
    ::close(pipes[i]);
    CTestSandbox::WaitFor(children[i]);
    devices.push_back(text);
    EXPECT_EQ(BackingFileOf(devices[i]), files[i]) << devices[i];
  }
  EXPECT_EQ(std::set<std::string>(devices.begin(), devices.end()).size(), static_cast<size_t>(kProcesses));
  EXPECT_EQ(sim::LoopDevicesUnder(base.Path()).size(), static_cast<size_t>(kProcesses));
  // Another file's name leaves the device bound; its own releases it, also once the file was deleted.
  EXPECT_TRUE(sim::ReleaseLoopDevice(devices[0], files[1]));
  EXPECT_EQ(BackingFileOf(devices[0]), files[0]);
  EXPECT_TRUE(sim::ReleaseLoopDevice(devices[0], files[0]));
  EXPECT_EQ(BackingFileOf(devices[0]), "");
  fs::remove(files[1]);
  EXPECT_EQ(BackingFileOf(devices[1]), files[1] + " (deleted)");
  EXPECT_TRUE(sim::ReleaseLoopDevice(devices[1], files[1]));
  EXPECT_EQ(BackingFileOf(devices[1]), "");
  EXPECT_EQ(sim::ReleaseLoopDevicesUnder(base.Path()).size(), 0u);
  EXPECT_EQ(BackingFileOf(devices[2]), "");
}

TEST(SandboxLoop, AKilledJobsDeviceIsALeakUntilTheNextJobsSweepReleasesIt) {
  CTestSandbox sandbox;
  sandbox.Fault("iscsiadm:login", 1, "kill-after");
  std::string out;
  EXPECT_NE(sandbox.Agent({"backup", "sample-web", "--store", sandbox.Dir() + "/store"}, &out), 0) << out;
  // Each login's by-path link names a loop device bound to a volume's file in the sandbox (the other disk's
  // login, on another thread, may have come before the kill too).
  std::vector<std::string> devices;
  for (const auto& entry : fs::directory_iterator(sandbox.Root() + "/dev/disk/by-path"))
    devices.push_back(fs::read_symlink(entry.path()).string());
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(sandbox.CloudSim({"loops"}, &out), 1);
  const std::string loops = out;
  EXPECT_EQ(sandbox.CloudSim({"leaks", "--json"}, &out), 1);
  for (const std::string& device : devices) {
    struct stat st;
    ASSERT_TRUE(::stat(device.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) << device;
    EXPECT_EQ(BackingFileOf(device).rfind(fs::canonical(sandbox.Dir()).string() + "/cloud/volumes/", 0), 0u) << device;
    EXPECT_NE(loops.find(device + " "), std::string::npos) << loops;
    size_t named = 0;
    for (const json& leak : json::parse(out)) named += leak["kind"] == "loop" && leak["id"] == device;
    EXPECT_EQ(named, 1u) << out;
  }
  EXPECT_EQ(sandbox.Agent({"backup", "sample-db", "--store", sandbox.Dir() + "/store2"}, &out), 0) << out;
  for (const std::string& device : devices) EXPECT_EQ(BackingFileOf(device).find(sandbox.Dir()), std::string::npos);
  sandbox.ExpectNothingLeft();
}

TEST(SandboxLoop, ASandboxWithFileLinksSaysSoAndLinksTheVolumesFiles) {
  hosttest::TempDir base;
  const std::string dir = base.Path() + "/sandbox";
  std::string out;
  ASSERT_EQ(CTestSandbox::Run("cloud-sim", {"init", dir, "--volume-mib", "16", "--file-links"}, &out), 0) << out;
  EXPECT_NE(out.find("links to their files, not block devices"), std::string::npos) << out;
  hosttest::ScopedEnv root("TZ_PLATFORM_ROOT", dir + "/root"), home("TZ_BASE_HOME", dir + "/home");
  const auto cloudSim = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir});
    return CTestSandbox::Run("cloud-sim", args, &out);
  };
  ASSERT_EQ(cloudSim({"fault", "add", "--op", "iscsiadm:logout", "--every", "--action", "fail"}), 0) << out;
  EXPECT_EQ(
      CTestSandbox::Run("backup-agent", {"--sandbox", dir, "backup", "sample-web", "--store", dir + "/store"}, &out), 0)
      << out;
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(dir + "/root/dev/disk/by-path"))
    files += fs::is_regular_file(entry.path()) &&
             fs::read_symlink(entry.path()).string().find("/cloud/volumes/") != std::string::npos;
  EXPECT_EQ(files, 2u);
  EXPECT_EQ(cloudSim({"loops"}), 0) << out;
  ASSERT_EQ(cloudSim({"fault", "clear"}), 0) << out;
  EXPECT_EQ(
      CTestSandbox::Run("backup-agent", {"--sandbox", dir, "backup", "sample-db", "--store", dir + "/store2"}, &out), 0)
      << out;
  EXPECT_EQ(cloudSim({"leaks"}), 0) << out;
  EXPECT_EQ(CTestSandbox::Run("cloud-sim", {"remove", dir}, &out), 0) << out;
  EXPECT_FALSE(fs::exists(dir));
}
