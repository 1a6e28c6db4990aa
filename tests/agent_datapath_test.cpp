// The agent's data path on a kernel block device (a loop device of the test's own, bound to a file)
// and on a plain file: a backup stores the data and leaves zero chunks holes, a restore makes the
// backup's zeros zero on a target that held other bytes and verifies by reading the target back.
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "HostTestUtil.h"
#include "agent/diskio/DiskCopy.h"
#include "agent/diskio/DiskWrite.h"

using namespace agent;

namespace {

constexpr size_t kMiB = 1 << 20, kSize = 16 * kMiB;

// A loop device bound to `file` for the scope (autoclear: the kernel releases it should the test die).
class CTestLoopDevice {
 public:
  explicit CTestLoopDevice(const std::string& file) {
    SFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC)), backing(::open(file.c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_GE(control.fd, 0) << strerror(errno);
    // Another process may take the free device first: ask again.
    for (int attempt = 0; attempt < 50 && fd_ < 0 && control.fd >= 0; ++attempt) {
      const int number = ::ioctl(control.fd, LOOP_CTL_GET_FREE);
      if (number < 0) break;
      path_ = "/dev/loop" + std::to_string(number);
      fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
      loop_config config{};
      config.fd = static_cast<__u32>(backing.fd);
      config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
      if (fd_ >= 0 && ::ioctl(fd_, LOOP_CONFIGURE, &config) == 0) return;
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a node devtmpfs has not made yet
    }
    ADD_FAILURE() << "no loop device could be bound to " << file;
  }
  ~CTestLoopDevice() {
    if (fd_ < 0) return;
    EXPECT_EQ(::ioctl(fd_, LOOP_CLR_FD, 0), 0) << path_ << ": " << strerror(errno);
    ::close(fd_);
  }
  CTestLoopDevice(const CTestLoopDevice&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

uint64_t Allocated(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

std::string Pattern(size_t at, size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(1 + (at + i) * 7 % 251);
  return bytes;
}

// A disk of 16 MiB: a chunk of data at 0, 8 KiB of data in the chunk at 3 MiB, a chunk of written
// zeros at 6 MiB (data to SEEK_DATA, zeros to a device), data at the end; holes elsewhere.
std::string MakeDisk(const std::string& path) {
  return hosttest::SparseFile(path, kSize,
                              {{0, Pattern(0, kMiB)},
                               {3 * kMiB + 4096, Pattern(3 * kMiB, 8192)},
                               {6 * kMiB, std::string(kMiB, '\0')},
                               {kSize - 4096, Pattern(kSize, 4096)}});
}

void SkipWithoutLoopDevices() {
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/loop-control on this machine";
}

// The same disk read from a loop device, its file and a copy on tmpfs: the device's size comes from
// the device (the size reported is ignored), the checksum is the file's, the store holds only the
// chunks that are not all zeros (the zeros at 6 MiB are read but not stored) and verifies.
TEST(AgentDatapath, BackupStoresOnlyTheDataOfADeviceOrFileAndItsChecksumMatches) {
  SkipWithoutLoopDevices();
  hosttest::TempDir dir, shm;
  const std::string disk = dir / "volume", store = dir / "disk.img.part";
  const std::string logical = MakeDisk(disk);
  const SDiskChecksum expected = hosttest::DiskChecksumOf(disk, kSize);
  std::filesystem::path onTmpfs;
  if (std::filesystem::is_directory("/dev/shm")) {
    onTmpfs = std::filesystem::path("/dev/shm") / std::filesystem::path(shm.Path()).filename();
    MakeDisk(onTmpfs);
  }
  CTestLoopDevice device(disk);
  ASSERT_FALSE(device.Path().empty());
  const struct {
    std::string source;
    UINT64 reportedSize;
    UINT64 bytesRead;  // a device is all data; a file's holes are not read
  } cases[] = {
      {device.Path(), 1, kSize},
      {disk, kSize, 4 * kMiB},
      {onTmpfs.string(), kSize, 4 * kMiB},
  };
  for (const auto& c : cases) {
    if (c.source.empty()) continue;
    SCOPED_TRACE(c.source);
    SDiskCopyResult copied;
    std::string error;
    ASSERT_TRUE(CopyDiskSparse(c.source, c.reportedSize, store, copied, error)) << error;
    EXPECT_EQ(copied.size, kSize);
    EXPECT_EQ(copied.bytesRead, c.bytesRead);
    EXPECT_EQ(copied.checksum, expected);
    EXPECT_TRUE(VerifyStoredCopy(store, copied, error)) << error;
    EXPECT_TRUE(hosttest::GetFile(store) == logical);
    // The chunks at 0, 3 MiB and 15 MiB.
    EXPECT_GE(Allocated(store), 3 * kMiB);
    EXPECT_LE(Allocated(store), 3 * kMiB + 64 * 1024);
  }
  if (!onTmpfs.empty()) std::filesystem::remove(onTmpfs);
}

// A restore onto a target full of other bytes (a boot volume made from an image): the backup's data
// is written, its holes and zero chunks made zero without writing them, the bytes past the disk left
// alone, and the read-back verifies. A target wrongly taken for empty keeps its old bytes where the
// backup has zeros: the read-back of every byte of the device (or of the file's data) catches it.
TEST(AgentDatapath, RestoreZeroesOldBytesOnADeviceAndPunchesHolesInAFile) {
  SkipWithoutLoopDevices();
  hosttest::TempDir dir;
  const std::string disk = dir / "volume", store = dir / "disk.img", target = dir / "boot-volume";
  const std::string logical = MakeDisk(disk);
  SDiskCopyResult copied;
  std::string error;
  ASSERT_TRUE(CopyDiskSparse(disk, kSize, store, copied, error)) << error;
  const SDiskChecksum whole = hosttest::DiskChecksumOf(disk, kSize, EChecksumScheme::WholeSha256);
  const struct {
    bool onDevice;
    std::string stored;  // this agent's store, or an older one that kept the written zeros
    SDiskChecksum sum;
    bool targetEmpty;
    UINT64 written;
    std::string error;  // empty: written and verified
  } cases[] = {
      {true, store, copied.checksum, false, 3 * kMiB, ""},
      {true, disk, whole, false, kMiB + 8192 + 4096, ""},
      {true, store, copied.checksum, true, 3 * kMiB, "differs from the stored disk"},
      {false, store, copied.checksum, false, 3 * kMiB, ""},
      {false, disk, copied.checksum, false, kMiB + 8192 + 4096, ""},
      {false, store, copied.checksum, true, 3 * kMiB, "differs from the stored disk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.onDevice ? "device " : "file ") + c.stored + (c.targetEmpty ? " empty" : ""));
    hosttest::PutFile(target, std::string(kSize + kMiB, '\xab'));
    std::optional<CTestLoopDevice> device;
    if (c.onDevice) device.emplace(target);
    const std::string path = c.onDevice ? device->Path() : target;
    SDiskWriteResult result;
    EXPECT_EQ(WriteDiskFromBackup(c.stored, kSize, path, c.sum, result, error, nullptr, c.targetEmpty), c.error.empty())
        << error;
    EXPECT_EQ(result.bytesWritten, c.written);
    EXPECT_EQ(result.bytesZeroed, kSize - c.written);
    if (!c.error.empty()) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    device.reset();
    const std::string after = hosttest::GetFile(target);
    EXPECT_TRUE(after.compare(0, kSize, logical) == 0);
    EXPECT_EQ(after.substr(kSize), std::string(kMiB, '\xab'));
    // Holes punched in a file, and through the loop device into its file (a thin device stays thin):
    // only the data and the last MiB of old bytes stay allocated.
    EXPECT_LE(Allocated(target), 4 * kMiB + 64 * 1024);
  }
}

}  // namespace
