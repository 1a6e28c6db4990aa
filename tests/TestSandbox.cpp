#include "TestSandbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <fstream>
#include <sstream>

#include "host/TzProcess.h"

namespace {
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

CTestSandbox::CTestSandbox(const std::string& flavour) {
  char pattern[] = "/tmp/oci-test.XXXXXX";
  char* made = ::mkdtemp(pattern);
  if (!made) throw std::runtime_error("mkdtemp failed");
  base_ = made;
  dir_ = base_ + "/sandbox";
  std::string output;
  int rc = CloudSim({"init", dir_, "--flavour", flavour}, &output);
  if (rc != 0) throw std::runtime_error("cloud-sim init failed: " + output);
  if (const char* v = ::getenv("TZ_PLATFORM_ROOT")) hadRoot_ = true, savedRoot_ = v;
  if (const char* v = ::getenv("TZ_BASE_HOME")) hadHome_ = true, savedHome_ = v;
  ::setenv("TZ_PLATFORM_ROOT", Root().c_str(), 1);
  ::setenv("TZ_BASE_HOME", Home().c_str(), 1);
}

CTestSandbox::~CTestSandbox() {
  if (hadRoot_) ::setenv("TZ_PLATFORM_ROOT", savedRoot_.c_str(), 1); else ::unsetenv("TZ_PLATFORM_ROOT");
  if (hadHome_) ::setenv("TZ_BASE_HOME", savedHome_.c_str(), 1); else ::unsetenv("TZ_BASE_HOME");
  std::error_code ec;
  std::filesystem::remove_all(base_, ec);
}

std::string CTestSandbox::ProxyInstanceId() const {
  std::string id = ReadTestFile(Root() + "/var/lib/cloud/data/instance-id");
  while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
  return id;
}

int CTestSandbox::Run(const std::string& tool, const std::vector<std::string>& args, std::string* output) {
  std::string command = Quote(std::string(OCI_BUILD_DIR) + "/" + tool);
  for (const auto& a : args) command += " " + Quote(a);
  std::string out;
  int rc = TzProcess::system(command.c_str(), &out, nullptr, 120, true);
  if (output) *output = out;
  return rc;
}

int CTestSandbox::CloudSim(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> all = args;
  if (args.empty() || args[0] != "init") all.insert(all.begin(), {"--sandbox", dir_});
  return Run("cloud-sim", all, output);
}

long CTestSandbox::Calls(const std::string& operation) const {
  std::string out;
  if (CloudSim({"calls", "--json"}, &out) != 0) throw std::runtime_error("cloud-sim calls failed: " + out);
  auto counters = nlohmann::json::parse(out);
  return counters.contains(operation) ? counters[operation].get<long>() : 0;
}

void WriteTestFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadTestFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

CPathFirst::CPathFirst(const std::string& folders) {
  const char* old = ::getenv("PATH");
  had_ = old != nullptr;
  if (had_) saved_ = old;
  const std::string value = folders + ":" + (had_ ? saved_ : std::string("/usr/bin:/bin"));
  ::setenv("PATH", value.c_str(), 1);
}

CPathFirst::~CPathFirst() {
  if (had_)
    ::setenv("PATH", saved_.c_str(), 1);
  else
    ::unsetenv("PATH");
}

bool NamesStepCodeAndCause(const std::string& output, const std::string& step) {
  const std::regex line(std::regex_replace(step, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") +
                        " failed: (error [1-9][0-9]*|no error code): [^\\s][^\\n]*");
  return std::regex_search(output, line);
}
