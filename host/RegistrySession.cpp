#include "host/RegistrySession.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/CFileLock.h"
#include "host/CWqDirectory.h"
#include "host/FXFile.h"

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
    error = "cannot create [" + temp + "]: " + strerror(errno);
    return false;
  }
  // renameat2 without replacing: a key that somehow exists already is never taken over.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) != 0) {
    error = "cannot lock [" + path + "]: " + strerror(errno);
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  fd_ = fd;
  key_ = key;
  path_ = path;
  return true;
}

void CRegistrySession::Close() {
  if (fd_ < 0) return;
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
