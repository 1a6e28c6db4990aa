#include "agent/commands/SecretOption.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/DisplayText.h"
#include "disk/FileIo.h"
#include "host/ErrnoText.h"

namespace agent {

namespace {

bool ReadSecretFile(const SSecretSources& sources, string& secret, string& error) {
  const string shown = sources.fileOption + " [" + cli::EscapeForDisplay(sources.file) + "]";
  const SFd file(::open(sources.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  const int fd = file.fd;
  if (fd < 0) {
    error = shown + ": cannot open it: " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  string content;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && !S_ISREG(st.st_mode)) {
    error = shown + " is not a regular file";
    ok = false;
  } else if (ok && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = shown + " has mode " + mode + ": group or others may read it. Run \"chmod 600 " +
            cli::EscapeForDisplay(sources.file) + "\" and try again";
    ok = false;
  }
  char buffer[4096];
  for (ssize_t n; ok && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = shown + ": cannot read it: " + ErrnoText(errno);
      ok = false;
    } else {
      content.append(buffer, static_cast<size_t>(n));
    }
  }
  if (!ok) return false;
  if (!content.empty() && content.back() == '\n') content.pop_back();
  if (!content.empty() && content.back() == '\r') content.pop_back();
  secret = content;
  return true;
}

}  // namespace

bool ReadSecret(const SSecretSources& sources, string& secret, string& error) {
  secret.clear();
  if (sources.given && !sources.file.empty()) {
    error = sources.option + " and " + sources.fileOption + " both given: give one";
    return false;
  }
  if (sources.given) {
    secret = sources.value;
    return true;
  }
  if (!sources.file.empty()) return ReadSecretFile(sources, secret, error);
  if (const char* fromEnv = std::getenv(sources.variable.c_str())) secret = fromEnv;
  return true;
}

}  // namespace agent
