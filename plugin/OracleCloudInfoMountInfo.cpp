// What the agent backs up after a mount: each disk under its index name, then every file of the
// mount directory (the configuration files).
#include <sstream>

#include "host/CWqDirectory.h"
#include "host/FXFile.h"
#include "plugin/OracleCloudInfo.h"

using namespace VMInfoStructs;

namespace {
constexpr UINT32 kMountedDiskType = 33;
}  // namespace

int COracleCloudInfo::GetFileMountInfo(const MountCtx& ctx, std::vector<SMountInfoFile>& out) { return 0; }

int COracleCloudInfo::GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
  try {
    if (ctx.mountInfoDisabled) return 0;
    return _GetFullMountInfo(ctx, out);
  } catch (...) {
    EVERROR(evDebug, "Caught unhandled exception");
    return 0;
  }
}

int COracleCloudInfo::_GetFullMountInfo(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
  if (!_GetFullMountInfo_Disks(ctx, out)) return 0;
  return _GetFullMountInfo_ConfigFiles(ctx, out);
}

int COracleCloudInfo::_GetFullMountInfo_Disks(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
  for (auto& disk : ctx.vmInfo.disks) {
    if (disk.name.empty()) continue;
    disk.diskType = kMountedDiskType;
    disk.selectedForRestore = 1;
    disk.backupSize = disk.size;
    FormDiskIndexName(disk.displayName, static_cast<int>(disk.diskNumber), disk.guid, disk.indexName);
    SMountInfoFull entry;
    entry.mountType = MOUNT_TYPE_DISK;
    entry.disks.push_back(disk);
    out.push_back(entry);
  }
  return 1;
}

int COracleCloudInfo::_GetFullMountInfo_ConfigFiles(const MountCtx& ctx, std::vector<SMountInfoFull>& out) {
  CWqDirectory listing;
  string error;
  if (!listing.Open(ctx.mountPath, "*", &error)) {
    EVDEBUG(evDebug, "Error Accessing Mount Path[%s], Error = [%s]", ctx.mountPath.c_str(), error.c_str());
    return 0;
  }
  string fileName;
  bool end = false;
  if (!listing.GetEntry(fileName, end, &error)) {
    EVDEBUG(evDebug, "Error Getting First Entry at [%s], Error = [%s]", ctx.mountPath.c_str(), error.c_str());
    return 0;
  }
  while (!end) {
    SDisk file;
    file.name = ctx.mountPath + "/" + fileName;
    file.indexName = fileName;
    file.displayName = fileName;
    file.diskType = 0;
    file.selectedForRestore = 0;
    file.fileKind =
        (fileName.find(".json") != string::npos && fileName.find('_') == string::npos) ? FILE_KIND_MAIN_CONFIG : 0;
    if (!FXFile::TZGetFileSize(file.name, file.backupSize, &error)) {
      EVDEBUG(evDebug, "Failed to get size of the file [%s]. [%s]", file.name.c_str(), error.c_str());
      return 0;
    }
    SMountInfoFull entry;
    entry.mountType = MOUNT_TYPE_FILE;
    entry.disks.push_back(file);
    out.push_back(entry);
    if (!listing.GetEntry(fileName, end, &error)) {
      EVDEBUG(evDebug, "Error Getting First Entry at [%s], Error = [%s]", ctx.mountPath.c_str(), error.c_str());
      return 0;
    }
  }
  listing.Close();
  return 1;
}

bool COracleCloudInfo::ParseDiskIndexName(const string& indexName, string& volumeName, int& index) {
  return ParseOracleCloudDiskIndexName(indexName, volumeName, index, &evDebug);
}

bool COracleCloudInfo::ParseOracleCloudDiskIndexName(const string& indexName, string& volumeName, int& index,
                                                     CPluginLog* log) {
  size_t underscore = indexName.rfind('_');
  if (indexName.empty() || underscore == string::npos) return false;
  volumeName = indexName.substr(0, underscore);
  // Read as formatted input reads an int: blanks skipped, optional sign, digits; no digit gives 0
  // and a value out of range the nearest limit.
  std::istringstream digits(indexName.substr(underscore + 1));
  int parsed = 0;
  digits >> parsed;
  index = parsed;
  if (log)
    EVDEBUG(*log, "Index Name [%s] => Volume name [%s] index [%d]", indexName.c_str(), volumeName.c_str(), index);
  return true;
}

void COracleCloudInfo::ResetDiskTypeForConversion(std::vector<SDisk>& disks) {
  for (auto& disk : disks) disk.diskType = kMountedDiskType;
}
