// Instance operations through PerformVMOperation: power, reconfigure, clone and delete, checked
// on what the simulated cloud holds afterwards (states, shapes, volumes and their bytes).
#include "PluginTestUtil.h"

using namespace plugintest;
using namespace VMInfoStructs;

namespace {

class PluginOperations : public CPluginFlowTest {};

enum : UINT32 { kPowerOn = 1, kPowerOff = 2, kPowerOffAlt = 3, kUnhandled = 4, kReconfigure = 5, kClone = 6, kDelete = 7 };

// An operation on `target`; the record names `recordGuid`, so that a mix-up of the two ids shows.
OperationCtx Operation(UINT32 type, const std::string& name, const std::string& target, const std::string& recordGuid) {
  OperationCtx ctx;
  ctx.operationType = type;
  ctx.vmName = name;
  ctx.vmGuid = target;
  ctx.vmInfo.name = name;
  ctx.vmInfo.guid = recordGuid;
  return ctx;
}

OperationCtx CloneOf(const CTestSandbox& sandbox, const std::string& source, const std::string& newName) {
  OperationCtx ctx;
  ctx.operationType = kClone;
  ctx.vmName = source;
  ctx.vmGuid = InstanceId(sandbox, source);
  ctx.vmInfo.name = newName;
  return ctx;
}

// The data volumes attached to an instance, in attachment order.
std::vector<std::string> AttachedVolumes(const CTestSandbox& sandbox, const std::string& instanceId) {
  std::vector<std::string> volumes;
  for (const auto& a : RowsWhere(Ls(sandbox, "attachments"), "instance_id", instanceId))
    if (a["state"] == "ATTACHED") volumes.push_back(a["volume_id"]);
  return volumes;
}

}  // namespace

TEST_F(PluginOperations, PowerOperationsActOnTheContextsInstanceId) {
  struct Flavour {
    const char* cloud;
    bool classic;
    const char* running;
    const char* stopped;
  } flavours[] = {{"infrastructure", false, "RUNNING", "STOPPED"}, {"classic", true, "running", "stopped"}};
  for (const auto& f : flavours) {
    CTestSandbox sandbox(f.cloud);
    std::unique_ptr<COracleCloudInfo> plugin =
        f.classic ? ConnectObject<CClassicPlugin>(sandbox) : ConnectObject<CInfraPlugin>(sandbox);
    const std::string web = InstanceId(sandbox, "sample-web");
    const std::string db = InstanceId(sandbox, "sample-db");
    struct Step {
      UINT32 type;
      const char* state;
    } steps[] = {{kPowerOff, f.stopped}, {kPowerOn, f.running}, {kPowerOffAlt, f.stopped}, {kPowerOn, f.running}};
    for (const auto& s : steps) {
      // The record names the other instance: only ctx.vmGuid decides which one changes.
      ASSERT_EQ(plugin->PerformVMOperation(Operation(s.type, "sample-web", web, db)), 1)
          << f.cloud << " op " << s.type << ": " << plugin->GetLastVMErrorDetails();
      EXPECT_EQ(InstanceState(sandbox, web), s.state) << f.cloud << " op " << s.type;
      EXPECT_EQ(InstanceState(sandbox, db), f.running) << f.cloud << " op " << s.type;
    }
    EXPECT_TRUE(EvLogSink::Contains("stopping VM [sample-web][" + db + "]"));
    EXPECT_TRUE(EvLogSink::Contains("starting VM [sample-web][" + db + "]"));
  }
}

