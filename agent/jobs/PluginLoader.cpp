#include "agent/jobs/PluginLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "host/FXFile.h"

namespace agent {

namespace {
const char* const kPluginFile = "libOracleCloudInfo.so";

// Next to the agent in a build tree; in <prefix>/lib when installed under <prefix>/bin.
string DefaultPluginPath() {
  char self[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return kPluginFile;
  self[n] = '\0';
  const string folder = FXPath::GetParent(self);
  string beside = FXPath::Append(folder, kPluginFile);
  if (FXFile::DoesFileExist(beside)) return beside;
  return FXPath::Append(FXPath::Append(FXPath::GetParent(folder), "lib"), kPluginFile);
}
}  // namespace

CPluginLoader::~CPluginLoader() {
  // Objects made by the plug-in must be gone before the library is; callers hold them shorter.
  if (library_) ::dlclose(library_);
}

bool CPluginLoader::Load(const string& path, string& error) {
  string target = path;
  if (target.empty()) {
    const char* fromEnv = std::getenv("OCI_PLUGIN_PATH");
    target = (fromEnv && *fromEnv) ? fromEnv : DefaultPluginPath();
  }
  library_ = ::dlopen(target.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library_) {
    const char* reason = ::dlerror();
    error = "Cannot load the plug-in [" + target + "]: " + (reason ? reason : "unknown error");
    return false;
  }
  factory_ = reinterpret_cast<CreateVMInfoObjectFn>(::dlsym(library_, "CreateOracleCloudInfoObject"));
  if (!factory_) {
    error = "The plug-in [" + target + "] does not export CreateOracleCloudInfoObject";
    return false;
  }
  return true;
}

PluginObject CPluginLoader::Create(VirtualServerInstanceType type, string& error) const {
  IVMInfo* object = nullptr;
  if (!factory_ || factory_(type, &object) != 1 || !object) {
    error = "The plug-in could not create an object for instance type " + std::to_string(static_cast<int>(type));
    return PluginObject();
  }
  return PluginObject(object);
}

}  // namespace agent
