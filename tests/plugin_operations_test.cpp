// Instance operations through PerformVMOperation, checked on what the simulated cloud holds after.
#include "PluginTestUtil.h"
#include "host/FXString.h"

using namespace plugintest;
using namespace VMInfoStructs;
namespace {
class PluginOperations : public CPluginFlowTest {};
enum : UINT32 { kPowerOn = 1, kPowerOff = 2, kPowerOffAlt = 3, kReconfigure = 5, kClone = 6, kDelete = 7 };
// An operation on `target` whose record names `recordGuid`, so that a mix-up of the two ids shows.
OperationCtx Operation(UINT32 type, const std::string& target, const std::string& recordGuid, const char* size = "") {
  OperationCtx ctx;
  ctx.operationType = type;
  ctx.vmName = ctx.vmInfo.name = "sample-web";
  ctx.vmGuid = target;
  ctx.vmInfo.guid = recordGuid;
  ctx.vmInfo.vmSize = size;
  return ctx;
}
OperationCtx CloneOf(const CTestSandbox& sandbox, const char* size = "") {
  OperationCtx ctx = Operation(kClone, InstanceId(sandbox, "sample-web"), "", size);
  ctx.vmInfo.name = "web-copy";
  return ctx;
}
std::vector<std::string> AttachedVolumes(const CTestSandbox& sandbox, const std::string& instanceId) {
  std::vector<std::string> volumes;
  for (const auto& a : RowsWhere(Ls(sandbox, "attachments"), "instance_id", instanceId))
    if (a["state"] == "ATTACHED") volumes.push_back(a["volume_id"]);
  return volumes;
}
}  // namespace

TEST_F(PluginOperations, PowerOperationsActOnTheContextsInstanceId) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web"), db = InstanceId(sandbox, "sample-db");
  for (UINT32 type : {kPowerOff, kPowerOn, kPowerOffAlt, kPowerOn}) {
    ASSERT_EQ(plugin->PerformVMOperation(Operation(type, web, db)), 1) << type << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(InstanceState(sandbox, web), type == kPowerOn ? "RUNNING" : "STOPPED") << type;
    EXPECT_EQ(InstanceState(sandbox, db), "RUNNING") << type;
  }
}

// The clone waits up to 600 s for a running instance; a failed wait keeps what was deployed.
TEST_F(PluginOperations, CloneWaitsUpTo600SecondsForARunningInstance) {
  struct Case {
    const char* label;
    std::string provisionSeconds, faultOp, faultAction, size;
    int result;
    std::string state, details;  // of the clone ("" when none is made); in the error details
  } cases[] = {{"boots in time", "590", "", "", "", 1, "RUNNING", ""},
               {"boots late", "610", "", "", "", 0, "PROVISIONING", "600 seconds"},
               {"comes up stopped", "", "DeployVM", "faulty", "", 0, "STOPPED", "STOPPED"},
               {"wait fails", "", "WaitForBoot", "fail", "", 0, "RUNNING", "boot wait lost"},
               {"no such shape", "", "", "", "VM.NoSuchShape", 0, "", "VM.NoSuchShape"}};
  for (const auto& c : cases) {
    CTestSandbox sandbox;
    if (!c.provisionSeconds.empty()) SetConfig(sandbox, "provision_seconds.instance", c.provisionSeconds);
    if (c.faultAction == "fail") AddFailure(sandbox, c.faultOp, "boot wait lost", 1);
    if (c.faultAction == "faulty")
      Sim(sandbox, {"fault", "add", "--op", c.faultOp, "--nth", "1", "--action", "faulty"});
    auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
    CVirtualClockScope clock;
    OperationCtx ctx = CloneOf(sandbox, c.size.c_str());
    EXPECT_EQ(plugin->PerformVMOperation(ctx), c.result) << c.label;
    const json clones = RowsWhere(Ls(sandbox, "instances"), "name", "web-copy");
    ASSERT_EQ(clones.size(), c.state.empty() ? 0u : 1u) << c.label;
    EXPECT_EQ(sandbox.Calls("WaitForBoot"), c.state.empty() ? 0 : 1) << c.label;
    if (!c.state.empty()) {
      EXPECT_EQ(clones[0]["state"], c.state) << c.label;
    }
    if (c.result == 1) {
      EXPECT_EQ(ctx.vmInfo.guid, clones[0]["id"]);
      EXPECT_EQ(AttachedVolumes(sandbox, clones[0]["id"]).size(), 1u);
      continue;
    }
    EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.details), std::string::npos) << plugin->GetLastVMErrorDetails();
    EXPECT_EQ(plugin->GetLastVMError(), c.state.empty() ? VMERR_VM_CREATION_FAILED : VMERR_VM_OPERATION_FAILED);
  }
}

