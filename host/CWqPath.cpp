#include "host/CWqPath.h"

#include <sys/stat.h>

bool CWqPath::IsFile(const string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
