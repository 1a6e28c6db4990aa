#pragma once
// Loads the hypervisor plug-in with dlopen() and creates plug-in objects through its factory.
#include <memory>
#include <string>

#include "host/IVMInfo.h"

namespace agent {

struct SPluginObjectDeleter {
  void operator()(IVMInfo* object) const { delete object; }
};
using PluginObject = std::unique_ptr<IVMInfo, SPluginObjectDeleter>;

class CPluginLoader {
 public:
  CPluginLoader() = default;
  ~CPluginLoader();
  CPluginLoader(const CPluginLoader&) = delete;
  CPluginLoader& operator=(const CPluginLoader&) = delete;

  // Loads `path`, or when empty OCI_PLUGIN_PATH, or libOracleCloudInfo.so beside this executable.
  bool Load(const string& path, string& error);
  // A new object for the instance type; null with a message when the factory fails.
  PluginObject Create(VirtualServerInstanceType type, string& error) const;

 private:
  void* library_ = nullptr;
  CreateVMInfoObjectFn factory_ = nullptr;
};

}  // namespace agent