// A reconfiguration succeeds only when the instance holds what was asked: a fixed shape keeps its own
// CPUs and memory, and that fails naming each value not taken; a flexible shape takes them.
TEST_F(PluginOperations, AReconfigurationTheCloudDoesNotMakeFails) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const struct {
    const char *name, *shape;
    INT64 cpus, memoryMB;
    const char *details, *after;  // after: shape/cpus/memory in the cloud
  } cases[] = {{"sample-web", "", 4, 0, "4 CPUs (it has 1)", "VM.Standard2.1/1/15360"},
               {"sample-web", "", 0, 99999, "99999 MB of memory (it has 15360)", "VM.Standard2.1/1/15360"},
               {"sample-web", "VM.Standard2.2", 4, 0, "4 CPUs (it has 2)", "VM.Standard2.2/2/30720"},
               {"sample-web", "VM.Standard2.4", 0, 0, "", "VM.Standard2.4/4/61440"},
               {"sample-db", "", 4, 99999, "", "VM.Standard.E4.Flex/4/99999"}};
  for (const auto& c : cases) {
    OperationCtx ctx = Operation(kReconfigure, InstanceId(sandbox, c.name), InstanceId(sandbox, c.name), c.shape);
    ctx.vmName = ctx.vmInfo.name = c.name, ctx.vmInfo.cpuCount = c.cpus, ctx.vmInfo.memoryMB = c.memoryMB;
    EXPECT_EQ(plugin->PerformVMOperation(ctx), *c.details ? 0 : 1) << c.details;
    if (*c.details) {
      EXPECT_EQ(plugin->GetLastVMErrorDetails(),
                std::string("Instance [") + c.name + "] was not changed as asked: " + c.details);
      EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
    }
    const json row = RowWhere(Ls(sandbox, "instances"), "name", c.name);
    EXPECT_EQ(row["shape"].get<std::string>() + "/" + row["cpus"].dump() + "/" + row["memory_mb"].dump(), c.after);
  }
}

// Delete returns once the instance is terminated; its boot volume goes, its data volume stays.
TEST_F(PluginOperations, DeleteRemovesTheInstanceAndItsBootVolumeButKeepsDataVolumes) {
  CTestSandbox sandbox;
  SetConfig(sandbox, "provision_seconds.instance", "30");
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const json web = RowWhere(Ls(sandbox, "instances"), "name", "sample-web");
  const std::string db = InstanceId(sandbox, "sample-db");
  const std::vector<std::string> data = AttachedVolumes(sandbox, web["id"]);
  CVirtualClockScope clock;
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kDelete, web["id"], db)), 1) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(InstanceState(sandbox, web["id"]) + " " + InstanceState(sandbox, db), "TERMINATED RUNNING");
  const json volumes = Ls(sandbox, "volumes");
  EXPECT_TRUE(RowsWhere(volumes, "id", web["boot_volume_id"]).empty());
  EXPECT_EQ(RowsWhere(volumes, "id", data.at(0)).size(), 1u) << "the data volume stays";
}

