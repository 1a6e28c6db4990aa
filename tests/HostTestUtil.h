#pragma once
// Host test helpers: a private temporary folder, scoped environment variables and host clock, file
// helpers that do not go through the code under test, and forked helper processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bridge/sim/SimLoopDevices.h"
#include "disk/DataRegions.h"
#include "host/HostClock.h"

namespace hosttest {

// A fresh folder from mkdtemp, removed with everything in it (links are not followed). The machine's loop
// devices bound to its files, by whatever sandbox a test made in it, are released first.
struct TempDir {
  TempDir() { EXPECT_NE(::mkdtemp(path_.data()), nullptr); }
  ~TempDir() {
    sim::ReleaseLoopDevicesUnder(path_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }
  std::string path_ = "/tmp/host_test_XXXXXX";
};

// Sets (or, with nullopt, unsets) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = std::string(old);
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_.c_str(), old_->c_str(), 1) : ::unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Installs a clock for the scope; the system clock is back afterwards.
struct ScopedClock {
  explicit ScopedClock(IHostClock* clock) { HostClock::Install(clock); }
  ~ScopedClock() { HostClock::Install(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
};

// Writes a file, creating its parent folders.
inline void PutFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string GetFile(const std::string& path) {
  std::ostringstream data;
  data << std::ifstream(path, std::ios::binary).rdbuf();
  return data.str();
}

// A sparse file of `size` bytes holding each piece of `data` at its offset; its contents.
inline std::string SparseFile(const std::string& path, size_t size,
                              const std::vector<std::pair<size_t, std::string>>& data) {
  std::string logical(size, '\0');
  const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
  EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
  for (const auto& [at, bytes] : data) {
    EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)), static_cast<ssize_t>(bytes.size()));
    logical.replace(at, bytes.size(), bytes);
  }
  ::close(fd);
  return logical;
}

// The disk checksum of the first `size` bytes of the file `path`.
inline SDiskChecksum DiskChecksumOf(const std::string& path, size_t size,
                                    EChecksumScheme scheme = EChecksumScheme::ChunkedSha256) {
  SDiskChecksum checksum;
  std::string error;
  EXPECT_TRUE(ChecksumOfFile(path, size, scheme, checksum, error)) << error;
  return checksum;
}

// A forked process running `body` (no exec); it writes progress to `fd`, its result is the exit status.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int(int fd)>& body) {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::pipe(fds), 0);
    std::fflush(nullptr);
    if ((pid_ = ::fork()) == 0) {
      ::close(fds[0]);
      ::_exit(body(fds[1]));  // an exception ends the child as a crash would
    }
    ::close(fds[1]);
    fd_ = fds[0];
    EXPECT_GT(pid_, 0) << "fork failed";
  }
  ~ChildProcess() {
    if (pid_ > 0) Kill(), Wait();
    ::close(fd_);
  }
  ChildProcess(const ChildProcess&) = delete;

  // The next byte the child wrote; -1 at end of stream or after `ms` without one.
  int ReadByte(int ms = 30000) {
    pollfd p{fd_, POLLIN, 0};
    unsigned char c = 0;
    return ::poll(&p, 1, ms) == 1 && ::read(fd_, &c, 1) == 1 ? c : -1;
  }
  void Kill() { ::kill(pid_, SIGKILL); }
  int Wait() {  // the raw wait status
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
    return status;
  }
  pid_t pid_ = -1;
  int fd_ = -1;
};

inline void Report(int fd, char c) { [[maybe_unused]] ssize_t n = ::write(fd, &c, 1); }

// Values an attacker (or a broken cloud) might hand over, each of which would create `canary` if it
// ever reached a shell or named a path outside its folder: shell syntax of every kind, quotes,
// newlines, NUL, "..", leading '-', invalid UTF-8, over-long; each kind bare and behind prefixes
// that look like the field's legal values, with and without something after it (over 200 values).
inline std::vector<std::string> HostileValues(const std::string& canary) {
  const std::string touch = "touch " + canary;
  const std::vector<std::string> kinds = {"; " + touch,
                                          "$(" + touch + ")",
                                          "`" + touch + "`",
                                          "' ; " + touch + " ; '",
                                          "\" ; " + touch + " ; \"",
                                          "\n" + touch,
                                          "\r\n" + touch,
                                          "| " + touch,
                                          "&& " + touch,
                                          "|| " + touch,
                                          "& " + touch + " &",
                                          "> " + canary,
                                          "${IFS}" + touch,
                                          "../../../../../.." + canary,
                                          "/../" + canary,
                                          std::string("a\0; ", 4) + touch,
                                          "-o delete; " + touch,
                                          "\xff\xfe; " + touch,
                                          "\xc0\xaf../" + canary,
                                          std::string(5000, 'a') + ";" + touch,
                                          "*;" + touch,
                                          "~/;" + touch};
  std::vector<std::string> values;
  for (const std::string prefix : {"", "-", "iqn.2015-12.com.x:", "169.254.2.2", "3260", "web"})
    for (const std::string& kind : kinds)
      for (const char* suffix : {"", "x"}) values.push_back(prefix + kind + suffix);
  return values;
}

}  // namespace hosttest
