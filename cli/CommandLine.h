#pragma once
// What backup-agent and cloud-sim share on their command lines: --version (the version and the
// build's commit), --help-all (every command's options, which the man pages are made from), the
// exit-code table in the help's footer, and one parse that turns every parser error into a usage
// error (exit code 2) with a message that says what to do; an unknown command lists the commands.
#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>

namespace cli {

// Adds the shared flags and the footer to the tool's top-level command line.
void PrepareCommandLine(CLI::App& app, const std::string& tool);

// Reports a usage error (exit code 2 and its message, without the tool's name, the words it quotes
// from the command line escaped for display) and returns the exit code to end with. The default prints "<tool>:
// <message>" on stderr (UsageError).
using UsageReport = std::function<int(int exitCode, const std::string& message)>;

// Parses argv. Returns nothing when a command is to run; else the exit code to end with: 0 after
// the help or the version was printed, what `report` returns after a usage error.
std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv, const UsageReport& report = {});

// True when "--json" stands among the arguments (before a "--"): a command line that does not parse
// is reported as JSON too when it asked for JSON.
bool AsksForJson(int argc, char** argv);

// The tool and the commands the parse reached, e.g. "cloud-sim fault add".
std::string CommandPath(const CLI::App& app);

// The tool's commands shown in its help (hidden ones left out), comma-separated.
std::string CommandList(const CLI::App& app);

// Prints "<tool>: <text>" on stderr and returns kExitUsage.
int UsageError(const std::string& tool, const std::string& text);

}  // namespace cli
