// Instance operations through PerformVMOperation: power, reconfigure, clone and delete, checked
// on what the simulated cloud holds afterwards (states, shapes, volumes and their bytes).
#include "PluginTestUtil.h"

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
// The data volumes attached to an instance.
std::vector<std::string> AttachedVolumes(const CTestSandbox& sandbox, const std::string& instanceId) {
  std::vector<std::string> volumes;
  for (const auto& a : RowsWhere(Ls(sandbox, "attachments"), "instance_id", instanceId))
    if (a["state"] == "ATTACHED") volumes.push_back(a["volume_id"]);
  return volumes;
}
}  // namespace

TEST_F(PluginOperations, PowerOperationsActOnTheContextsInstanceId) {
  for (bool classic : {false, true}) {
    CTestSandbox sandbox(classic ? "classic" : "infrastructure");
    auto plugin = ConnectFlavour(sandbox, classic);
    const std::string web = InstanceId(sandbox, "sample-web"), db = InstanceId(sandbox, "sample-db");
    const std::string running = classic ? "running" : "RUNNING", stopped = classic ? "stopped" : "STOPPED";
    for (UINT32 type : {kPowerOff, kPowerOn, kPowerOffAlt, kPowerOn}) {
      ASSERT_EQ(plugin->PerformVMOperation(Operation(type, web, db)), 1) << type << plugin->GetLastVMErrorDetails();
      EXPECT_EQ(InstanceState(sandbox, web) + InstanceState(sandbox, db), (type == kPowerOn ? running : stopped) + running);
    }
  }
}

// Reconfigure changes the record's instance, not the context's; without a record it calls nothing.
TEST_F(PluginOperations, ReconfigureChangesTheRecordsInstanceShape) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web"), db = InstanceId(sandbox, "sample-db");
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kReconfigure, db, web, "VM.Standard2.2")), 1);
  const json row = RowWhere(Ls(sandbox, "instances"), "id", web);
  EXPECT_EQ(row["shape"].get<std::string>() + " " + row["cpus"].dump() + " " + row["memory_mb"].dump(), "VM.Standard2.2 2 30720");
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", db)["shape"], "VM.Standard.E4.Flex");
  EXPECT_EQ(plugin->PerformVMOperation(Operation(kReconfigure, web, "", "VM.Standard2.8")), 0);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "VM not specified");
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  EXPECT_EQ(sandbox.Calls("ReConfigureVM"), 1);
}

// The clone copies the source's volumes and waits up to 600 s for a running instance. A failed
// deployment makes nothing and does not wait; a failed wait keeps what was deployed.
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
    if (c.faultAction == "faulty") Sim(sandbox, {"fault", "add", "--op", c.faultOp, "--nth", "1", "--action", "faulty"});
    auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
    const size_t instancesBefore = Ls(sandbox, "instances").size(), volumesBefore = Ls(sandbox, "volumes").size();
    const json source = RowWhere(Ls(sandbox, "instances"), "name", "sample-web");
    const std::vector<std::string> sourceData = AttachedVolumes(sandbox, source["id"]);
    CVirtualClockScope clock;
    OperationCtx ctx = CloneOf(sandbox, c.size.c_str());
    EXPECT_EQ(plugin->PerformVMOperation(ctx), c.result) << c.label;
    const json clones = RowsWhere(Ls(sandbox, "instances"), "name", "web-copy");
    ASSERT_EQ(clones.size(), c.state.empty() ? 0u : 1u) << c.label;
    if (c.state.empty()) {
      EXPECT_EQ(Ls(sandbox, "instances").size(), instancesBefore);
      EXPECT_EQ(Ls(sandbox, "volumes").size(), volumesBefore);
      EXPECT_EQ(sandbox.Calls("WaitForBoot"), 0);
    } else {
      EXPECT_EQ(clones[0]["state"], c.state) << c.label;
      EXPECT_EQ(AttachedVolumes(sandbox, clones[0]["id"]).size(), 1u) << c.label;
    }
    if (c.result == 0) {
      EXPECT_NE(plugin->GetLastVMErrorDetails().find(c.details), std::string::npos) << plugin->GetLastVMErrorDetails();
      EXPECT_EQ(plugin->GetLastVMError(), c.state.empty() ? VMERR_VM_CREATION_FAILED : VMERR_VM_OPERATION_FAILED);
      continue;
    }
    const json clone = clones[0];
    EXPECT_EQ(ctx.vmInfo.guid, clone["id"]) << "the new instance's id reaches the caller's record";
    EXPECT_EQ(clone["compartment"], source["compartment"]);
    EXPECT_EQ(clone["shape"], source["shape"]);
    const std::vector<std::string> cloneData = AttachedVolumes(sandbox, clone["id"]);
    ASSERT_EQ(cloneData.size(), 1u);
    EXPECT_NE(cloneData, sourceData);
    EXPECT_EQ(Checksum(sandbox, cloneData[0]), Checksum(sandbox, sourceData.at(0)));
    EXPECT_EQ(AttachedVolumes(sandbox, source["id"]), sourceData) << "the source keeps its volume";
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
  const std::string dataSum = Checksum(sandbox, data.at(0));
  CVirtualClockScope clock;
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kDelete, web["id"], db)), 1) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(InstanceState(sandbox, web["id"]) + " " + InstanceState(sandbox, db), "TERMINATED RUNNING");
  EXPECT_TRUE(RowsWhere(Ls(sandbox, "volumes"), "id", web["boot_volume_id"]).empty());
  EXPECT_EQ(Checksum(sandbox, data[0]), dataSum);
  for (const auto& a : RowsWhere(Ls(sandbox, "attachments"), "volume_id", data[0])) EXPECT_EQ(a["state"], "DETACHED");
}

