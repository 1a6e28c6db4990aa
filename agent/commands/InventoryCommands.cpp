#include "agent/commands/InventoryCommands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/jobs/DisplayText.h"
#include "agent/commands/RecordJson.h"
#include "host/CWqString.h"

namespace agent {

using namespace VMInfoStructs;
using nlohmann::json;

namespace {

// Runs `body` against a connected plug-in object; prints the failure and returns the exit code.
template <class Body>
int WithSession(const SAgentSandbox& sandbox, Body&& body) {
  CAgentSession session(sandbox);
  string error;
  if (!session.Open(SConnectOptions(), error)) {
    std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
    return 1;
  }
  return body(session);
}

int Failed(CAgentSession& session, const string& what) {
  std::fprintf(stderr, "backup-agent: %s failed: %s\n", what.c_str(), session.DescribeLastError().c_str());
  return 1;
}

void PrintRows(const json& rows, bool asJson) {
  if (asJson) {
    std::printf("%s\n", rows.dump(2, ' ', false, json::error_handler_t::replace).c_str());
    return;
  }
  for (const auto& row : rows) {
    string line;
    for (const auto& [key, value] : row.items()) {
      if (!line.empty()) line += "  ";
      line += key + "=" + (value.is_string() ? value.get<string>() : value.dump());
    }
    std::printf("%s\n", line.c_str());
  }
}

json InventoryRows(const std::vector<SInventoryInfo>& entries) {
  json rows = json::array();
  for (const auto& e : entries) rows.push_back({{"name", e.name}, {"guid", e.guid}, {"type", static_cast<int>(e.type)}});
  return rows;
}

// Finds the one instance named `nameOrId` (or with that id).
bool ResolveInstance(CAgentSession& session, const string& nameOrId, SVMInfo& found, string& error) {
  std::vector<SVMInfo> all;
  if (!session.Object().GetVMInfoList(all, 0, 0, nullptr, FILTER_TYPE_NONE)) {
    error = "listing instances failed: " + session.DescribeLastError();
    return false;
  }
  std::vector<const SVMInfo*> matches;
  for (const auto& vm : all)
    if (vm.guid == nameOrId) matches = {&vm};
  if (matches.empty())
    for (const auto& vm : all)
      if (vm.name == nameOrId) matches.push_back(&vm);
  if (matches.empty()) {
    error = "no instance named [" + EscapeForDisplay(nameOrId) + "]";
    return false;
  }
  if (matches.size() > 1) {
    error = "instance name [" + EscapeForDisplay(nameOrId) + "] is ambiguous:";
    for (const auto* vm : matches) error += " " + vm->guid;
    return false;
  }
  found = *matches[0];
  return true;
}

}  // namespace

int RunBrowseCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options) {
  return WithSession(sandbox, [&](CAgentSession& session) {
    // The entries are asked for under the node the path names: parents[0] is its last component,
    // whose own parents[0] is the one before, down to the view.
    SInventoryInfo chain;
    bool first = true;
    for (const auto& part : CWqString(options.path).Tokenize("\\")) {
      SInventoryInfo next;
      next.name = part;
      if (!first) {
        next.guid = part;
        next.parents.push_back(chain);
      }
      chain = next;
      first = false;
    }
    SInventoryInfo node;
    if (!first) node.parents.push_back(chain);
    std::vector<SInventoryInfo> entries;
    if (!session.Object().BrowseInventory(options.path, node, entries, 0, 0)) return Failed(session, "browse");
    PrintRows(InventoryRows(entries), options.json);
    return 0;
  });
}

int RunListCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options) {
  return WithSession(sandbox, [&](CAgentSession& session) {
    IVMInfo& plugin = session.Object();
    const string& host = options.compartment;
    json rows = json::array();
    const string& kind = options.kind;
    if (kind == "regions") {
      std::vector<SDataCenterInfo> list;
      if (!plugin.GetDCInfoList(list, 0, 0)) return Failed(session, "list regions");
      for (const auto& r : list) rows.push_back({{"name", r.name}, {"key", r.regionKey}});
    } else if (kind == "compartments") {
      std::vector<SHostInfo> list;
      if (!plugin.GetHostInfoList(list, 0, 0, nullptr, FILTER_TYPE_NONE)) return Failed(session, "list compartments");
      for (const auto& h : list) rows.push_back({{"name", h.name}, {"id", h.guid}});
    } else if (kind == "instances") {
      std::vector<SVMInfo> list;
      bool ok = host.empty() ? plugin.GetVMInfoList(list, 0, 0, nullptr, FILTER_TYPE_NONE)
                             : plugin.GetVMInfoListForInventoryObject(host, INVENTORY_TYPE_COMPARTMENT, 0, 0, list);
      if (!ok) return Failed(session, "list instances");
      for (const auto& vm : list) rows.push_back(VmToJson(vm));
    } else if (kind == "images") {
      std::vector<SInventoryInfo> list;
      if (!plugin.GetVMInventoryInfoListForHost(host, list, 0, 0)) return Failed(session, "list images");
      rows = InventoryRows(list);
    } else if (kind == "shapes") {
      std::vector<SVMSizeInfo> list;
      if (!plugin.GetAvailableVMSizesForHost(host, list, 0, 0)) return Failed(session, "list shapes");
      for (const auto& s : list) rows.push_back({{"name", s.name}, {"cpus", s.cpuCount}, {"memory_mb", s.memory}});
    } else if (kind == "ads") {
      std::vector<SResourcePoolInfo> list;
      if (!plugin.GetRPInfoListForHost(host, list, 0, 0)) return Failed(session, "list ads");
      for (const auto& p : list) rows.push_back({{"name", p.name}});
    } else if (kind == "buckets") {
      std::vector<SStagingStorage> list;
      if (!plugin.GetStagingStorageListForHost(host, list, 0, 0)) return Failed(session, "list buckets");
      for (const auto& b : list) rows.push_back({{"name", b.name}, {"compartment", b.compartmentId}});
    } else if (kind == "keys") {
      std::vector<SKeyPairInfo> list;
      if (!plugin.GetKeyPairForHost(host, list, 0, 0)) return Failed(session, "list keys");
      for (const auto& k : list) rows.push_back({{"name", k.name}, {"id", k.guid}});
    } else if (kind == "security-lists") {
      std::vector<SSecurityGroupInfo> list;
      if (!plugin.GetSecurityGroupsForHost(host, list, 0, 0)) return Failed(session, "list security-lists");
      for (const auto& g : list) rows.push_back({{"name", g.name}, {"id", g.guid}});
    } else {
      std::fprintf(stderr, "backup-agent: unknown kind [%s]\n", kind.c_str());
      return 2;
    }
    PrintRows(rows, options.json);
    return 0;
  });
}

int RunOperationCommand(const SAgentSandbox& sandbox, const string& operation, const SInventoryOptions& options) {
  return WithSession(sandbox, [&](CAgentSession& session) {
    SVMInfo target;
    string error;
    if (!ResolveInstance(session, options.instance, target, error)) {
      std::fprintf(stderr, "backup-agent: %s\n", error.c_str());
      return 1;
    }
    OperationCtx ctx;
    ctx.vmName = target.name;
    ctx.vmGuid = target.guid;
    ctx.vmInfo = target;
    if (operation == "power-on") {
      ctx.operationType = OPERATION_POWER_ON;
    } else if (operation == "power-off") {
      ctx.operationType = OPERATION_POWER_OFF;
    } else if (operation == "delete") {
      ctx.operationType = OPERATION_DELETE;
    } else if (operation == "reconfigure") {
      // Only what is asked: an empty shape and 0 CPUs or memory keep what the instance has.
      ctx.operationType = OPERATION_RECONFIGURE;
      ctx.vmInfo.vmSize = options.shape;
      ctx.vmInfo.cpuCount = options.cpus > 0 ? options.cpus : 0;
      ctx.vmInfo.memoryMB = options.memoryMB > 0 ? options.memoryMB : 0;
    } else if (operation == "clone") {
      ctx.operationType = OPERATION_CLONE;
      SVMInfo clone;
      clone.name = options.newName;
      clone.compartmentId = target.compartmentId;
      clone.availabilityDomain = target.availabilityDomain;
      clone.vmSize = target.vmSize;
      clone.cpuCount = target.cpuCount;
      clone.memoryMB = target.memoryMB;
      ctx.vmInfo = clone;
    }
    session.MarkStep();
    if (!session.Object().PerformVMOperation(ctx)) return Failed(session, operation);
    if (operation == "clone")
      std::printf("Cloned [%s] as [%s] %s\n", EscapeForDisplay(target.name).c_str(),
                  EscapeForDisplay(ctx.vmInfo.name).c_str(), ctx.vmInfo.guid.c_str());
    else
      std::printf("%s [%s] %s: done\n", operation.c_str(), EscapeForDisplay(target.name).c_str(), target.guid.c_str());
    return 0;
  });
}

}  // namespace agent
