#pragma once
// The exit codes of both tools, backup-agent and cloud-sim: one table, printed in their help and man
// pages. A script tells a failure from a partial backup and from an interrupt by the code alone.
namespace cli {

enum ExitCode : int {
  kExitDone = 0,           // the command did what it was asked
  kExitFailed = 1,         // it failed; the message (and with --json the object on stdout) says why
  kExitUsage = 2,          // the command line was wrong; nothing was done
  kExitPartial = 3,        // a backup stored some disks and not others
  kExitInterrupted = 130,  // SIGINT (Ctrl-C): the job unwound and left nothing
  kExitTerminated = 143,   // SIGTERM: likewise
};

// The exit code of a command ended by signal `signo` (SIGINT or SIGTERM): 128 + its number.
int ExitCodeOfSignal(int signo);

// The table as the help's footer prints it.
const char* ExitCodesText();

}  // namespace cli
