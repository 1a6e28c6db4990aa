// The plug-in's registry wrapper: the register, list and unregister forms of every kind of entity,
// checked against what the registry then holds.
#include <functional>

#include "RegistryTestUtil.h"
#include "cleanup/OracleCloudCleaner.h"

namespace {

using regtest::Names;
using VMInfoStructs::SDisk;
using Keys = std::vector<std::string>;
constexpr VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;
constexpr VM_Cleaner_Mode kRestore = VM_CLEANER_MODE_RESTORE;

std::pair<std::string, std::string> SplitAtPlus(const std::string& key) {
  size_t plus = key.find('+');
  return {key.substr(0, plus), key.substr(plus + 1)};
}

// One kind of child entity, with the wrapper's calls for it.
struct SKind {
  const char* name;
  VM_Cleaner_EntityType type;
  bool emptyListFails;
  std::string keyPrefix;
  std::function<bool(COracleCloudCleaner&, VM_Cleaner_Mode, const std::string&, const std::string&)> reg;
  std::function<bool(COracleCloudCleaner&, const std::string&, Keys&)> list;
  std::function<bool(COracleCloudCleaner&, const std::string&, const std::string&)> unregByPath;
  std::function<bool(COracleCloudCleaner&, VM_Cleaner_Mode, const std::string&, const std::string&)> unregByMode;
};

// Disks are listed as SDisk; this turns them into keys while keeping the append behaviour visible.
bool ListDiskKeys(COracleCloudCleaner& c, const std::string& path, Keys& keys) {
  std::vector<SDisk> disks;
  for (const auto& key : keys) disks.emplace_back().volumeId = key;
  bool ok = c.GetRegisteredDisks(path, disks);
  keys.clear();
  for (const auto& disk : disks) keys.push_back(disk.volumeId);
  return ok;
}

using C = COracleCloudCleaner;
using M = VM_Cleaner_Mode;
using S = std::string;
const std::vector<SKind>& AllKinds() {
  static const std::vector<SKind> kinds = {
      {"CreatedInstance", VM_CLEANER_ENTITY_VM, false, "ocid1.instance.",
       [](C& c, M m, const S& r, const S& k) { return c.RegisterCreatedVM(m, r, k); },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredCreatedVMs(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterCreatedVM(p, k); },
       [](C& c, M m, const S& r, const S& k) { return c.UnRegisterCreatedVM(m, r, k); }},
      {"Snapshot", VM_CLEANER_ENTITY_SNAPSHOT, true, "ocid1.volumebackup.",
       [](C& c, M m, const S& r, const S& k) { return c.RegisterSnapshot(m, r, k); },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredSnapshots(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterSnapshot(p, k); },
       [](C& c, M m, const S& r, const S& k) { return c.UnRegisterSnapshot(m, r, k); }},
      {"Disk", VM_CLEANER_ENTITY_DISK, false, "ocid1.volume.",
       [](C& c, M m, const S& r, const S& k) { return c.RegisterDisk(m, r, k); }, ListDiskKeys,
       [](C& c, const S& p, const S& k) { return c.UnRegisterDisk(p, k); },
       [](C& c, M m, const S& r, const S& k) { return c.UnRegisterDisk(m, r, k); }},
      {"Image", VM_CLEANER_ENTITY_IMAGE, true, "ocid1.image.",
       [](C& c, M m, const S& r, const S& k) { return c.RegisterImage(m, r, k); },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredImages(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterImage(p, k); },
       [](C& c, M m, const S& r, const S& k) { return c.UnRegisterImage(m, r, k); }},
      {"VmdkObject", VM_CLEANER_ENTITY_VMDK_OBJECT, true, "bucket-1+disks/disk+",
       [](C& c, M m, const S& r, const S& k) {
         auto [bucket, object] = SplitAtPlus(k);
         return c.RegisterVmdkObject(m, r, bucket, object);
       },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredVmdkObjects(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterVmdkObject(p, k); },
       [](C& c, M m, const S& r, const S& k) {
         auto [bucket, object] = SplitAtPlus(k);
         return c.UnRegisterVmdkObject(m, r, bucket, object);
       }},
      {"IscsiSession", VM_CLEANER_ENTITY_ISCSI_SESSION, true, "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:",
       [](C& c, M m, const S& r, const S& k) { return c.RegisterIscsiSession(m, r, k); },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredIscsiSessions(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterIsciSession(p, k); }, nullptr},
      {"PendingCreate", VM_CLEANER_ENTITY_PENDING_CREATE, false, "2:_QD_BACKUP_7_1_",
       // The keys are "2:<name>": a snapshot about to be requested.
       [](C& c, M m, const S& r, const S& k) {
         return c.RegisterPendingCreate(m, r, VM_CLEANER_ENTITY_SNAPSHOT, k.substr(2));
       },
       [](C& c, const S& p, Keys& k) { return c.GetRegisteredPendingCreates(p, k); },
       [](C& c, const S& p, const S& k) { return c.UnRegisterPendingCreate(p, k); },
       [](C& c, M m, const S& r, const S& k) {
         return c.UnRegisterPendingCreate(m, r, VM_CLEANER_ENTITY_SNAPSHOT, k.substr(2));
       }},
  };
  return kinds;
}

void PrintTo(const SKind& kind, std::ostream* out) { *out << kind.name; }

std::vector<SKind> KindsWithModeScopedUnregister() {
  std::vector<SKind> kinds;
  for (const auto& kind : AllKinds())
    if (kind.unregByMode) kinds.push_back(kind);
  return kinds;
}

class RegistryCleaner : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cleaner_.Init("")); }
  std::string RootPath(VM_Cleaner_Mode mode, const std::string& root) {
    std::string path;
    EXPECT_TRUE(cleaner_.GetRegisteredVM(mode, root, path)) << root;
    return path;
  }
  // The children of one type, straight from the registry.
  Keys Stored(const std::string& path, VM_Cleaner_EntityType type) {
    std::vector<CleanerEntity> list;
    EXPECT_TRUE(cleaner_.FillItemsFromCleanerPath(path, type, list)) << path;
    return Names(list);
  }

  regtest::RegistryHome home_;
  COracleCloudCleaner cleaner_;
};

