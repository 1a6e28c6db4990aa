#include "agent/jobs/RestoreJobFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "agent/diskio/DiskRegions.h"
#include "agent/jobs/BackupFolder.h"
#include "cli/DisplayText.h"
#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"

namespace agent {

namespace fs = std::filesystem;

namespace {
// Takes the lock on a folder without waiting; -1 when another job holds it (or it cannot be opened).
int LockFolder(const string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  ::close(fd);
  return -1;
}

// Removes the folders under `root` whose job is gone (nobody holds their lock).
void SweepDeadJobFolders(const string& root) {
  std::error_code ec;
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec) || it->is_symlink(ec)) continue;
    const string path = it->path().string();
    const int fd = LockFolder(path);
    if (fd < 0) continue;
    string error;
    CWqDirectory::Remove(path, true, true, &error);
    ::close(fd);
  }
}
}  // namespace

CRestoreJobFolder::~CRestoreJobFolder() {
  if (lockFd_ >= 0) ::close(lockFd_);
  if (path_.empty()) return;
  // Only a folder directly under the jobs folder of the agent's home, which this object claimed.
  std::error_code parentError, rootError;
  const fs::path parent = fs::weakly_canonical(fs::path(path_).parent_path(), parentError);
  if (parentError || parent != fs::weakly_canonical(root_, rootError) || rootError) return;
  string error;
  if (!CWqDirectory::Remove(path_, true, true, &error))
    std::fprintf(stderr, "backup-agent: cannot remove the job folder [%s]: %s\n", cli::EscapeForDisplay(path_).c_str(),
                 cli::EscapeForDisplay(error).c_str());
}

bool CRestoreJobFolder::Claim(long long requestedJobId, const string& name, string& error) {
  root_ = fs::absolute(HostEnvironment::UnderHome("restore-jobs")).lexically_normal().string();
  // Sweeps and claims take turns, so that a folder is locked by its job before any sweep sees it.
  CFileLock turns;
  if (!CWqDirectory::Create(root_) || !turns.Acquire(FXPath::Append(root_, ".claims.lock"))) {
    error = "cannot lock [" + cli::EscapeForDisplay(root_) + "]: " + ErrnoText(errno);
    return false;
  }
  SweepDeadJobFolders(root_);
  SBackupFolder folder;
  if (!ClaimBackupFolder(root_, requestedJobId, static_cast<long long>(HostClock::Now()), name, folder, error))
    return false;
  path_ = folder.path;
  jobId_ = folder.jobId;
  folder.running.reset();  // the claim's lock of the folder gives way to the job's own, under the turns' lock
  lockFd_ = LockFolder(path_);
  if (lockFd_ < 0) {
    error = "cannot lock [" + cli::EscapeForDisplay(path_) + "]: " + ErrnoText(errno);
    return false;
  }
  for (const string& dir : {ConfigDir(), ResultsDir()}) {
    if (::mkdir(dir.c_str(), 0700) != 0) {
      error = "cannot create [" + cli::EscapeForDisplay(dir) + "]: " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

bool CRestoreJobFolder::CopyConfiguration(const std::vector<SStoredFile>& files, const string& dir,
                                          string& error) const {
  for (const auto& file : files) {
    string content;
    if (!ReadWholeFile(file.path, content)) {
      error = "cannot read [" + cli::EscapeForDisplay(file.path) + "]";
      return false;
    }
    if (Sha256Hex(content) != file.sha256) {
      error = "the stored file [" + cli::EscapeForDisplay(file.path) + "] does not hold what the backup stored";
      return false;
    }
    const string copy = FXPath::Append(dir, file.name);
    if (!WriteWholeFile(copy, content)) {
      error = "cannot write [" + cli::EscapeForDisplay(copy) + "]: " + ErrnoText(errno);
      return false;
    }
  }
  return true;
}

string CRestoreJobFolder::ConfigDir() const { return FXPath::Append(path_, "config"); }
string CRestoreJobFolder::ResultsDir() const { return FXPath::Append(path_, "results"); }

}  // namespace agent
