#include "bridge/sim/SandboxCreator.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "bridge/sim/CloudSeeder.h"
#include "bridge/sim/SandboxApiUser.h"
#include "bridge/sim/SandboxTools.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimIds.h"
#include "host/ErrnoText.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPlatformIni = R"ini(; Configuration of the agent's virtual-server component.
; Every key is optional: remove the ';' before a key to set it, otherwise its default applies.
[VirtualServer]
; nOracleCloudExpireSnapshotHours=24
; nOracleCloudSnapshotMaxCount=2
; The sandbox's cloud provisions at once, so its jobs poll without the default pause of 1 minute.
nOracleCloudOperationRetryInternvalTimeInMinutes=0
; nOCIDiskSlotWaitIntervalInMinutes=10
; nOCIDiskSlotMaximumWaitTimeInMinutes=1440
; nOCIProxyStreamLimit=32
; nOCICommandTimeoutInSeconds=300
; The sandbox's image imports last its image provisioning time (none by default): query without a pause.
nImageImportCompletionQueryIntervalInMinutes=0
; The sandbox's API emulator answers at once: a call it keeps refusing gives up after seconds, not minutes.
nOCIRequestRetryBudgetSeconds=5
; sOCIForceImageIdForRestore=
; bOCIEnableParavirtualizedModeForLinuxVMConversion=1
; bUseLaunchPlanForOracleCloudRestore=0
; szVDiskManagerPath=
)ini";

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw CSimError("Cannot create [" + path + "]: " + ec.message());
}

void WriteFile(const std::string& path, const std::string& contents) {
  MakeDirs(fs::path(path).parent_path().string());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw CSimError("Cannot create [" + path + "]: " + ErrnoText(errno));
  ssize_t written = ::write(fd, contents.data(), contents.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(contents.size())) throw CSimError("Cannot write [" + path + "]");
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// The DMI files the host reads to recognise the machine. An infrastructure instance carries the
// cloud's asset tag and cloud-init's instance id; a classic one is known by its vendor and its
// BIOS UUID, which is the instance's id in upper case.
void WriteProxyIdentity(const std::string& root, EFlavour flavour, const std::string& proxyId) {
  const std::string dmi = root + "/sys/class/dmi/id/";
  std::string serial = Upper(RandomToken(12));
  if (flavour == EFlavour::Infrastructure) {
    WriteFile(dmi + "chassis_asset_tag", "OracleCloud.com\n");
    WriteFile(dmi + "sys_vendor", "QEMU\n");
    WriteFile(dmi + "product_serial", serial + "\n");
    WriteFile(dmi + "product_uuid", Upper(NewUuid()) + "\n");
    WriteFile(root + "/var/lib/cloud/data/instance-id", proxyId + "\n");
  } else {
    WriteFile(dmi + "chassis_asset_tag", "Not Specified\n");
    WriteFile(dmi + "sys_vendor", "Red Hat\n");
    WriteFile(dmi + "product_serial", serial + "\n");
    WriteFile(dmi + "product_uuid", Upper(proxyId) + "\n");
  }
  MakeDirs(root + "/dev/disk/by-path");
}

}  // namespace

bool HoldsSandbox(const std::string& dir) {
  std::error_code ec;
  return fs::exists(fs::path(dir) / kSandboxIni, ec) ||
         fs::exists(fs::path(dir) / "cloud" / CSimCloud::kDatabaseName, ec);
}

SSandbox CreateSandbox(const std::string& dir, EFlavour flavour, uint64_t bootVolumeMiB, bool restBackend) {
  if (dir.empty()) throw CSimError("No sandbox folder was given");
  if (restBackend && flavour != EFlavour::Infrastructure)
    throw CSimError("The REST backend serves the infrastructure flavour only");
  if (bootVolumeMiB < kMinBootVolumeMiB || bootVolumeMiB > kMaxBootVolumeMiB) {
    throw CSimError("Boot volumes take " + std::to_string(kMinBootVolumeMiB) + " to " +
                    std::to_string(kMaxBootVolumeMiB) + " MiB");
  }
  std::error_code ec;
  fs::path absolute = fs::absolute(dir, ec).lexically_normal();
  if (ec) throw CSimError("Cannot resolve [" + dir + "]: " + ec.message());
  std::string base = absolute.string();
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (HoldsSandbox(base)) throw CSimError("[" + base + "] already holds a sandbox");
  if (fs::exists(base, ec) && !fs::is_directory(base, ec)) throw CSimError("[" + base + "] is not a folder");

  SSandbox sandbox;
  sandbox.dir = base;
  sandbox.cloudDir = base + "/cloud";
  sandbox.flavour = flavour;
  sandbox.restBackend = restBackend;

  MakeDirs(base);
  CSimCloud::Create(sandbox.cloudDir, flavour);
  {
    CSimCloud cloud(sandbox.cloudDir);
    const SSeededCloud seeded = SeedCloud(cloud, bootVolumeMiB);
    sandbox.proxyId = seeded.proxyId;
    if (restBackend) WriteApiUser(base, seeded.defaultRegion);
  }
  WriteProxyIdentity(base + "/root", flavour, sandbox.proxyId);
  WriteFile(base + "/home/etc/platform.ini", kPlatformIni);
  for (const char* sub : {"home/registry", "home/log", "bin", "store", "cloud/iscsi/targets", "cloud/iscsi/nodes",
                          "cloud/iscsi/sessions"}) {
    MakeDirs(base + "/" + sub);
  }
  WriteSandboxTools(base);
  // Written last: a folder with sandbox.ini is a complete sandbox.
  WriteFile(base + "/" + kSandboxIni, std::string("[Sandbox]\nflavour=") + FlavourName(flavour) + "\ncloud=" +
                                          sandbox.cloudDir + "\nbackend=" + (restBackend ? "rest" : "sim") + "\n");
  return sandbox;
}

}  // namespace sim