class RegistryKinds : public RegistryCleaner, public ::testing::WithParamInterface<SKind> {
 protected:
  std::string Key(int i) const { return GetParam().keyPrefix + std::to_string(i); }
};
using RegistryKindsByMode = RegistryKinds;

TEST_P(RegistryKinds, RegisterNeedsTheRootUnderTheSameMode) {
  const SKind& kind = GetParam();
  EXPECT_FALSE(kind.reg(cleaner_, kBackup, "job", Key(1)));
  ASSERT_TRUE(cleaner_.RegisterVM(kRestore, "job"));
  EXPECT_FALSE(kind.reg(cleaner_, kBackup, "job", Key(1)));
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  EXPECT_EQ(Stored(RootPath(kBackup, "job"), kind.type), Keys{});
  EXPECT_EQ(Stored(RootPath(kRestore, "job"), kind.type), Keys{});
}

TEST_P(RegistryKinds, ListAppendsAndPathScopedUnregisterRemovesOnlyTheMatch) {
  const SKind& kind = GetParam();
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(kind.reg(cleaner_, kBackup, "job", Key(1)));
  ASSERT_TRUE(kind.reg(cleaner_, kBackup, "job", Key(2)));
  // The same key under another kind is another entity.
  bool otherIsDisk = kind.type != VM_CLEANER_ENTITY_DISK;
  ASSERT_TRUE(otherIsDisk ? cleaner_.RegisterDisk(kBackup, "job", Key(2)) : cleaner_.RegisterImage(kBackup, "job", Key(2)));
  std::string path = RootPath(kBackup, "job");
  EXPECT_EQ(Stored(path, kind.type), (Keys{Key(1), Key(2)}));

  Keys keys{"kept"};
  EXPECT_TRUE(kind.list(cleaner_, path, keys));
  EXPECT_EQ(keys, (Keys{"kept", Key(1), Key(2)}));

  EXPECT_FALSE(kind.unregByPath(cleaner_, path, kind.keyPrefix));  // a prefix of both keys
  EXPECT_FALSE(kind.unregByPath(cleaner_, RootPath(kBackup, "job") + "x", Key(1)));
  EXPECT_EQ(Stored(path, kind.type), (Keys{Key(1), Key(2)}));
  EXPECT_TRUE(kind.unregByPath(cleaner_, path, Key(2)));
  EXPECT_FALSE(kind.unregByPath(cleaner_, path, Key(2)));
  EXPECT_EQ(Stored(path, kind.type), Keys{Key(1)});
  EXPECT_EQ(Stored(path, otherIsDisk ? VM_CLEANER_ENTITY_DISK : VM_CLEANER_ENTITY_IMAGE), Keys{Key(2)});

  EXPECT_TRUE(kind.unregByPath(cleaner_, path, Key(1)));
  keys = {"kept"};
  EXPECT_EQ(kind.list(cleaner_, path, keys), !kind.emptyListFails);
  EXPECT_EQ(keys, Keys{"kept"});
}

