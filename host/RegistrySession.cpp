#include "host/RegistrySession.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/ProcessIdentity.h"
#include "host/TzProcess.h"

namespace {
string LockPath(const string& directory, const string& key) { return FXPath::Append(directory, key + ".lock"); }
}  // namespace

bool CRegistrySession::Open(const string& directory, string& error) {
  Close();
  if (!CWqDirectory::Create(directory) || !MakeOwnerOnly(directory, true)) {
    error = "cannot create [" + directory + "]";
    return false;
  }
  string key;
  if (!CreateGuid(key)) {
    error = "cannot make a session key";
    return false;
  }
  string path = LockPath(directory, key);
  // The file gets its final name only once it is locked, so nobody ever sees it unlocked.
  string temp = path + ".new";
  int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot create [" + temp + "]: " + ErrnoText(errno);
    return false;
  }
  const string identity = ProcessIdentity::Current();
  if (::write(fd, identity.data(), identity.size()) != static_cast<ssize_t>(identity.size())) {
    error = "cannot write [" + temp + "]: " + ErrnoText(errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  // renameat2 without replacing: a key that somehow exists already is never taken over.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    error = "cannot lock [" + path + "]: " + ErrnoText(errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  fd_ = fd;
  key_ = key;
  path_ = path;
  TzProcess::ShareWithCommands(fd_);
  return true;
}

void CRegistrySession::Close() {
  if (fd_ < 0) return;
  TzProcess::StopSharingWithCommands(fd_);
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
  key_.clear();
  path_.clear();
}

bool CRegistrySession::IsAlive(const string& directory, const string& key) {
  if (key.empty()) return false;
  const string path = LockPath(directory, key);
  if (CFileLock::IsHeldByAnyone(path)) return true;
  // Nobody holds it: the owner died, and a key is never used again, so the file can go.
  ::unlink(path.c_str());
  return false;
}

namespace {

// The lock files of the folder's sessions that are held while the process that opened them is gone.
std::vector<string> HeldByDeadJobsCommands(const string& directory) {
  std::vector<string> held;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
    const string path = entry.path().string();
    if (entry.path().extension() != ".lock" || !CFileLock::IsHeldByAnyone(path)) continue;
    string identity;
    if (ReadWholeFile(path, identity) && ProcessIdentity::IsGone(identity)) held.push_back(path);
  }
  return held;
}

}  // namespace

int CRegistrySession::AwaitCommandsOfDeadJobs(const string& directory, const std::function<bool()>& stop,
                                              int maxSeconds) {
  constexpr int kPollMs = 50;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
  std::vector<string> held = HeldByDeadJobsCommands(directory);
  while (!held.empty() && std::chrono::steady_clock::now() < deadline && !(stop && stop())) {
    ::poll(nullptr, 0, kPollMs);
    std::vector<string> still;
    for (const string& path : held)
      if (CFileLock::IsHeldByAnyone(path)) still.push_back(path);
    held.swap(still);
  }
  return static_cast<int>(held.size());
}
