// The virtual-disk tool: where it is found and how the stub disk of a temporary image is made.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include "host/CWqDirectory.h"
#include "host/CWqPath.h"
#include "host/FXFile.h"
#include "host/HostClock.h"
#include "host/TZPlatformInfo.h"
#include "host/TzProcess.h"
#include "util/OracleCloudInfoUtils.h"

namespace OracleCloudInfoUtils {

namespace {
constexpr const char* kPreferredKit = "VDDK673";
constexpr const char* kToolName = "vmware-vdiskmanager";
constexpr const char* kSuccessText = "Virtual disk creation successful.";

string ToolInKit(const string& vddkDir, const string& kit) {
  return FXPath::Append(FXPath::Append(FXPath::Append(vddkDir, kit), "bin64"), kToolName);
}

// Negative, 0 or positive as `a` is an older, the same or a newer version than `b`.
int CompareVersions(const string& a, const string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digitA = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool digitB = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    if (digitA && digitB) {
      size_t endA = i, endB = j;
      while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA]))) ++endA;
      while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB]))) ++endB;
      // Compared as numbers of any length: without leading zeros the longer run is the larger.
      size_t startA = i, startB = j;
      while (startA + 1 < endA && a[startA] == '0') ++startA;
      while (startB + 1 < endB && b[startB] == '0') ++startB;
      if (endA - startA != endB - startB) return endA - startA < endB - startB ? -1 : 1;
      const int digits = a.compare(startA, endA - startA, b, startB, endB - startB);
      if (digits != 0) return digits;
      i = endA;
      j = endB;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return a.compare(b);  // equal numbers written differently ("07", "7"): a fixed order all the same
}
}  // namespace

void SortVersionsNewestFirst(std::vector<string>& versions) {
  std::sort(versions.begin(), versions.end(),
            [](const string& a, const string& b) { return CompareVersions(a, b) > 0; });
}

string getVDDKDirectoryPath() {
  const string home = TZPI_PlatformBase::getBaseHomeDirectory();
  if (home.empty()) {
    EVERROR(c_evEvent, "Failed to get base home directory.");
    return string();
  }
  string location = FXPath::Append(FXPath::Append(home, "VMware"), "vddk");
  EVDEBUGLVL(c_evEvent, 3, "vddkLocation: [%s]", location.c_str());
  return location;
}

bool getAllVDDKVersionList(std::vector<string>& versions) {
  const string vddkDir = getVDDKDirectoryPath();
  if (vddkDir.empty()) {
    EVERROR(c_evEvent, "Failed to get VDDK directory");
    return false;
  }
  CWqDirectory dir;
  string error;
  if (!dir.Open(vddkDir, "VDDK*", &error, CWqDirectory::EEntries::Folders)) {
    EVERROR(c_evEvent, "Failed to open VDDK directory [%s]. Error: [%s]", vddkDir.c_str(), error.c_str());
    return false;
  }
  while (true) {
    string name;
    bool end = false;
    if (!dir.GetEntry(name, end, &error)) {
      EVERROR(c_evEvent, "Failed to get next entry in VDDK directory [%s]. Error: [%s]", vddkDir.c_str(),
              error.c_str());
      return false;
    }
    if (end) return true;
    EVDEBUGLVL(c_evEvent, 3, "Found VDDK version: [%s]", name.c_str());
    versions.push_back(name);
  }
}

string getPreferredVDiskManagerPath() {
  const string vddkDir = getVDDKDirectoryPath();
  if (vddkDir.empty()) return string();
  const string tool = ToolInKit(vddkDir, kPreferredKit);
  return CWqPath::IsFile(tool) ? tool : string();
}

string getLatestValidvDiskManagerPath() {
  std::vector<string> versions;
  if (!getAllVDDKVersionList(versions)) {
    EVERROR(c_evEvent, "Could not get list of VDDK versions.");
    return string();
  }
  const string vddkDir = getVDDKDirectoryPath();
  if (vddkDir.empty()) {
    EVERROR(c_evEvent, "Failed to get VDDK directory");
    return string();
  }
  SortVersionsNewestFirst(versions);
  for (const string& version : versions) {
    string candidate = ToolInKit(vddkDir, version);
    EVDEBUGLVL(c_evEvent, 3, "Trying vdiskmanager path: [%s]", candidate.c_str());
    if (CWqPath::IsFile(candidate)) return candidate;
  }
  EVERROR(c_evEvent, "No valid vdiskManager path found");
  return string();
}