TEST_P(RegistryKindsByMode, ModeScopedUnregisterKeepsTheModesApart) {
  const SKind& kind = GetParam();
  for (auto mode : {kBackup, kRestore}) {
    ASSERT_TRUE(cleaner_.RegisterVM(mode, "job"));
    ASSERT_TRUE(kind.reg(cleaner_, mode, "job", Key(1)));
  }
  EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "other-job", Key(1)));
  EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "job", Key(2)));
  EXPECT_TRUE(kind.unregByMode(cleaner_, kRestore, "job", Key(1)));
  EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "job", Key(1)));
  EXPECT_EQ(Stored(RootPath(kRestore, "job"), kind.type), Keys{});
  EXPECT_EQ(Stored(RootPath(kBackup, "job"), kind.type), Keys{Key(1)});
}

std::string KindName(const ::testing::TestParamInfo<SKind>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Registry, RegistryKinds, ::testing::ValuesIn(AllKinds()), KindName);
INSTANTIATE_TEST_SUITE_P(Registry, RegistryKindsByMode, ::testing::ValuesIn(KindsWithModeScopedUnregister()),
                         KindName);

TEST_F(RegistryCleaner, GetRegisteredVMLeavesThePathAloneForUnknownRoots) {
  std::string path = "untouched";
  EXPECT_FALSE(cleaner_.GetRegisteredVM(kBackup, "job", path));
  ASSERT_TRUE(cleaner_.RegisterVM(kRestore, "job"));
  EXPECT_FALSE(cleaner_.GetRegisteredVM(kBackup, "job", path));
  EXPECT_EQ(path, "untouched");
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(cleaner_.GetRegisteredVM(kBackup, "job", path));
  // The path addresses the root: its children are listed through it.
  ASSERT_TRUE(cleaner_.RegisterSnapshot(kBackup, "job", "snap"));
  EXPECT_EQ(Stored(path, VM_CLEANER_ENTITY_SNAPSHOT), Keys{"snap"});
  EXPECT_NE(path, RootPath(kRestore, "job"));
}

TEST_F(RegistryCleaner, GetRegisteredCreatedVMGivesTheLastListedInstance) {
  ASSERT_TRUE(cleaner_.RegisterVM(kRestore, "job"));
  std::string path = RootPath(kRestore, "job"), id = "untouched";
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(path, id));
  EXPECT_EQ(id, "untouched");
  for (const char* instance : {"ocid1.instance.b", "ocid1.instance.a", "ocid1.instance.c"})
    ASSERT_TRUE(cleaner_.RegisterCreatedVM(kRestore, "job", instance));
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(path, id));
  EXPECT_EQ(id, "ocid1.instance.c");
  ASSERT_TRUE(cleaner_.UnRegisterCreatedVM(path, "ocid1.instance.c"));
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(path, id));
  EXPECT_EQ(id, "ocid1.instance.a");
}

