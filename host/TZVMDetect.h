#pragma once
// Detects the hypervisor or cloud the agent runs on, from the platform's DMI and cloud-init files,
// and the instance it runs as (host/InstanceMetadata.h says where that comes from).
#include <string>

#include "host/HostTypes.h"

class TZVMDetect {
 public:
  // Result bits of DetectHypervisor.
  static constexpr UINT32 HYPERVISOR_KVM = 0x04;
  static constexpr UINT32 HYPERVISOR_XEN = 0x08;
  static constexpr UINT32 HYPERVISOR_ORACLE_CLOUD = 0x80;  // chassis asset tag "OracleCloud.com"

  UINT32 DetectHypervisor();
  // This machine's instance id: from the instance metadata service where TZ_INSTANCE_ID_SOURCE is
  // "metadata", else as cloud-init recorded it. False (and `uuid` untouched) without one; the error
  // (logged too) says what was asked of whom.
  bool GetLocalVMUUID(string& uuid);
  const string& GetLastError() const { return error_; }

 private:
  string error_;
};