// Each operation starts from a clear error: a failure shows its own code and the bridge's text
// and changes nothing; an unhandled type calls nothing; a success shows no error.
TEST_F(PluginOperations, FailuresReportTheOperationsCodeAndText) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOff, web, web)), 1);
  const std::tuple<UINT32, const char*, EVMInfoError> cases[] = {
      {kPowerOn, "PowerOnInstance", VMERR_VM_OPERATION_FAILED}, {kPowerOff, "PowerOffInstance", VMERR_VM_OPERATION_FAILED},
      {kPowerOffAlt, "PowerOffInstance", VMERR_VM_OPERATION_FAILED}, {kReconfigure, "ReConfigureVM", VMERR_VM_OPERATION_FAILED},
      {kClone, "DeployVM", VMERR_VM_CREATION_FAILED}, {kDelete, "DeleteVM", VMERR_VM_DELETE_FAILED},
      {0, "", VMERR_VM_OPERATION_NOT_SUPPORTED}, {4, "", VMERR_VM_OPERATION_NOT_SUPPORTED},
      {8, "", VMERR_VM_OPERATION_NOT_SUPPORTED}, {42, "", VMERR_VM_OPERATION_NOT_SUPPORTED}};
  for (const auto& [type, op, code] : cases) {
    const std::string text = *op ? std::string(op) + " outage" : "Unhandled operation type [" + std::to_string(type) + "]";
    if (*op) AddFailure(sandbox, op, text, 1);
    const auto callsBefore = AllCalls(sandbox);
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    plugin->SetLastVMErrorDetails("");
    EXPECT_EQ(plugin->PerformVMOperation(type == kClone ? CloneOf(sandbox) : Operation(type, web, web, "VM.Standard2.2")), 0);
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), text) << type;
    EXPECT_EQ(plugin->GetLastVMError(), code) << type;
    const json row = RowWhere(Ls(sandbox, "instances"), "id", web);
    EXPECT_EQ(row["state"].get<std::string>() + " " + row["shape"].get<std::string>(), "STOPPED VM.Standard2.1") << type;
    EXPECT_TRUE(RowsWhere(Ls(sandbox, "instances"), "name", "web-copy").empty()) << type;
    if (!*op) { EXPECT_EQ(AllCalls(sandbox), callsBefore) << type; }
  }
  EXPECT_TRUE(LoggedError("Unhandled operation type [42]"));
  // What the cloud itself refuses is reported the same way.
  EXPECT_EQ(plugin->PerformVMOperation(Operation(kPowerOn, "ocid1.instance.oc1.phx.gone", "")), 0);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("ocid1.instance.oc1.phx.gone"), std::string::npos);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOn, web, web)), 1);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "");
}
