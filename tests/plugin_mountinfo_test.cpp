// Disk index names of both flavours with their parser, and the mount information a backup reports.
#include "MountTestUtil.h"

using namespace mounttest;
using VMInfoStructs::SDisk;
using VMInfoStructs::SMountInfoFull;
namespace {
class PluginMountInfo : public CMountFixture {};
SDisk Disk(const std::string& name, const std::string& displayName, const std::string& guid, UINT32 number = 0) {
  SDisk disk;
  disk.name = name;
  disk.displayName = displayName;
  disk.guid = guid;
  disk.size = 1000 + number;
  disk.diskNumber = number;
  return disk;
}
}  // namespace

// Infrastructure: volume and the id's last part; classic: volume and disk number (never 0).
TEST_F(PluginMountInfo, IndexNamesAndTheirParser) {
  InfraPlugin infra;
  ClassicPlugin classic;
  // object, volume name, id, disk number, index name ("" when none is formed)
  const std::tuple<COracleCloudInfo*, std::string, std::string, int, std::string> cases[] = {
      {&infra, "boot", "ocid1.bootvolume.oc1.phx.abc", 3, "boot_abc"},
      {&infra, "web_data_2", "a.b.c", 3, "web_data_2_c"},
      {&infra, "V", "nodots", 3, "V_nodots"},
      {&infra, "", "x.y.z", 3, ""},
      {&infra, "V", "", 3, ""},
      {&classic, "V", "g.x", 0, ""},
      {&classic, "V", "g.x", 1, "V_1"},
      {&classic, "my_disk", "g.x", 3, "my_disk_3"}};
  for (const auto& [object, volumeName, id, number, expected] : cases) {
    std::string guid = id, indexName = "untouched";
    const bool formed = object == &infra ? infra.FormDiskIndexName(volumeName, number, guid, indexName)
                                         : classic.FormDiskIndexName(volumeName, number, guid, indexName);
    EXPECT_EQ(formed, !expected.empty()) << volumeName << " " << id;
    EXPECT_EQ(indexName, formed ? expected : "untouched") << volumeName << " " << id;
    EXPECT_EQ(guid, id);
  }
  const std::tuple<std::string, bool, std::string> parses[] = {{"V_7abc", true, "V 7"},
                                                               {"a_b_c_42", true, "a_b_c 42"},
                                                               {"V_-3", true, "V -3"},
                                                               {"V_+8x", true, "V 8"},
                                                               {"V_", true, "V 0"},
                                                               {"_9", true, " 9"},
                                                               {"vol_12_x9", true, "vol_12 0"},
                                                               {"noUnderscore", false, "before -1"},
                                                               {"", false, "before -1"}};
  for (const auto& [name, accepted, parsed] : parses) {
    std::string volumeName = "before";
    int index = -1;
    EXPECT_EQ(infra.ParseDiskIndexName(name, volumeName, index), accepted) << name;
    EXPECT_EQ(volumeName + " " + std::to_string(index), parsed) << name;
  }
}

// Named disks first under their index names, then every file; the instance's own file is kind 4.
TEST_F(PluginMountInfo, FullMountInfoReportsDisksFirstThenEveryFile) {
  InfraPlugin infra;
  const std::string guid = "ocid1.instance.oc1.phx.inst";
  std::filesystem::create_directories(mountPath);
  const std::map<std::string, std::string> files = {
      {guid + ".json", "{\"id\":1}"}, {guid + "_instance.json", "abc"}, {"x_y.json", "12345"}, {"notes.txt", ""}};
  for (const auto& [name, content] : files) WriteTestFile(mountPath + "/" + name, content);
  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.vmInfo.guid = guid;
  ctx.vmInfo.disks = {Disk("g0", "boot", "ocid1.bootvolume.oc1.phx.b0"), Disk("", "skipped", "a.b.s1", 1),
                      Disk("g2", "data_vol", "nodots", 2), Disk("/dev/b", "second", "g.b", 2)};
  ctx.vmInfo.disks[1].indexName = ctx.vmInfo.disks[3].indexName = "previous";
  ctx.vmInfo.disks[1].diskType = 7;
  ctx.vmInfo.disks[2].selectedForRestore = 0;
  std::vector<SMountInfoFull> out;
  ASSERT_EQ(infra.GetFullMountInfo(ctx, out), 1);
  ASSERT_EQ(out.size(), 3u + files.size());
  const std::pair<size_t, std::string> disks[] = {{0, "boot_b0"}, {2, "data_vol_nodots"}, {3, "second_b"}};
  for (size_t i = 0; i < 3; ++i) {
    const auto& [record, indexName] = disks[i];
    ASSERT_EQ(out[i].disks.size(), 1u);
    const SDisk& reported = out[i].disks[0];
    EXPECT_EQ(out[i].mountType * 1000 + out[i].id, 999) << indexName;
    EXPECT_EQ(reported.guid, ctx.vmInfo.disks[record].guid);
    EXPECT_EQ(reported.selectedForRestore, 1u);
    for (const SDisk* disk : std::initializer_list<const SDisk*>{&reported, &ctx.vmInfo.disks[record]}) {
      EXPECT_EQ(disk->indexName, indexName);
      EXPECT_EQ(disk->diskType, 33u);
      EXPECT_EQ(disk->backupSize, disk->size);
    }
  }
  // The record without a name is left out and left alone.
  EXPECT_EQ(ctx.vmInfo.disks[1].indexName + " " + std::to_string(ctx.vmInfo.disks[1].diskType), "previous 7");
  EXPECT_EQ(ctx.vmInfo.disks[1].backupSize, 0u);
  std::map<std::string, SDisk> reportedFiles;
  for (size_t i = 3; i < out.size(); ++i) {
    EXPECT_EQ(out[i].mountType, 0u);
    ASSERT_EQ(out[i].disks.size(), 1u);
    reportedFiles[out[i].disks[0].indexName] = out[i].disks[0];
  }
  for (const auto& [name, content] : files) {
    ASSERT_EQ(reportedFiles.count(name), 1u) << name;
    const SDisk& file = reportedFiles[name];
    EXPECT_EQ(file.name, mountPath + "/" + name);
    EXPECT_EQ(file.displayName, name);
    EXPECT_EQ(file.diskType + file.selectedForRestore, 0u);
    EXPECT_EQ(file.backupSize, content.size());
    EXPECT_EQ(file.fileKind, name == guid + ".json" ? 4u : 0u) << name;
  }
  // Disabled: nothing reported or changed; no file-level information; a missing directory fails.
  ctx.mountInfoDisabled = true;
  ctx.vmInfo.disks = {Disk("g0", "boot", "a.b.c")};
  out.assign(1, SMountInfoFull{});
  EXPECT_EQ(infra.GetFullMountInfo(ctx, out), 0);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(ctx.vmInfo.disks[0].indexName + std::to_string(ctx.vmInfo.disks[0].diskType), "0");
  ctx.mountInfoDisabled = false;
  std::vector<VMInfoStructs::SMountInfoFile> fileInfo;
  EXPECT_EQ(infra.GetFileMountInfo(ctx, fileInfo), 0);
  EXPECT_TRUE(fileInfo.empty());
  ctx.mountPath += "/missing";
  out.clear();
  EXPECT_EQ(infra.GetFullMountInfo(ctx, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].disks.at(0).indexName, "boot_c");
  EXPECT_TRUE(EvLogSink::Contains("Error Accessing Mount Path[" + ctx.mountPath + "], Error = ["));
}
