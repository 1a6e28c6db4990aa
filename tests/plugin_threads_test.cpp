// Disks of one instance opened, read and closed on eight threads at once: each gets its own
// replica's device, and the unmount leaves nothing behind; a restore's volume workers reach the host
// only through the job thread. Also run by scripts/tsan.sh.
#include <sys/syscall.h>

#include <fstream>
#include <latch>
#include <sstream>
#include <thread>
#include "MountTestUtil.h"
#include "PluginTestUtil.h"

using namespace mounttest;
using plugintest::json;
using plugintest::Ls;
using VMInfoStructs::SDisk;
namespace {
constexpr uint64_t kVolumeBytes = 4u << 20;
constexpr size_t kDataVolumes = 8;
class PluginThreads : public CMountFixture {
 protected:
  // What is left behind: leaks, volumes, snapshots and live attachments.
  json Leftovers() const {
    std::string leaks;
    sandbox->CloudSim({"leaks", "--json"}, &leaks);
    json live = json::array();
    for (const auto& row : Ls(*sandbox, "attachments"))
      if (row["state"] != "DETACHED") live.push_back(row);
    return {json::parse(leaks), Ls(*sandbox, "volumes"), Ls(*sandbox, "snapshots"), live};
  }
};

// While it lives no thread can be started in this process: no stack can be had for one.
struct CNoThreadStarts {
  CNoThreadStarts() {
    pthread_attr_t huge;
    pthread_getattr_default_np(&saved);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t{1} << 47);
    pthread_setattr_default_np(&huge);
    pthread_attr_destroy(&huge);
  }
  ~CNoThreadStarts() {
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&saved);
  }
  pthread_attr_t saved;
};
}  // namespace

// A restore's volumes are made by workers of the job, which reach the host only through the job thread: every line
// of the plug-in is written by it (the workers' too), and a failed create's code and cloud text are the step's. A
// worker that cannot be started fails the step as well, and nothing is left either way.
TEST_F(PluginThreads, RestoreVolumeWorkersReachTheHostOnlyThroughTheJobThread) {
  UseSandboxTools();
  auto plugin = NewPlugin();
  AddFault("CreateVolume", 1, sim::EFaultAction::Fail, "the volume quota is used up");
  for (const bool threads : {true, false}) {
    std::optional<CNoThreadStarts> noThreads;
    if (!threads) noThreads.emplace();
    RestoreCtx ctx = WebRestoreCtx("web-r");
    EXPECT_EQ(plugin->InitRestoreVM(ctx), 0);
    noThreads.reset();
    EXPECT_EQ(plugin->GetLastVMError(), VMERR_RESOURCE_CREATION_FAILED);
    EXPECT_EQ(plugin->GetLastVMErrorDetails().find(threads ? "the volume quota is used up"
                                                           : "No thread could be started to create the volume of "
                                                             "disk [sample-web (Boot Volume)_0]: "),
              0u)
        << plugin->GetLastVMErrorDetails();
    ExpectNothingLeft();
  }
  EXPECT_EQ(Calls("DeployVM"), 1) << "a worker that was never started made a boot volume";
  const std::string job = std::to_string(::syscall(SYS_gettid));
  std::ifstream log(sandbox->Home() + "/log/vsagent.log");
  int elsewhere = 0, workerLines = 0;
  for (std::string line, day, time, thread; std::getline(log, line);) {
    std::istringstream(line) >> day >> time >> thread;
    if (line.find("COracleCloud") == std::string::npos) continue;
    elsewhere += thread.substr(thread.find(':') + 1) != job;
    workerLines += line.find("Creating blockVolume for disk: [sample-web-data]") != std::string::npos;
  }
  EXPECT_EQ(elsewhere, 0) << "lines of the plug-in written on another thread than the job's";
  EXPECT_EQ(workerLines, 1);
}

TEST_F(PluginThreads, DisksOpenedReadAndClosedOnEightThreadsAtOnceGetTheirOwnDevices) {
  CPathFirst path(sandbox->Dir() + "/bin");
  auto plugin = NewPlugin();
  const std::string instance = InstanceId("sample-web");
  // sample-web with eight small data volumes, seven of them attached paravirtualized.
  for (const auto& id : InstanceVolumes("sample-web")) {
    Exec("UPDATE volumes SET size_bytes = ? WHERE id = ?", static_cast<int64_t>(kVolumeBytes), id);
    std::filesystem::resize_file(sim::BytesFileOf(*Cloud(), id).path, kVolumeBytes);
  }
  const std::string compartment = plugintest::RowWhere(Ls(*sandbox, "instances"), "id", instance)["compartment"];
  for (size_t i = 1; i < kDataVolumes; ++i) {
    SDisk volume;
    volume.displayName = "sample-web-data-" + std::to_string(i);
    volume.size = kVolumeBytes;
    bool noFreeSlot = false;
    ASSERT_TRUE(plugin->bridge->CreateVolume(volume, compartment)) << plugin->bridge->GetLastError();
    ASSERT_TRUE(plugin->bridge->AttachVolume(volume.guid, instance, noFreeSlot)) << plugin->bridge->GetLastError();
  }
  const std::vector<std::string> volumes = InstanceVolumes("sample-web");
  ASSERT_EQ(volumes.size(), 1u + kDataVolumes);
  std::map<std::string, std::string> checksumOf;
  for (size_t i = 0; i < volumes.size(); ++i) {
    WriteVolume(volumes[i], 4096 * (i + 1), "the bytes of volume " + std::to_string(i));
    checksumOf[volumes[i]] = Checksum(volumes[i]);
  }
  const json before = Leftovers();
  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  ASSERT_EQ(ctx.vmInfo.disks.size(), volumes.size());
  const std::vector<SDisk> dataDisks(ctx.vmInfo.disks.begin() + 1, ctx.vmInfo.disks.end());
  const long attachesBefore = sandbox->Calls("AttachVolume");
  struct SResult {
    int opened = 0, described = 0, closed = 0;
    SDisk disk;
    std::string checksum;
  };
  std::vector<SResult> results(kDataVolumes);
  std::latch start(kDataVolumes);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kDataVolumes; ++i)
    threads.emplace_back([&, i] {
      SResult& r = results[i];
      start.arrive_and_wait();
      VmdkHandle handle;
      if ((r.opened = plugin->OpenVmdk("sample-web", ctx.vmGuid, dataDisks[i].guid, handle)) != 1) return;
      if ((r.described = plugin->GetVmdkInfo(handle, r.disk)) == 1)
        r.checksum = sim::ChecksumOfSparseFile(r.disk.name, r.disk.size);
      r.closed = plugin->CloseVmdk(handle);
    });
  for (auto& thread : threads) thread.join();
  std::set<std::string> devices;
  for (size_t i = 0; i < kDataVolumes; ++i) {
    EXPECT_EQ(results[i].opened + results[i].described + results[i].closed, 3) << dataDisks[i].displayName;
    EXPECT_EQ(results[i].disk.size, kVolumeBytes);
    EXPECT_EQ(results[i].checksum, checksumOf.at(dataDisks[i].volumeId)) << dataDisks[i].displayName;
    devices.insert(results[i].disk.name);
  }
  EXPECT_EQ(devices.size(), kDataVolumes) << "two threads were given one device";
  EXPECT_EQ(sandbox->Calls("AttachVolume") - attachesBefore, static_cast<long>(kDataVolumes));
  EXPECT_TRUE(FilesIn(sandbox->Root() + "/dev/disk/by-path").empty());
  EXPECT_TRUE(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION).empty());
  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_EQ(Leftovers(), before);
  EXPECT_TRUE(Registry().empty());
}
