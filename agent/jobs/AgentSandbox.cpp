#include "agent/jobs/AgentSandbox.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "host/CIniFile.h"
#include "host/FXFile.h"

namespace agent {

bool LoadAgentSandbox(const string& directory, SAgentSandbox& sandbox, string& error) {
  struct stat st;
  if (directory.empty() || ::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "Sandbox [" + directory + "] does not exist";
    return false;
  }
  string absolute = std::filesystem::absolute(directory).lexically_normal().string();
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
  CIniFile ini;
  if (!ini.Load(FXPath::Append(absolute, "sandbox.ini"))) {
    error = "[" + absolute + "] is not a sandbox: sandbox.ini is missing (create one with cloud-sim init)";
    return false;
  }
  string flavour = "infrastructure";
  ini.Get("Sandbox", "flavour", flavour);
  if (flavour == "infrastructure") {
    sandbox.instanceType = VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  } else if (flavour == "classic") {
    sandbox.instanceType = VSINST_ORACLE_CLOUD_CLASSIC;
  } else {
    error = "Sandbox [" + absolute + "] names an unknown flavour [" + flavour + "]";
    return false;
  }
  sandbox.directory = absolute;
  sandbox.flavour = flavour;
  sandbox.cloudUrl = "sim://" + FXPath::Append(absolute, "cloud");
  sandbox.cloudUser = "agent";
  string backend = "sim";
  ini.Get("Sandbox", "backend", backend);
  if (backend == "rest") {
    string endpoint;
    if (!ReadWholeFile(FXPath::Append(absolute, "api/endpoint"), endpoint)) {
      error = "Sandbox [" + absolute + "] is on the REST backend but its API is not served: start `cloud-sim serve " +
              absolute + "`";
      return false;
    }
    sandbox.cloudUrl = endpoint.substr(0, endpoint.find('\n'));
    sandbox.cloudUser = FXPath::Append(absolute, "api/config");
  }
  return true;
}

void ApplySandboxEnvironment(const SAgentSandbox& sandbox) {
  // The agent sets its environment once, before the plug-in is loaded and any thread started.
  auto set = [](const char* name, const string& value) {
    ::setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): no other thread runs yet
  };
  set("TZ_PLATFORM_ROOT", FXPath::Append(sandbox.directory, "root"));
  set("TZ_BASE_HOME", FXPath::Append(sandbox.directory, "home"));
  const char* path = std::getenv("PATH");
  set("PATH", FXPath::Append(sandbox.directory, "bin") + ":" + (path ? path : "/usr/bin:/bin"));
  // On the REST backend the proxy learns who it is as on a cloud instance: from the metadata service,
  // which the emulator serves at its own address (host/InstanceMetadata.h).
  if (sandbox.cloudUrl.rfind("http", 0) == 0) {
    set("TZ_INSTANCE_ID_SOURCE", "metadata");
    set("TZ_INSTANCE_METADATA_URL", sandbox.cloudUrl);
  }
}

}  // namespace agent
