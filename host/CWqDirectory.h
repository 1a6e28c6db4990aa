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

  // What a listing returns.
  enum class EEntries { Files, Folders };

  // Opens a listing of `path` for the names that match `pattern` ('*' and '?'): its files (and
  // symbolic links to files), or its folders (and symbolic links to folders).
  bool Open(const string& path, const string& pattern, string* error = nullptr, EEntries entries = EEntries::Files);
  // The next entry; "." and ".." are never listed. At the end of the listing returns true with
  // `end` set and `name` empty.
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
  EEntries entries_ = EEntries::Files;
};
