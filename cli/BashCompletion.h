#pragma once
// A bash completion script made from a tool's own command line: its commands (nested ones too), each
// command's options, and the values of options and arguments that are checked against a fixed set.
// The hidden flag --bash-completion prints it; the build writes it for `cmake --install`.
#include <CLI/CLI.hpp>
#include <string>

namespace cli {

// The script that completes `app.get_name()` in bash (commands and options in the help; hidden ones
// left out).
std::string BashCompletionScript(const CLI::App& app);

// Adds the hidden flag --bash-completion, which prints the script and ends with exit code 0.
void AddBashCompletionFlag(CLI::App& app);

}  // namespace cli
