#include "bridge/sim/SimSandboxPaths.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "bridge/sim/SimIds.h"
#include "host/ErrnoText.h"

namespace sim {

namespace {

std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

}  // namespace

std::string SandboxRootOf(const CSimCloud& cloud) {
  const std::string& dir = cloud.Dir();
  size_t slash = dir.rfind('/');
  return (slash == std::string::npos || slash == 0 ? std::string() : dir.substr(0, slash)) + "/root";
}

std::string DeviceDirOf(const CSimCloud& cloud) { return SandboxRootOf(cloud) + "/dev/disk/by-path"; }
std::string IscsiTargetsDir(const CSimCloud& cloud) { return cloud.IscsiDir() + "/targets"; }
std::string IscsiNodesDir(const CSimCloud& cloud) { return cloud.IscsiDir() + "/nodes"; }
std::string IscsiSessionsDir(const CSimCloud& cloud) { return cloud.IscsiDir() + "/sessions"; }
std::string IscsiCutSessionsDir(const CSimCloud& cloud) { return cloud.IscsiDir() + "/cut"; }

std::string ProxyInstanceId(const CSimCloud& cloud) {
  const std::string root = SandboxRootOf(cloud);
  if (cloud.Flavour() == EFlavour::Infrastructure) return FirstLine(root + "/var/lib/cloud/data/instance-id");
  std::string uuid = FirstLine(root + "/sys/class/dmi/id/product_uuid");
  for (char& c : uuid) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return uuid;
}

std::string VirtioLinkPath(const CSimCloud& cloud, const std::string& volumeId) {
  return DeviceDirOf(cloud) + "/virtio-" + SafeFileName(volumeId, "");
}

void MakeSymlink(const std::string& target, const std::string& link) {
  ::unlink(link.c_str());
  if (::symlink(target.c_str(), link.c_str()) != 0) {
    throw CSimError("Cannot create the device link [" + link + "]: " + ErrnoText(errno));
  }
}

void WriteFileAtomically(const std::string& path, const std::string& contents) {
  std::string temp = path + ".tmp." + RandomToken(8);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw CSimError("Cannot create [" + temp + "]: " + ErrnoText(errno));
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<size_t>(n);
  }
  bool ok = left == 0 && ::fsync(fd) == 0;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    throw CSimError("Cannot write [" + path + "]: " + ErrnoText(error));
  }
}

}  // namespace sim
