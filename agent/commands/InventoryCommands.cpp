#include "agent/commands/InventoryCommands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "agent/commands/RecordJson.h"
#include "agent/jobs/ExitStatus.h"
#include "cli/DisplayText.h"
#include "host/CWqString.h"

namespace agent {

using namespace VMInfoStructs;
using nlohmann::json;

namespace {

// GetVMInfoList's flag bit for records with their volumes (the boot volume included).
constexpr UINT64 kRecordsWithDisks = 0x2;

// Runs `body` against a connected plug-in object; reports a failure to connect.
template <class Body>
int WithSession(const SAgentSandbox& sandbox, CCommandReport& report, Body&& body) {
  CAgentSession session(sandbox);
  string error;
  if (!session.Open(SConnectOptions(), error)) return report.Failed("connect", error);
  return body(session);
}

int Failed(CAgentSession& session, CCommandReport& report, const string& what) {
  return report.Failed(what, what + " failed: " + session.DescribeLastError());
}

// Rows for people: "key=value" each; a list (an instance's disks) shows its count.
int PrintRows(const json& rows, CCommandReport& report) {
  if (report.Json()) return report.Succeeded(rows);
  for (const auto& row : rows) {
    string line;
    for (const auto& [key, value] : row.items()) {
      if (!line.empty()) line += "  ";
      const string shown = value.is_string()  ? value.get<string>()
                           : value.is_array() ? std::to_string(value.size())
                                              : value.dump();
      line += key + "=" + cli::EscapeForDisplay(shown);
    }
    std::printf("%s\n", line.c_str());
  }
  return kExitDone;
}

json InventoryRows(const std::vector<SInventoryInfo>& entries) {
  json rows = json::array();
  for (const auto& e : entries)
    rows.push_back({{"name", e.name}, {"guid", e.guid}, {"type", static_cast<int>(e.type)}});
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
    error = "no instance named [" + cli::EscapeForDisplay(nameOrId) + "]";
    return false;
  }
  if (matches.size() > 1) {
    error = "instance name [" + cli::EscapeForDisplay(nameOrId) + "] is ambiguous:";
    for (const auto* vm : matches) error += " " + vm->guid;
    return false;
  }
  found = *matches[0];
  return true;
}

// The roots of the inventory tree; a path must start at one of them.
bool KnownRoot(CAgentSession& session, const string& path, string& roots) {
  std::vector<SInventoryInfo> views;
  if (!session.Object().BrowseInventory("", SInventoryInfo(), views, 0, 0))
    return true;  // the browse names its failure
  const auto parts = CWqString(path).Tokenize("\\");
  bool known = parts.empty();
  for (const auto& view : views) {
    roots += (roots.empty() ? "" : ", ") + view.name;
    known = known || parts[0] == view.name;
  }
  return known;
}

// What the operation asks of the plug-in. Reconfigure asks only what is given: an empty shape and 0
// CPUs or memory keep what the instance has.
OperationCtx OperationFor(const string& operation, const SVMInfo& target, const SInventoryOptions& options) {
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
  return ctx;
}

// The instance as the cloud has it now: name, id, state, shape; a state of null when it cannot be read.
json InstanceAfter(CAgentSession& session, const string& name, const string& id) {
  SVMInfo vm;
  if (!session.Object().GetVMInfoForVM(name, id, "", 0, 0, vm)) return {{"name", name}, {"id", id}, {"state", nullptr}};
  return {{"name", vm.name.empty() ? name : vm.name},
          {"id", id},
          {"state", vm.lifecycleState},
          {"shape", vm.vmSize},
          {"cpus", vm.cpuCount},
          {"memory_mb", vm.memoryMB}};
}

}  // namespace

int RunBrowseCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options) {
  CCommandReport report("browse", options.json);
  return WithSession(sandbox, report, [&](CAgentSession& session) -> int {
    string roots;
    if (!KnownRoot(session, options.path, roots))
      return report.Failed("browse", "no such path [" + cli::EscapeForDisplay(options.path) +
                                         "]: a path starts at one of " + roots + " (e.g. \"browse VMs\")");
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
    if (!session.Object().BrowseInventory(options.path, node, entries, 0, 0)) return Failed(session, report, "browse");
    return PrintRows(InventoryRows(entries), report);
  });
}

