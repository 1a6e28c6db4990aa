#include "agent/commands/RegistryCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/jobs/ExitStatus.h"
#include "host/FXFile.h"
#include "host/FXString.h"
#include "host/VMCleaner.h"

namespace agent {

namespace {

const char* ModeName(VM_Cleaner_Mode mode) {
  switch (mode) {
    case VM_CLEANER_MODE_BACKUP:
      return "backup";
    case VM_CLEANER_MODE_RESTORE:
      return "restore";
  }
  return "unknown";
}

string TypeName(VM_Cleaner_EntityType type) {
  switch (type) {
    case VM_CLEANER_ENTITY_VM:
      return "vm";
    case VM_CLEANER_ENTITY_SNAPSHOT:
      return "snapshot";
    case VM_CLEANER_ENTITY_DISK:
      return "disk";
    case VM_CLEANER_ENTITY_IMAGE:
      return "image";
    case VM_CLEANER_ENTITY_VMDK_OBJECT:
      return "object";
    case VM_CLEANER_ENTITY_ISCSI_SESSION:
      return "iscsi-session";
    case VM_CLEANER_ENTITY_PENDING_CREATE:
      return "pending-create";
  }
  return "type-" + std::to_string(static_cast<int>(type));
}

}  // namespace

bool ReadSandboxRegistry(const SAgentSandbox& sandbox, std::vector<SRegistryRoot>& roots, string& error) {
  const string directory = FXPath::Append(sandbox.directory, "home/registry");
  if (!FXFile::DoesFileExist(directory) || VMCleaner::InspectRegistry(directory, roots, error)) return true;
  error = "cannot read the registry [" + directory + "]: " + error;
  return false;
}

bool RegisteredUnderBackupOf(const SAgentSandbox& sandbox, const string& instanceId, std::vector<string>& entries,
                             string& error) {
  std::vector<SRegistryRoot> roots;
  if (!ReadSandboxRegistry(sandbox, roots, error)) return false;
  for (const auto& root : roots)
    if (root.mode == VM_CLEANER_MODE_BACKUP && FXString::EqualsIgnoreCase(root.name, instanceId))
      for (const auto& child : root.children) entries.push_back(TypeName(child.type) + " " + child.name);
  return true;
}

int RunRegistryCommand(const SAgentSandbox& sandbox, bool json) {
  CCommandReport report("registry", json);
  std::vector<SRegistryRoot> roots;
  string error;
  if (!ReadSandboxRegistry(sandbox, roots, error)) return report.Failed("registry", error);
  if (json) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto& root : roots) {
      nlohmann::json children = nlohmann::json::array();
      for (const auto& child : root.children)
        children.push_back({{"type", TypeName(child.type)}, {"name", child.name}});
      out.push_back(
          {{"mode", ModeName(root.mode)}, {"name", root.name}, {"orphan", root.orphan}, {"children", children}});
    }
    // Keys may hold any bytes; bytes that are not UTF-8 are shown as U+FFFD.
    return report.Succeeded(out);
  }
  if (roots.empty()) {
    std::printf("The registry is empty.\n");
    return kExitDone;
  }
  for (const auto& root : roots) {
    std::printf("%s %s (%s)\n", ModeName(root.mode), root.name.c_str(), root.orphan ? "orphan" : "owner alive");
    for (const auto& child : root.children)
      std::printf("  %-14s %s\n", TypeName(child.type).c_str(), child.name.c_str());
  }
  return kExitDone;
}

}  // namespace agent
