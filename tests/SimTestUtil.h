#pragma once
// Helpers of the simulator's tests: a fresh sandbox per test and forked children. The host
// tests' folder and clock helpers and the sandbox tests' tool runner serve here too.
#include <sys/wait.h>

#include <csignal>
#include <functional>

#include "HostTestUtil.h"
#include "TestSandbox.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/sim/SandboxCreator.h"
#include "bridge/sim/SimCloud.h"
#include "bridge/sim/SimFaults.h"
#include "host/TzProcess.h"

namespace simtest {

// A sandbox made through the simulator's own creator (no process), with direct reads of the
// cloud's tables for arranging and checking state.
class CTestCloud {
 public:
  explicit CTestCloud(sim::EFlavour flavour = sim::EFlavour::Infrastructure)
      : sandbox_(sim::CreateSandbox(temp_.Path() + "/sandbox", flavour)) {}
  const sim::SSandbox& Sandbox() const { return sandbox_; }
  std::string Dir() const { return sandbox_.dir; }
  std::string CloudDir() const { return sandbox_.cloudDir; }
  std::string Url() const { return "sim://" + sandbox_.cloudDir; }
  bool Classic() const { return sandbox_.flavour == sim::EFlavour::Classic; }
  std::unique_ptr<sim::CSimCloud> Open() const { return std::make_unique<sim::CSimCloud>(CloudDir()); }
  std::unique_ptr<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge> Connect() const {
    auto bridge = std::make_unique<OracleCloudSDKCppBridge::COracleCloudSDKCppBridge>(
        Classic() ? VSINST_ORACLE_CLOUD_CLASSIC : VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    if (!bridge->Connect(Url(), "tester", "secret")) throw std::runtime_error(bridge->GetLastError());
    return bridge;
  }
  template <class... Args>
  std::string Text(const std::string& sql, const Args&... args) const {
    return Open()->Read([&](sim::CSimDb& db) { return db.QueryText(sql, "", args...); });
  }
  template <class... Args>
  int64_t Int(const std::string& sql, const Args&... args) const {
    return Open()->Read([&](sim::CSimDb& db) { return db.QueryInt(sql, -1, args...); });
  }
  std::string InstanceId(const std::string& name) const {
    return Text("SELECT id FROM instances WHERE name = ?", name);
  }
  std::string VolumeId(const std::string& name) const {
    return Text("SELECT id FROM volumes WHERE display_name = ?", name);
  }
  void SetMeta(const std::string& key, const std::string& value) const { Open()->SetMeta(key, value); }
  // Adds a fault rule for the nth call of `op` from now (0: every call).
  void AddFault(const std::string& op, int64_t nth, sim::EFaultAction action, const std::string& text = "",
                int64_t delayMs = 0) const {
    sim::CSimFaults(*Open()).Add({.op = op, .nth = nth, .action = action, .text = text, .delayMs = delayMs});
  }
  int64_t Calls(const std::string& op) const {
    auto counters = sim::CSimFaults(*Open()).Counters();
    return counters.count(op) ? counters[op] : 0;
  }
  // The file holding the bytes of the volume or snapshot `id` ("" when there is none).
  std::string BytesPath(const std::string& id) const {
    std::string file =
        Text("SELECT file FROM volumes WHERE id = ? UNION ALL SELECT file FROM snapshots WHERE id = ?", id, id);
    return file.empty() ? std::string() : Open()->VolumeFilePath(file);
  }

 private:
  hosttest::TempDir temp_;
  sim::SSandbox sandbox_;
};

inline int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}
inline bool DiedOfSigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
inline int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Starts fn in a forked child that exits with fn's result. The parent must hold no open cloud
// connection across the fork (SQLite's rule).
inline pid_t StartChild(const std::function<int()>& fn) {
  fflush(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int code = 98;
    try {
      code = fn();
    } catch (...) {
    }
    ::_exit(code);
  }
  return pid;
}
inline int RunInChild(const std::function<int()>& fn) { return Wait(StartChild(fn)); }

}  // namespace simtest
