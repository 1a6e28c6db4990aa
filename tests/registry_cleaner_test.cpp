// The plug-in's registry wrapper: the register, list and unregister forms of every kind of entity,
// checked against what the registry then holds.
#include "RegistryTestUtil.h"
#include "bridge/COracleCloudSDKCppBridge.h"
#include "cleanup/PendingCreate.h"

using namespace regtest;
using VMInfoStructs::SDisk;

namespace {

using C = COracleCloudCleaner;
using M = VM_Cleaner_Mode;
using S = std::string;
using Bridge = OracleCloudSDKCppBridge::COracleCloudSDKCppBridge;

S Bucket(const S& key) { return key.substr(0, key.find('+')); }
S Object(const S& key) { return key.substr(key.find('+') + 1); }

// One kind of child entity, with the wrapper's calls for it.
struct SKind {
  const char* name;
  VM_Cleaner_EntityType type;
  bool emptyListFails;
  S keyPrefix;
  std::function<bool(C&, M, const S&, const S&)> reg;
  std::function<bool(C&, const S&, Keys&)> list;
  std::function<bool(C&, const S&, const S&)> unregByPath;
  std::function<bool(C&, M, const S&, const S&)> unregByMode;
};

// Disks are listed as SDisk; turned into keys, keeping the append behaviour visible.
bool ListDiskKeys(C& c, const S& path, Keys& keys) {
  std::vector<SDisk> disks;
  for (const auto& key : keys) disks.emplace_back().volumeId = key;
  const bool ok = c.GetRegisteredDisks(path, disks);
  keys.clear();
  for (const auto& disk : disks) keys.push_back(disk.volumeId);
  return ok;
}

const std::vector<SKind> kKinds = {
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
     [](C& c, M m, const S& r, const S& k) { return c.RegisterVmdkObject(m, r, Bucket(k), Object(k)); },
     [](C& c, const S& p, Keys& k) { return c.GetRegisteredVmdkObjects(p, k); },
     [](C& c, const S& p, const S& k) { return c.UnRegisterVmdkObject(p, k); },
     [](C& c, M m, const S& r, const S& k) { return c.UnRegisterVmdkObject(m, r, Bucket(k), Object(k)); }},
    {"IscsiSession", VM_CLEANER_ENTITY_ISCSI_SESSION, true, "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:",
     [](C& c, M m, const S& r, const S& k) { return c.RegisterIscsiSession(m, r, k); },
     [](C& c, const S& p, Keys& k) { return c.GetRegisteredIscsiSessions(p, k); },
     [](C& c, const S& p, const S& k) { return c.UnRegisterIsciSession(p, k); }, nullptr},
    // Keys "2:#<token>:<name>": a snapshot about to be requested.
    {"PendingCreate", VM_CLEANER_ENTITY_PENDING_CREATE, false, "2:#77:_QD_INTEGRITY_SNAPSHOT",
     [](C& c, M m, const S& r, const S& k) { return c.RegisterPendingCreate(m, r, k); },
     [](C& c, const S& p, Keys& k) { return c.GetRegisteredPendingCreates(p, k); },
     [](C& c, const S& p, const S& k) { return c.UnRegisterPendingCreate(p, k); },
     [](C& c, M m, const S& r, const S& k) { return c.UnRegisterPendingCreate(m, r, k); }},
};

class RegistryCleaner : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(cleaner_.Init("")); }
  S Path(M mode, const S& root) { return RootPath(cleaner_, mode, root); }
  // The children of one type, straight from the registry.
  Keys Stored(const S& path, VM_Cleaner_EntityType type) {
    std::vector<CleanerEntity> list;
    EXPECT_TRUE(cleaner_.FillItemsFromCleanerPath(path, type, list)) << path;
    return Names(list);
  }

  RegistryHome home_;
  C cleaner_;
};

struct RegistryKinds : RegistryCleaner, ::testing::WithParamInterface<SKind> {
  S Key(int i) const { return GetParam().keyPrefix + std::to_string(i); }
};

