// How cloud-sim reports: a failure on stderr and, under --json, as one object on stdout; data as JSON
// or as text whose control characters are escaped.
#include <CLI/CLI.hpp>
#include <cstdio>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "cli/CommandLine.h"
#include "cli/DisplayText.h"
#include "cli/ExitCodes.h"

namespace cloudsim {

namespace {

constexpr char kTool[] = "cloud-sim";

struct SReport {
  std::string command = kTool;
  bool json = false;
};

SReport& Report() {
  static SReport report;
  return report;
}

void PrintFailureObject(int code, const std::string& message) {
  // The fields of the agent's failure object that a tool without a plug-in has: no error code of its own.
  PrintJson(
      {{"ok", false}, {"command", Report().command}, {"code", nullptr}, {"exit_code", code}, {"message", message}});
}

// `shown`: the message with what it quotes escaped for display.
int FailShown(int code, const std::string& shown) {
  std::fprintf(stderr, "%s: %s\n", kTool, shown.c_str());
  if (Report().json) PrintFailureObject(code, shown);
  return code;
}

int Fail(int code, const std::string& message) { return FailShown(code, Shown(message)); }

}  // namespace

void ReportFailuresAs(const std::string& command, bool json) { Report() = {command, json}; }

int Failure(const std::string& message) { return Fail(cli::kExitFailed, message); }

int UsageFailure(const std::string& message) { return Fail(cli::kExitUsage, message); }

std::optional<int> ParseReportingFailures(CLI::App& app, int argc, char** argv) {
  return cli::ParseCommandLine(app, argc, argv, [&](int code, const std::string& message) {
    ReportFailuresAs(cli::CommandPath(app), cli::AsksForJson(argc, argv));
    return FailShown(code, message);
  });
}

int EndWithoutData(int code, bool json) {
  if (code == cli::kExitDone && json) PrintJson(nlohmann::json::object());
  return code;
}

std::string Shown(const std::string& text) { return cli::EscapeForDisplay(text); }

void PrintTable(const STable& table, bool json) {
  if (json) return PrintJson(TableToJson(table));
  STable shown = table;
  for (auto& row : shown.rows) {
    for (auto& cell : row) {
      if (cell.is_string()) cell = Shown(cell.get<std::string>());
    }
  }
  std::fputs(FormatTable(shown).c_str(), stdout);
}

}  // namespace cloudsim
