#pragma once
// How a command ends: the exit codes both tools share (cli/ExitCodes.h), the message of a failure or
// a usage error on stderr, and, with --json, the one object the command prints on stdout. Every
// command's result and failure objects are made here.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/ExitCodes.h"
#include "cli/JsonOutput.h"
#include "host/HostTypes.h"

namespace agent {

using cli::kExitDone;
using cli::kExitFailed;
using cli::kExitPartial;
using cli::kExitUsage;

// Prints "backup-agent: TEXT" on stderr and returns the exit code of a failure (1) or of a usage
// error (2).
int Fail(const string& text);
int Usage(const string& text);

using cli::PrintJson;

// What a failed job left behind, named in its failure.
struct SJobLeft {
  string backupFolder;               // a backup's folder, marked failed
  std::vector<string> missingDisks;  // the disks it did not store
  std::vector<string> registered;    // what stays registered for the next job's sweep
};

// The end of one command. Without --json a failure is a line on stderr; with --json it is also the
// object {"ok": false, "command", "step", "code", "exit_code", "message", "log", "left"} on stdout,
// and a success is the command's object with "ok": true. After an interrupt a failure exits 130
// (SIGINT) or 143 (SIGTERM) and says what the unwound job left.
class CCommandReport {
 public:
  CCommandReport(string command, bool json) : command_(std::move(command)), json_(json) {}

  bool Json() const { return json_; }
  SJobLeft& Left() { return left_; }
  // The job's log is named in a failure (the agent's log under its home, once a job ran).
  void SetLog(string path) { log_ = std::move(path); }

  // A failure of `step`. Without a step or code, those the message names ("<step> failed: error N:
  // ...", as FailureCause.h words them) are taken. Returns the exit code.
  int Failed(const string& step, const string& message, std::optional<int> code = std::nullopt,
             int exitCode = kExitFailed);
  // A usage error: exit code 2, nothing was done.
  int UsageError(const string& message);
  // With --json prints `result`, an object with "ok" (true exactly when `exitCode` is 0) added, or a
  // list as it is. Returns `exitCode`.
  int Succeeded(nlohmann::json result, int exitCode = kExitDone);

 private:
  const string command_;
  const bool json_;
  SJobLeft left_;
  string log_;
};

// The agent's log file (under its home), where a job's lines are.
string AgentLogPath();

}  // namespace agent
