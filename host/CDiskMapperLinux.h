#pragma once
// The agent's Linux disk mapper: finds the local block device of a volume attached to this machine.
// Devices of iSCSI attachments appear under <platform root>/dev/disk/by-path, as links to block devices.
//
// A device that cannot be told by its name is found by an attach bracket: the pre-call takes the
// mapper's lock and notes the machine's disks from the kernel's block devices (sysfs: a disk with a
// medium, its size and identity); the post-call finds what changed and always releases
// the lock. The lock excludes every thread of this process and every other process on the machine
// (an flock on a lock file under the platform root, which the kernel drops when its holder dies), so
// such attaches take turns, and the one new device is the one this attach made; more than one is
// refused. An iSCSI device needs no bracket: its by-path name carries its target (FindIscsiDevice).
// A detach bracket takes no lock: a device going away never looks like a new one.
// Every wait (for the lock, for a device) looks at the cancel check and gives up when it says so.
#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/CFileLock.h"
#include "host/EvDebug.h"
#include "host/HostTypes.h"
#include "host/Mutex.h"

class CDiskMapperLinux {
 public:
  CDiskMapperLinux();
  virtual ~CDiskMapperLinux();

  // Prepares the mapper; may be called repeatedly. False when the platform root cannot be used.
  virtual bool Init() EXCLUDES(state_);
  bool IsInitialized() const { return initialized_.load(); }
  string DeviceDirectory() const EXCLUDES(state_);

  // Takes the lock and notes the devices present. False (lock not taken) when the mapper is unusable
  // or its lock file cannot be created or locked.
  virtual bool PreAttachDisk();
  // Waits (bounded) for the device the attach made and reports its path and size; with `failed` it
  // only closes the bracket. Fails when no device, or more than one, appeared. Always releases the lock.
  virtual bool PostAttachDisk(const string& volumeId, string& deviceName, UINT64& size, bool failed);
  // The agent reads the device raw: the system must not use it.
  virtual bool BringDiskOffline(const string& deviceName);
  virtual bool MakeDiskWriteable(const string& deviceName);
  virtual bool PreDetatchDisk(const string& deviceName);
  virtual bool PostDetatchDisk();
  // The device of the logged-in iSCSI target (by-path "ip-<portal>:<port>-iscsi-<iqn>-lun-<n>"),
  // waited for (bounded) and its size; fails when none, or more than one, appears.
  virtual bool FindIscsiDevice(const string& portal, const string& port, const string& iqn, string& deviceName,
                               UINT64& size);
  // Set once, before the mapper is used; called from whichever thread waits.
  void SetCancelCheck(std::function<bool()> cancelled) { cancelled_ = std::move(cancelled); }

  bool IsOffline(const string& deviceName) const;
  // Longest wait for a new device, in milliseconds (default 30 s).
  void SetDeviceWaitMilliseconds(uint64_t ms) { deviceWaitMs_ = ms; }
  // The file whose lock every process's bracket holds.
  static string LockFilePath();

 protected:
  // The machine's disks, each as "<path>\n<identity>"; in a sandbox that keeps file links also the by-path
  // links to files (with an empty identity).
  std::set<string> ListDevices() const;
  static std::set<string> ListDevicesIn(const string& directory);

  EvDebug evDebug;
  std::atomic<bool> initialized_{false};

 private:
  // Takes or releases the bracket lock (the threads' mutex, then the processes' file lock); a
  // post-call without its pre-call on this thread is refused.
  bool EnterBracket(const char* tag);
  bool LeaveBracket(const char* tag);

  bool Cancelled() const { return cancelled_ && cancelled_(); }
  // Polls (bounded by the device wait, ended by a cancel) until `candidates` lists one device whose
  // size can be read: true with its path and size. More than one is refused at once, never guessed;
  // `what` names the search in the log.
  bool WaitForOneDevice(const std::function<std::vector<string>()>& candidates, const string& what, string& deviceName,
                        UINT64& size);

  std::function<bool()> cancelled_;
  // Held from a pre-call to its post-call, which are calls of their own: the analysis follows a lock
  // within one function only, so this one stays a plain mutex. It admits one bracket (of the threads
  // of this process) to the file lock below; bracketOwner_ names the thread holding it.
  std::mutex bracket_;
  std::atomic<std::thread::id> bracketOwner_{};
  CFileLock processLock_;          // held while a bracket is open; touched only by its owner
  uint64_t deviceWaitMs_ = 30000;  // set before the mapper is used
  mutable Mutex state_;
  string deviceDirectory_ GUARDED_BY(state_);
  std::set<string> before_ GUARDED_BY(state_);
  std::set<string> offline_ GUARDED_BY(state_);
};
