#include "host/CWqDirectory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "host/FXString.h"

bool CWqDirectory::Open(const string& path, const string& pattern, string* error) {
  Close();
  dir_ = ::opendir(path.c_str());
  if (!dir_) {
    if (error) *error = strerror(errno);
    return false;
  }
  path_ = path;
  pattern_ = pattern.empty() ? "*" : pattern;
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
        if (error) *error = strerror(errno);
        return false;
      }
      end = true;
      return true;
    }
    string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    struct stat st;
    if (::stat((path_ + "/" + candidate).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
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

bool RemoveTree(const string& path, string* error) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    if (error) *error = strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) {
      if (error) *error = strerror(errno);
      return false;
    }
    return true;
  }
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    if (error) *error = strerror(errno);
    return false;
  }
  bool ok = true;
  while (struct dirent* entry = ::readdir(dir)) {
    string name = entry->d_name;
    if (name == "." || name == "..") continue;
    ok = RemoveTree(path + "/" + name, error) && ok;
  }
  ::closedir(dir);
  if (::rmdir(path.c_str()) != 0) {
    if (error) *error = strerror(errno);
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
    if (error) *error = strerror(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
    if (::unlink(trimmed.c_str()) != 0) {
      if (error) *error = strerror(errno);
      return false;
    }
    return true;
  }
  if (!recursive) {
    if (::rmdir(trimmed.c_str()) != 0) {
      if (error) *error = strerror(errno);
      return false;
    }
    return true;
  }
  return RemoveTree(trimmed, error);
}