string getVDiskManagerPath() {
  string configured;
  TZPlatformInfo::getString("VirtualServer", "szVDiskManagerPath", &configured);
  if (!configured.empty()) {
    EVDEBUG(c_evEvent, "Found vdiskmanager path in registry: [%s]", configured.c_str());
    return configured;
  }
  const string preferred = getPreferredVDiskManagerPath();
  return preferred.empty() ? getLatestValidvDiskManagerPath() : preferred;
}

string getVDiskManagerAdditionalLibPath(const string& toolPath) {
  return FXPath::Append(FXPath::GetParent(FXPath::GetParent(toolPath)), "lib64");
}

bool CreateStubVmdkFile(const string& folder, long long sizeMB, string& filePath, string& error) {
  if (!IsAbsoluteCleanPath(folder)) {
    error = "The folder of the stub disk [" + folder + "] is not an absolute path without '.' or '..' parts";
    return false;
  }
  const string tool = getVDiskManagerPath();
  if (tool.empty()) {
    EVERROR(c_evEvent, "Failed to get vddk path");
    error = "No virtual disk tool was found";
    return false;
  }
  if (!IsAbsoluteCleanPath(tool)) {
    error = "The virtual disk tool [" + tool + "] is not an absolute path without '.' or '..' parts";
    return false;
  }
  const string file = FXPath::Append(
      folder, "Vmdk-M" + std::to_string(sizeMB) + "-" + std::to_string(static_cast<long long>(HostClock::Now())));
  const string size = std::to_string(sizeMB) + "MB";
  // The tool is started directly, so a path reaches it as one argument whatever its characters. Its
  // libraries come first; an empty entry would add the current folder, so none is ever made.
  const char* old = std::getenv("LD_LIBRARY_PATH");
  string libraryPath = getVDiskManagerAdditionalLibPath(tool);
  if (old && *old) libraryPath += string(":") + old;
  const string text =
      "LD_LIBRARY_PATH=" + libraryPath + " \"" + tool + "\" -c -a ide -s " + size + " -t 0 \"" + file + "\"";
  string output;
  if (!executeProgram({tool, "-c", "-a", "ide", "-s", size, "-t", "0", file},
                      TzProcess::EnvironmentWith("LD_LIBRARY_PATH", libraryPath), text, output)) {
    EVERROR(c_evEvent, "Failed to execute command");
    if (!output.empty()) EVERROR(c_evEvent, "Error: [%s]", output.c_str());
    error = "The virtual disk tool [" + tool + "] failed";
    return false;
  }
  EVDEBUGLVL(c_evEvent, 3, "Create VMDK output: [%s]", output.c_str());
  if (output.find(kSuccessText) == string::npos) {
    EVERROR(c_evEvent, "Error while executing create VMDK command: [%s]", output.c_str());
    error = "The virtual disk tool [" + tool + "] did not report the disk made";
    return false;
  }
  filePath = file;
  return true;
}

bool ReadWholeBinaryFile(const string& path, string& contents) {
  string read;
  if (!ReadWholeFile(path, read)) {
    EVERROR(c_evEvent, "Could not read file: [%s]", path.c_str());
    return false;
  }
  // The stub disk is never empty: a file without data is no disk.
  if (read.empty()) {
    EVERROR(c_evEvent, "contents pointer NULL");
    return false;
  }
  contents = std::move(read);
  EVDEBUGLVL(c_evEvent, 3, "FileSize: %lu bytes", static_cast<unsigned long>(contents.size()));
  return true;
}

bool IsAbsoluteCleanPath(const string& path) {
  if (path.empty() || path[0] != '/') return false;
  for (const char c : path)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  for (size_t start = 1; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    const string part = path.substr(start, end - start);
    if (part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

bool IsValidBucketName(const string& name) {
  if (name.empty() || name.size() > 256) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

}  // namespace OracleCloudInfoUtils
