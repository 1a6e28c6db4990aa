#include "cli/ExitCodes.h"

#include <csignal>

namespace cli {

int ExitCodeOfSignal(int signo) {
  return signo == SIGTERM ? kExitTerminated : signo == SIGINT ? kExitInterrupted : 128 + signo;
}

const char* ExitCodesText() {
  return "Exit codes:\n"
         "  0    done\n"
         "  1    failed (the message says why; with --json, one object on stdout with ok: false)\n"
         "  2    usage: the command line was wrong, nothing was done\n"
         "  3    partial: a backup stored some of its disks, not all\n"
         "  130  interrupted by SIGINT (Ctrl-C); the job unwound\n"
         "  143  interrupted by SIGTERM; the job unwound\n";
}

}  // namespace cli