TEST_F(PluginOperations, ReconfigureChangesTheRecordsInstanceShape) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  const std::string db = InstanceId(sandbox, "sample-db");

  OperationCtx fixed = Operation(kReconfigure, "sample-web", db, web);
  fixed.vmInfo.vmSize = "VM.Standard2.2";
  ASSERT_EQ(plugin->PerformVMOperation(fixed), 1) << plugin->GetLastVMErrorDetails();
  json row = RowWhere(Ls(sandbox, "instances"), "id", web);
  EXPECT_EQ(row["shape"], "VM.Standard2.2");
  EXPECT_EQ(row["cpus"], 2);
  EXPECT_EQ(row["memory_mb"], 30720);
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", db)["shape"], "VM.Standard.E4.Flex");
  EXPECT_TRUE(EvLogSink::Contains("Reconfiguring VM [sample-web][" + web + "]"));

  OperationCtx flexible = Operation(kReconfigure, "sample-db", db, db);
  flexible.vmInfo.vmSize = "VM.Standard.E4.Flex";
  flexible.vmInfo.cpuCount = 4;
  flexible.vmInfo.memoryMB = 65536;
  ASSERT_EQ(plugin->PerformVMOperation(flexible), 1) << plugin->GetLastVMErrorDetails();
  row = RowWhere(Ls(sandbox, "instances"), "id", db);
  EXPECT_EQ(row["cpus"], 4);
  EXPECT_EQ(row["memory_mb"], 65536);
}

TEST_F(PluginOperations, ReconfigureWithoutAnInstanceMakesNoCall) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
  OperationCtx ctx = Operation(kReconfigure, "sample-web", web, "");
  ctx.vmInfo.vmSize = "VM.Standard2.8";
  EXPECT_EQ(plugin->PerformVMOperation(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "VM not specified");
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  EXPECT_TRUE(LoggedError("VM is not specified"));
  EXPECT_EQ(sandbox.Calls("ReConfigureVM"), 0);
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "id", web)["shape"], "VM.Standard2.1");
}

TEST_F(PluginOperations, CloneCopiesTheSourcesVolumes) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const json source = RowWhere(Ls(sandbox, "instances"), "name", "sample-web");
  const std::vector<std::string> sourceData = AttachedVolumes(sandbox, source["id"]);
  ASSERT_EQ(sourceData.size(), 1u);

  OperationCtx ctx = CloneOf(sandbox, "sample-web", "web-copy");
  ASSERT_EQ(plugin->PerformVMOperation(ctx), 1) << plugin->GetLastVMErrorDetails();
  const json clone = RowWhere(Ls(sandbox, "instances"), "name", "web-copy");
  EXPECT_EQ(ctx.vmInfo.guid, clone["id"]) << "the new instance's id reaches the caller's record";
  EXPECT_EQ(clone["state"], "RUNNING");
  EXPECT_EQ(clone["compartment"], source["compartment"]);
  EXPECT_EQ(clone["shape"], source["shape"]);

  EXPECT_NE(clone["boot_volume_id"], source["boot_volume_id"]);
  EXPECT_EQ(Checksum(sandbox, clone["boot_volume_id"]), Checksum(sandbox, source["boot_volume_id"]));
  const std::vector<std::string> cloneData = AttachedVolumes(sandbox, clone["id"]);
  ASSERT_EQ(cloneData.size(), 1u);
  EXPECT_NE(cloneData[0], sourceData[0]);
  EXPECT_EQ(Checksum(sandbox, cloneData[0]), Checksum(sandbox, sourceData[0]));
  EXPECT_EQ(AttachedVolumes(sandbox, source["id"]), sourceData) << "the source keeps its volume";
  EXPECT_TRUE(EvLogSink::Contains("Cloning VM [web-copy] from [sample-web][" + source["id"].get<std::string>() + "]"));
}

TEST_F(PluginOperations, CloneWaitsUpTo600SecondsForTheBoot) {
  struct Case {
    const char* provisionSeconds;
    int result;
  } cases[] = {{"590", 1}, {"610", 0}};
  for (const auto& c : cases) {
    CTestSandbox sandbox;
    SetConfig(sandbox, "provision_seconds.instance", c.provisionSeconds);
    auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
    CVirtualClockScope clock;
    OperationCtx ctx = CloneOf(sandbox, "sample-web", "slow-copy");
    EXPECT_EQ(plugin->PerformVMOperation(ctx), c.result) << c.provisionSeconds;
    const json clone = RowWhere(Ls(sandbox, "instances"), "name", "slow-copy");
    if (c.result == 1) {
      EXPECT_EQ(clone["state"], "RUNNING");
    } else {
      // The deployment is not undone.
      EXPECT_EQ(clone["state"], "PROVISIONING");
      EXPECT_NE(plugin->GetLastVMErrorDetails().find("600 seconds"), std::string::npos)
          << plugin->GetLastVMErrorDetails();
      EXPECT_EQ(plugin->GetLastVMErrorDetails(), plugin->bridge->GetLastError());
      EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
    }
  }
}