int RunListCommand(const SAgentSandbox& sandbox, const SInventoryOptions& options) {
  CCommandReport report("list", options.json);
  return WithSession(sandbox, report, [&](CAgentSession& session) -> int {
    IVMInfo& plugin = session.Object();
    const string& host = options.compartment;
    json rows = json::array();
    const string& kind = options.kind;
    if (kind == "regions") {
      std::vector<SDataCenterInfo> list;
      if (!plugin.GetDCInfoList(list, 0, 0)) return Failed(session, report, "list regions");
      for (const auto& r : list) rows.push_back({{"name", r.name}, {"key", r.regionKey}});
    } else if (kind == "compartments") {
      std::vector<SHostInfo> list;
      if (!plugin.GetHostInfoList(list, 0, 0, nullptr, FILTER_TYPE_NONE))
        return Failed(session, report, "list compartments");
      for (const auto& h : list) rows.push_back({{"name", h.name}, {"id", h.guid}});
    } else if (kind == "instances") {
      // Asked with their volumes: a record without them lists none.
      std::vector<SVMInfo> list;
      if (!plugin.GetVMInfoList(list, kRecordsWithDisks, 0, nullptr, FILTER_TYPE_NONE))
        return Failed(session, report, "list instances");
      for (const auto& vm : list)
        if (host.empty() || vm.compartmentId == host) rows.push_back(VmToJson(vm));
    } else if (kind == "images") {
      std::vector<SInventoryInfo> list;
      if (!plugin.GetVMInventoryInfoListForHost(host, list, 0, 0)) return Failed(session, report, "list images");
      rows = InventoryRows(list);
    } else if (kind == "shapes") {
      std::vector<SVMSizeInfo> list;
      if (!plugin.GetAvailableVMSizesForHost(host, list, 0, 0)) return Failed(session, report, "list shapes");
      for (const auto& s : list) rows.push_back({{"name", s.name}, {"cpus", s.cpuCount}, {"memory_mb", s.memory}});
    } else if (kind == "ads") {
      std::vector<SResourcePoolInfo> list;
      if (!plugin.GetRPInfoListForHost(host, list, 0, 0)) return Failed(session, report, "list ads");
      for (const auto& p : list) rows.push_back({{"name", p.name}});
    } else if (kind == "buckets") {
      std::vector<SStagingStorage> list;
      if (!plugin.GetStagingStorageListForHost(host, list, 0, 0)) return Failed(session, report, "list buckets");
      for (const auto& b : list) rows.push_back({{"name", b.name}, {"compartment", b.compartmentId}});
    } else if (kind == "keys") {
      std::vector<SKeyPairInfo> list;
      if (!plugin.GetKeyPairForHost(host, list, 0, 0)) return Failed(session, report, "list keys");
      for (const auto& k : list) rows.push_back({{"name", k.name}, {"id", k.guid}});
    } else if (kind == "security-lists") {
      std::vector<SSecurityGroupInfo> list;
      if (!plugin.GetSecurityGroupsForHost(host, list, 0, 0)) return Failed(session, report, "list security-lists");
      for (const auto& g : list) rows.push_back({{"name", g.name}, {"id", g.guid}});
    } else {
      return report.UsageError("unknown kind [" + cli::EscapeForDisplay(kind) + "]");
    }
    return PrintRows(rows, report);
  });
}

int RunOperationCommand(const SAgentSandbox& sandbox, const string& operation, const SInventoryOptions& options) {
  CCommandReport report(operation, options.json);
  if (operation == "reconfigure" && options.shape.empty() && options.cpus == 0 && options.memoryMB == 0)
    return report.UsageError("reconfigure has nothing to change: give --shape, --cpus or --memory-mb");
  return WithSession(sandbox, report, [&](CAgentSession& session) -> int {
    SVMInfo target;
    string error;
    if (!ResolveInstance(session, options.instance, target, error)) return report.Failed("instance", error);
    OperationCtx ctx = OperationFor(operation, target, options);
    session.MarkStep();
    if (!session.Object().PerformVMOperation(ctx)) return Failed(session, report, operation);
    const bool clone = operation == "clone";
    const json after =
        InstanceAfter(session, clone ? ctx.vmInfo.name : target.name, clone ? ctx.vmInfo.guid : target.guid);
    if (report.Json()) {
      json result = {{"command", operation},
                     {"operation", operation},
                     {"instance", InstanceAfter(session, target.name, target.guid)}};
      if (clone) result["clone"] = after;
      return report.Succeeded(result);
    }
    if (clone)
      std::printf("Cloned [%s] as [%s] %s\n", cli::EscapeForDisplay(target.name).c_str(),
                  cli::EscapeForDisplay(ctx.vmInfo.name).c_str(), ctx.vmInfo.guid.c_str());
    else
      std::printf("%s [%s] %s: done, %s\n", operation.c_str(), cli::EscapeForDisplay(target.name).c_str(),
                  target.guid.c_str(),
                  after["state"].is_string() ? after["state"].get<string>().c_str() : "state unknown");
    return kExitDone;
  });
}

}  // namespace agent
