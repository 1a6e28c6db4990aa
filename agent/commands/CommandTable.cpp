#include "agent/commands/CommandTable.h"

#include "agent/commands/BackupCommand.h"
#include "agent/commands/BackupsCommand.h"
#include "agent/commands/ConnectCommand.h"
#include "agent/commands/InventoryCommands.h"
#include "agent/commands/RegistryCommand.h"
#include "agent/commands/ReplicateCommand.h"
#include "agent/commands/RestoreCommand.h"
#include "agent/commands/VerifyCommand.h"

namespace agent {

namespace {

// Adds a numeric option of `command` whose value lands in `value`; a plain decimal of at least 1
// (0 means "not given").
void AddNumber(SCommand& command, const string& name, const string& help, long long& value,
               long long maximum = LLONG_MAX) {
  auto number = std::make_shared<SNumberOption>();
  number->option = command.app->add_option(name, number->text, help + "; a whole number of at least 1");
  number->value = &value;
  number->maximum = maximum;
  command.numbers.push_back(number);
}

// A command with a --json flag.
SCommand WithJson(CLI::App* app, std::shared_ptr<bool> json) {
  SCommand command;
  command.app = app;
  app->add_flag("--json", *json, "Print the result as JSON on stdout (a failure as one JSON object too)");
  command.json = std::move(json);
  return command;
}

// A password's option, its file option and its environment variable.
void AddSecret(CLI::App* cmd, SSecretSources& secret, const string& option, const string& what,
               const string& variable) {
  secret.option = option;
  secret.fileOption = option + "-file";
  secret.variable = variable;
  cmd->add_option(
         option, secret.value,
         "The " + what + " (others see it in the process list: prefer " + secret.fileOption + " or $" + variable + ")")
      ->each([&secret](const string&) { secret.given = true; });
  cmd->add_option(secret.fileOption, secret.file,
                  "File holding the " + what + " (mode 600: no access for group or others)");
}

SCommand Connect(CLI::App& app) {
  auto options = std::make_shared<SConnectCommandOptions>();
  CLI::App* cmd = app.add_subcommand("connect", "Connect through the plug-in and show the proxy");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(options, &options->json));
  cmd->add_option("--user", options->connect.user, "Cloud user");
  AddSecret(cmd, options->password, "--password", "cloud password", "BACKUP_AGENT_PASSWORD");
  cmd->add_option("--web-proxy", options->connect.webProxyHost, "Web proxy host[:port]");
  cmd->add_option("--web-proxy-user", options->connect.webProxyUser, "Web proxy user");
  AddSecret(cmd, options->webProxyPassword, "--web-proxy-password", "web proxy password",
            "BACKUP_AGENT_WEB_PROXY_PASSWORD");
  command.run = [options](const SAgentSandbox& sandbox) { return RunConnectCommand(sandbox, *options); };
  return command;
}

SCommand Registry(CLI::App& app) {
  auto json = std::make_shared<bool>(false);
  SCommand command = WithJson(app.add_subcommand("registry", "Show the registry of created entities"), json);
  command.run = [json](const SAgentSandbox& sandbox) { return RunRegistryCommand(sandbox, *json); };
  return command;
}

SCommand Browse(CLI::App& app) {
  auto options = std::make_shared<SInventoryOptions>();
  CLI::App* cmd = app.add_subcommand("browse", "Browse the inventory tree (e.g. VMs, VMs\\<compartment id>)");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(options, &options->json));
  cmd->add_option("path", options->path, "Browse path; components separated by a backslash");
  command.run = [options](const SAgentSandbox& sandbox) { return RunBrowseCommand(sandbox, *options); };
  return command;
}

SCommand List(CLI::App& app) {
  auto options = std::make_shared<SInventoryOptions>();
  CLI::App* cmd = app.add_subcommand("list", "List what the cloud offers")->alias("ls");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(options, &options->json));
  cmd->add_option("kind", options->kind, "regions|compartments|instances|images|shapes|ads|buckets|keys|security-lists")
      ->required()
      ->check(CLI::IsMember(
          {"regions", "compartments", "instances", "images", "shapes", "ads", "buckets", "keys", "security-lists"}));
  cmd->add_option("--compartment", options->compartment, "Compartment id");
  command.run = [options](const SAgentSandbox& sandbox) { return RunListCommand(sandbox, *options); };
  return command;
}

SCommand Operation(CLI::App& app, const string& name, const string& help) {
  auto options = std::make_shared<SInventoryOptions>();
  CLI::App* cmd = app.add_subcommand(name, help);
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(options, &options->json));
  cmd->add_option("instance", options->instance, "Instance name or id")->required();
  if (name == "clone") cmd->add_option("--as", options->newName, "Name of the clone")->required();
  if (name == "reconfigure") {
    cmd->add_option("--shape", options->shape, "New shape");
    AddNumber(command, "--cpus", "CPU count (flexible shapes)", options->cpus, INT_MAX);
    AddNumber(command, "--memory-mb", "Memory in MB (flexible shapes)", options->memoryMB);
  }
  command.run = [options, name](const SAgentSandbox& sandbox) { return RunOperationCommand(sandbox, name, *options); };
  return command;
}

