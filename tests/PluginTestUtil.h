#pragma once
// Shared by the plug-in's flow tests: plug-in objects of each flavour with their protected steps
// reachable, connected to a fresh sandbox, and readers of the simulated cloud's state.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "PluginBases.h"
#include "TestSandbox.h"
#include "bridge/sim/SimCloud.h"
#include "classic/OracleCloudClassicInfo.h"
#include "host/EvDebug.h"
#include "host/HostClock.h"
#include "infrastructure/OracleCloudInfrastructureInfo.h"

namespace plugintest {

using nlohmann::json;

template <class Base>
class CTestPlugin : public Base {
 public:
  CTestPlugin() : Base(Base::kType) {}
  using Base::_RefreshHostInfoCache;
  using Base::bridge;
  using Base::hostInfoCache;
};

struct SInfraBase : testbase::InfraBase {
  using testbase::InfraBase::InfraBase;
  using COracleCloudInfrastructureInfo::_GetRegionNameForRegionKey;
  using COracleCloudInfrastructureInfo::_SplitHostNameStringFromBrowseRequest;
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
template <class Plugin>
std::unique_ptr<COracleCloudInfo> ConnectObject(const CTestSandbox& sandbox) {
  return ConnectPlugin<Plugin>(sandbox);
}

// What `cloud-sim ls KIND --json` shows.
inline json Ls(const CTestSandbox& sandbox, const std::string& kind) {
  std::string out;
  if (sandbox.CloudSim({"ls", kind, "--json"}, &out) != 0) throw std::runtime_error("cloud-sim ls failed: " + out);
  return json::parse(out);
}

// The rows whose `key` holds `value`.
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

// A fault rule: on every call of `op` from now (nth 0) or on its nth call.
inline void AddFailure(const CTestSandbox& sandbox, const std::string& op, const std::string& text, int nth = 0) {
  std::vector<std::string> args = {"fault", "add", "--op", op, "--action", "fail", "--text", text};
  if (nth > 0) {
    args.push_back("--nth");
    args.push_back(std::to_string(nth));
  } else {
    args.push_back("--every");
  }
  std::string out;
  if (sandbox.CloudSim(args, &out) != 0) throw std::runtime_error("cloud-sim fault add failed: " + out);
}

inline void ClearFaults(const CTestSandbox& sandbox) {
  std::string out;
  if (sandbox.CloudSim({"fault", "clear"}, &out) != 0) throw std::runtime_error("cloud-sim fault clear failed: " + out);
}

inline void SetConfig(const CTestSandbox& sandbox, const std::string& key, const std::string& value) {
  std::string out;
  if (sandbox.CloudSim({"config", "set", key, value}, &out) != 0)
    throw std::runtime_error("cloud-sim config set failed: " + out);
}

// Every operation's call counter.
inline std::map<std::string, long> AllCalls(const CTestSandbox& sandbox) {
  std::string out;
  if (sandbox.CloudSim({"calls", "--json"}, &out) != 0) throw std::runtime_error("cloud-sim calls failed: " + out);
  return json::parse(out).get<std::map<std::string, long>>();
}

// SHA-256 of a volume's bytes.
inline std::string Checksum(const CTestSandbox& sandbox, const std::string& volumeId) {
  std::string out;
  if (sandbox.CloudSim({"volume", "checksum", volumeId}, &out) != 0)
    throw std::runtime_error("cloud-sim volume checksum failed: " + out);
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
