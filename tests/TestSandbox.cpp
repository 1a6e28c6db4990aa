#include "TestSandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <regex>

#include "bridge/sim/SimLoopDevices.h"
#include "host/TzProcess.h"

namespace {
std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

namespace {
std::string BackendOf(const std::string& flavour, const std::string& backend) {
  const char* chosen = ::getenv("OCI_TEST_BACKEND");
  if (!backend.empty()) return backend;
  return flavour == "infrastructure" && chosen && *chosen ? chosen : "sim";
}
}  // namespace

std::string WithoutApiWording(const std::string& text) {
  static const std::regex kWording(
      R"(\b(IncorrectState|NotAuthorizedOrNotFound|LimitExceeded|InvalidParameter|MissingParameter|InternalError): | \(opc-request-id [0-9a-f]+\))");
  return std::regex_replace(text, kWording, "");
}

CTestSandbox::CTestSandbox(const std::string& flavour, const std::string& name, const std::string& backendAsked) {
  const std::string backend = BackendOf(flavour, backendAsked);
  char pattern[] = "/tmp/oci-test.XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  dir_ = base_ + "/" + name;
  std::string output;
  // Small volumes: a job hashes every disk it copies twice.
  if (CloudSim({"init", dir_, "--flavour", flavour, "--volume-mib", "16", "--backend", backend}, &output) != 0)
    throw std::runtime_error("cloud-sim init failed: " + output);
  root_ = std::make_unique<hosttest::ScopedEnv>("TZ_PLATFORM_ROOT", Root());
  home_ = std::make_unique<hosttest::ScopedEnv>("TZ_BASE_HOME", Home());
  if (backend == "rest") Serve();
}

void CTestSandbox::Serve() {
  server_ = Start("cloud-sim", {"serve"}, dir_ + "/serve.log");
  for (int i = 0; i < 400 && endpoint_.empty(); ++i) {
    ::usleep(25000);
    if (std::filesystem::exists(dir_ + "/api/endpoint")) endpoint_ = ReadTestFile(dir_ + "/api/endpoint");
    endpoint_ = endpoint_.substr(0, endpoint_.find('\n'));
  }
  if (endpoint_.empty())
    throw std::runtime_error("cloud-sim serve did not start: " + ReadTestFile(dir_ + "/serve.log"));
}

int CTestSandbox::StopServing() {
  if (server_ <= 0) return -1;
  ::kill(server_, SIGTERM);
  const int status = WaitFor(server_);
  server_ = -1;
  return status;
}

CTestSandbox::~CTestSandbox() {
  StopServing();
  // A sandbox's loop devices are the machine's: they go with it, whatever its test left.
  sim::ReleaseLoopDevicesUnder(base_);
  std::error_code ec;
  std::filesystem::remove_all(base_, ec);
}

std::string CTestSandbox::ProxyInstanceId() const {
  const std::string id = ReadTestFile(Root() + "/var/lib/cloud/data/instance-id");
  return id.substr(0, id.find_first_of("\r\n"));
}

int CTestSandbox::Run(const std::string& tool, const std::vector<std::string>& args, std::string* output) {
  std::string command = Quote(std::string(OCI_BUILD_DIR) + "/" + tool);
  for (const auto& a : args) command.append(" ").append(Quote(a));
  std::string out;
  return TzProcess::system(command.c_str(), output ? output : &out, nullptr, 120, true);
}

int CTestSandbox::CloudSim(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> all = args;
  if (args.empty() || args[0] != "init") all.insert(all.begin(), {"--sandbox", dir_});
  return Run("cloud-sim", all, output);
}

int CTestSandbox::Agent(const std::vector<std::string>& args, std::string* output) const {
  std::vector<std::string> all = {"--sandbox", dir_};
  all.insert(all.end(), args.begin(), args.end());
  return Run("backup-agent", all, output);
}

pid_t CTestSandbox::StartAgent(const std::vector<std::string>& args, const std::string& log) const {
  return Start("backup-agent", args, log);
}

pid_t CTestSandbox::Start(const std::string& tool, const std::vector<std::string>& args, const std::string& log) const {
  std::filesystem::create_directories(std::filesystem::path(log).parent_path());
  const std::string agent = std::string(OCI_BUILD_DIR) + "/" + tool;
  std::vector<std::string> all = {agent, "--sandbox", dir_};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::execv(agent.c_str(), argv.data());
    ::_exit(127);
  }
  return child;
}

int CTestSandbox::WaitFor(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) continue;
  return status;
}

void CTestSandbox::Fault(const std::string& op, long nth, const std::string& action,
                         const std::vector<std::string>& extra) const {
  std::vector<std::string> args = {"fault", "add", "--op", op, "--nth", std::to_string(nth), "--action", action};
  args.insert(args.end(), extra.begin(), extra.end());
  std::string out;
  EXPECT_EQ(CloudSim(args, &out), 0) << out;
}

long CTestSandbox::Calls(const std::string& operation) const {
  std::string out;
  if (CloudSim({"calls", "--json"}, &out) != 0) throw std::runtime_error("cloud-sim calls failed: " + out);
  return nlohmann::json::parse(out).value(operation, 0L);
}

nlohmann::json CTestSandbox::Registry() const {
  std::string out;
  EXPECT_EQ(Agent({"registry", "--json"}, &out), 0) << out;
  return nlohmann::json::parse(out, nullptr, false);
}

void CTestSandbox::ExpectNothingLeft(const std::string& label) const {
  std::string out;
  EXPECT_EQ(CloudSim({"leaks"}, &out), 0) << label << "\n" << out;
  EXPECT_EQ(Registry(), nlohmann::json::array()) << label;
  EXPECT_EQ(CloudSim({"loops"}, &out), 0) << label << "\n" << out;
  for (const char* folder : {"/root/dev/disk/by-path", "/cloud/iscsi/nodes", "/cloud/iscsi/sessions"})
    EXPECT_TRUE(!std::filesystem::exists(dir_ + folder) || std::filesystem::is_empty(dir_ + folder)) << label << folder;
}

void WriteTestFile(const std::string& path, const std::string& content) { hosttest::PutFile(path, content); }
std::string ReadTestFile(const std::string& path) { return hosttest::GetFile(path); }

bool NamesStepCodeAndCause(const std::string& output, const std::string& step) {
  const std::regex line(std::regex_replace(step, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)") +
                        " failed: (error [1-9][0-9]*|no error code): [^\\s][^\\n]*");
  return std::regex_search(output, line);
}

void WaitForNextSecond() {
  for (const time_t start = ::time(nullptr); ::time(nullptr) == start;) ::usleep(20'000);
}
