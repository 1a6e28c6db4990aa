#include "host/DiskMapperSysfs.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

namespace blockdev {

namespace {

constexpr UINT64 kSectorBytes = 512;  // sysfs counts sizes in 512-byte sectors whatever the device's own
constexpr const char* kDeletedSuffix = " (deleted)";

string ReadLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  string line;
  std::getline(in, line);
  return line;
}

bool ReadSysDisk(const std::filesystem::path& dir, SBlockDisk& disk) {
  const string sectors = ReadLine(dir / "size");
  if (sectors.empty() || sectors.find_first_not_of("0123456789") != string::npos) return false;
  disk.name = dir.filename().string();
  disk.path = "/dev/" + disk.name;
  disk.size = std::stoull(sectors) * kSectorBytes;
  disk.backingFile = ReadLine(dir / "loop/backing_file");
  disk.identity = disk.backingFile;
  for (const char* id : {"device/wwid", "wwid", "serial", "device/serial"}) {
    if (!disk.identity.empty()) break;
    disk.identity = ReadLine(dir / id);
  }
  return true;
}

}  // namespace

std::vector<SBlockDisk> ListDisks(const string& sysBlock) {
  std::vector<SBlockDisk> disks;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(sysBlock, ec), end; !ec && it != end; it.increment(ec)) {
    SBlockDisk disk;
    if (ReadSysDisk(it->path(), disk) && disk.size > 0) disks.push_back(disk);
  }
  return disks;
}

bool ReadDiskOf(const string& path, SBlockDisk& disk) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  const string dev = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  std::error_code ec;
  const std::filesystem::path sys = std::filesystem::canonical("/sys/dev/block/" + dev, ec);
  if (ec || !ReadSysDisk(sys, disk)) return false;
  return true;
}

bool OnMachine(const SBlockDisk& disk, const string& root) {
  std::error_code ec;
  const std::filesystem::path canonicalRoot = std::filesystem::weakly_canonical(root, ec);
  if (ec || canonicalRoot == "/") return true;
  string file = disk.backingFile;
  const size_t suffix = string(kDeletedSuffix).size();
  if (file.size() > suffix && file.compare(file.size() - suffix, suffix, kDeletedSuffix) == 0)
    file.resize(file.size() - suffix);
  const string sandbox = canonicalRoot.parent_path().string() + "/";
  return !file.empty() && file.compare(0, sandbox.size(), sandbox) == 0;
}

}  // namespace blockdev
