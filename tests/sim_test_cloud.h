#pragma once
// Helpers of the simulator's tests: a fresh sandbox per test, a forked child, a built tool run
// as a process (without a shell).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "host/HostClock.h"

namespace simtest {

// A temporary folder removed with the object.
class CTempDir {
 public:
  CTempDir() {
    char pattern[] = "/tmp/sim-test.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~CTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  CTempDir(const CTempDir&) = delete;
  CTempDir& operator=(const CTempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// A sandbox made through the simulator's own creator (fast; no process).
class CTestCloud {
 public:
  explicit CTestCloud(sim::EFlavour flavour = sim::EFlavour::Infrastructure)
      : sandbox_(sim::CreateSandbox(temp_.Path() + "/sandbox", flavour)) {}
  const sim::SSandbox& Sandbox() const { return sandbox_; }
  std::string Dir() const { return sandbox_.dir; }
  std::string CloudDir() const { return sandbox_.cloudDir; }
  std::string Url() const { return "sim://" + sandbox_.cloudDir; }
  int InstanceType() const {
    return sandbox_.flavour == sim::EFlavour::Classic ? VSINST_ORACLE_CLOUD_CLASSIC : VSINST_ORACLE_CLOUD_INFRASTRUCTURE;
  }
  // A new connection to the cloud (tests use it to arrange and inspect state).
  std::unique_ptr<sim::CSimCloud> Open() const { return std::make_unique<sim::CSimCloud>(CloudDir()); }
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> Connect() const {
    auto bridge = std::make_unique<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge>(InstanceType());
    if (!bridge->Connect(Url(), "tester", "secret")) throw std::runtime_error(bridge->GetLastError());
    return bridge;
  }
  // The id of the instance named `name` (looked up directly in the database).
  std::string InstanceId(const std::string& name) const {
    return Open()->Read([&](sim::CSimDb& db) { return db.QueryText("SELECT id FROM instances WHERE name = ?", "", name); });
  }
  // Direct reads and changes of the cloud's tables, for arranging and checking state.
  template <class... Args>
  std::string Text(const std::string& sql, const Args&... args) const {
    return Open()->Read([&](sim::CSimDb& db) { return db.QueryText(sql, "", args...); });
  }
  template <class... Args>
  int64_t Int(const std::string& sql, const Args&... args) const {
    return Open()->Read([&](sim::CSimDb& db) { return db.QueryInt(sql, -1, args...); });
  }
  template <class... Args>
  void Exec(const std::string& sql, const Args&... args) const {
    Open()->Write([&](sim::CSimDb& db) { db.Run(sql, args...); });
  }
  void SetMeta(const std::string& key, const std::string& value) const { Open()->SetMeta(key, value); }
  // Adds a fault rule for the nth call of `op` from now (0: every call).
  void AddFault(const std::string& op, int64_t nth, sim::EFaultAction action, const std::string& text = "") const {
    auto cloud = Open();
    sim::CSimFaults(*cloud).Add({.op = op, .nth = nth, .action = action, .text = text});
  }
  // The path of the file holding the bytes of the volume or snapshot `id`.
  std::string BytesPath(const std::string& id) const {
    auto cloud = Open();
    std::string file = cloud->Read([&](sim::CSimDb& db) {
      return db.QueryText("SELECT file FROM volumes WHERE id = ? UNION ALL SELECT file FROM snapshots WHERE id = ?", "",
                          id, id);
    });
    return file.empty() ? std::string() : cloud->VolumeFilePath(file);
  }

 private:
  CTempDir temp_;
  sim::SSandbox sandbox_;
};

// Installs a clock for the scope of a test.
class CClockScope {
 public:
  explicit CClockScope(IHostClock& clock) { HostClock::Install(&clock); }
  ~CClockScope() { HostClock::Install(nullptr); }
  CClockScope(const CClockScope&) = delete;
  CClockScope& operator=(const CClockScope&) = delete;
};

// Runs fn in a forked child that exits with fn's result; returns the child's wait status. The
// parent must hold no open cloud connection across the fork (SQLite's rule).
inline int RunInChild(const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int code = 99;
    try {
      code = fn();
    } catch (...) {
      code = 98;
    }
    ::_exit(code);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

inline bool DiedOfSigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
inline int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

struct SToolResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a built tool with arguments and an optional extra environment variable ("NAME=value").
inline SToolResult RunTool(const std::string& tool, const std::vector<std::string>& args, const std::string& env = "") {
  std::string outPath = std::filesystem::temp_directory_path() / ("sim-tool-out." + std::to_string(::getpid()));
  std::string errPath = outPath + ".err";
  std::string program = std::string(OCI_BUILD_DIR) + "/" + tool;
  fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!env.empty()) ::putenv(const_cast<char*>(env.c_str()));
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  auto slurp = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::filesystem::remove(path);
    return s.str();
  };
  return {ExitCode(status), slurp(outPath), slurp(errPath)};
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace simtest
