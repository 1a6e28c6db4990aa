// Disk index names of both flavours with their parser, and the mount information a backup
// reports: the disks under their index names, then every file of the mount directory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "MountTestUtil.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using VMInfoStructs::SMountInfoFile;
using VMInfoStructs::SMountInfoFull;

namespace {

class PluginMountInfo : public CMountFixture {};

SDisk Disk(const std::string& name, const std::string& displayName, const std::string& guid, UINT64 size,
           UINT32 diskNumber) {
  SDisk disk;
  disk.name = name;
  disk.displayName = displayName;
  disk.guid = guid;
  disk.size = size;
  disk.diskNumber = diskNumber;
  return disk;
}

}  // namespace

TEST_F(PluginMountInfo, InfrastructureIndexNamesRoundTrip) {
  InfraPlugin plugin;
  struct Case {
    std::string volumeName, guid;
    bool formed;
    std::string indexName;  // expected when formed
    int parsedIndex;
  } cases[] = {
      {"boot", "ocid1.bootvolume.oc1.phx.abc", true, "boot_abc", 0},
      {"data_vol", "x.y.z", true, "data_vol_z", 0},
      {"web_data_2", "a.b.c", true, "web_data_2_c", 0},
      {"V", "nodots", true, "V_nodots", 0},
      {"V", "ocid1.volume.oc1.phx.7abc", true, "V_7abc", 7},
      {"", "x.y.z", false, "", 0},
      {"V", "", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volumeName + " / " + c.guid);
    EvLogSink::Clear();
    std::string guid = c.guid, indexName = "untouched";
    EXPECT_EQ(plugin.FormDiskIndexName(c.volumeName, 3, guid, indexName), c.formed);
    EXPECT_EQ(guid, c.guid);
    if (!c.formed) {
      EXPECT_EQ(indexName, "untouched");
      continue;
    }
    EXPECT_EQ(indexName, c.indexName);
    EXPECT_TRUE(EvLogSink::Contains("Volume name [" + c.volumeName + "] , index [3] => Index Name [" + c.indexName + "]"));
    std::string volumeName;
    int index = -1;
    ASSERT_TRUE(plugin.ParseDiskIndexName(indexName, volumeName, index));
    EXPECT_EQ(volumeName, c.volumeName);
    EXPECT_EQ(index, c.parsedIndex);
  }
}

