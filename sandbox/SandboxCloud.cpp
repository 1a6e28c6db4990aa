#include "SandboxCloud.h"

#include <filesystem>
#include <fstream>

#include "bridge/sim/SandboxCreator.h"

namespace cloudsim {

namespace {

// The cloud folder named by sandbox.ini, or <sandbox>/cloud when it names none.
std::string CloudFolder(const std::string& sandbox) {
  std::ifstream ini(sandbox + "/" + sim::kSandboxIni);
  std::string line;
  while (std::getline(ini, line)) {
    if (line.rfind("cloud=", 0) == 0 && line.size() > 6) return line.substr(6);
  }
  return sandbox + "/cloud";
}

}  // namespace

std::unique_ptr<sim::CSimCloud> OpenSandboxCloud(const std::string& sandbox) {
  if (sandbox.empty()) throw sim::CSimError("No sandbox given: use --sandbox DIR or set CLOUD_SANDBOX");
  std::error_code ec;
  if (!std::filesystem::is_directory(sandbox, ec))
    throw sim::CSimError("The sandbox [" + sandbox + "] does not exist: make one with \"cloud-sim init DIR\"");
  if (!sim::HoldsSandbox(sandbox))
    throw sim::CSimError("[" + sandbox +
                         "] is not a sandbox: give the folder of one, or make one with \"cloud-sim init DIR\"");
  return std::make_unique<sim::CSimCloud>(CloudFolder(sandbox));
}

}  // namespace cloudsim