// Each operation starts clear; a failure shows its own code and the bridge's text, changing nothing.
TEST_F(PluginOperations, FailuresReportTheOperationsCodeAndText) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOff, web, web)), 1);
  const std::tuple<UINT32, const char*, EVMInfoError> cases[] = {
      {kPowerOn, "PowerOnInstance", VMERR_VM_OPERATION_FAILED},
      {kPowerOff, "PowerOffInstance", VMERR_VM_OPERATION_FAILED},
      {kPowerOffAlt, "PowerOffInstance", VMERR_VM_OPERATION_FAILED},
      {kReconfigure, "ReConfigureVM", VMERR_VM_OPERATION_FAILED},
      {kClone, "DeployVM", VMERR_VM_CREATION_FAILED},
      {kDelete, "DeleteVM", VMERR_VM_DELETE_FAILED},
      {0, "", VMERR_VM_OPERATION_NOT_SUPPORTED},
      {4, "", VMERR_VM_OPERATION_NOT_SUPPORTED},
      {8, "", VMERR_VM_OPERATION_NOT_SUPPORTED},
      {42, "", VMERR_VM_OPERATION_NOT_SUPPORTED}};
  for (const auto& [type, op, code] : cases) {
    const std::string text =
        *op ? std::string(op) + " outage" : "Unhandled operation type [" + std::to_string(type) + "]";
    if (*op) AddFailure(sandbox, op, text, 1);
    const auto callsBefore = AllCalls(sandbox);
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    plugin->SetLastVMErrorDetails("");
    EXPECT_EQ(
        plugin->PerformVMOperation(type == kClone ? CloneOf(sandbox) : Operation(type, web, web, "VM.Standard2.2")), 0);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), text) << type;
    EXPECT_EQ(plugin->GetLastVMError(), code) << type;
    const json row = RowWhere(Ls(sandbox, "instances"), "id", web);
    EXPECT_EQ(row["state"].get<std::string>() + " " + row["shape"].get<std::string>(), "STOPPED VM.Standard2.1")
        << type;
    EXPECT_TRUE(RowsWhere(Ls(sandbox, "instances"), "name", "web-copy").empty()) << type;
    if (!*op) {
      EXPECT_EQ(AllCalls(sandbox), callsBefore) << type;
    }
  }
  EXPECT_TRUE(LoggedError("Unhandled operation type [42]"));
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOn, web, web)), 1);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "");
  // Reconfigure changes the record's instance, not the context's; without a record it fails.
  const std::string db = InstanceId(sandbox, "sample-db");
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kReconfigure, db, web, "VM.Standard2.2")), 1);
  EXPECT_EQ(plugin->PerformVMOperation(Operation(kReconfigure, web, "", "VM.Standard2.8")), 0);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "VM not specified");
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", web)["shape"], "VM.Standard2.2");
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", db)["shape"], "VM.Standard.E4.Flex");
  // The proxy the agent runs on is never stopped, reconfigured or deleted, whichever id names it, in any case.
  const std::string proxy = sandbox.ProxyInstanceId();
  const json before = RowWhere(Ls(sandbox, "instances"), "id", proxy);
  for (UINT32 type : {kPowerOff, kPowerOffAlt, kReconfigure, kDelete}) {
    for (const auto& [target, record] : {std::pair{proxy, web}, std::pair{web, FXString::ToUpper(proxy)}}) {
      EXPECT_EQ(plugin->PerformVMOperation(Operation(type, target, record, "VM.Standard2.8")), 0) << type;
      EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_NOT_SUPPORTED) << type;
      EXPECT_NE(plugin->GetLastVMErrorDetails().find("is the proxy this agent runs on"), std::string::npos);
    }
  }
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", proxy), before);
  EXPECT_EQ(InstanceState(sandbox, web), "RUNNING");
  // A clone takes no name in use, as a restore does not.
  OperationCtx clone = CloneOf(sandbox);
  clone.vmInfo.name = "sample-db";
  EXPECT_EQ(plugin->PerformVMOperation(clone), 0);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_ALREADY_EXISTS);
  EXPECT_EQ(RowsWhere(Ls(sandbox, "instances"), "name", "sample-db").size(), 1u);
}
