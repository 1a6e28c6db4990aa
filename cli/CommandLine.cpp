#include "cli/CommandLine.h"

#include <cstdio>

#include "cli/BashCompletion.h"
#include "cli/DisplayText.h"
#include "cli/ExitCodes.h"
#include "cli/ToolVersion.h"

namespace cli {
namespace {

// The word where the command should stand when it names no command of the app; empty otherwise.
// Options before it are skipped, with their values when they take one.
std::string UnknownCommand(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") return {};
    if (word.size() > 1 && word[0] == '-') {
      if (word.find('=') != std::string::npos) continue;
      const CLI::Option* option = app.get_option_no_throw(word);
      if (option != nullptr && option->get_type_size() > 0 && option->get_expected_min() > 0) ++i;
      continue;
    }
    auto named = app.get_subcommands([&](const CLI::App* command) { return command->check_name(word); });
    return named.empty() ? word : std::string();
  }
  return {};
}

bool NoCommandGiven(const CLI::App& app, const CLI::ParseError& error) {
  return error.get_name() == "RequiredError" && app.get_subcommands().empty() && app.get_require_subcommand_min() > 0;
}

}  // namespace

void PrepareCommandLine(CLI::App& app, const std::string& tool) {
  app.name(tool);
  app.set_version_flag("--version", tool + " " + ToolVersion(), "Print the version and the build's commit");
  app.set_help_all_flag("--help-all", "Print the help of every command");
  app.footer(ExitCodesText());
  AddBashCompletionFlag(app);
}

std::string CommandList(const CLI::App& app) {
  std::string list;
  for (const CLI::App* command : app.get_subcommands([](const CLI::App* c) { return !c->get_group().empty(); })) {
    if (!list.empty()) list += ", ";
    list += command->get_name();
  }
  return list;
}

int UsageError(const std::string& tool, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", tool.c_str(), text.c_str());
  return kExitUsage;
}

bool AsksForJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return false;
    if (word == "--json") return true;
  }
  return false;
}

std::string CommandPath(const CLI::App& app) {
  std::string path = app.get_name();
  for (const CLI::App* command = &app; !command->get_subcommands().empty();) {
    command = command->get_subcommands().front();
    path += " " + command->get_name();
  }
  return path;
}

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, const UsageReport& report) {
  const std::string tool = app.get_name();
  auto usage = [&](const std::string& message) {
    return report ? report(kExitUsage, message) : UsageError(tool, message);
  };
  std::string unknown = UnknownCommand(app, argc, argv);
  if (!unknown.empty())
    return usage("\"" + EscapeForDisplay(unknown) + "\" is not a command. The commands: " + CommandList(app) + ".");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);  // --help, --help-all, --version
    if (NoCommandGiven(app, error))
      return usage("give a command: " + CommandList(app) + ". \"" + tool + " --help\" says what each does.");
    return usage(EscapeForDisplay(error.what()) + ". \"" + CommandPath(app) + " --help\" lists the options.");
  }
  return std::nullopt;
}

}  // namespace cli
