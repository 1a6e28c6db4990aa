// backup-agent: the stand-in agent. It loads the plug-in with dlopen() and runs jobs against a
// sandbox made by cloud-sim.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/ExitStatus.h"
#include "cli/CommandLine.h"
#include "cli/ExitCodes.h"
#include "agent/commands/BackupCommand.h"
#include "agent/commands/BackupsCommand.h"
#include "agent/commands/VerifyCommand.h"
#include "agent/commands/ConnectCommand.h"
#include "agent/jobs/DisplayText.h"
#include "agent/commands/InventoryCommands.h"
#include "agent/jobs/NumberOption.h"
#include "agent/commands/RegistryCommand.h"
#include "agent/commands/ReplicateCommand.h"
#include "agent/commands/RestoreCommand.h"

using namespace agent;

namespace {

// A numeric option: read as text by the command line parser, converted by ParseDecimalOption.
struct SNumberOption {
  CLI::Option* option = nullptr;
  string text;
  long long* value = nullptr;
  long long maximum = LLONG_MAX;
};

}  // namespace

int main(int argc, char** argv) {
  // A write past the file-size limit fails with EFBIG and fails that disk; it never kills the agent.
  ::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"backup-agent: runs backup jobs through the cloud plug-in against a sandbox"};
  cli::PrepareCommandLine(app, "backup-agent");
  app.require_subcommand(1);
  string sandboxDir;
  if (const char* fromEnv = std::getenv("CLOUD_SANDBOX")) sandboxDir = fromEnv;
  app.add_option("--sandbox", sandboxDir, "Sandbox directory (or CLOUD_SANDBOX)");

  SConnectOptions connect;
  bool json = false;
  CLI::App* connectCmd = app.add_subcommand("connect", "Connect through the plug-in and show the proxy");
  connectCmd->add_option("--user", connect.user, "Cloud user");
  connectCmd->add_option("--password", connect.password, "Cloud password");
  connectCmd->add_option("--web-proxy", connect.webProxyHost, "Web proxy host[:port]");
  connectCmd->add_option("--web-proxy-user", connect.webProxyUser, "Web proxy user");
  connectCmd->add_option("--web-proxy-password", connect.webProxyPassword, "Web proxy password");
  connectCmd->add_flag("--json", json, "Print JSON");

  CLI::App* registryCmd = app.add_subcommand("registry", "Show the registry of created entities");
  registryCmd->add_flag("--json", json, "Print JSON");

  SInventoryOptions inventory;
  CLI::App* browseCmd = app.add_subcommand("browse", "Browse the inventory tree (e.g. VMs, VMs\\<compartment id>)");
  browseCmd->add_option("path", inventory.path, "Browse path; components separated by a backslash");
  browseCmd->add_flag("--json", inventory.json, "Print JSON");

  CLI::App* listCmd = app.add_subcommand("list", "List what the cloud offers");
  listCmd->add_option("kind", inventory.kind, "regions|compartments|instances|images|shapes|ads|buckets|keys|security-lists")
      ->required()
      ->check(CLI::IsMember({"regions", "compartments", "instances", "images", "shapes", "ads", "buckets", "keys",
                             "security-lists"}));
  listCmd->add_option("--compartment", inventory.compartment, "Compartment id");
  listCmd->add_flag("--json", inventory.json, "Print JSON");

  std::vector<std::pair<string, CLI::App*>> operations;
  for (const char* name : {"power-on", "power-off", "delete", "clone", "reconfigure"}) {
    CLI::App* cmd = app.add_subcommand(name, string("Instance operation: ") + name);
    cmd->add_option("instance", inventory.instance, "Instance name or id")->required();
    operations.emplace_back(name, cmd);
  }
  operations[3].second->add_option("--as", inventory.newName, "Name of the clone")->required();
  operations[4].second->add_option("--shape", inventory.shape, "New shape");
  // Every numeric option is a plain decimal of at least 1 (0 would mean "not given").
  std::vector<SNumberOption> numbers(7);
  numbers[0].option = operations[4].second->add_option("--cpus", numbers[0].text, "CPU count (flexible shapes)");
  numbers[0].value = &inventory.cpus;
  numbers[0].maximum = INT_MAX;
  numbers[1].option = operations[4].second->add_option("--memory-mb", numbers[1].text, "Memory in MB (flexible shapes)");
  numbers[1].value = &inventory.memoryMB;

  SBackupOptions backup;
  CLI::App* backupCmd = app.add_subcommand("backup", "Back up an instance into a store");
  backupCmd->add_option("instance", backup.instance, "Instance name or id")->required();
  backupCmd->add_option("--store", backup.store, "Backup store folder (not empty)")->required();
  numbers[2].option = backupCmd->add_option("--job-id", numbers[2].text,
                                            "Job id, unique in the store (default: the first free one from the current time)");
  numbers[2].value = &backup.jobId;

  SRestoreOptions restore;
  CLI::App* restoreCmd = app.add_subcommand("restore", "Restore an instance from a backup folder as a new instance");
  restoreCmd->add_option("backup", restore.backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  restoreCmd->add_option("--as", restore.name, "Name of the restored instance")->required();
  restoreCmd->add_option("--compartment", restore.compartment, "Compartment id (default: the source's)");
  restoreCmd->add_option("--ad", restore.availabilityDomain, "Availability domain (default: the source's)");
  restoreCmd->add_option("--shape", restore.shape, "Shape, or \"Auto Select\" (default: the source's)");
  restoreCmd->add_option("--subnet", restore.subnets, "Subnet id of a network card, the first primary (repeatable)")
      ->expected(1)
      ->take_all();
  restoreCmd->add_flag("--overwrite", restore.overwrite, "Replace an instance of the same name");
  restoreCmd->add_flag("--in-place", restore.inPlace, "Restore in place of an instance of the same name");
  restoreCmd->add_flag("--power-on", restore.powerOn, "Leave the restored instance running");
  numbers[3].option = restoreCmd->add_option("--job-id", numbers[3].text, "Job id (default: the first free one from the current time)");
  numbers[3].value = &restore.jobId;
  restoreCmd->add_flag("--conversion", restore.conversion,
                       "The disks come from another hypervisor: the boot volume comes from a temporary image");
  restoreCmd->add_option("--guest-os", restore.guestOs, "Guest operating system of a conversion (e.g. \"Oracle Linux 8\")");
  numbers[4].option = restoreCmd->add_option("--cpus", numbers[4].text, "CPU count of a converted machine (default: the source's)");
  numbers[4].value = &restore.cpus;
  numbers[4].maximum = INT_MAX;
  numbers[5].option =
      restoreCmd->add_option("--memory-mb", numbers[5].text, "Memory in MB of a converted machine (default: the source's)");
  numbers[5].value = &restore.memoryMB;
  numbers[5].maximum = INT_MAX;
  restoreCmd->add_option("--bucket", restore.bucket, "Object-storage bucket for a temporary image");
  restoreCmd->add_option("--launch-mode", restore.launchMode, "Launch mode of the image (NATIVE, EMULATED, PARAVIRTUALIZED)");
  restoreCmd->add_flag("--json", restore.json, "Print JSON");

  SReplicateOptions replicate;
  CLI::App* replicateCmd =
      app.add_subcommand("replicate", "Sync a destination instance with a backup (full, or only what changed since the last sync)");
  replicateCmd->add_option("backup", replicate.backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  replicateCmd->add_option("--to", replicate.destination, "Name of the destination instance")->required();
  replicateCmd->add_flag("--first-sync", replicate.firstSync, "An instance of that name is a conflict (see --overwrite)");
  replicateCmd->add_flag("--force-full", replicate.forceFull, "Replace the destination by a full sync");
  replicateCmd->add_flag("--overwrite", replicate.overwrite, "With --first-sync: replace an instance of that name");
  replicateCmd->add_option("--deselect", replicate.deselected, "Index name of a stored disk to leave out (repeatable)")
      ->expected(1)
      ->take_all();
  numbers[6].option = replicateCmd->add_option("--job-id", numbers[6].text, "Job id (default: the first free one from the current time)");
  numbers[6].value = &replicate.jobId;
  replicateCmd->add_flag("--json", replicate.json, "Print JSON");

  SBackupsOptions backups;
  CLI::App* backupsCmd = app.add_subcommand("backups", "List the backups of a store");
  backupsCmd->add_option("--store", backups.store, "Backup store folder")->required();
  backupsCmd->add_flag("--json", backups.json, "Print JSON");
  SVerifyOptions verify;
  CLI::App* verifyCmd = app.add_subcommand("verify", "Check a backup's disks and files against its manifest");
  verifyCmd->add_option("backup", verify.backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  verifyCmd->add_flag("--json", verify.json, "Print JSON");

  if (auto exitCode = cli::ParseCommandLine(app, argc, argv)) return *exitCode;
  for (const auto& number : numbers) {
    if (number.option->count() == 0) continue;
    string error;
    if (!ParseDecimalOption(number.option->get_name(), number.text, 1, number.maximum, *number.value, error))
      return Usage(error);
  }

  try {
    if (backupsCmd->parsed()) return RunBackupsCommand(backups);
    if (verifyCmd->parsed()) return RunVerifyCommand(verify);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "backup-agent: the command failed: %s\n", EscapeForDisplay(e.what()).c_str());
    return 1;
  }
  if (sandboxDir.empty()) return Usage("no sandbox given (--sandbox DIR or CLOUD_SANDBOX)");
  SAgentSandbox sandbox;
  string error;
  if (!LoadAgentSandbox(sandboxDir, sandbox, error)) return Usage(EscapeForDisplay(error));
  ApplySandboxEnvironment(sandbox);

  // Caught here, an exception still unwinds the command's scopes (the mount, the store's lock).
  try {
    if (connectCmd->parsed()) return RunConnectCommand(sandbox, connect, json);
    if (registryCmd->parsed()) return RunRegistryCommand(sandbox, json);
    if (backupCmd->parsed()) return RunBackupCommand(sandbox, backup);
    if (restoreCmd->parsed()) return RunRestoreCommand(sandbox, restore);
    if (replicateCmd->parsed()) return RunReplicateCommand(sandbox, replicate);
    if (browseCmd->parsed()) return RunBrowseCommand(sandbox, inventory);
    if (listCmd->parsed()) return RunListCommand(sandbox, inventory);
    for (const auto& [name, cmd] : operations)
      if (cmd->parsed()) return RunOperationCommand(sandbox, name, inventory);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "backup-agent: the command failed: %s\n", EscapeForDisplay(e.what()).c_str());
    return 1;
  }
  return 2;
}
