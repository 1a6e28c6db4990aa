#pragma once
// Directory listing and removal of the host.
#include <dirent.h>

#include <string>

#include "host/HostTypes.h"

class CWqDirectory {
 public:
  CWqDirectory() = default;
  ~CWqDirectory() { Close(); }
  CWqDirectory(const CWqDirectory&) = delete;
  CWqDirectory& operator=(const CWqDirectory&) = delete;

  // Opens a listing of `path` for the names that match `pattern` ('*' and '?').
  bool Open(const string& path, const string& pattern, string* error = nullptr);
  // The next entry. Lists files (and symbolic links to them); "." , ".." and folders are skipped.
  // At the end of the listing returns true with `end` set and `name` empty.
  bool GetEntry(string& name, bool& end, string* error = nullptr);
  void Close();

  static bool Create(const string& path);  // with its parents
  // Removes a folder (with its contents when `recursive`). Never follows symbolic links: a link is
  // removed, not its target; walks by descriptors and leaves anything on another file system (a
  // mount inside the folder) in place, which fails the removal. Refuses an empty path and "/".
  // `ignoreMissing`: a missing path is success.
  static bool Remove(const string& path, bool recursive, bool ignoreMissing, string* error = nullptr);

 private:
  DIR* dir_ = nullptr;
  string path_;
  string pattern_;
};
