#include "host/CDiskMapperLinux.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/CWqDirectory.h"
#include "host/DiskMapperSysfs.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"

namespace {
constexpr uint64_t kPollMs = 50;
constexpr const char* kLockFile = "run/lock/tz-diskmapper.lock";

// A disk's path, then what tells it apart: a loop device bound to another file in between is a new disk.
string DiskKey(const blockdev::SBlockDisk& disk) { return disk.path + "\n" + disk.identity; }
string PathOfKey(const string& key) { return key.substr(0, key.find('\n')); }

// The size of a device, or of a volume's file behind a link of a sandbox that keeps file links.
bool SizeOf(const string& path, UINT64& size) {
  blockdev::SBlockDisk disk;
  if (blockdev::ReadDiskOf(path, disk)) {
    size = disk.size;
    return disk.size > 0;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<UINT64>(st.st_size);
  return true;
}

}  // namespace

CDiskMapperLinux::CDiskMapperLinux() : evDebug("diskmapper") {}

CDiskMapperLinux::~CDiskMapperLinux() = default;

bool CDiskMapperLinux::Init() {
  string root = HostEnvironment::PlatformRoot();
  struct stat st;
  MutexLock guard(state_);
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    EVERROR(evDebug, "Platform root [%s] is not a directory", root.c_str());
    initialized_.store(false);
    return false;
  }
  // The by-path folder appears with the first iSCSI disk on a fresh machine; its absence is no error.
  deviceDirectory_ = HostEnvironment::UnderRoot("dev/disk/by-path");
  if (!initialized_.load()) EVDEBUGLVL(evDebug, 2, "Disk mapper watches [%s]", deviceDirectory_.c_str());
  initialized_.store(true);
  return true;
}

string CDiskMapperLinux::DeviceDirectory() const {
  MutexLock guard(state_);
  return deviceDirectory_;
}

std::set<string> CDiskMapperLinux::ListDevices() const {
  std::set<string> disks;
  const string root = HostEnvironment::PlatformRoot();
  for (const blockdev::SBlockDisk& disk : blockdev::ListDisks())
    if (blockdev::OnMachine(disk, root)) disks.insert(DiskKey(disk));
  // A sandbox that keeps file links has its disks as links to regular files.
  for (const string& link : ListDevicesIn(DeviceDirectory())) {
    struct stat st;
    if (::stat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode)) disks.insert(link + "\n");
  }
  return disks;
}

std::set<string> CDiskMapperLinux::ListDevicesIn(const string& directory) {
  std::set<string> devices;
  CWqDirectory listing;
  if (!listing.Open(directory, "*")) return devices;
  string name;
  bool end = false;
  while (listing.GetEntry(name, end) && !end) devices.insert(FXPath::Append(directory, name));
  return devices;
}

string CDiskMapperLinux::LockFilePath() { return HostEnvironment::UnderRoot(kLockFile); }

bool CDiskMapperLinux::EnterBracket(const char* tag) {
  // Another thread's bracket is waited for between looks at the cancel check.
  while (!bracket_.try_lock()) {
    if (Cancelled()) {
      evDebug.Error(tag, "The job was cancelled while waiting for the disk mapper");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(CFileLock::kStopPollMs));
  }
  const string path = LockFilePath();
  std::error_code ec;  // a folder that cannot be made shows in the open's failure
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  bool opened = false;
  if (!processLock_.Acquire(
          path,
          [&] {
            evDebug.DebugLvl(tag, 2, "Waiting for another process's disk attach or detach to finish [%s]",
                             path.c_str());
          },
          &opened, [this] { return Cancelled(); })) {
    evDebug.Error(
        tag,
        opened ? "Cannot lock the disk mapper lock file [%s]: %s" : "Cannot open the disk mapper lock file [%s]: %s",
        path.c_str(), ErrnoText(errno).c_str());
    bracket_.unlock();
    return false;
  }
  bracketOwner_.store(std::this_thread::get_id());
  return true;
}

bool CDiskMapperLinux::LeaveBracket(const char* tag) {
  if (bracketOwner_.load() != std::this_thread::get_id()) {
    evDebug.Error(tag, "Called without its pre-call on this thread");
    return false;
  }
  bracketOwner_.store(std::thread::id());
  processLock_.Release();
  bracket_.unlock();
  return true;
}

bool CDiskMapperLinux::PreAttachDisk() {
  if (!initialized_.load() && !Init()) return false;
  if (!EnterBracket(__PRETTY_FUNCTION__)) return false;
  std::set<string> present = ListDevices();
  MutexLock guard(state_);
  before_ = std::move(present);
  return true;
}