// The clone waits for a running instance: one that came up stopped is a failed clone.
TEST_F(PluginOperations, CloneThatComesUpStoppedFails) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  std::string out;
  ASSERT_EQ(sandbox.CloudSim({"fault", "add", "--op", "DeployVM", "--nth", "1", "--action", "faulty"}, &out), 0) << out;
  OperationCtx ctx = CloneOf(sandbox, "sample-web", "web-copy");
  EXPECT_EQ(plugin->PerformVMOperation(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("STOPPED"), std::string::npos) << plugin->GetLastVMErrorDetails();
  EXPECT_EQ(RowWhere(Ls(sandbox, "instances"), "name", "web-copy")["state"], "STOPPED");
}

TEST_F(PluginOperations, CloneWhoseBootWaitFailsKeepsTheNewInstance) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  AddFailure(sandbox, "WaitForBoot", "boot wait lost");
  plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
  OperationCtx ctx = CloneOf(sandbox, "sample-web", "web-copy");
  EXPECT_EQ(plugin->PerformVMOperation(ctx), 0);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "boot wait lost");
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  const json clone = RowWhere(Ls(sandbox, "instances"), "name", "web-copy");
  EXPECT_EQ(clone["state"], "RUNNING");
  EXPECT_EQ(AttachedVolumes(sandbox, clone["id"]).size(), 1u);
}

TEST_F(PluginOperations, FailedDeploymentMakesNothingAndDoesNotWait) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const size_t instancesBefore = Ls(sandbox, "instances").size();
  const size_t volumesBefore = Ls(sandbox, "volumes").size();
  OperationCtx ctx = CloneOf(sandbox, "sample-web", "web-copy");
  ctx.vmInfo.vmSize = "VM.NoSuchShape";
  EXPECT_EQ(plugin->PerformVMOperation(ctx), 0);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("VM.NoSuchShape"), std::string::npos);
  EXPECT_EQ(Ls(sandbox, "instances").size(), instancesBefore);
  EXPECT_EQ(Ls(sandbox, "volumes").size(), volumesBefore);
  EXPECT_EQ(sandbox.Calls("WaitForBoot"), 0);
}

TEST_F(PluginOperations, DeleteRemovesTheInstanceAndItsBootVolumeButKeepsDataVolumes) {
  CTestSandbox sandbox;
  SetConfig(sandbox, "provision_seconds.instance", "30");
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const json web = RowWhere(Ls(sandbox, "instances"), "name", "sample-web");
  const std::string db = InstanceId(sandbox, "sample-db");
  const std::vector<std::string> data = AttachedVolumes(sandbox, web["id"]);
  ASSERT_EQ(data.size(), 1u);
  const std::string dataSum = Checksum(sandbox, data[0]);

  CVirtualClockScope clock;
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kDelete, "sample-web", web["id"], db)), 1)
      << plugin->GetLastVMErrorDetails();
  // The call returns once the instance is terminated, not while it terminates.
  EXPECT_EQ(InstanceState(sandbox, web["id"]), "TERMINATED");
  EXPECT_EQ(InstanceState(sandbox, db), "RUNNING");
  const json volumes = Ls(sandbox, "volumes");
  EXPECT_TRUE(RowsWhere(volumes, "id", web["boot_volume_id"]).empty()) << "the boot volume goes";
  ASSERT_EQ(RowsWhere(volumes, "id", data[0]).size(), 1u) << "the data volume stays";
  EXPECT_EQ(Checksum(sandbox, data[0]), dataSum);
  for (const auto& a : RowsWhere(Ls(sandbox, "attachments"), "volume_id", data[0]))
    EXPECT_EQ(a["state"], "DETACHED");
  EXPECT_TRUE(EvLogSink::Contains("Deleting VM [sample-web][" + db + "]"));
}

