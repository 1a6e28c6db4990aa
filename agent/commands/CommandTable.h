#pragma once
// backup-agent's commands as its command line knows them: each adds its options to the command line
// and hands main what it dispatches on once the line is parsed.
#include <CLI/CLI.hpp>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/jobs/AgentSandbox.h"

namespace agent {

// A numeric option: read as text by the parser, converted after it (ParseDecimalOption).
struct SNumberOption {
  CLI::Option* option = nullptr;
  string text;
  long long* value = nullptr;
  long long maximum = LLONG_MAX;
};

struct SCommand {
  CLI::App* app = nullptr;
  std::vector<std::shared_ptr<SNumberOption>> numbers;
  std::shared_ptr<bool> json;  // the command's --json flag (false when it has none)
  // A command that reads only the local disk runs without a sandbox.
  std::function<int()> runLocal;
  std::function<int(const SAgentSandbox&)> run;
};

// Every command of backup-agent, added to `app` in the order its help lists them.
std::vector<SCommand> AddCommands(CLI::App& app);

}  // namespace agent