TEST_F(PluginMountInfo, ClassicIndexNamesCarryTheDiskNumber) {
  ClassicPlugin plugin;
  struct Case {
    std::string volumeName;
    int number;
    bool formed;
    std::string indexName;
  } cases[] = {
      {"V", 0, false, ""}, {"V", 2, true, "V_2"}, {"V", 12, true, "V_12"}, {"my_disk", 3, true, "my_disk_3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volumeName + " " + std::to_string(c.number));
    std::string guid = "ignored.guid", indexName = "untouched";
    EXPECT_EQ(plugin.FormDiskIndexName(c.volumeName, c.number, guid, indexName), c.formed);
    if (!c.formed) {
      EXPECT_EQ(indexName, "untouched");
      continue;
    }
    EXPECT_EQ(indexName, c.indexName);
    std::string volumeName;
    int index = -1;
    ASSERT_TRUE(COracleCloudInfo::ParseOracleCloudDiskIndexName(indexName, volumeName, index));
    EXPECT_EQ(volumeName, c.volumeName);
    EXPECT_EQ(index, c.number);
  }
}

TEST_F(PluginMountInfo, ParserSplitsAtTheLastUnderscoreAndReadsLeadingDigits) {
  struct Case {
    std::string name;
    bool accepted;
    std::string volumeName;
    int index;
  } cases[] = {
      {"V_7abc", true, "V", 7},   {"V_abc", true, "V", 0},     {"a_b_c_42", true, "a_b_c", 42},
      {"V_ 5", true, "V", 5},     {"V_-3", true, "V", -3},     {"V_+8x", true, "V", 8},
      {"V_", true, "V", 0},       {"_9", true, "", 9},         {"vol_12_x9", true, "vol_12", 0},
      {"noUnderscore", false, "", 0}, {"", false, "", 0},
  };
  InfraPlugin plugin;
  for (const auto& c : cases) {
    SCOPED_TRACE("[" + c.name + "]");
    EvLogSink::Clear();
    std::string volumeName = "before";
    int index = -1;
    EXPECT_EQ(plugin.ParseDiskIndexName(c.name, volumeName, index), c.accepted);
    if (!c.accepted) continue;
    EXPECT_EQ(volumeName, c.volumeName);
    EXPECT_EQ(index, c.index);
    EXPECT_TRUE(EvLogSink::Contains("Index Name [" + c.name + "] => Volume name [" + c.volumeName + "] index [" +
                                    std::to_string(c.index) + "]"));
  }
}

TEST_F(PluginMountInfo, FullMountInfoReportsDisksFirstThenEveryFile) {
  InfraPlugin plugin;
  const std::string guid = "ocid1.instance.oc1.phx.inst";
  std::filesystem::create_directories(mountPath);
  const std::map<std::string, std::string> files = {{guid + ".json", "{\"id\":1}"},
                                                    {guid + "_instance.json", "abc"},
                                                    {"x_y.json", "12345"},
                                                    {"notes.txt", ""}};
  for (const auto& [name, content] : files) WriteTestFile(mountPath + "/" + name, content);

  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.vmInfo.guid = guid;
  ctx.vmInfo.disks = {Disk("g0", "boot", "ocid1.bootvolume.oc1.phx.b0", 1000, 0),
                      Disk("", "skipped", "a.b.s1", 5, 1), Disk("g2", "data_vol", "nodots", 2000, 2)};
  ctx.vmInfo.disks[1].indexName = "previous";
  ctx.vmInfo.disks[1].diskType = 7;
  ctx.vmInfo.disks[2].selectedForRestore = 0;

  std::vector<SMountInfoFull> out;
  ASSERT_EQ(plugin.GetFullMountInfo(ctx, out), 1);
  ASSERT_EQ(out.size(), 2u + files.size());
  const std::pair<size_t, std::string> disks[] = {{0, "boot_b0"}, {2, "data_vol_nodots"}};
  for (size_t i = 0; i < 2; ++i) {
    const auto& [record, indexName] = disks[i];
    SCOPED_TRACE(indexName);
    EXPECT_EQ(out[i].mountType, 1u);
    EXPECT_EQ(out[i].id, -1);
    ASSERT_EQ(out[i].disks.size(), 1u);
    const SDisk& reported = out[i].disks[0];
    EXPECT_EQ(reported.guid, ctx.vmInfo.disks[record].guid);
    EXPECT_EQ(reported.diskType, 33u);
    EXPECT_EQ(reported.selectedForRestore, 1u);
    EXPECT_EQ(reported.backupSize, ctx.vmInfo.disks[record].size);
    EXPECT_EQ(reported.indexName, indexName);
    // The agent's own records carry the same values.
    EXPECT_EQ(ctx.vmInfo.disks[record].indexName, indexName);
    EXPECT_EQ(ctx.vmInfo.disks[record].diskType, 33u);
    EXPECT_EQ(ctx.vmInfo.disks[record].backupSize, ctx.vmInfo.disks[record].size);
  }
  // The record without a name is left out and left alone.
  EXPECT_EQ(ctx.vmInfo.disks[1].indexName, "previous");
  EXPECT_EQ(ctx.vmInfo.disks[1].diskType, 7u);
  EXPECT_EQ(ctx.vmInfo.disks[1].backupSize, 0u);

  std::map<std::string, SDisk> reportedFiles;
  for (size_t i = 2; i < out.size(); ++i) {
    EXPECT_EQ(out[i].mountType, 0u);
    ASSERT_EQ(out[i].disks.size(), 1u);
    reportedFiles[out[i].disks[0].indexName] = out[i].disks[0];
  }
  ASSERT_EQ(reportedFiles.size(), files.size());
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    ASSERT_EQ(reportedFiles.count(name), 1u);
    const SDisk& file = reportedFiles[name];
    EXPECT_EQ(file.name, mountPath + "/" + name);
    EXPECT_EQ(file.displayName, name);
    EXPECT_EQ(file.diskType, 0u);
    EXPECT_EQ(file.selectedForRestore, 0u);
    EXPECT_EQ(file.backupSize, content.size());
    EXPECT_EQ(file.fileKind, name == guid + ".json" ? 4u : 0u);
  }
}

