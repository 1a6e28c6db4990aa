#pragma once
// A fresh sandbox per test, made by the built cloud-sim, with the host pointed at it; and the
// built tools run against it as processes.
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "HostTestUtil.h"

class CTestSandbox {
 public:
  // In a fresh temporary folder, as its subfolder `name`; `backend`: sim or rest (whose API `cloud-sim
  // serve` serves from the constructor to the destructor); empty: $OCI_TEST_BACKEND for an infrastructure
  // sandbox (ctest runs the agent's tests once per backend), else sim.
  explicit CTestSandbox(const std::string& flavour = "infrastructure", const std::string& name = "sandbox",
                        const std::string& backend = "");
  ~CTestSandbox();  // releases the loop devices bound to the sandbox's files, then removes it
  CTestSandbox(const CTestSandbox&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Root() const { return dir_ + "/root"; }
  std::string Home() const { return dir_ + "/home"; }
  // What Connect takes: the simulator's URL and a user, or the emulator's address and the API configuration.
  std::string CloudUrl() const { return endpoint_.empty() ? "sim://" + dir_ + "/cloud" : endpoint_; }
  std::string CloudUser() const { return endpoint_.empty() ? "agent" : dir_ + "/api/config"; }
  bool Rest() const { return !endpoint_.empty(); }
  // Stops the emulator (SIGTERM) and gives its wait status; -1 when none runs.
  int StopServing();
  std::string ProxyInstanceId() const;  // as cloud-init recorded it (infrastructure flavour)

  // Runs a built tool (cloud-sim, backup-agent); returns its exit status.
  static int Run(const std::string& tool, const std::vector<std::string>& args, std::string* output = nullptr);
  int CloudSim(const std::vector<std::string>& args, std::string* output = nullptr) const;
  // backup-agent --sandbox DIR ARGS..., waited for, or started with its output in `log`.
  int Agent(const std::vector<std::string>& args, std::string* output = nullptr) const;
  pid_t StartAgent(const std::vector<std::string>& args, const std::string& log) const;
  pid_t Start(const std::string& tool, const std::vector<std::string>& args, const std::string& log) const;
  static int WaitFor(pid_t child);  // the raw wait status
  // Adds `cloud-sim fault add --op OP --nth N --action ACTION [extra...]`.
  void Fault(const std::string& op, long nth, const std::string& action,
             const std::vector<std::string>& extra = {}) const;
  long Calls(const std::string& operation) const;  // as the cloud counted them
  nlohmann::json Registry() const;                 // backup-agent registry --json
  // Nothing in the cloud or the registry, no device, loop device, node record or session on the proxy.
  void ExpectNothingLeft(const std::string& label = "") const;

 private:
  void Serve();

  std::string base_, dir_, endpoint_;
  pid_t server_ = -1;
  std::unique_ptr<hosttest::ScopedEnv> root_, home_;
};

// A text as the in-process backend words it: a failure that came over the REST API carries the API's error
// code before and its request id after the cloud's message ("IncorrectState: <message> (opc-request-id X)").
std::string WithoutApiWording(const std::string& text);

// Puts folders first on PATH for the scope, as the agent does with the sandbox's bin/.
struct CPathFirst : hosttest::ScopedEnv {
  explicit CPathFirst(const std::string& folders)
      : ScopedEnv("PATH", folders + ":" + (::getenv("PATH") ? ::getenv("PATH") : "/usr/bin:/bin")) {}
};

// Restored volumes are named after their source and the second of the restore: a second restore of
// the same backup waits for the next second.
void WaitForNextSecond();

void WriteTestFile(const std::string& path, const std::string& content);
std::string ReadTestFile(const std::string& path);

// True when the output holds "<step> failed: error <code>: <cause>" or "<step> failed: no error
// code: <cause>" with a code other than 0 and a cause that is not empty.
bool NamesStepCodeAndCause(const std::string& output, const std::string& step);
