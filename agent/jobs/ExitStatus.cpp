#include "agent/jobs/ExitStatus.h"

#include <cstdio>

namespace agent {

int Fail(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitFailed;
}

int Usage(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitUsage;
}

}  // namespace agent
