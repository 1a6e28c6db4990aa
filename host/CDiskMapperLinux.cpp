#include "host/CDiskMapperLinux.h"

#include <sys/stat.h>

#include "host/CWqDirectory.h"
#include "host/HostEnvironment.h"

CDiskMapperLinux::CDiskMapperLinux() : evDebug("diskmapper") {}

CDiskMapperLinux::~CDiskMapperLinux() = default;

bool CDiskMapperLinux::Init() {
  TzAutoLock guard(lock);
  string root = HostEnvironment::PlatformRoot();
  struct stat st;
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    EVERROR(evDebug, "Platform root [%s] is not a directory", root.c_str());
    initialized_ = false;
    return false;
  }
  // The by-path folder appears with the first iSCSI disk on a fresh machine; its absence is no error.
  deviceDirectory_ = HostEnvironment::UnderRoot("dev/disk/by-path");
  if (!initialized_) EVDEBUGLVL(evDebug, 2, "Disk mapper watches [%s]", deviceDirectory_.c_str());
  initialized_ = true;
  return true;
}
