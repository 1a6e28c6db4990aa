#include "agent/jobs/BackupFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "agent/diskio/DiskRegions.h"
#include "agent/jobs/ExitStatus.h"
#include "agent/jobs/NumberOption.h"
#include "cli/DisplayText.h"
#include "host/CFileLock.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/HostClock.h"

namespace agent {

namespace {

const char kLockFile[] = ".backup-agent.lock";

// The job id a name of the store carries: the decimal before the first '-' (0 when none).
long long JobIdOfName(const string& name) {
  const size_t dash = name.find('-');
  long long id = 0;
  string ignored;
  if (dash == string::npos || !ParseDecimalOption("job id", name.substr(0, dash), 1, LLONG_MAX, id, ignored)) return 0;
  return id;
}

// The job ids the folders of the store carry.
bool UsedJobIds(const string& store, std::set<long long>& ids, string& error) {
  DIR* dir = ::opendir(store.c_str());
  if (!dir) {
    error = "cannot list the store [" + cli::EscapeForDisplay(store) + "]: " + ErrnoText(errno);
    return false;
  }
  while (const dirent* entry = ::readdir(dir))
    if (const long long id = JobIdOfName(entry->d_name)) ids.insert(id);
  ::closedir(dir);
  return true;
}

string ShortHash(const string& text) { return Sha256Hex(text).substr(0, 16); }

// The folder open for its lock (never through a link); -1 when it cannot be opened.
int OpenFolder(const string& folder) { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

// Whether the backup's disks folder holds a disk stored whole (a copy still being written ends in
// ".part").
bool HoldsStoredDisk(const string& folder) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(FXPath::Append(folder, "disks"), ec), end; !ec && it != end;
       it.increment(ec)) {
    const string name = it->path().filename().string();
    if (it->is_regular_file(ec) && !(name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)) return true;
  }
  return false;
}

}  // namespace

string SafeFileName(const string& name, size_t maxLength) {
  string out;
  for (char c : name)
    out += (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.') ? c : '_';
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
    error = "cannot create the store [" + cli::EscapeForDisplay(store) + "]: " + ec.message();
    return false;
  }
  CFileLock lock;  // the store's lock, held for the scope
  if (!lock.Acquire(FXPath::Append(store, kLockFile))) {
    error = "cannot lock the store [" + cli::EscapeForDisplay(store) + "]: " + ErrnoText(errno);
    return false;
  }
  std::set<long long> used;
  if (!UsedJobIds(store, used, error)) return false;
  long long jobId = requestedJobId ? requestedJobId : firstDefault;
  if (requestedJobId && used.count(jobId)) {
    error = "job id " + std::to_string(jobId) + " is already used in the store [" + cli::EscapeForDisplay(store) + "]";
    return false;
  }
  while (true) {
    while (!requestedJobId && used.count(jobId) && jobId < LLONG_MAX) ++jobId;
    if (used.count(jobId)) {
      error = "no free job id left in the store [" + cli::EscapeForDisplay(store) + "]";
      return false;
    }
    const string path = FXPath::Append(store, std::to_string(jobId) + "-" + SafeFileName(instance));
    if (::mkdir(path.c_str(), 0700) == 0) {
      if (!MakeOwnerOnly(path, true)) {
        error = "cannot make [" + cli::EscapeForDisplay(path) + "] its owner's alone: " + ErrnoText(errno);
        return false;
      }
      // Taken before the store's lock is dropped: a reader that sees the folder unlocked and without
      // a manifest knows its job is gone. A reader's look holds the lock for an instant only.
      auto running = std::make_shared<SFd>(OpenFolder(path));
      if (running->fd < 0 || ::flock(running->fd, LOCK_EX) != 0) {
        error = "cannot lock [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno);
        ::rmdir(path.c_str());
        return false;
      }
      claimed.jobId = jobId;
      claimed.path = path;
      claimed.running = std::move(running);
      return true;
    }
    if (errno != EEXIST || requestedJobId || jobId == LLONG_MAX) {
      error = "cannot create [" + cli::EscapeForDisplay(path) + "]: " + ErrnoText(errno);
      return false;
    }
    used.insert(jobId);
  }
}

bool ListBackupFolders(const string& store, std::vector<string>& names, string& error) {
  names.clear();
  string shown = "[";  // appended: GCC 12 at -O3 warns falsely (-Wrestrict) on "[" + a temporary
  shown += cli::EscapeForDisplay(store);
  shown += "]";
  struct stat st {};
  if (::stat(store.c_str(), &st) != 0) {
    error = "the store " + shown +
            (errno == ENOENT ? " does not exist" : string(" cannot be read: ") + ErrnoText(errno)) +
            "; give the folder a backup was stored in (backup --store)";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    error = shown + " is not a folder, so not a backup store; give the folder a backup was stored in (backup --store)";
    return false;
  }
  std::error_code ec;
  bool empty = true, locked = false;
  for (std::filesystem::directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
    const string name = it->path().filename().string();
    empty = false;
    locked = locked || name == kLockFile;
    std::error_code typeError;
    if (JobIdOfName(name) && it->symlink_status(typeError).type() == std::filesystem::file_type::directory)
      names.push_back(name);
  }
  if (ec) {
    error = "cannot list the store " + shown + ": " + ec.message();
    return false;
  }
  if (names.empty() && !empty && !locked) {
    error = shown + " is not a backup store: it holds no backup folder (<job id>-<instance>) nor the store's lock file";
    return false;
  }
  std::sort(names.begin(), names.end());
  return true;
}

bool MarkBackupFailed(const string& folder, const string& step, const string& reason, string& error) {
  if (!HoldsStoredDisk(folder)) {
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (!ec) return true;
    error = "cannot remove the failed backup's folder [" + cli::EscapeForDisplay(folder) + "]: " + ec.message();
  }
  const nlohmann::json marker = {{"step", step}, {"reason", reason}, {"time", HostClock::Now()}};
  const string path = FXPath::Append(folder, kFailedMarker);
  if (WriteWholeFile(path, marker.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n")) return true;
  error = (error.empty() ? "" : error + "; ") + "cannot mark the backup failed in [" + cli::EscapeForDisplay(path) +
          "]: " + ErrnoText(errno);
  return false;
}

CBackupFailure::~CBackupFailure() {
  if (!armed_) return;
  // A destructor that throws ends the agent: a failure to mark the folder is reported, never thrown.
  try {
    string error;
    if (!MarkBackupFailed(folder_, step_, reason_, error)) std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "backup-agent: cannot mark the backup failed in %s: %s\n", folder_.c_str(), e.what());
  }
}

bool IsBackupRunning(const string& folder) {
  SFd look(OpenFolder(folder));
  return look.fd >= 0 && ::flock(look.fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

}  // namespace agent
