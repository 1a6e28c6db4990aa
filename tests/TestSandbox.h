#pragma once
// A fresh sandbox per test, made by the built cloud-sim, with the host pointed at it.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class CTestSandbox {
 public:
  explicit CTestSandbox(const std::string& flavour = "infrastructure");
  ~CTestSandbox();
  CTestSandbox(const CTestSandbox&) = delete;
  CTestSandbox& operator=(const CTestSandbox&) = delete;

  const std::string& Dir() const { return dir_; }
  std::string Root() const { return dir_ + "/root"; }
  std::string Home() const { return dir_ + "/home"; }
  std::string CloudUrl() const { return "sim://" + dir_ + "/cloud"; }
  // The proxy's id as cloud-init recorded it (infrastructure flavour).
  std::string ProxyInstanceId() const;

  // Runs a built tool (cloud-sim, backup-agent) with arguments; returns its exit status.
  static int Run(const std::string& tool, const std::vector<std::string>& args, std::string* output = nullptr);
  int CloudSim(const std::vector<std::string>& args, std::string* output = nullptr) const;
  // Calls per cloud operation, as the cloud counted them.
  long Calls(const std::string& operation) const;

 private:
  std::string base_;
  std::string dir_;
  std::string savedRoot_, savedHome_;
  bool hadRoot_ = false, hadHome_ = false;
};

// Puts folders first on PATH for the scope, as the agent does with the sandbox's bin/.
class CPathFirst {
 public:
  explicit CPathFirst(const std::string& folders);
  ~CPathFirst();
  CPathFirst(const CPathFirst&) = delete;
  CPathFirst& operator=(const CPathFirst&) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

// Writes a file (and its folders).
void WriteTestFile(const std::string& path, const std::string& content);
std::string ReadTestFile(const std::string& path);

// True when the agent's output holds "<step> failed: error <code>: <cause>" or
// "<step> failed: no error code: <cause>" with a code other than 0 and a cause that is not empty.
bool NamesStepCodeAndCause(const std::string& output, const std::string& step);
