#include "host/FXFile.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/ErrnoText.h"
#include "host/FXString.h"
#include "host/HostEnvironment.h"

namespace FXFile {

bool DoesFileExist(const string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool TZGetFileSize(const string& path, UINT64& size, string* error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (error) *error = ErrnoText(errno);
    return false;
  }
  if (S_ISBLK(st.st_mode)) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (error) *error = ErrnoText(errno);
      return false;
    }
    uint64_t bytes = 0;
    int rc = ::ioctl(fd, BLKGETSIZE64, &bytes);
    int saved = errno;
    ::close(fd);
    if (rc != 0) {
      if (error) *error = ErrnoText(saved);
      return false;
    }
    size = bytes;
    return true;
  }
  size = static_cast<UINT64>(st.st_size);
  return true;
}

}  // namespace FXFile

namespace FXPath {

string Append(const string& base, const string& name) {
  if (base.empty()) return name;
  if (name.empty()) return base;
  bool baseSep = base.back() == '/';
  bool nameSep = name.front() == '/';
  if (baseSep && nameSep) return base + name.substr(1);
  if (baseSep || nameSep) return base + name;
  return base + "/" + name;
}

string GetFileName(const string& path) {
  size_t pos = path.find_last_of('/');
  return pos == string::npos ? path : path.substr(pos + 1);
}

string GetParent(const string& path) {
  size_t pos = path.find_last_of('/');
  if (pos == string::npos) return string();
  return pos == 0 ? string("/") : path.substr(0, pos);
}

bool IsBareName(const string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == string::npos &&
         name.find('\0') == string::npos;
}

}  // namespace FXPath

namespace {
bool ReadOpenedFile(int fd, string& content) {
  string data;
  char buffer[65536];
  bool ok = true;
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  if (ok) content.swap(data);
  return ok;
}
}  // namespace

bool ReadWholeFile(const string& path, string& content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  return fd >= 0 && ReadOpenedFile(fd, content);
}

bool ReadRegularFile(const string& path, string& content) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  return ReadOpenedFile(fd, content);
}

bool MakeOwnerOnly(const string& path, bool isFolder) { return ::chmod(path.c_str(), isFolder ? 0700 : 0600) == 0; }

bool WriteWholeFile(const string& path, const string& content) {
  if (path.empty()) return false;
  string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  if (::fchmod(fd, 0600) != 0) {
    ::close(fd);
    ::unlink(temp.c_str());
    return false;
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // Make the rename itself durable.
  int dir = ::open(FXPath::GetParent(path).empty() ? "." : FXPath::GetParent(path).c_str(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool IsFileExtnMatching(const string& name, const string& extension) {
  if (extension.empty() || name.size() < extension.size()) return false;
  return FXString::EqualsIgnoreCase(name.substr(name.size() - extension.size()), extension);
}

bool CreateGuid(string& guid) {
  // Straight from the kernel: a generator state in memory would repeat in a forked child.
  unsigned char bytes[16];
  size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  guid = FXString::Format("%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0], bytes[1],
                          bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                          bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return true;
}

namespace TZPI_PlatformBase {
string getBaseHomeDirectory() { return HostEnvironment::BaseHome(); }
}  // namespace TZPI_PlatformBase