TEST_F(RegistryCleaner, GetRegisteredDisksFillsOneDiskPerVolume) {
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(cleaner_.RegisterDisk(kBackup, "job", "ocid1.volume.b"));
  ASSERT_TRUE(cleaner_.RegisterDisk(kBackup, "job", "ocid1.volume.a"));
  std::vector<SDisk> disks;
  ASSERT_TRUE(cleaner_.GetRegisteredDisks(RootPath(kBackup, "job"), disks));
  ASSERT_EQ(disks.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const std::string key = i == 0 ? "ocid1.volume.b" : "ocid1.volume.a";
    EXPECT_EQ(disks[i].volumeId, key);
    EXPECT_EQ(disks[i].targetVolume, key);
    EXPECT_EQ(disks[i].createdVolumeId, key);
    EXPECT_EQ(disks[i].selectedForRestore, 1u);
    EXPECT_FALSE(disks[i].isFiltered);
  }
}

TEST_F(RegistryCleaner, VmdkObjectKeysSplitAtTheFirstPlus) {
  struct {
    std::string key;
    bool ok;
    std::string bucket, object;
  } cases[] = {
      {"bucket+object", true, "bucket", "object"},
      {"bucket+dir/a+b+c.vmdk", true, "bucket", "dir/a+b+c.vmdk"},
      {"+object", true, "", "object"},
      {"bucket+", true, "bucket", ""},
      {"no-plus-at-all", false, "old-bucket", "old-object"},
      {"", false, "old-bucket", "old-object"},
  };
  for (const auto& c : cases) {
    std::string bucket = "old-bucket", object = "old-object";
    EXPECT_EQ(COracleCloudCleaner::parseVmdkObjectId(c.key, bucket, object), c.ok) << c.key;
    EXPECT_EQ(bucket, c.bucket) << c.key;
    EXPECT_EQ(object, c.object) << c.key;
  }
  // An object name holding '+' survives the registry and splits back into what was registered.
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(cleaner_.RegisterVmdkObject(kBackup, "job", "bkt", "vm/disk+1.vmdk"));
  std::string path = RootPath(kBackup, "job");
  Keys keys;
  ASSERT_TRUE(cleaner_.GetRegisteredVmdkObjects(path, keys));
  ASSERT_EQ(keys, Keys{"bkt+vm/disk+1.vmdk"});
  std::string bucket, object;
  ASSERT_TRUE(COracleCloudCleaner::parseVmdkObjectId(keys[0], bucket, object));
  EXPECT_TRUE(cleaner_.UnRegisterVmdkObject(path, bucket, object));
  EXPECT_EQ(Stored(path, VM_CLEANER_ENTITY_VMDK_OBJECT), Keys{});
}

}  // namespace

// A root another live job owns is neither taken over nor handed out for a clean-up; once that job
// is gone, it is.
TEST_F(RegistryCleaner, ARootOfAnotherLiveJobIsNeitherClaimedNorHandedOut) {
  COracleCloudCleaner other;
  ASSERT_TRUE(other.Init(""));
  ASSERT_TRUE(other.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(other.RegisterSnapshot(kBackup, "job", "snap"));
  bool held = true;
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "own", held));
  EXPECT_FALSE(held);
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "own", held)) << "a job registers its own root again";
  EXPECT_FALSE(cleaner_.RegisterVM(kBackup, "job", held));
  EXPECT_TRUE(held);
  std::string path = "untouched";
  EXPECT_FALSE(cleaner_.GetRegisteredVM(kBackup, "job", path));
  EXPECT_EQ(path, "untouched");
  ASSERT_TRUE(other.GetRegisteredVM(kBackup, "job", path));
  EXPECT_EQ(Stored(path, VM_CLEANER_ENTITY_SNAPSHOT), Keys{"snap"});

  ASSERT_TRUE(other.DeInit());
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "job", held));
  EXPECT_FALSE(held);
  EXPECT_EQ(Stored(RootPath(kBackup, "job"), VM_CLEANER_ENTITY_SNAPSHOT), Keys{"snap"});
}
