#include <cstdio>
#include <filesystem>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "SandboxCloud.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimDb.h"
#include "bridge/sim/SimLoopDevices.h"

namespace cloudsim {

namespace {

namespace fs = std::filesystem;

// Why `dir` cannot take a new sandbox; empty when it can: a new folder whose parent exists, or an
// empty folder. init makes no parents, so that a mistyped path is not made.
std::string RefusalOf(const std::string& dir) {
  std::error_code ec;
  fs::path path = fs::absolute(dir, ec).lexically_normal();
  if (ec) return "Cannot resolve [" + dir + "]: " + ec.message();
  if (!path.has_filename()) path = path.parent_path();  // a trailing slash
  const std::string shown = path.string();
  if (sim::HoldsSandbox(shown))
    return "[" + shown +
           "] already holds a sandbox: give a new or empty folder, or remove it first with "
           "\"cloud-sim remove " +
           shown + "\"";
  if (fs::exists(path, ec)) {
    if (!fs::is_directory(path, ec)) return "[" + shown + "] is not a folder: give a new or empty folder";
    if (!fs::is_empty(path, ec)) return "[" + shown + "] is not empty: give a new or empty folder";
    return {};
  }
  const fs::path parent = path.parent_path();
  if (!fs::is_directory(parent, ec))
    return "The parent folder [" + parent.string() + "] of [" + shown +
           "] does not exist: init makes no parent "
           "folders; create it first, or give a folder whose parent exists";
  return {};
}

}  // namespace

int RunInit(const std::string& dir, const std::string& flavourName, uint64_t bootVolumeMiB, const std::string& backend,
            bool fileLinks, bool json) {
  auto flavour = sim::ParseFlavour(flavourName);
  if (!flavour) return UsageFailure("Unknown flavour [" + flavourName + "]: use infrastructure or classic");
  if (backend != "sim" && backend != "rest") return UsageFailure("Unknown backend [" + backend + "]: use sim or rest");
  if (backend == "rest" && *flavour != sim::EFlavour::Infrastructure)
    return UsageFailure("The rest backend serves the infrastructure flavour only: use --backend sim for classic");
  if (const std::string refusal = RefusalOf(dir); !refusal.empty()) return Failure(refusal);
  try {
    sim::SSandbox sandbox = sim::CreateSandbox(dir, *flavour, bootVolumeMiB, backend == "rest");
    auto cloud = OpenSandboxCloud(sandbox.dir);
    if (fileLinks) cloud->SetMeta(sim::kMetaProxyDevices, sim::kProxyDevicesFiles);
    const STable instances =
        cloud->Read([](sim::CSimDb& db) { return QueryTable(db, "SELECT id, name FROM instances ORDER BY name"); });
    if (json) {
      nlohmann::json samples = nlohmann::json::array();
      for (const auto& row : instances.rows) {
        if (row[0] != sandbox.proxyId) samples.push_back({{"id", row[0]}, {"name", row[1]}});
      }
      PrintJson({{"dir", sandbox.dir},
                 {"flavour", sim::FlavourName(sandbox.flavour)},
                 {"backend", backend},
                 {"proxy_id", sandbox.proxyId},
                 {"instances", samples},
                 {"loop_devices", !fileLinks}});
      return 0;
    }
    printf("Created %s sandbox [%s]\nproxy instance: %s\n", sim::FlavourName(sandbox.flavour),
           Shown(sandbox.dir).c_str(), sandbox.proxyId.c_str());
    if (fileLinks) printf("attached volumes: links to their files, not block devices (--file-links)\n");
    return 0;
  } catch (const sim::CSimError& e) {
    return Failure(e.what());
  }
}

}  // namespace cloudsim
