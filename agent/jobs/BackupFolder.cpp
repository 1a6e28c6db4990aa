#include "agent/jobs/BackupFolder.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/diskio/DiskRegions.h"
#include "agent/jobs/DisplayText.h"
#include "agent/jobs/NumberOption.h"
#include "host/CFileLock.h"
#include "host/FXFile.h"

namespace agent {

namespace {

const char kLockFile[] = ".backup-agent.lock";

// The job ids the folders of the store carry: the decimal before the first '-'.
bool UsedJobIds(const string& store, std::set<long long>& ids, string& error) {
  DIR* dir = ::opendir(store.c_str());
  if (!dir) {
    error = "cannot list the store [" + EscapeForDisplay(store) + "]: " + strerror(errno);
    return false;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const string name = entry->d_name;
    const size_t dash = name.find('-');
    long long id = 0;
    string ignored;
    if (dash != string::npos && ParseDecimalOption("job id", name.substr(0, dash), 1, LLONG_MAX, id, ignored))
      ids.insert(id);
  }
  ::closedir(dir);
  return true;
}

string ShortHash(const string& text) { return Sha256Hex(text).substr(0, 16); }

}  // namespace

string SafeFileName(const string& name, size_t maxLength) {
  string out;
  for (char c : name) out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
  if (out.empty()) return "disk";
  if (out.size() <= maxLength) return out;
  const string hash = ShortHash(name);
  return out.substr(0, maxLength > hash.size() + 1 ? maxLength - hash.size() - 1 : 0) + "~" + hash;
}

bool ClaimBackupFolder(const string& store, long long requestedJobId, long long firstDefault, const string& instance,
                       SBackupFolder& claimed, string& error) {
  std::error_code ec;
  std::filesystem::create_directories(store, ec);
  if (ec) {
    error = "cannot create the store [" + EscapeForDisplay(store) + "]: " + ec.message();
    return false;
  }
  CFileLock lock;  // the store's lock, held for the scope
  if (!lock.Acquire(FXPath::Append(store, kLockFile))) {
    error = "cannot lock the store [" + EscapeForDisplay(store) + "]: " + strerror(errno);
    return false;
  }
  std::set<long long> used;
  if (!UsedJobIds(store, used, error)) return false;
  long long jobId = requestedJobId ? requestedJobId : firstDefault;
  if (requestedJobId && used.count(jobId)) {
    error = "job id " + std::to_string(jobId) + " is already used in the store [" + EscapeForDisplay(store) + "]";
    return false;
  }
  while (true) {
    while (!requestedJobId && used.count(jobId) && jobId < LLONG_MAX) ++jobId;
    if (used.count(jobId)) {
      error = "no free job id left in the store [" + EscapeForDisplay(store) + "]";
      return false;
    }
    const string path = FXPath::Append(store, std::to_string(jobId) + "-" + SafeFileName(instance));
    if (::mkdir(path.c_str(), 0700) == 0) {
      if (!MakeOwnerOnly(path, true)) {
        error = "cannot make [" + EscapeForDisplay(path) + "] its owner's alone: " + strerror(errno);
        return false;
      }
      claimed.jobId = jobId;
      claimed.path = path;
      return true;
    }
    if (errno != EEXIST || requestedJobId || jobId == LLONG_MAX) {
      error = "cannot create [" + EscapeForDisplay(path) + "]: " + strerror(errno);
      return false;
    }
    used.insert(jobId);
  }
}

// Stand-in until the store's own marker lands: a small record beside the manifest.
bool MarkBackupFailed(const string& folder, const string& step, const string& reason, string& error) {
  const string path = FXPath::Append(folder, "failed.json");
  const nlohmann::json marker = {{"step", step}, {"reason", reason}};
  if (WriteWholeFile(path, marker.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n")) return true;
  error = "cannot write [" + EscapeForDisplay(path) + "]: " + strerror(errno);
  return false;
}

}  // namespace agent
