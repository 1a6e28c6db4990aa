// The disks of one instance opened, read and closed by the agent on several threads at once: each
// thread gets the device of its own replica, and the unmount leaves nothing behind. Also run under
// ThreadSanitizer by scripts/tsan.sh.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <latch>
#include <thread>

#include "MountTestUtil.h"
#include "PluginTestUtil.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using json = nlohmann::json;

namespace {

constexpr uint64_t kVolumeBytes = 4u << 20;
constexpr int kDataVolumes = 8;

// What one agent thread saw of its disk.
struct SThreadResult {
  int opened = 0, described = 0, closed = 0;
  std::string device, checksum;
  UINT64 size = 0;
};

class PluginThreads : public CMountFixture {
 protected:
  std::set<std::string> Leaks() const {
    std::string out;
    sandbox->CloudSim({"leaks", "--json"}, &out);
    std::set<std::string> leaks;
    for (const auto& leak : json::parse(out)) leaks.insert(leak["kind"].get<std::string>() + " " + leak["id"].get<std::string>());
    return leaks;
  }
  json LiveAttachments() const {
    json live = json::array();
    for (const auto& row : plugintest::Ls(*sandbox, "attachments"))
      if (row["state"] != "DETACHED") live.push_back(row);
    return live;
  }
};

}  // namespace

TEST_F(PluginThreads, DisksOpenedReadAndClosedOnEightThreadsAtOnceGetTheirOwnDevices) {
  CPathFirst path(sandbox->Dir() + "/bin");
  auto plugin = NewPlugin();
  const std::string instance = InstanceId("sample-web");

  // sample-web with eight data volumes: its own, and seven more attached paravirtualized. Small
  // volumes, each with bytes of its own.
  for (const auto& id : InstanceVolumes("sample-web")) {
    Exec("UPDATE volumes SET size_bytes = ? WHERE id = ?", static_cast<int64_t>(kVolumeBytes), id);
    auto cloud = Cloud();
    std::filesystem::resize_file(sim::BytesFileOf(*cloud, id).path, kVolumeBytes);
  }
  const std::string compartment = plugintest::RowWhere(plugintest::Ls(*sandbox, "instances"), "id", instance)["compartment"];
  for (int i = 1; i < kDataVolumes; ++i) {
    SDisk volume;
    volume.displayName = "sample-web-data-" + std::to_string(i);
    volume.size = kVolumeBytes;
    ASSERT_TRUE(plugin->bridge->CreateVolume(volume, compartment)) << plugin->bridge->GetLastError();
    bool noFreeSlot = false;
    ASSERT_TRUE(plugin->bridge->AttachVolume(volume.guid, instance, noFreeSlot)) << plugin->bridge->GetLastError();
  }
  const std::vector<std::string> volumes = InstanceVolumes("sample-web");
  ASSERT_EQ(volumes.size(), 1u + kDataVolumes);
  const json attached = plugintest::RowsWhere(LiveAttachments(), "instance_id", instance);
  ASSERT_EQ(attached.size(), static_cast<size_t>(kDataVolumes)) << attached.dump(1);
  EXPECT_EQ(plugintest::RowsWhere(attached, "type", "paravirtualized").size(), static_cast<size_t>(kDataVolumes));
  std::map<std::string, std::string> checksumOf;
  for (size_t i = 0; i < volumes.size(); ++i) {
    WriteVolume(volumes[i], 4096 * (i + 1), "the bytes of volume " + std::to_string(i));
    checksumOf[volumes[i]] = Checksum(volumes[i]);
  }
  const std::set<std::string> leaksBefore = Leaks();
  const json volumesBefore = plugintest::Ls(*sandbox, "volumes"), snapshotsBefore = plugintest::Ls(*sandbox, "snapshots");
  const json attachmentsBefore = LiveAttachments();

  MountCtx ctx = Ctx("sample-web");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  ASSERT_EQ(ctx.vmInfo.disks.size(), volumes.size());
  std::vector<SDisk> dataDisks(ctx.vmInfo.disks.begin() + 1, ctx.vmInfo.disks.end());
  ASSERT_EQ(dataDisks.size(), static_cast<size_t>(kDataVolumes));
  const int64_t attachesBefore = sandbox->Calls("AttachVolume");

  std::vector<SThreadResult> results(dataDisks.size());
  std::latch start(static_cast<std::ptrdiff_t>(dataDisks.size()));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < dataDisks.size(); ++i) {
    threads.emplace_back([&, i] {
      SThreadResult& result = results[i];
      start.arrive_and_wait();
      VmdkHandle handle;
      result.opened = plugin->OpenVmdk("sample-web", ctx.vmGuid, dataDisks[i].guid, handle);
      if (result.opened != 1) return;
      SDisk disk;
      result.described = plugin->GetVmdkInfo(handle, disk);
      result.device = disk.name;
      result.size = disk.size;
      if (result.described == 1) result.checksum = sim::Sha256OfSparseFile(disk.name, disk.size);
      result.closed = plugin->CloseVmdk(handle);
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> devices;
  for (size_t i = 0; i < dataDisks.size(); ++i) {
    SCOPED_TRACE(dataDisks[i].displayName);
    EXPECT_EQ(results[i].opened, 1);
    EXPECT_EQ(results[i].described, 1);
    EXPECT_EQ(results[i].closed, 1);
    EXPECT_EQ(results[i].size, kVolumeBytes);
    EXPECT_EQ(results[i].checksum, checksumOf.at(dataDisks[i].volumeId));
    devices.insert(results[i].device);
  }
  EXPECT_EQ(devices.size(), dataDisks.size()) << "two threads were given one device";
  EXPECT_EQ(sandbox->Calls("AttachVolume") - attachesBefore, kDataVolumes);
  EXPECT_TRUE(FilesIn(sandbox->Root() + "/dev/disk/by-path").empty());
  EXPECT_TRUE(RegisteredChildren(ctx.vmGuid, VM_CLEANER_ENTITY_ISCSI_SESSION).empty());

  EXPECT_EQ(plugin->UnmountVM(ctx), 1);
  EXPECT_EQ(Leaks(), leaksBefore);
  EXPECT_EQ(plugintest::Ls(*sandbox, "volumes"), volumesBefore);
  EXPECT_EQ(plugintest::Ls(*sandbox, "snapshots"), snapshotsBefore);
  EXPECT_EQ(LiveAttachments(), attachmentsBefore);
  EXPECT_TRUE(Registry().empty());
}
