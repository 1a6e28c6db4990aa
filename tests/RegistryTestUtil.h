#pragma once
// Helpers shared by the registry tests: a private registry home per test, forked helper processes
// that report through a pipe, and short readers of the registry's state.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "HostTestUtil.h"
#include "host/VMCleaner.h"

namespace regtest {

// TZ_BASE_HOME points at a fresh folder for the scope of the test.
class RegistryHome {
 public:
  RegistryHome() : env_("TZ_BASE_HOME", dir_.Path()) {}
  const std::string& Path() const { return dir_.Path(); }
  std::string RegistryDir() const { return dir_ / "registry"; }

 private:
  hosttest::TempDir dir_;
  hosttest::ScopedEnv env_;
};

// A forked process running `body` (no exec). The body writes its progress to `fd`; whatever it
// returns is the exit status. It never returns into the test framework.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int(int fd)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      int status = 99;
      try {
        status = body(fds[1]);
      } catch (...) {
      }
      ::_exit(status);
    }
    ::close(fds[1]);
    fd_ = fds[0];
    if (pid_ < 0) ADD_FAILURE() << "fork failed";
  }
  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (fd_ >= 0) ::close(fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next byte the child wrote; -1 at end of stream or after 30 s without one.
  int ReadByte() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) return -1;
    unsigned char c = 0;
    return ::read(fd_, &c, 1) == 1 ? c : -1;
  }
  // Everything the child writes until it closes the pipe (e.g. by dying).
  std::string ReadAll() {
    std::string all;
    for (int c; (c = ReadByte()) >= 0;) all += static_cast<char>(c);
    return all;
  }
  void Kill() { ::kill(pid_, SIGKILL); }
  // The raw wait status; the child is reaped.
  int Wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
};

inline void Report(int fd, char c) { [[maybe_unused]] ssize_t n = ::write(fd, &c, 1); }

inline std::vector<std::string> Names(const std::vector<CleanerEntity>& entities) {
  std::vector<std::string> names;
  for (const auto& e : entities) names.push_back(e.name);
  return names;
}

inline std::vector<std::string> OrphanNames(VMCleaner& cleaner, VM_Cleaner_Mode mode) {
  std::vector<CleanerEntity> list;
  EXPECT_TRUE(cleaner.GetOrphanedRootEntityListByType(mode, VM_CLEANER_ENTITY_VM, "", list));
  return Names(list);
}

inline bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace regtest
