#pragma once
// Fixtures of the plug-in flow tests: plug-in objects, their sandbox, the simulated cloud's state.
#include <gtest/gtest.h>
#include <ctime>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include "PluginBases.h"
#include "TestSandbox.h"
#include "bridge/sim/SimCloud.h"
#include "host/EvDebug.h"
#include "host/HostClock.h"

namespace plugintest {
using nlohmann::json;

template <class Base>
class CTestPlugin : public Base {
 public:
  CTestPlugin() : Base(Base::kType) {}
  using Base::_RefreshHostInfoCache, Base::bridge, Base::hostInfoCache, Base::cleanerMode;
  using Base::connectPassword, Base::connectUrl, Base::connectUser;
  using Base::InitMapperAndCleaner, Base::InitProxyVMInfo, Base::proxyVMInfo;
  using Base::webProxyHost, Base::webProxyPassword, Base::webProxyUser;
  static std::string Identity() { return COracleCloudInfo::c_localVMGuid; }
};
struct SInfraBase : testbase::InfraBase {
  using COracleCloudInfrastructureInfo::_GetRegionNameForRegionKey;
  using testbase::InfraBase::InfraBase;
};
using CInfraPlugin = CTestPlugin<SInfraBase>;
using CClassicPlugin = CTestPlugin<testbase::ClassicBase>;
using CPlainPlugin = CTestPlugin<testbase::PlainBase>;
using testbase::ForgetIdentity;

class CPluginFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ForgetIdentity();
    EvLogSink::Clear();
  }
  void TearDown() override { ForgetIdentity(); }
};

// A plug-in object, initialised and connected to the sandbox's cloud.
template <class Plugin>
std::unique_ptr<Plugin> ConnectPlugin(const CTestSandbox& sandbox) {
  auto plugin = std::make_unique<Plugin>();
  if (plugin->Init(0) != 1) throw std::runtime_error("Init failed");
  if (plugin->Connect(sandbox.CloudUrl(), "tester", "secret") != 1)
    throw std::runtime_error("Connect failed: " + plugin->GetLastVMErrorDetails());
  return plugin;
}
// `cloud-sim ARGS...`; throws when it fails.
inline std::string Sim(const CTestSandbox& sandbox, const std::vector<std::string>& args) {
  std::string out;
  if (sandbox.CloudSim(args, &out) != 0) throw std::runtime_error("cloud-sim " + args[0] + " failed: " + out);
  return out;
}
inline json Ls(const CTestSandbox& sandbox, const std::string& kind) {
  return json::parse(Sim(sandbox, {"ls", kind, "--json"}));
}
// The JSON result a `restore --json` or `replicate --json` printed in `out`; every volume it names
// holds the disk the backup in `folder` stored, in order (and is that disk by what the result tells).
inline json ExpectRestoredVolumesHoldTheDisks(const CTestSandbox& sandbox, const std::string& folder,
                                              const std::string& out) {
  const json manifest = json::parse(ReadTestFile(folder + "/manifest.json"));
  const json result = json::parse(out.substr(out.find('{'), out.rfind('}') - out.find('{') + 1));
  EXPECT_EQ(result["volumes"].size(), manifest["disks"].size()) << result;
  for (size_t i = 0; i < manifest["disks"].size() && i < result["volumes"].size(); ++i) {
    const json& disk = manifest["disks"][i];
    for (const char* key : {"boot", "index_name"})
      EXPECT_TRUE(!result["volumes"][i].contains(key) || result["volumes"][i][key] == disk[key]) << key << result;
    EXPECT_EQ(Sim(sandbox, {"volume", "checksum", result["volumes"][i]["id"], "--bytes",
                            std::to_string(disk["size"].get<long>())})
                  .substr(0, 64),
              disk["chunked_sha256"])
        << disk;
  }
  return result;
}
inline json RowsWhere(const json& rows, const std::string& key, const std::string& value) {
  json found = json::array();
  for (const auto& row : rows)
    if (row.value(key, std::string()) == value) found.push_back(row);
  return found;
}
// The one row whose `key` holds `value`; throws when there is not exactly one.
inline json RowWhere(const json& rows, const std::string& key, const std::string& value) {
  json found = RowsWhere(rows, key, value);
  if (found.size() != 1)
    throw std::runtime_error(std::to_string(found.size()) + " rows with " + key + " = [" + value + "]");
  return found.front();
}
inline std::set<std::string> Column(const json& rows, const std::string& key) {
  std::set<std::string> values;
  for (const auto& row : rows) values.insert(row.value(key, std::string()));
  return values;
}
// The id of the instance called `name` that is not terminated.
inline std::string InstanceId(const CTestSandbox& sandbox, const std::string& name) {
  json live = json::array();
  for (const auto& row : RowsWhere(Ls(sandbox, "instances"), "name", name))
    if (row["state"] != "TERMINATED" && row["state"] != "deleted") live.push_back(row);
  return RowWhere(live, "name", name)["id"];
}
inline std::string InstanceState(const CTestSandbox& sandbox, const std::string& id) {
  return RowWhere(Ls(sandbox, "instances"), "id", id)["state"];
}
inline std::string CompartmentId(const CTestSandbox& sandbox, const std::string& name) {
  return RowWhere(Ls(sandbox, "compartments"), "name", name)["id"];
}
// A fault rule: every call of `op` from now (nth 0) or its nth call fails with `text`.
inline void AddFailure(const CTestSandbox& sandbox, const std::string& op, const std::string& text, int nth = 0) {
  std::vector<std::string> args = {"fault", "add", "--op", op, "--action", "fail", "--text", text, "--every"};
  if (nth > 0) args.back() = "--nth";
  if (nth > 0) args.push_back(std::to_string(nth));
  Sim(sandbox, args);
}
inline void SetConfig(const CTestSandbox& sandbox, const std::string& key, const std::string& value) {
  Sim(sandbox, {"config", "set", key, value});
}
inline std::map<std::string, long> AllCalls(const CTestSandbox& sandbox) {
  return json::parse(Sim(sandbox, {"calls", "--json"})).get<std::map<std::string, long>>();
}
inline std::string Checksum(const CTestSandbox& sandbox, const std::string& volumeId) {
  std::string out = Sim(sandbox, {"volume", "checksum", volumeId});
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}
// Changes the cloud directly, for arranging what no tool command makes.
template <class... Args>
void ExecSql(const CTestSandbox& sandbox, const std::string& sql, const Args&... args) {
  sim::CSimCloud cloud(sandbox.Dir() + "/cloud");
  cloud.Write([&](sim::CSimDb& db) { db.Run(sql, args...); });
}
// True when an error-level line's message contains `text`.
inline bool LoggedError(const std::string& text) {
  for (const auto& record : EvLogSink::Records())
    if (record.isError && record.message.find(text) != std::string::npos) return true;
  return false;
}
// A virtual clock that starts at the real time, installed for the scope.
class CVirtualClockScope {
 public:
  CVirtualClockScope() : clock_(static_cast<int64_t>(std::time(nullptr))) { HostClock::Install(&clock_); }
  ~CVirtualClockScope() { HostClock::Install(nullptr); }
  CVirtualClockScope(const CVirtualClockScope&) = delete;
  CVirtualClockScope& operator=(const CVirtualClockScope&) = delete;

 private:
  CVirtualClock clock_;
};

}  // namespace plugintest
