#include "bridge/sim/SandboxTools.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimSandboxPaths.h"
#include "host/ErrnoText.h"

namespace sim {

// The scripts of bridge/sim/tools/, embedded when the build is configured.
extern const char* const kFakeIscsiadmScript;
extern const char* const kFakeVdiskManagerScript;
extern const char* const kToolFaultsScript;

namespace {

namespace fs = std::filesystem;

// The cloud-sim program: this process when it is cloud-sim, else the one beside the bridge library;
// empty when there is none.
std::string FindCloudSim() {
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && self.filename() == "cloud-sim") return self.string();
  // Built next to the bridge library that holds this code; installed in ../bin of it.
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&FindCloudSim), &info) != 0 && info.dli_fname) {
    const fs::path folder = fs::absolute(fs::path(info.dli_fname), ec).parent_path();
    for (const fs::path& candidate : {folder / "cloud-sim", folder.parent_path() / "bin" / "cloud-sim"})
      if (!ec && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return std::string();
}

void WriteTool(const std::string& path, const char* text, mode_t mode) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) throw CSimError("Cannot create the folder of [" + path + "]: " + ec.message());
  WriteFileAtomically(path, text);
  if (::chmod(path.c_str(), mode) != 0) throw CSimError("Cannot set the mode of [" + path + "]: " + ErrnoText(errno));
}

}  // namespace

void WriteSandboxTools(const std::string& dir) {
  const std::string kit = dir + "/" + kVddkKitDir;
  WriteTool(dir + "/bin/tool-faults.sh", kToolFaultsScript, 0644);
  WriteTool(dir + "/bin/iscsiadm", kFakeIscsiadmScript, 0755);
  WriteTool(kit + "/bin64/vmware-vdiskmanager", kFakeVdiskManagerScript, 0755);
  WriteTool(kit + "/lib64/libdisklib.so.stub", "Stand-in of the kit's disk library: the tool needs its folder.\n",
            0644);
  const std::string tool = FindCloudSim(), link = dir + "/bin/cloud-sim";
  if (tool.empty()) return;
  std::error_code ec;
  fs::create_symlink(tool, link, ec);
  if (ec) throw CSimError("Cannot link [" + link + "] to [" + tool + "]: " + ec.message());
}

}  // namespace sim