TEST_P(RegistryKinds, RegisterListAndUnregisterByPathOrMode) {
  const SKind& kind = GetParam();
  // A child needs its root under the same mode.
  EXPECT_FALSE(kind.reg(cleaner_, kBackup, "job", Key(1)));
  ASSERT_TRUE(cleaner_.RegisterVM(kRestore, "job"));
  EXPECT_FALSE(kind.reg(cleaner_, kBackup, "job", Key(1)));
  EXPECT_EQ(Stored(Path(kRestore, "job"), kind.type), Keys{});
  ASSERT_TRUE(cleaner_.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(kind.reg(cleaner_, kBackup, "job", Key(1)) && kind.reg(cleaner_, kBackup, "job", Key(2)) &&
              kind.reg(cleaner_, kRestore, "job", Key(2)));
  // The same key under another kind is another entity.
  const bool otherIsDisk = kind.type != VM_CLEANER_ENTITY_DISK;
  ASSERT_TRUE(otherIsDisk ? cleaner_.RegisterDisk(kBackup, "job", Key(2))
                          : cleaner_.RegisterImage(kBackup, "job", Key(2)));
  const S path = Path(kBackup, "job");
  EXPECT_EQ(Stored(path, kind.type), (Keys{Key(1), Key(2)}));
  Keys keys{"kept"};
  EXPECT_TRUE(kind.list(cleaner_, path, keys));
  EXPECT_EQ(keys, (Keys{"kept", Key(1), Key(2)}));

  EXPECT_FALSE(kind.unregByPath(cleaner_, path, kind.keyPrefix));  // a prefix of both keys
  EXPECT_FALSE(kind.unregByPath(cleaner_, path + "x", Key(1)));
  EXPECT_TRUE(kind.unregByPath(cleaner_, path, Key(2)));
  EXPECT_FALSE(kind.unregByPath(cleaner_, path, Key(2)));
  EXPECT_EQ(Stored(path, kind.type), Keys{Key(1)});
  EXPECT_EQ(Stored(path, otherIsDisk ? VM_CLEANER_ENTITY_DISK : VM_CLEANER_ENTITY_IMAGE), Keys{Key(2)});
  EXPECT_EQ(Stored(Path(kRestore, "job"), kind.type), Keys{Key(2)});
  if (kind.unregByMode) {
    EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "other-job", Key(2)));
    EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "job", Key(1)));
    EXPECT_TRUE(kind.unregByMode(cleaner_, kRestore, "job", Key(2)));
    EXPECT_FALSE(kind.unregByMode(cleaner_, kRestore, "job", Key(2)));
    EXPECT_EQ(Stored(Path(kRestore, "job"), kind.type), Keys{});
    EXPECT_EQ(Stored(path, kind.type), Keys{Key(1)});
  }
  EXPECT_TRUE(kind.unregByPath(cleaner_, path, Key(1)));
  keys = {"kept"};
  EXPECT_EQ(kind.list(cleaner_, path, keys), !kind.emptyListFails);
  EXPECT_EQ(keys, Keys{"kept"});
}

void PrintTo(const SKind& kind, std::ostream* out) { *out << kind.name; }
INSTANTIATE_TEST_SUITE_P(Registry, RegistryKinds, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<SKind>& info) { return S(info.param.name); });

