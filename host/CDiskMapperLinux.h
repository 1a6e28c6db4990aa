#pragma once
// The agent's Linux disk mapper: finds the local block device of a volume attached to this machine.
// Devices of iSCSI attachments appear under <platform root>/dev/disk/by-path.
//
// Every attach and detach is bracketed: the pre-call takes the mapper's lock and notes the devices
// present; the post-call finds what changed and always releases the lock. So attaches of different
// disks on different threads take turns, and each new device is the one its own attach made.
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "host/EvDebug.h"
#include "host/HostTypes.h"

class CDiskMapperLinux {
 public:
  CDiskMapperLinux();
  virtual ~CDiskMapperLinux();

  // Prepares the mapper; may be called repeatedly. False when the platform root cannot be used.
  virtual bool Init();
  bool IsInitialized() const { return initialized_.load(); }
  string DeviceDirectory() const;

  // Takes the lock and notes the devices present. False (lock not taken) when the mapper is unusable.
  virtual bool PreAttachDisk();
  // Waits (bounded) for the device the attach made and reports its path and size; with `failed` it
  // only closes the bracket. Always releases the lock.
  virtual bool PostAttachDisk(const string& volumeId, string& deviceName, UINT64& size, bool failed);
  // The agent reads the device raw: the system must not use it.
  virtual bool BringDiskOffline(const string& deviceName);
  virtual bool MakeDiskWriteable(const string& deviceName);
  virtual bool PreDetatchDisk(const string& deviceName);
  virtual bool PostDetatchDisk();

  bool IsOffline(const string& deviceName) const;
  // Longest wait for a new device, in milliseconds (default 30 s).
  void SetDeviceWaitMilliseconds(uint64_t ms) { deviceWaitMs_ = ms; }

 protected:
  std::set<string> ListDevices() const;
  static std::set<string> ListDevicesIn(const string& directory);

  EvDebug evDebug;
  std::atomic<bool> initialized_{false};

 private:
  // Takes or releases the bracket lock; a post-call without its pre-call on this thread is refused.
  void EnterBracket();
  bool LeaveBracket(const char* tag);

  std::mutex bracket_;  // held from a pre-call to its post-call
  std::atomic<std::thread::id> bracketOwner_{};
  mutable std::mutex state_;  // guards what follows
  string deviceDirectory_;
  std::set<string> before_;
  std::set<string> offline_;
  uint64_t deviceWaitMs_ = 30000;
};
