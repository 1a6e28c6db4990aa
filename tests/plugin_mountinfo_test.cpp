// Disk index names of both flavours with their parser, and the mount information a backup
// reports: the disks under their index names, then every file of the mount directory.
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

// Infrastructure names a disk after its volume and the last part of its id, classic after its
// volume and disk number (never 0); the parser splits at the last underscore and reads leading digits.
TEST_F(PluginMountInfo, IndexNamesAndTheirParser) {
  InfraPlugin infra;
  ClassicPlugin classic;
  // object, volume name, id, disk number, index name ("" when none is formed), parsed back
  const std::tuple<COracleCloudInfo*, std::string, std::string, int, std::string, std::string> cases[] = {
      {&infra, "boot", "ocid1.bootvolume.oc1.phx.abc", 3, "boot_abc", "boot 0"},
      {&infra, "web_data_2", "a.b.c", 3, "web_data_2_c", "web_data_2 0"},
      {&infra, "V", "nodots", 3, "V_nodots", "V 0"},
      {&infra, "V", "ocid1.volume.oc1.phx.7abc", 3, "V_7abc", "V 7"},
      {&infra, "", "x.y.z", 3, "", ""},
      {&infra, "V", "", 3, "", ""},
      {&classic, "V", "g.x", 0, "", ""},
      {&classic, "V", "g.x", 12, "V_12", "V 12"},
      {&classic, "my_disk", "g.x", 3, "my_disk_3", "my_disk 3"}};
  for (const auto& [object, volumeName, id, number, expected, parsed] : cases) {
    std::string guid = id, indexName = "untouched", parsedName;
    int index = -1;
    const bool formed = object == &infra ? infra.FormDiskIndexName(volumeName, number, guid, indexName)
                                         : classic.FormDiskIndexName(volumeName, number, guid, indexName);
    EXPECT_EQ(indexName, formed ? expected : "untouched") << volumeName << " " << id;
    EXPECT_EQ(formed, !expected.empty()) << volumeName << " " << id;
    EXPECT_EQ(guid, id);
    if (formed) { EXPECT_TRUE(object->ParseDiskIndexName(indexName, parsedName, index)); }
    EXPECT_EQ(formed ? parsedName + " " + std::to_string(index) : "", parsed);
  }
  const std::tuple<std::string, bool, std::string> parses[] = {
      {"a_b_c_42", true, "a_b_c 42"}, {"V_-3", true, "V -3"}, {"V_+8x", true, "V 8"},   {"V_", true, "V 0"},
      {"_9", true, " 9"},             {"vol_12_x9", true, "vol_12 0"}, {"noUnderscore", false, "before -1"}, {"", false, "before -1"}};
  for (const auto& [name, accepted, parsed] : parses) {
    std::string volumeName = "before";
    int index = -1;
    EXPECT_EQ(COracleCloudInfo::ParseOracleCloudDiskIndexName(name, volumeName, index), accepted) << name;
    EXPECT_EQ(volumeName + " " + std::to_string(index), parsed) << name;
  }
}

// Disks with a name come first as mount type 1 under their index names (a classic disk without
// one keeps its previous name), then every file of the mount directory; the instance's own
// configuration file is of kind 4.
TEST_F(PluginMountInfo, FullMountInfoReportsDisksFirstThenEveryFile) {
  InfraPlugin infra;
  ClassicPlugin classic;
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
  ctx.vmInfo.disks = {Disk("/dev/a", "first", "g.a", 0), Disk("/dev/b", "second", "g.b", 2)};
  ctx.vmInfo.disks[0].indexName = "kept";
  out.clear();
  ASSERT_EQ(classic.GetFullMountInfo(ctx, out), 1);
  EXPECT_EQ(out.at(0).disks.at(0).indexName + " " + out.at(1).disks.at(0).indexName, "kept second_2");
  EXPECT_EQ(out[0].disks[0].diskType, 33u);
}

// Disabled mount information reports nothing and changes no record; file-level information is
// not offered; a missing mount directory fails after the disks.
TEST_F(PluginMountInfo, DisabledOrFailedMountInfo) {
  InfraPlugin plugin;
  MountCtx ctx;
  ctx.mountPath = mountPath;
  ctx.mountInfoDisabled = true;
  ctx.vmInfo.disks = {Disk("g0", "boot", "a.b.c")};
  std::filesystem::create_directories(mountPath);
  std::vector<SMountInfoFull> out(1);
  EXPECT_EQ(plugin.GetFullMountInfo(ctx, out), 0);
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(ctx.vmInfo.disks[0].indexName, "");
  EXPECT_EQ(ctx.vmInfo.disks[0].diskType, 0u);
  ctx.mountInfoDisabled = false;
  std::vector<VMInfoStructs::SMountInfoFile> files;
  EXPECT_EQ(plugin.GetFileMountInfo(ctx, files), 0);
  EXPECT_TRUE(files.empty());
  ctx.mountPath = mountPath + "/missing";
  out.clear();
  EXPECT_EQ(plugin.GetFullMountInfo(ctx, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].disks.at(0).indexName, "boot_c");
  EXPECT_TRUE(EvLogSink::Contains("Error Accessing Mount Path[" + ctx.mountPath + "], Error = ["));
}
