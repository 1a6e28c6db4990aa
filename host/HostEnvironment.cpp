#include "host/HostEnvironment.h"

#include <cstdlib>

namespace {
std::string FromEnv(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value && *value) ? std::string(value) : std::string(fallback);
}
std::string Join(std::string base, const std::string& relative) {
  if (base.empty() || base.back() != '/') base += '/';
  return base + relative;
}
}  // namespace

namespace HostEnvironment {
std::string PlatformRoot() { return FromEnv("TZ_PLATFORM_ROOT", "/"); }
std::string BaseHome() { return FromEnv("TZ_BASE_HOME", "/opt/agent"); }
std::string UnderRoot(const std::string& relative) { return Join(PlatformRoot(), relative); }
std::string UnderHome(const std::string& relative) { return Join(BaseHome(), relative); }
}  // namespace HostEnvironment
