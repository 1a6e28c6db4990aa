// The REST backend against the in-process one, on sandboxes of the same seed:
// - calls: the round trip of single bridge operations (p50 and p99 of N calls): CheckConnection (one
//   request) and GetVMInfo with disks and network (several requests, each list paged), over the REST
//   backend to `cloud-sim serve` and in process;
//   and what signing one request costs the client (an RSA-2048 signature, which every request of the API
//   carries);
// - jobs: a whole backup and a restore of sample-web by backup-agent processes on each backend (wall
//   times, the median of three runs each), as seeded (a few MiB of data: the cloud calls' cost) and with
//   64 MiB of data written into its data volume, and their ratio (target: REST at most 1.3 times in process).
//
//   rest_bench [calls|jobs]...      (default: both)
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/BenchUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "bridge/rest/ApiCredentials.h"

namespace {

using benchutil::Check;
using benchutil::Clock;
using benchutil::RunTool;
using nlohmann::json;
namespace bridge = OracleCloudSDKCppBridge;

// A sandbox on a backend; a REST one has `cloud-sim serve` running for its life.
class CBenchSandbox {
 public:
  explicit CBenchSandbox(const std::string& backend) : base_("/tmp", "oci-rest-bench") {
    dir_ = base_.path + "/sandbox";
    RunTool(base_.path, "cloud-sim", {"init", dir_, "--backend", backend});
    if (backend != "rest") return;
    const std::string bin = std::filesystem::canonical("/proc/self/exe").parent_path() / "cloud-sim";
    server_ = ::fork();
    Check(server_ >= 0, "fork failed");
    if (server_ == 0) {
      if (!std::freopen((dir_ + "/serve.log").c_str(), "w", stdout)) ::_exit(127);
      ::execl(bin.c_str(), bin.c_str(), "--sandbox", dir_.c_str(), "serve", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 400 && benchutil::FileSize(dir_ + "/api/endpoint") == 0; ++i) ::usleep(25000);
    std::ifstream in(dir_ + "/api/endpoint");
    std::getline(in, endpoint_);
    Check(!endpoint_.empty(), "cloud-sim serve did not start");
  }
  ~CBenchSandbox() {
    if (server_ <= 0) return;
    ::kill(server_, SIGTERM);
    ::waitpid(server_, nullptr, 0);
  }
  const std::string& Dir() const { return dir_; }
  std::string Url() const { return endpoint_.empty() ? "sim://" + dir_ + "/cloud" : endpoint_; }
  std::string User() const { return endpoint_.empty() ? "bench" : dir_ + "/api/config"; }
  benchutil::SRun Agent(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir_});
    return RunTool(base_.path, "backup-agent", args);
  }
  std::string Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--sandbox", dir_});
    return RunTool(base_.path, "cloud-sim", args).output;
  }
  // Writes `bytes` of incompressible data at the start of the volume named `name`.
  void FillVolume(const std::string& name, uint64_t bytes) {
    std::string id;
    for (const auto& row : json::parse(Sim({"ls", "volumes", "--json"})))
      if (row["name"] == name) id = row["id"];
    const std::string path = base_.path + "/data";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::mt19937_64 random(7);
    benchutil::WriteRandom(fd, 0, bytes, random);
    ::close(fd);
    Sim({"volume", "write", id, "--offset", "0", "--file", path});
  }
  std::string InstanceId(const std::string& name) {
    for (const auto& row :
         json::parse(RunTool(base_.path, "cloud-sim", {"--sandbox", dir_, "ls", "instances", "--json"}).output))
      if (row["name"] == name) return row["id"];
    throw std::runtime_error("no instance " + name);
  }

 private:
  benchutil::STempDir base_;
  std::string dir_, endpoint_;
  pid_t server_ = -1;
};

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

template <class F>
void TimeCalls(const char* backend, const char* what, int n, F&& call) {
  std::vector<double> ms;
  for (int i = 0; i < n; ++i) {
    const auto start = Clock::now();
    Check(call(), std::string(what) + " failed");
    ms.push_back(benchutil::SecondsSince(start) * 1000);
  }
  std::printf("| %s | %s | %d | %.3f | %.3f |\n", backend, what, n, Percentile(ms, 0.5), Percentile(ms, 0.99));
}

