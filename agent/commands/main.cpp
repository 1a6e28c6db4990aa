// backup-agent: the stand-in agent. It loads the plug-in with dlopen() and runs jobs against a
// sandbox made by cloud-sim.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "agent/commands/CommandTable.h"
#include "agent/jobs/AgentSandbox.h"
#include "agent/jobs/ExitStatus.h"
#include "agent/jobs/NumberOption.h"
#include "agent/jobs/Progress.h"
#include "cli/CommandLine.h"
#include "cli/DisplayText.h"

using namespace agent;

namespace {

// The numeric options given, converted; false with the first refusal in `error`.
bool ReadNumbers(const SCommand& command, string& error) {
  for (const auto& number : command.numbers) {
    if (number->option->count() == 0) continue;
    const string name = number->option->get_name();
    if (!ParseDecimalOption(name, number->text, 1, number->maximum, *number->value, error)) {
      error += "; " + name + " needs a whole number of at least 1" +
               (number->maximum < LLONG_MAX ? " and at most " + std::to_string(number->maximum) : string());
      return false;
    }
  }
  return true;
}

}  // namespace

// Outside the try below only the command line is set up and parsed: a throw there is a fault in the
// agent's own options, which every run shows at once.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  // A write past the file-size limit fails with EFBIG and fails that disk; it never kills the agent.
  ::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"backup-agent: runs backup jobs through the cloud plug-in against a sandbox"};
  cli::PrepareCommandLine(app, "backup-agent");
  app.require_subcommand(1);
  string sandboxDir;
  if (const char* fromEnv = std::getenv("CLOUD_SANDBOX")) sandboxDir = fromEnv;
  app.add_option("--sandbox", sandboxDir, "Sandbox directory (or CLOUD_SANDBOX)");
  bool quiet = false;
  app.add_flag("--quiet,-q", quiet, "No progress lines on stderr");
  app.fallthrough();  // --quiet and --sandbox also after the command
  const std::vector<SCommand> commands = AddCommands(app);

  // A line the parser refuses is a usage error, reported as every failure is (one object under --json).
  auto reportUsage = [&](int, const string& message) {
    const auto given = app.get_subcommands();
    return CCommandReport(given.empty() ? string() : given.front()->get_name(), cli::AsksForJson(argc, argv))
        .UsageError(message);
  };
  if (auto exitCode = cli::ParseCommandLine(app, argc, argv, reportUsage)) return *exitCode;
  CProgress::SetQuiet(quiet);
  const SCommand* chosen = nullptr;
  for (const auto& command : commands)
    if (command.app->parsed()) chosen = &command;
  if (!chosen) return Usage("give a command; \"backup-agent --help\" lists them");
  CCommandReport report(chosen->app->get_name(), chosen->json && *chosen->json);
  string error;
  if (!ReadNumbers(*chosen, error)) return report.UsageError(error);

  // Caught here, an exception still unwinds the command's scopes (the mount, the store's lock).
  try {
    if (chosen->runLocal) return chosen->runLocal();
    if (sandboxDir.empty()) return report.UsageError("no sandbox given: --sandbox DIR or CLOUD_SANDBOX=DIR");
    SAgentSandbox sandbox;
    if (!LoadAgentSandbox(sandboxDir, sandbox, error)) return report.UsageError(cli::EscapeForDisplay(error));
    ApplySandboxEnvironment(sandbox);
    return chosen->run(sandbox);
  } catch (const std::exception& e) {
    return report.Failed("command", "the command failed: " + cli::EscapeForDisplay(e.what()));
  }
}