bool CDiskMapperLinux::PostAttachDisk(const string& volumeId, string& deviceName, UINT64& size, bool failed) {
  if (failed) {
    EVDEBUG(evDebug, "Attach of volume [%s] failed; closing the attach", volumeId.c_str());
    return LeaveBracket(__PRETTY_FUNCTION__);
  }
  struct SRelease {
    CDiskMapperLinux* self;
    ~SRelease() { self->LeaveBracket("bool CDiskMapperLinux::PostAttachDisk()"); }
  } release{this};
  if (bracketOwner_.load() != std::this_thread::get_id()) return false;
  std::set<string> before;
  {
    MutexLock guard(state_);
    before = before_;
  }
  // Nothing else on this machine attaches inside the bracket: two new devices mean the listing cannot
  // tell which is this volume's.
  return WaitForOneDevice(
      [&] {
        std::vector<string> fresh;
        for (const auto& disk : ListDevices())
          if (!before.count(disk)) fresh.push_back(PathOfKey(disk));
        return fresh;
      },
      "volume [" + volumeId + "]", deviceName, size);
}

bool CDiskMapperLinux::FindIscsiDevice(const string& portal, const string& port, const string& iqn, string& deviceName,
                                       UINT64& size) {
  if (!initialized_.load() && !Init()) return false;
  const string directory = DeviceDirectory();
  const string prefix = FXPath::Append(directory, "ip-" + portal + ":" + port + "-iscsi-" + iqn + "-lun-");
  return WaitForOneDevice(
      [&] {
        std::vector<string> found;  // the target's LUNs; partitions ("-lun-1-part1") are not disks
        for (const auto& device : ListDevicesIn(directory)) {
          if (device.size() <= prefix.size() || device.compare(0, prefix.size(), prefix) != 0) continue;
          if (device.find_first_not_of("0123456789", prefix.size()) == string::npos) found.push_back(device);
        }
        return found;
      },
      "target [" + iqn + "]", deviceName, size);
}

bool CDiskMapperLinux::WaitForOneDevice(const std::function<std::vector<string>()>& candidates, const string& what,
                                        string& deviceName, UINT64& size) {
  const int64_t deadline = HostClock::Get().NowMilliseconds() + static_cast<int64_t>(deviceWaitMs_);
  while (true) {
    const std::vector<string> found = candidates();
    if (found.size() > 1) {
      EVERROR(evDebug, "[%d] devices appeared for %s under [%s] ([%s], [%s], ...); refusing to choose",
              static_cast<int>(found.size()), what.c_str(), DeviceDirectory().c_str(), found[0].c_str(),
              found[1].c_str());
      return false;
    }
    UINT64 bytes = 0;
    if (found.size() == 1 && SizeOf(found[0], bytes)) {
      deviceName = found[0];
      size = bytes;
      EVDEBUG(evDebug, "The device of %s is [%s] of [%llu] bytes", what.c_str(), deviceName.c_str(),
              static_cast<unsigned long long>(bytes));
      return true;
    }
    if (HostClock::Get().NowMilliseconds() >= deadline || Cancelled()) break;
    HostClock::Sleep(kPollMs);
  }
  EVERROR(evDebug, "No device appeared for %s under [%s]", what.c_str(), DeviceDirectory().c_str());
  return false;
}

bool CDiskMapperLinux::BringDiskOffline(const string& deviceName) {
  if (!FXFile::DoesFileExist(deviceName)) return false;
  MutexLock guard(state_);
  offline_.insert(deviceName);
  return true;
}

bool CDiskMapperLinux::MakeDiskWriteable(const string& deviceName) {
  if (::access(deviceName.c_str(), W_OK) == 0) return true;
  struct stat st;
  if (::stat(deviceName.c_str(), &st) != 0) return false;
  return ::chmod(deviceName.c_str(), st.st_mode | S_IWUSR) == 0 && ::access(deviceName.c_str(), W_OK) == 0;
}

bool CDiskMapperLinux::PreDetatchDisk(const string& deviceName) {
  if (!initialized_.load() && !Init()) return false;
  MutexLock guard(state_);
  if (!deviceName.empty()) offline_.erase(deviceName);
  return true;
}

bool CDiskMapperLinux::PostDetatchDisk() {
  MutexLock guard(state_);
  // Devices that went away are no longer offline: a later device may take the same name.
  UINT64 size = 0;
  for (auto it = offline_.begin(); it != offline_.end();) it = SizeOf(*it, size) ? std::next(it) : offline_.erase(it);
  return true;
}

bool CDiskMapperLinux::IsOffline(const string& deviceName) const {
  MutexLock guard(state_);
  return offline_.count(deviceName) != 0;
}