void Calls() {
  std::printf(
      "\n### Round trip per call\n\n| backend | operation | calls | p50 ms | p99 ms |\n|---|---|---:|---:|---:|\n");
  for (const char* backend : {"sim", "rest"}) {
    CBenchSandbox sandbox(backend);
    benchutil::PointHostAtSandbox(sandbox.Dir());
    const std::string instance = sandbox.InstanceId("sample-web");
    bridge::COracleCloudSDKCppBridge cloud(VSINST_ORACLE_CLOUD_INFRASTRUCTURE);
    Check(cloud.Connect(sandbox.Url(), sandbox.User(), ""), "connect failed: " + cloud.GetLastError());
    TimeCalls(backend, "CheckConnection", 500, [&] { return cloud.CheckConnection(); });
    bridge::SVMInfo vm;
    const UINT64 flags = bridge::VMINFO_FLAG_DISKS | bridge::VMINFO_FLAG_SNAPSHOTS | bridge::VMINFO_FLAG_NETWORK;
    TimeCalls(backend, "GetVMInfo (disks, snapshots, network)", 200,
              [&] { return cloud.GetVMInfo("", instance, vm, flags); });
    if (std::string(backend) != "rest") continue;
    bridge::SApiCredentials user;
    std::string error;
    Check(bridge::ReadApiCredentials(sandbox.Dir() + "/api/config", "", user, error), error);
    const auto signer = bridge::MakeRequestSigner(user, error);
    Check(signer != nullptr, error);
    TimeCalls("client", "signing one request (no I/O)", 500, [&] {
      bridge::SHttpRequest request;
      request.method = "GET", request.host = "127.0.0.1", request.target = "/20160918/instances/x";
      return signer->Sign(request, bridge::HttpDate(1796700000), false, error);
    });
  }
}

void Jobs(uint64_t dataMiB) {
  std::printf(
      "\n### Whole jobs (sample-web: a boot volume and a data volume, %s)\n\n"
      "| backend | backup s | restore s |\n|---|---:|---:|\n",
      dataMiB ? (std::to_string(dataMiB) + " MiB of data written into the data volume").c_str() : "as seeded");
  double seconds[2][2] = {};
  const char* backends[] = {"sim", "rest"};
  for (int b = 0; b < 2; ++b) {
    CBenchSandbox sandbox(backends[b]);
    if (dataMiB) sandbox.FillVolume("sample-web-data", dataMiB * benchutil::kMiB);
    std::vector<double> backups, restores;
    for (int round = 0; round < 3; ++round) {
      const std::string store = sandbox.Dir() + "/store" + std::to_string(round);
      backups.push_back(sandbox.Agent({"backup", "sample-web", "--store", store}).seconds);
      std::string folder;  // the backup's folder: the store's one folder that is not hidden
      for (const auto& entry : std::filesystem::directory_iterator(store))
        if (entry.is_directory() && entry.path().filename().string()[0] != '.') folder = entry.path();
      restores.push_back(sandbox.Agent({"restore", folder, "--as", "bench-restored-" + std::to_string(round)}).seconds);
    }
    seconds[b][0] = benchutil::Median(backups), seconds[b][1] = benchutil::Median(restores);
    std::printf("| %s | %.2f | %.2f |\n", backends[b], seconds[b][0], seconds[b][1]);
  }
  std::printf("| rest / sim | %.2f | %.2f |\n", seconds[1][0] / seconds[0][0], seconds[1][1] / seconds[0][1]);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> parts(argv + 1, argv + argc);
    if (parts.empty()) parts = {"calls", "jobs"};
    for (const std::string& part : parts) {
      if (part == "calls")
        Calls();
      else if (part == "jobs")
        Jobs(0), Jobs(64);
      else
        throw std::runtime_error("unknown part [" + part + "]: calls or jobs");
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rest_bench: %s\n", e.what());
    return 1;
  }
}