TEST_F(RegistryCleaner, GetRegisteredVMAndCreatedVMAndDisks) {
  S path = "untouched", id = "untouched";
  ASSERT_TRUE(cleaner_.RegisterVM(kRestore, "job"));
  EXPECT_FALSE(cleaner_.GetRegisteredVM(kBackup, "job", path) || cleaner_.GetRegisteredCreatedVM("/1", id));
  EXPECT_EQ(path, "untouched");
  const S restore = Path(kRestore, "job");
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(restore, id));
  EXPECT_EQ(id, "untouched");
  // The last listed instance is the one handed out.
  for (const char* instance : {"ocid1.instance.b", "ocid1.instance.a", "ocid1.instance.c"})
    ASSERT_TRUE(cleaner_.RegisterCreatedVM(kRestore, "job", instance));
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(restore, id));
  EXPECT_EQ(id, "ocid1.instance.c");
  ASSERT_TRUE(cleaner_.UnRegisterCreatedVM(restore, "ocid1.instance.c"));
  EXPECT_TRUE(cleaner_.GetRegisteredCreatedVM(restore, id));
  EXPECT_EQ(id, "ocid1.instance.a");

  // Creates of one name have records (and tokens) of their own; while one lives, the thread's
  // creates carry its token, and the one before comes back when it ends.
  {
    CPendingCreate first(cleaner_, kRestore, "job", VM_CLEANER_ENTITY_DISK, "data");
    S token, name, outer = Bridge::ThreadCreateToken();
    VM_Cleaner_EntityType kind = VM_CLEANER_ENTITY_VM;
    EXPECT_TRUE(C::ParseTokenPendingCreateKey(first.Key(), kind, token, name) && token == outer && name == "data");
    {
      CPendingCreate second(cleaner_, kRestore, "job", VM_CLEANER_ENTITY_DISK, "data");
      ASSERT_TRUE(first.Recorded() && second.Recorded() && first.Done() && Bridge::ThreadCreateToken() != outer);
      EXPECT_EQ(Stored(restore, VM_CLEANER_ENTITY_PENDING_CREATE), Keys{second.Key()});
    }
    EXPECT_EQ(Bridge::ThreadCreateToken(), outer);
  }
  EXPECT_EQ(Bridge::ThreadCreateToken(), "");
  ASSERT_TRUE(cleaner_.RegisterDisk(kRestore, "job", "ocid1.volume.b"));
  ASSERT_TRUE(cleaner_.RegisterDisk(kRestore, "job", "ocid1.volume.a"));
  std::vector<SDisk> disks;
  ASSERT_TRUE(cleaner_.GetRegisteredDisks(restore, disks));
  std::vector<SDisk> none;
  for (const char* malformed : {"", "/1", "restore"})
    EXPECT_FALSE(cleaner_.GetRegisteredDisks(malformed, none)) << malformed;
  ASSERT_EQ(disks.size(), 2u);
  for (const auto& [disk, key] : {std::pair{disks[0], "ocid1.volume.b"}, std::pair{disks[1], "ocid1.volume.a"}})
    EXPECT_EQ(disk.volumeId + disk.targetVolume + disk.createdVolumeId + std::to_string(disk.selectedForRestore) +
                  std::to_string(disk.isFiltered),
              S(key) + key + key + "10");
  // Pending-create keys are "<kind>:<seconds>:<name>", or "<kind>:<name>" as earlier versions stored
  // them; object keys split at the first '+'.
  VM_Cleaner_EntityType kind = VM_CLEANER_ENTITY_VM;
  INT64 since = -1;
  EXPECT_TRUE(C::ParsePendingCreateKey("2:_QD_1", kind, id, since) && kind == VM_CLEANER_ENTITY_SNAPSHOT &&
              id == "_QD_1" && since == 0);
  EXPECT_TRUE(
      C::ParsePendingCreateKey(C::FormPendingCreateKey(VM_CLEANER_ENTITY_DISK, "a:b", 1800000000), kind, id, since) &&
      kind == VM_CLEANER_ENTITY_DISK && id == "a:b" && since == 1800000000);
  // A time of more than 18 digits cannot be one: the key is read as one without a time.
  EXPECT_TRUE(C::ParsePendingCreateKey("3:1234567890123456789:n", kind, id, since) && since == 0 &&
              id == "1234567890123456789:n");
  for (const char* bad : {"x:_QD_1", "2:", ":a", "2:5:", "1234567890:a", "2"})
    EXPECT_FALSE(C::ParsePendingCreateKey(bad, kind, id, since)) << bad;
  S token;  // keys with a request's token: "<kind>:#<token>:<name>"
  EXPECT_TRUE(C::ParseTokenPendingCreateKey(C::FormTokenPendingCreateKey(VM_CLEANER_ENTITY_VM, "t-1", "a:#b"), kind,
                                            token, id) &&
              kind == VM_CLEANER_ENTITY_VM && token == "t-1" && id == "a:#b");
  for (const char* bad : {"2:5:n", "2:#:n", "2:#t", "2:#t:", "x:#t:n", "2:n"})
    EXPECT_FALSE(C::ParseTokenPendingCreateKey(bad, kind, token, id)) << bad;
  for (const auto& [key, bucket, object] : std::vector<std::tuple<S, S, S>>{{"bkt+dir/a+b.vmdk", "bkt", "dir/a+b.vmdk"},
                                                                            {"+o", "", "o"},
                                                                            {"b+", "b", ""},
                                                                            {"no-plus", "old", "old"},
                                                                            {"", "old", "old"}}) {
    S b = "old", o = "old";
    EXPECT_EQ(C::parseVmdkObjectId(key, b, o), key.find('+') != S::npos) << key;
    EXPECT_EQ(b + "|" + o, bucket + "|" + object) << key;
  }
}

// A root another live job owns is neither taken over nor handed out for a clean-up; once that job is gone, it is.
TEST_F(RegistryCleaner, ARootOfAnotherLiveJobIsNeitherClaimedNorHandedOut) {
  C other;
  ASSERT_TRUE(other.Init(""));
  ASSERT_TRUE(other.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(other.RegisterSnapshot(kBackup, "job", "snap"));
  bool held = true;
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "own", held));
  EXPECT_FALSE(held);
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "own", held)) << "a job registers its own root again";
  EXPECT_FALSE(cleaner_.RegisterVM(kBackup, "job", held));
  EXPECT_TRUE(held);
  S path = "untouched";
  EXPECT_FALSE(cleaner_.GetRegisteredVM(kBackup, "job", path));
  EXPECT_EQ(path, "untouched");
  EXPECT_EQ(Stored(RootPath(other, kBackup, "job"), VM_CLEANER_ENTITY_SNAPSHOT), Keys{"snap"});

  ASSERT_TRUE(other.DeInit());
  EXPECT_TRUE(cleaner_.RegisterVM(kBackup, "job", held));
  EXPECT_FALSE(held);
  EXPECT_EQ(Stored(Path(kBackup, "job"), VM_CLEANER_ENTITY_SNAPSHOT), Keys{"snap"});
}

}  // namespace
