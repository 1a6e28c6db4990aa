// How cloud-sim reports: a failure on stderr and, under --json, as one object on stdout; data as JSON
// or as text whose control characters are escaped.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>

#include "CloudSimCommands.h"
#include "QueryTable.h"
#include "agent/DisplayText.h"
#include "cli/CommandLine.h"
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
  PrintJson({{"ok", false}, {"command", Report().command}, {"code", code}, {"message", message}});
}

int Fail(int code, const std::string& message) {
  const std::string shown = Shown(message);
  std::fprintf(stderr, "%s: %s\n", kTool, shown.c_str());
  if (Report().json) PrintFailureObject(code, shown);
  return code;
}

// --json anywhere before "--".
bool AsksForJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

// Keeps what is written to stderr in a scope in a file; Release writes it to stderr and returns it.
class CStderrCapture {
 public:
  CStderrCapture() : file_(std::tmpfile()) {
    std::fflush(stderr);
    if (file_ != nullptr) saved_ = ::dup(STDERR_FILENO);
    if (saved_ >= 0) ::dup2(::fileno(file_), STDERR_FILENO);
  }
  ~CStderrCapture() {
    Restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  CStderrCapture(const CStderrCapture&) = delete;
  CStderrCapture& operator=(const CStderrCapture&) = delete;

  std::string Release() {
    Restore();
    std::string text;
    if (file_ == nullptr) return text;
    std::rewind(file_);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) text.append(buffer, n);
    std::fwrite(text.data(), 1, text.size(), stderr);
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    saved_ = -1;
  }

  FILE* file_;
  int saved_ = -1;
};

// "cloud-sim: <message>\n" as the command line's parse printed it: the message.
std::string MessageOf(std::string text) {
  const std::string prefix = std::string(kTool) + ": ";
  if (text.rfind(prefix, 0) == 0) text.erase(0, prefix.size());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

void ReportFailuresAs(const std::string& command, bool json) { Report() = {command, json}; }

int Failure(const std::string& message) { return Fail(cli::kExitFailed, message); }

int UsageFailure(const std::string& message) { return Fail(cli::kExitUsage, message); }

std::string CommandPath(const CLI::App& app) {
  std::string path = kTool;
  for (const CLI::App* command = &app; !command->get_subcommands().empty();) {
    command = command->get_subcommands().front();
    path += " " + command->get_name();
  }
  return path;
}

std::optional<int> ParseReportingFailures(CLI::App& app, int argc, char** argv) {
  if (!AsksForJson(argc, argv)) return cli::ParseCommandLine(app, argc, argv);
  CStderrCapture capture;
  const std::optional<int> code = cli::ParseCommandLine(app, argc, argv);
  const std::string printed = capture.Release();
  if (code && *code != cli::kExitDone) {
    ReportFailuresAs(CommandPath(app), true);
    PrintFailureObject(*code, Shown(MessageOf(printed)));
  }
  return code;
}

void PrintJson(const nlohmann::json& value) {
  std::printf("%s\n", value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int EndWithoutData(int code, bool json) {
  if (code == cli::kExitDone && json) PrintJson(nlohmann::json::object());
  return code;
}

std::string Shown(const std::string& text) { return EscapeForDisplay(text); }

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