SCommand Backup(CLI::App& app) {
  auto options = std::make_shared<SBackupOptions>();
  CLI::App* cmd = app.add_subcommand("backup", "Back up an instance into a store");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(options, &options->json));
  cmd->add_option("instance", options->instance, "Instance name or id")->required();
  cmd->add_option("--store", options->store, "Backup store folder (not empty)")->required();
  AddNumber(command, "--job-id", "Job id, unique in the store (default: the first free one from the current time)",
            options->jobId);
  command.run = [options](const SAgentSandbox& sandbox) { return RunBackupCommand(sandbox, *options); };
  return command;
}

SCommand Restore(CLI::App& app) {
  auto o = std::make_shared<SRestoreOptions>();
  CLI::App* cmd = app.add_subcommand("restore", "Restore an instance from a backup folder as a new instance");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(o, &o->json));
  cmd->add_option("backup", o->backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  cmd->add_option("--as", o->name, "Name of the restored instance")->required();
  cmd->add_option("--compartment", o->compartment, "Compartment id (default: the source's)");
  cmd->add_option("--ad", o->availabilityDomain, "Availability domain (default: the source's)");
  cmd->add_option("--shape", o->shape, "Shape, or \"Auto Select\" (default: the source's)");
  cmd->add_option("--subnet", o->subnets, "Subnet id of a network card, the first primary (repeatable)")
      ->expected(1)
      ->take_all();
  cmd->add_flag("--overwrite", o->overwrite, "Replace an instance of the same name");
  cmd->add_flag("--in-place", o->inPlace, "Restore in place of an instance of the same name");
  cmd->add_flag("--power-on", o->powerOn, "Leave the restored instance running");
  AddNumber(command, "--job-id", "Job id (default: the first free one from the current time)", o->jobId);
  cmd->add_flag("--conversion", o->conversion,
                "The disks come from another hypervisor: the boot volume comes from a temporary image");
  cmd->add_option("--guest-os", o->guestOs, "Guest operating system of a conversion (e.g. \"Oracle Linux 8\")");
  AddNumber(command, "--cpus", "CPU count of a converted machine (default: the source's)", o->cpus, INT_MAX);
  AddNumber(command, "--memory-mb", "Memory in MB of a converted machine (default: the source's)", o->memoryMB,
            INT_MAX);
  cmd->add_option("--bucket", o->bucket, "Object-storage bucket for a temporary image");
  cmd->add_option("--launch-mode", o->launchMode, "Launch mode of the image (NATIVE, EMULATED, PARAVIRTUALIZED)");
  command.run = [o](const SAgentSandbox& sandbox) { return RunRestoreCommand(sandbox, *o); };
  return command;
}

SCommand Replicate(CLI::App& app) {
  auto o = std::make_shared<SReplicateOptions>();
  CLI::App* cmd = app.add_subcommand(
      "replicate", "Sync a destination instance with a backup (full, or only what changed since the last sync)");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(o, &o->json));
  cmd->add_option("backup", o->backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  cmd->add_option("--to", o->destination, "Name of the destination instance")->required();
  cmd->add_flag("--first-sync", o->firstSync, "An instance of that name is a conflict (see --overwrite)");
  cmd->add_flag("--force-full", o->forceFull, "Replace the destination by a full sync");
  cmd->add_flag("--overwrite", o->overwrite, "With --first-sync: replace an instance of that name");
  cmd->add_option("--deselect", o->deselected, "Index name of a stored disk to leave out (repeatable)")
      ->expected(1)
      ->take_all();
  AddNumber(command, "--job-id", "Job id (default: the first free one from the current time)", o->jobId);
  command.run = [o](const SAgentSandbox& sandbox) { return RunReplicateCommand(sandbox, *o); };
  return command;
}

SCommand Backups(CLI::App& app) {
  auto o = std::make_shared<SBackupsOptions>();
  CLI::App* cmd = app.add_subcommand("backups", "List the backups of a store (no sandbox needed)");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(o, &o->json));
  cmd->add_option("--store", o->store, "Backup store folder")->required();
  command.runLocal = [o] { return RunBackupsCommand(*o); };
  return command;
}

SCommand Verify(CLI::App& app) {
  auto o = std::make_shared<SVerifyOptions>();
  CLI::App* cmd =
      app.add_subcommand("verify", "Check a backup folder's disks against its manifest (no sandbox needed)");
  SCommand command = WithJson(cmd, std::shared_ptr<bool>(o, &o->json));
  cmd->add_option("backup", o->backupDir, "Backup folder (STORE/<job id>-<instance>)")->required();
  command.runLocal = [o] { return RunVerifyCommand(*o); };
  return command;
}

}  // namespace

std::vector<SCommand> AddCommands(CLI::App& app) {
  std::vector<SCommand> commands = {Connect(app), Registry(app), Browse(app), List(app)};
  for (const auto& [name, help] :
       std::vector<std::pair<string, string>>{{"power-on", "Power an instance on"},
                                              {"power-off", "Power an instance off"},
                                              {"delete", "Delete an instance"},
                                              {"clone", "Clone an instance"},
                                              {"reconfigure", "Change an instance's shape, CPUs or memory"}})
    commands.push_back(Operation(app, name, help));
  for (auto add : {Backup, Restore, Replicate, Backups, Verify}) commands.push_back(add(app));
  return commands;
}

}  // namespace agent
