#include "host/TzProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "host/Mutex.h"

namespace {

void CloseFrom(int lowest) {
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, lowest, ~0U, 0) == 0) return;
#endif
  long max = ::sysconf(_SC_OPEN_MAX);
  for (int fd = lowest; fd < (max > 0 ? max : 1024); ++fd) ::close(fd);
}

Mutex sharedMutex;
std::vector<int> shared GUARDED_BY(sharedMutex);

std::vector<int> SharedWithCommands() {
  MutexLock lock(sharedMutex);
  return shared;
}

}  // namespace

namespace TzProcess {

void ShareWithCommands(int fd) {
  MutexLock lock(sharedMutex);
  if (fd >= 0) shared.push_back(fd);
}

void StopSharingWithCommands(int fd) {
  MutexLock lock(sharedMutex);
  shared.erase(std::remove(shared.begin(), shared.end(), fd), shared.end());
}

int system(const char* command, string* output, string* error, int timeoutSeconds, bool mergeStderr) {
  return system(command, output, error, timeoutSeconds, mergeStderr, nullptr, nullptr);
}

namespace {
constexpr int kStopPollMs = 200;

// The child's side of the fork, where only async-signal-safe calls may run: stdin from /dev/null,
// stdout and stderr into the pipes, the shared descriptors as 3, 4, ... (moved above those numbers
// first, so none is overwritten before it is moved; dup2 leaves the copies open across the exec), a
// process group of its own, then the command.
[[noreturn]] void ExecChild(char* const* args, char* const* env, int outFd, int errFd,
                            const std::vector<int>& inherited, std::vector<int>& above, int firstFree) {
  int devnull = ::open("/dev/null", O_RDONLY);
  if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
  ::dup2(outFd, STDOUT_FILENO);
  ::dup2(errFd, STDERR_FILENO);
  for (size_t i = 0; i < inherited.size(); ++i) above[i] = ::fcntl(inherited[i], F_DUPFD, firstFree);
  for (size_t i = 0; i < inherited.size(); ++i) ::dup2(above[i], 3 + static_cast<int>(i));
  CloseFrom(firstFree);
  ::setpgid(0, 0);
  ::execve(args[0], args, env);
  ::_exit(127);
}

// Reads the child's stdout and stderr pipes into `out` and `err` until it closes both, the deadline
// passes (with a timeout: `timedOut`) or a stop is requested (`stopped`); both pipes are closed after.
void ReadOutput(int outFd, int errFd, int timeoutSeconds, std::chrono::steady_clock::time_point deadline,
                const std::function<bool()>& stopRequested, string& out, string& err, bool& timedOut, bool& stopped) {
  struct pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  int open = 2;
  char buffer[8192];
  while (open > 0) {
    int wait = -1;
    if (timeoutSeconds > 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timedOut = true;
        break;
      }
      wait = static_cast<int>(left.count());
    }
    if (stopRequested) {
      if (stopRequested()) {
        stopped = true;
        break;
      }
      if (wait < 0 || wait > kStopPollMs) wait = kStopPollMs;
    }
    int rc = ::poll(fds, 2, wait);
    if (rc < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? out : err).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) ::close(f.fd);
}

// A command's exit code from its wait status: its own, or 128 + the signal that ended it.
int ExitCode(int status, EEnd& end) {
  if (WIFEXITED(status)) {
    end = EEnd::Exited;
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    end = EEnd::Signalled;
    return 128 + WTERMSIG(status);
  }
  return -1;
}

// Runs argv[0] with its arguments; `environment` (NAME=VALUE entries) is the child's whole
// environment, or null to inherit this process's.
int Spawn(const std::vector<string>& argv, const std::vector<string>* environment, string* output, string* error,
          int timeoutSeconds, bool mergeStderr, const std::function<bool()>& stopRequested, EEnd* how) {
  EEnd ignored;
  EEnd& end = how ? *how : ignored;
  end = EEnd::NotStarted;
  if (argv.empty() || argv[0].empty()) return -1;
  // Built before the fork: the child of a threaded process may only call async-signal-safe functions.
  std::vector<char*> args, env;
  for (const string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (environment) {
    for (const string& entry : *environment) env.push_back(const_cast<char*>(entry.c_str()));
    env.push_back(nullptr);
  }
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return -1;
  }
  const bool merge = mergeStderr || error == nullptr;
  const std::vector<int> inherited = SharedWithCommands();
  std::vector<int> above(inherited.size());
  const int firstFree = 3 + static_cast<int>(inherited.size());

  pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(fd);
    return -1;
  }
  if (pid == 0) {
    ExecChild(args.data(), environment ? env.data() : environ, outPipe[1], merge ? outPipe[1] : errPipe[1], inherited,
              above, firstFree);
  }
  // Also here, so that the group exists before a kill of it can be due.
  ::setpgid(pid, pid);
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  string out, err;
  bool timedOut = false, stopped = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  ReadOutput(outPipe[0], errPipe[0], timeoutSeconds, deadline, stopRequested, out, err, timedOut, stopped);
  auto killGroup = [pid] {
    if (::kill(-pid, SIGKILL) != 0) ::kill(pid, SIGKILL);
  };
  if (timedOut || stopped) killGroup();

  // A command may close its output and go on running: the same limits hold until it ends.
  int status = 0;
  int pauseMs = 1;
  while (true) {
    pid_t done = ::waitpid(pid, &status, (timedOut || stopped) ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (timeoutSeconds > 0 && std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
    } else if (stopRequested && stopRequested()) {
      stopped = true;
    }
    if (timedOut || stopped) {
      killGroup();
      continue;
    }
    ::poll(nullptr, 0, pauseMs);
    pauseMs = std::min(pauseMs * 2, 20);
  }
  if (output) *output = out;
  if (error) *error = err;
  if (timedOut || stopped) {
    end = timedOut ? EEnd::TimedOut : EEnd::Stopped;
    return -1;
  }
  return ExitCode(status, end);
}

}  // namespace

int system(const char* command, string* output, string* error, int timeoutSeconds, bool mergeStderr,
           const std::function<bool()>& stopRequested, EEnd* how) {
  if (how) *how = EEnd::NotStarted;
  if (!command) return -1;
  return Spawn({"/bin/sh", "-c", command}, nullptr, output, error, timeoutSeconds, mergeStderr, stopRequested, how);
}

int run(const std::vector<string>& argv, const std::vector<string>& environment, string* output, string* error,
        int timeoutSeconds, bool mergeStderr, const std::function<bool()>& stopRequested, EEnd* how) {
  return Spawn(argv, &environment, output, error, timeoutSeconds, mergeStderr, stopRequested, how);
}

std::vector<string> EnvironmentWith(const string& name, const string& value) {
  std::vector<string> result;
  const string prefix = name + "=";
  for (char** entry = environ; entry && *entry; ++entry) {
    if (string(*entry).compare(0, prefix.size(), prefix) != 0) result.emplace_back(*entry);
  }
  result.push_back(prefix + value);
  return result;
}

}  // namespace TzProcess
