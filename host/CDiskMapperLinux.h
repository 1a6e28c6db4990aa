#pragma once
// The agent's Linux disk mapper: finds the local block device of a volume attached to this machine.
// Devices of iSCSI attachments appear under <platform root>/dev/disk/by-path.
#include <string>

#include "host/EvDebug.h"
#include "host/HostTypes.h"
#include "host/TzCriticalSection.h"

class CDiskMapperLinux {
 public:
  CDiskMapperLinux();
  virtual ~CDiskMapperLinux();

  // Prepares the mapper; may be called repeatedly. False when the device folder cannot be used.
  virtual bool Init();
  bool IsInitialized() const { return initialized_; }
  const string& DeviceDirectory() const { return deviceDirectory_; }

 protected:
  EvDebug evDebug;
  TzCriticalSection lock;
  string deviceDirectory_;
  bool initialized_ = false;
};