TEST_F(PluginOperations, UnhandledOperationTypesTouchNothing) {
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  const auto callsBefore = AllCalls(sandbox);
  for (UINT32 type : {0u, 4u, 8u, 42u}) {
    const std::string text = "Unhandled operation type [" + std::to_string(type) + "]";
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    plugin->SetLastVMErrorDetails("earlier failure");
    OperationCtx ctx = Operation(type, "sample-web", web, web);
    ctx.vmInfo.vmSize = "VM.Standard2.8";
    EXPECT_EQ(plugin->PerformVMOperation(ctx), 0) << type;
    EXPECT_TRUE(LoggedError(text)) << type;
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_NOT_SUPPORTED) << type;
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), text);
  }
  EXPECT_EQ(AllCalls(sandbox), callsBefore);
  EXPECT_EQ(InstanceState(sandbox, web), "RUNNING");
}

// Each operation starts from a clear error: a failure shows its own code and the bridge's text,
// a success shows none.
TEST_F(PluginOperations, BridgeFailureReportsTheOperationsCodeAndTheBridgeText) {
  struct Case {
    UINT32 type;
    const char* op;
    EVMInfoError code;
  } cases[] = {{kPowerOn, "PowerOnInstance", VMERR_VM_OPERATION_FAILED},
               {kPowerOff, "PowerOffInstance", VMERR_VM_OPERATION_FAILED},
               {kPowerOffAlt, "PowerOffInstance", VMERR_VM_OPERATION_FAILED},
               {kReconfigure, "ReConfigureVM", VMERR_VM_OPERATION_FAILED},
               {kClone, "DeployVM", VMERR_VM_CREATION_FAILED},
               {kDelete, "DeleteVM", VMERR_VM_DELETE_FAILED}};
  CTestSandbox sandbox;
  auto plugin = ConnectPlugin<CInfraPlugin>(sandbox);
  const std::string web = InstanceId(sandbox, "sample-web");
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOff, "sample-web", web, web)), 1);
  for (const auto& c : cases) {
    const std::string text = std::string("simulated ") + c.op + " outage";
    AddFailure(sandbox, c.op, text, 1);
    const size_t instancesBefore = Ls(sandbox, "instances").size();
    plugin->SetLastVMError(VMERR_SNAPSHOT_FAILED);
    plugin->SetLastVMErrorDetails("");
    OperationCtx ctx = c.type == kClone ? CloneOf(sandbox, "sample-web", "web-copy")
                                        : Operation(c.type, "sample-web", web, web);
    ctx.vmInfo.vmSize = c.type == kReconfigure ? "VM.Standard2.2" : "";
    EXPECT_EQ(plugin->PerformVMOperation(ctx), 0) << c.op;
    EXPECT_EQ(plugin->GetLastVMErrorDetails(), text) << c.op;
    EXPECT_EQ(plugin->GetLastVMError(), c.code) << c.op;
    const json row = RowWhere(Ls(sandbox, "instances"), "id", web);
    EXPECT_EQ(row["state"], "STOPPED") << c.op;
    EXPECT_EQ(row["shape"], "VM.Standard2.1") << c.op;
    EXPECT_EQ(Ls(sandbox, "instances").size(), instancesBefore) << c.op;
  }
  // What the cloud itself refuses is reported the same way.
  EXPECT_EQ(plugin->PerformVMOperation(Operation(kPowerOn, "x", "ocid1.instance.oc1.phx.gone", "")), 0);
  EXPECT_NE(plugin->GetLastVMErrorDetails().find("ocid1.instance.oc1.phx.gone"), std::string::npos);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_VM_OPERATION_FAILED);
  ASSERT_EQ(plugin->PerformVMOperation(Operation(kPowerOn, "sample-web", web, web)), 1);
  EXPECT_EQ(plugin->GetLastVMError(), VMERR_NONE);
  EXPECT_EQ(plugin->GetLastVMErrorDetails(), "");
}