TEST_F(PluginMountInfo, ClassicDiskWithoutAnIndexNameKeepsItsPreviousOne) {
  ClassicPlugin plugin;
  std::filesystem::create_directories(mountPath);
  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.vmInfo.disks = {Disk("/dev/a", "first", "g.a", 10, 0), Disk("/dev/b", "second", "g.b", 20, 2)};
  ctx.vmInfo.disks[0].indexName = "kept";
  std::vector<SMountInfoFull> out;
  ASSERT_EQ(plugin.GetFullMountInfo(ctx, out), 1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].disks[0].indexName, "kept");
  EXPECT_EQ(out[0].disks[0].diskType, 33u);
  EXPECT_EQ(out[1].disks[0].indexName, "second_2");
}

TEST_F(PluginMountInfo, MountedInstanceIsReportedUnderItsIndexNamesWithItsConfigurationFile) {
  auto plugin = NewPlugin();
  MountCtx ctx = Ctx("sample-db");
  ASSERT_EQ(plugin->MountVM(ctx), 1) << plugin->GetLastVMErrorDetails();
  std::vector<SMountInfoFull> out;
  ASSERT_EQ(plugin->GetFullMountInfo(ctx, out), 1);
  ASSERT_EQ(out.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    const SDisk& disk = out[i].disks.at(0);
    SCOPED_TRACE(disk.displayName);
    EXPECT_EQ(out[i].mountType, 1u);
    EXPECT_EQ(disk.name, disk.guid);
    EXPECT_EQ(disk.backupSize, disk.size);
    EXPECT_GT(disk.size, 0u);
    EXPECT_EQ(disk.indexName, disk.displayName + "_" + disk.guid.substr(disk.guid.rfind('.') + 1));
    std::string volumeName;
    int index = -1;
    ASSERT_TRUE(plugin->ParseDiskIndexName(disk.indexName, volumeName, index));
    EXPECT_EQ(volumeName, disk.displayName);
  }
  EXPECT_EQ(out[2].mountType, 0u);
  const SDisk& file = out[2].disks.at(0);
  EXPECT_EQ(file.displayName, ctx.vmGuid + ".json");
  EXPECT_EQ(file.fileKind, 4u);
  EXPECT_EQ(file.backupSize, ReadTestFile(mountPath + "/" + ctx.vmGuid + ".json").size());
  EXPECT_GT(file.backupSize, 0u);
}

TEST_F(PluginMountInfo, DisabledOrFileLevelInfoReportsNothing) {
  InfraPlugin plugin;
  std::filesystem::create_directories(mountPath);
  WriteTestFile(mountPath + "/inst.json", "{}");
  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.mountInfoDisabled = true;
  ctx.vmInfo.disks = {Disk("g0", "boot", "a.b.c", 10, 0)};
  std::vector<SMountInfoFull> out(1);
  EXPECT_EQ(plugin.GetFullMountInfo(ctx, out), 0);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(ctx.vmInfo.disks[0].indexName, "");
  EXPECT_EQ(ctx.vmInfo.disks[0].diskType, 0u);

  ctx.mountInfoDisabled = false;
  std::vector<SMountInfoFile> files;
  EXPECT_EQ(plugin.GetFileMountInfo(ctx, files), 0);
  EXPECT_TRUE(files.empty());
}

TEST_F(PluginMountInfo, MissingMountDirectoryFailsAfterTheDisks) {
  InfraPlugin plugin;
  MountCtx ctx;
  ctx.mountPath = mountPath + "/missing";
  ctx.vmInfo.disks = {Disk("g0", "boot", "a.b.c", 10, 0)};
  std::vector<SMountInfoFull> out;
  EXPECT_EQ(plugin.GetFullMountInfo(ctx, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].mountType, 1u);
  EXPECT_EQ(out[0].disks[0].indexName, "boot_c");
  EXPECT_TRUE(EvLogSink::Contains("Error Accessing Mount Path[" + ctx.mountPath + "], Error = ["));
}
