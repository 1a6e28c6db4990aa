#include "util/NameClaims.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/CWqDirectory.h"
#include "host/ErrnoText.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/HostEnvironment.h"

namespace {
// The claim file of a name: its hash, so that any name makes a short file name. Two names of one
// hash merely keep each other out while both are claimed.
string ClaimPath(const string& directory, const string& name) {
  return FXPath::Append(directory, FXString::HashHex(name) + ".claim");
}

bool SameFile(int fd, const string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}
}  // namespace

CNameClaims::EClaim CNameClaims::Claim(const string& name, string& error) {
  for (const auto& claim : held_)
    if (claim.name == name) return EClaim::Claimed;
  const string directory = HostEnvironment::UnderHome("claims");
  if (!CWqDirectory::Create(directory) || !MakeOwnerOnly(directory, true)) {
    error = "cannot create [" + directory + "]: " + ErrnoText(errno);
    return EClaim::Failed;
  }
  const string path = ClaimPath(directory, name);
  for (;;) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
      error = "cannot open [" + path + "]: " + ErrnoText(errno);
      return EClaim::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int cause = errno;
      ::close(fd);
      if (cause == EWOULDBLOCK) return EClaim::Taken;
      error = "cannot lock [" + path + "]: " + ErrnoText(cause);
      return EClaim::Failed;
    }
    // A holder that let go removed the file before unlocking it: a lock taken on a removed file is
    // no claim, and the name is tried again on the file now in its place.
    if (SameFile(fd, path)) {
      held_.push_back({name, path, fd});
      return EClaim::Claimed;
    }
    ::close(fd);
  }
}

void CNameClaims::ReleaseAll() {
  for (const SHeld& claim : held_) {
    ::unlink(claim.path.c_str());
    ::close(claim.fd);
  }
  held_.clear();
}
