#pragma once
// Detects the hypervisor or cloud the agent runs on, from the platform's DMI and cloud-init files.
#include <string>

#include "host/HostTypes.h"

class TZVMDetect {
 public:
  // Result bits of DetectHypervisor.
  static constexpr UINT32 HYPERVISOR_KVM = 0x04;
  static constexpr UINT32 HYPERVISOR_XEN = 0x08;
  static constexpr UINT32 HYPERVISOR_ORACLE_CLOUD = 0x80;  // chassis asset tag "OracleCloud.com"

  UINT32 DetectHypervisor();
  // The instance id cloud-init recorded for this machine; false (and `uuid` untouched) without one.
  bool GetLocalVMUUID(string& uuid);
};
