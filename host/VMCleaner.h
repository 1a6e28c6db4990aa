#pragma once
// The agent's persistent registry of created entities, one per proxy identity, under
// <base home>/registry.
#include <string>

#include "host/HostTypes.h"

// The kind of job that owns a registry entry.
enum VM_Cleaner_Mode : int32_t {
  VM_CLEANER_MODE_BACKUP = 0,
  VM_CLEANER_MODE_RESTORE = 1,
};

// The kind of a registered entity.
enum VM_Cleaner_EntityType : int32_t {
  VM_CLEANER_ENTITY_VM = 1,
  VM_CLEANER_ENTITY_SNAPSHOT = 2,
  VM_CLEANER_ENTITY_DISK = 3,
  VM_CLEANER_ENTITY_IMAGE = 4,
  VM_CLEANER_ENTITY_VMDK_OBJECT = 5,
  VM_CLEANER_ENTITY_ISCSI_SESSION = 7,
};

class VMCleaner {
 public:
  VMCleaner();
  virtual ~VMCleaner();
  VMCleaner(const VMCleaner&) = delete;
  VMCleaner& operator=(const VMCleaner&) = delete;

  // Opens the registry of the proxy `localVmGuid` (the empty identity is valid). May be called
  // repeatedly; a later call with the same identity keeps the open registry.
  bool Init(const string& localVmGuid, UINT64 reserved);
  bool DeInit();

  bool IsInitialized() const { return initialized_; }
  const string& Identity() const { return identity_; }
  const string& RegistryDirectory() const { return directory_; }

 private:
  bool initialized_ = false;
  string identity_;
  string directory_;
};
