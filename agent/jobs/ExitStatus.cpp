#include "agent/jobs/ExitStatus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "agent/jobs/InterruptWatch.h"
#include "cli/DisplayText.h"
#include "host/HostEnvironment.h"

namespace agent {

using nlohmann::json;

namespace {

// The code in "... failed: error N: ..." of a message, if any.
std::optional<int> CodeNamedIn(const string& message) {
  const string marker = "failed: error ";
  const size_t at = message.find(marker);
  if (at == string::npos) return std::nullopt;
  const char* digits = message.c_str() + at + marker.size();
  char* end = nullptr;
  const long code = std::strtol(digits, &end, 10);
  if (end == digits || *end != ':') return std::nullopt;
  return static_cast<int>(code);
}

// What an interrupted job left, in words.
string LeftInWords(const SJobLeft& left) {
  string words;
  const auto add = [&](const string& what) { words += (words.empty() ? "" : "; ") + what; };
  if (!left.backupFolder.empty())
    add("its backup folder [" + cli::EscapeForDisplay(left.backupFolder) + "], marked failed");
  if (!left.registered.empty())
    add("what stays registered for the next job's sweep (" + std::to_string(left.registered.size()) + ")");
  return words;
}

}  // namespace

int Fail(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitFailed;
}

int Usage(const string& text) {
  std::fprintf(stderr, "backup-agent: %s\n", text.c_str());
  return kExitUsage;
}

string AgentLogPath() {
  const char* home = std::getenv("TZ_BASE_HOME");
  return home && *home ? HostEnvironment::UnderHome("log/vsagent.log") : string();
}

int CCommandReport::Failed(const string& givenStep, const string& message, std::optional<int> code, int exitCode) {
  if (!code) code = CodeNamedIn(message);
  string step = givenStep;
  if (step.empty()) step = message.substr(0, std::min(message.find(" failed: "), message.find(':')));
  string text = message;
  const int signo = InterruptSignal();
  if (signo != 0 && exitCode != kExitUsage) {
    exitCode = cli::ExitCodeOfSignal(signo);
    const string left = LeftInWords(left_);
    text = "interrupted (" + InterruptSignalName() + "): the job unwound, " +
           (left.empty() ? "nothing it made is left" : "it left " + left) + " (" + message + ")";
  }
  if (log_.empty() && exitCode != kExitUsage) log_ = AgentLogPath();
  Fail(text);  // the message on stderr, whatever the exit code
  if (!log_.empty()) std::fprintf(stderr, "backup-agent: the job's log: %s\n", cli::EscapeForDisplay(log_).c_str());
  if (json_) {
    json missing = json::array();
    for (const auto& disk : left_.missingDisks) missing.push_back(disk);
    json leftJson = json::object();
    if (!left_.backupFolder.empty()) leftJson["backup_folder"] = left_.backupFolder;
    if (!left_.missingDisks.empty()) leftJson["missing_disks"] = missing;
    if (!left_.registered.empty()) leftJson["registered"] = left_.registered;
    PrintJson({{"ok", false},
               {"command", command_},
               {"step", step},
               {"code", code ? json(*code) : json(nullptr)},
               {"exit_code", exitCode},
               {"message", text},
               {"log", log_.empty() ? json(nullptr) : json(log_)},
               {"left", leftJson}});
  }
  return exitCode;
}

int CCommandReport::UsageError(const string& message) { return Failed("usage", message, std::nullopt, kExitUsage); }

int CCommandReport::Succeeded(json result, int exitCode) {
  if (!json_) return exitCode;
  // A list (of instances, registry roots, inventory entries) is printed as it is.
  if (result.is_object()) result["ok"] = exitCode == kExitDone;
  PrintJson(result);
  return exitCode;
}

}  // namespace agent
