#include "bridge/sim/SimLoopDevices.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/DiskMapperSysfs.h"
#include "host/ErrnoText.h"
#include "host/HostClock.h"

namespace sim {

namespace {

constexpr int kBindAttempts = 64;  // devices taken by other processes between asking and binding
constexpr int kNodeWaitMs = 2000;  // devtmpfs makes the node of a device just added
constexpr const char* kDeletedSuffix = " (deleted)";

class CFd {
 public:
  explicit CFd(int fd) : fd_(fd) {}
  ~CFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string Errno(int error) { return ErrnoText(error); }

int OpenNode(const std::string& device) {
  for (int waited = 0;; waited += 10) {
    int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT || waited >= kNodeWaitMs) return fd;
    HostClock::Sleep(10);
  }
}

// Binds the open file to the open device: LOOP_CONFIGURE, or on a kernel without it LOOP_SET_FD and
// LOOP_SET_STATUS64. 0, or the errno (EBUSY: another process bound the device first).
int Configure(int device, int file, const std::string& name) {
  loop_config config;
  std::memset(&config, 0, sizeof config);
  config.fd = static_cast<__u32>(file);
  std::strncpy(reinterpret_cast<char*>(config.info.lo_file_name), name.c_str(), LO_NAME_SIZE - 1);
  if (::ioctl(device, LOOP_CONFIGURE, &config) == 0) return 0;
  if (errno != EINVAL && errno != ENOTTY) return errno;
  if (::ioctl(device, LOOP_SET_FD, file) != 0) return errno;
  if (::ioctl(device, LOOP_SET_STATUS64, &config.info) != 0) {
    const int error = errno;
    ::ioctl(device, LOOP_CLR_FD, 0);
    return error;
  }
  return 0;
}

std::string WithoutDeletedSuffix(const std::string& file) {
  const size_t n = std::strlen(kDeletedSuffix);
  if (file.size() > n && file.compare(file.size() - n, n, kDeletedSuffix) == 0) return file.substr(0, file.size() - n);
  return file;
}

std::vector<SBoundLoop> BoundLoops() {
  std::vector<SBoundLoop> loops;
  for (const blockdev::SBlockDisk& disk : blockdev::ListDisks())
    if (!disk.backingFile.empty()) loops.push_back({disk.path, disk.backingFile});
  return loops;
}

}  // namespace

std::string BindLoopDevice(const std::string& file) {
  CFd bytes(::open(file.c_str(), O_RDWR | O_CLOEXEC));
  if (bytes.get() < 0) throw CSimError("Cannot open the volume file [" + file + "]: " + Errno(errno));
  CFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (control.get() < 0) {
    throw CSimError("Cannot bind [" + file + "] to a loop device: /dev/loop-control: " + Errno(errno) +
                    " (a sandbox made with --file-links keeps file links)");
  }
  for (int attempt = 0; attempt < kBindAttempts; ++attempt) {
    const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) throw CSimError("Cannot get a free loop device for [" + file + "]: " + Errno(errno));
    std::string device = "/dev/loop" + std::to_string(number);
    CFd node(OpenNode(device));
    if (node.get() < 0) {
      if (errno == ENXIO || errno == ENOENT) continue;  // removed by another process meanwhile
      throw CSimError("Cannot open [" + device + "] for [" + file + "]: " + Errno(errno));
    }
    const int error = Configure(node.get(), bytes.get(), file);
    if (error == 0) return device;
    if (error != EBUSY) throw CSimError("Cannot bind [" + file + "] to [" + device + "]: " + Errno(error));
  }
  throw CSimError("Cannot bind [" + file + "] to a loop device: each free one was taken by another process first");
}

bool ReleaseLoopDevice(const std::string& device, const std::string& named) {
  const std::string file = WithoutDeletedSuffix(named);
  CFd node(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (node.get() < 0) return errno == ENOENT || errno == ENXIO;
  loop_info64 info;
  if (::ioctl(node.get(), LOOP_GET_STATUS64, &info) != 0) return errno == ENXIO;  // bound to nothing
  struct stat st;
  bool same = false;
  if (::stat(file.c_str(), &st) == 0) {
    same = info.lo_device == st.st_dev && info.lo_inode == st.st_ino;
  } else {
    blockdev::SBlockDisk disk;
    std::error_code ec;
    const std::string wanted = std::filesystem::weakly_canonical(file, ec).string();
    same = blockdev::ReadDiskOf(device, disk) && WithoutDeletedSuffix(disk.backingFile) == wanted &&
           disk.backingFile != wanted;
  }
  if (!same) return true;
  // With another opener the kernel clears the device when that one closes it.
  if (::ioctl(node.get(), LOOP_CLR_FD, 0) != 0 && errno != ENXIO) return false;
  return true;
}

std::vector<SBoundLoop> LoopDevicesUnder(const std::string& folder) {
  std::error_code ec;
  const std::string prefix = std::filesystem::weakly_canonical(folder, ec).string() + "/";
  std::vector<SBoundLoop> under;
  for (const SBoundLoop& loop : BoundLoops())
    if (loop.file.compare(0, prefix.size(), prefix) == 0) under.push_back(loop);
  return under;
}

std::vector<SBoundLoop> SandboxLoopDevices() {
  std::vector<SBoundLoop> found;
  for (const SBoundLoop& loop : BoundLoops())
    if (loop.file.find("/cloud/volumes/") != std::string::npos) found.push_back(loop);
  return found;
}

std::vector<SBoundLoop> ReleaseLoopDevicesUnder(const std::string& folder) {
  for (const SBoundLoop& loop : LoopDevicesUnder(folder)) ReleaseLoopDevice(loop.device, loop.file);
  return LoopDevicesUnder(folder);
}

bool KeepsFileLinks(CSimDb& db) {
  return db.QueryText("SELECT value FROM meta WHERE key = ?", "", kMetaProxyDevices) == kProxyDevicesFiles;
}

std::string ProxyDeviceFor(bool fileLinks, const std::string& file) { return fileLinks ? file : BindLoopDevice(file); }

void ReleaseProxyDevice(const std::string& device, const std::string& file) {
  if (device.rfind("/dev/loop", 0) == 0) ReleaseLoopDevice(device, file);
}

}  // namespace sim
