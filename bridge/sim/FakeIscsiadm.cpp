#include "bridge/sim/FakeIscsiadm.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimSandboxPaths.h"

namespace sim {

// The script bridge/sim/tools/iscsiadm, embedded when the build is configured.
extern const char* const kFakeIscsiadmScript;

std::string FindCloudSim() {
  namespace fs = std::filesystem;
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

void LinkCloudSim(const std::string& path) {
  const std::string tool = FindCloudSim();
  if (tool.empty()) return;
  std::error_code ec;
  std::filesystem::create_symlink(tool, path, ec);
  if (ec) throw CSimError("Cannot link [" + path + "] to [" + tool + "]: " + ec.message());
}

void WriteFakeIscsiadm(const std::string& path) {
  WriteFileAtomically(path, kFakeIscsiadmScript);
  if (::chmod(path.c_str(), 0755) != 0) throw CSimError("Cannot make [" + path + "] executable: " + std::strerror(errno));
}

}  // namespace sim
