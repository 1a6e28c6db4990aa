#pragma once
// Path tests of the host.
#include <string>

#include "host/HostTypes.h"

class CWqPath {
 public:
  // True when `path` names an existing regular file (a symbolic link counts by what it points to).
  static bool IsFile(const string& path);
};
