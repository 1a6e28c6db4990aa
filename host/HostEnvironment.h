#pragma once
// Where the host finds the machine it runs on: the platform root (DMI, cloud-init, devices) and the
// agent's base home directory (configuration, registry, logs, tools). On a real proxy the root is
// "/"; a sandbox points both into its own folders through TZ_PLATFORM_ROOT and TZ_BASE_HOME.
#include <string>

namespace HostEnvironment {
std::string PlatformRoot();  // TZ_PLATFORM_ROOT, default "/"
std::string BaseHome();      // TZ_BASE_HOME, default "/opt/agent"
// A path under the platform root; `relative` has no leading '/'.
std::string UnderRoot(const std::string& relative);
std::string UnderHome(const std::string& relative);
}  // namespace HostEnvironment
