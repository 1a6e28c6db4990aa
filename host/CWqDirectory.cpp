#include "host/CWqDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/ErrnoText.h"
#include "host/FXString.h"

bool CWqDirectory::Open(const string& path, const string& pattern, string* error, EEntries entries) {
  Close();
  dir_ = ::opendir(path.c_str());
  if (!dir_) {
    if (error) *error = ErrnoText(errno);
    return false;
  }
  path_ = path;
  pattern_ = pattern.empty() ? "*" : pattern;
  entries_ = entries;
  return true;
}

bool CWqDirectory::GetEntry(string& name, bool& end, string* error) {
  end = false;
  name.clear();
  if (!dir_) {
    if (error) *error = "directory is not open";
    return false;
  }
  while (true) {
    errno = 0;
    struct dirent* entry = ::readdir(dir_);
    if (!entry) {
      if (errno != 0) {
        if (error) *error = ErrnoText(errno);
        return false;
      }
      end = true;
      return true;
    }
    string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    struct stat st;
    const bool isFolder = ::stat((path_ + "/" + candidate).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (isFolder != (entries_ == EEntries::Folders)) continue;
    if (!FXString::WildcardMatch(pattern_, candidate, false)) continue;
    name = candidate;
    return true;
  }
}

void CWqDirectory::Close() {
  if (dir_) ::closedir(dir_);
  dir_ = nullptr;
}

bool CWqDirectory::Create(const string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return !ec && std::filesystem::is_directory(path, ec);
}

namespace {

// Empties the folder open as `dirFd` (on device `device`), entry by entry through descriptors: a
// symbolic link is removed, never followed, and nothing on another file system (a mount inside the
// folder) is entered; a folder swapped for a link while this runs is not followed either.
bool RemoveContents(int dirFd, dev_t device, const string& path, string* error) {
  DIR* dir = ::fdopendir(::dup(dirFd));
  if (!dir) {
    if (error) *error = path + ": " + ErrnoText(errno);
    return false;
  }
  bool ok = true;
  while (struct dirent* entry = ::readdir(dir)) {
    const string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (st.st_dev != device) {
        if (error) *error = path + "/" + name + ": on another file system; left in place";
        ok = false;
        continue;
      }
      const int child = ::openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        if (error) *error = path + "/" + name + ": " + ErrnoText(errno);
        ok = false;
        continue;
      }
      ok = RemoveContents(child, device, path + "/" + name, error) && ok;
      ::close(child);
    }
    if (::unlinkat(dirFd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
      if (error) *error = path + "/" + name + ": " + ErrnoText(errno);
      ok = false;
    }
  }
  ::closedir(dir);
  return ok;
}

bool RemoveTree(const string& path, string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    if (errno == ENOTDIR || errno == ELOOP) return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    if (error) *error = ErrnoText(errno);
    return false;
  }
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && RemoveContents(fd, st.st_dev, path, error);
  ::close(fd);
  if (ok && ::rmdir(path.c_str()) != 0) {
    if (error) *error = ErrnoText(errno);
    return false;
  }
  return ok;
}

}  // namespace

bool CWqDirectory::Remove(const string& path, bool recursive, bool ignoreMissing, string* error) {
  string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (trimmed.empty() || trimmed == "/") {
    if (error) *error = "refusing to remove [" + path + "]";
    return false;
  }
  struct stat st;
  if (::lstat(trimmed.c_str(), &st) != 0) {
    if (errno == ENOENT && ignoreMissing) return true;
    if (error) *error = ErrnoText(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
    if (::unlink(trimmed.c_str()) != 0) {
      if (error) *error = ErrnoText(errno);
      return false;
    }
    return true;
  }
  if (!recursive) {
    if (::rmdir(trimmed.c_str()) != 0) {
      if (error) *error = ErrnoText(errno);
      return false;
    }
    return true;
  }
  return RemoveTree(trimmed, error);
}
