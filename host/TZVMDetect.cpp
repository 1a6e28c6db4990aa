#include "host/TZVMDetect.h"

#include "host/EvDebug.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostEnvironment.h"
#include "host/InstanceMetadata.h"

namespace {
string FirstLine(const string& relative) {
  string content;
  if (!ReadWholeFile(HostEnvironment::UnderRoot(relative), content)) return string();
  string line = content.substr(0, content.find_first_of("\r\n"));
  size_t end = line.find_last_not_of(" \t");
  return end == string::npos ? string() : line.substr(0, end + 1);
}
}  // namespace

UINT32 TZVMDetect::DetectHypervisor() {
  UINT32 result = 0;
  string vendor = FirstLine("sys/class/dmi/id/sys_vendor");
  string product = FirstLine("sys/class/dmi/id/product_name");
  if (FXString::FindString(vendor, "QEMU") || FXString::FindString(product, "KVM") ||
      FXString::FindString(vendor, "Red Hat"))
    result |= HYPERVISOR_KVM;
  if (FXString::FindString(vendor, "Xen")) result |= HYPERVISOR_XEN;
  if (FirstLine("sys/class/dmi/id/chassis_asset_tag") == "OracleCloud.com") result |= HYPERVISOR_ORACLE_CLOUD;
  return result;
}

bool TZVMDetect::GetLocalVMUUID(string& uuid) {
  error_.clear();
  string id;
  if (InstanceMetadata::IdFromService(error_)) {
    if (!InstanceMetadata::ReadInstanceId(InstanceMetadata::ServiceUrl(), id, error_)) id.clear();
  } else if (error_.empty()) {
    id = FirstLine("var/lib/cloud/data/instance-id");
    if (id.empty()) error_ = "cloud-init recorded no instance id under [" + HostEnvironment::PlatformRoot() + "]";
  }
  if (id.empty()) {
    EvDebug log;
    EVERROR(log, "The proxy's instance id is unknown: %s", error_.c_str());
    return false;
  }
  uuid = id;
  return true;
}
