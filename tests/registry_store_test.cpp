// The registry's own guarantees within one process: persistence across a restart, orphans, names
// of any bytes, refusing files it does not know, and the sweep time.
#include <sqlite3.h>

#include <functional>

#include "RegistryTestUtil.h"
#include "cleanup/OracleCloudCleaner.h"
#include "host/EvDebug.h"

namespace {

using regtest::Has;
using regtest::OrphanNames;
using Keys = std::vector<std::string>;
constexpr VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;
constexpr VM_Cleaner_Mode kRestore = VM_CLEANER_MODE_RESTORE;

std::string RootPath(COracleCloudCleaner& c, VM_Cleaner_Mode mode, const std::string& root) {
  std::string path;
  EXPECT_TRUE(c.GetRegisteredVM(mode, root, path)) << root;
  return path;
}

Keys Disks(COracleCloudCleaner& c, const std::string& path) {
  std::vector<VMInfoStructs::SDisk> disks;
  EXPECT_TRUE(c.GetRegisteredDisks(path, disks)) << path;
  Keys keys;
  for (const auto& d : disks) keys.push_back(d.volumeId);
  return keys;
}

size_t RootCount(const regtest::RegistryHome& home) {
  std::vector<SRegistryRoot> roots;
  std::string error;
  EXPECT_TRUE(VMCleaner::InspectRegistry(home.RegistryDir(), roots, error)) << error;
  return roots.size();
}

void Sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(RegistryStore, EntriesSurviveARestartAndTheOldRootsBecomeOrphans) {
  regtest::RegistryHome home;
  COracleCloudCleaner live;
  ASSERT_TRUE(live.Init(""));
  ASSERT_TRUE(live.RegisterVM(kBackup, "live-job"));
  {
    COracleCloudCleaner old;
    ASSERT_TRUE(old.Init(""));
    ASSERT_TRUE(old.RegisterVM(kBackup, "ocid1.instance.src"));
    ASSERT_TRUE(old.RegisterSnapshot(kBackup, "ocid1.instance.src", "ocid1.volumebackup.1"));
    ASSERT_TRUE(old.RegisterDisk(kBackup, "ocid1.instance.src", "ocid1.volume.1"));
    ASSERT_TRUE(old.RegisterVM(kRestore, "restore-guid"));
    ASSERT_TRUE(old.RegisterImage(kRestore, "restore-guid", "ocid1.image.1"));
    EXPECT_EQ(OrphanNames(live, kBackup), Keys{});
    EXPECT_FALSE(live.IsAllVMCleanupRequired());
  }
  COracleCloudCleaner later;
  ASSERT_TRUE(later.Init(""));
  EXPECT_TRUE(later.IsAllVMCleanupRequired());
  EXPECT_EQ(OrphanNames(later, kBackup), Keys{"ocid1.instance.src"});
  EXPECT_EQ(OrphanNames(later, kRestore), Keys{"restore-guid"});
  std::string path = RootPath(later, kBackup, "ocid1.instance.src");
  Keys snapshots, images;
  EXPECT_TRUE(later.GetRegisteredSnapshots(path, snapshots));
  EXPECT_EQ(snapshots, Keys{"ocid1.volumebackup.1"});
  EXPECT_EQ(Disks(later, path), Keys{"ocid1.volume.1"});
  EXPECT_TRUE(later.GetRegisteredImages(RootPath(later, kRestore, "restore-guid"), images));
  EXPECT_EQ(images, Keys{"ocid1.image.1"});

  // Registering an existing root takes it over, children included.
  ASSERT_TRUE(later.RegisterVM(kBackup, "ocid1.instance.src"));
  EXPECT_EQ(OrphanNames(live, kBackup), Keys{});
  EXPECT_EQ(Disks(later, path), Keys{"ocid1.volume.1"});
  ASSERT_TRUE(later.UnRegisterVM(kRestore, "restore-guid", true));
  EXPECT_FALSE(live.IsAllVMCleanupRequired());

  // DeInit ends the session as destruction does.
  ASSERT_TRUE(later.DeInit());
  EXPECT_FALSE(later.RegisterVM(kBackup, "after-deinit"));
  EXPECT_EQ(OrphanNames(live, kBackup), Keys{"ocid1.instance.src"});
  EXPECT_TRUE(live.IsAllVMCleanupRequired());
}

TEST(RegistryStore, RepeatedInitKeepsTheSessionAndIdentitiesAreKeptApart) {
  regtest::RegistryHome home;
  COracleCloudCleaner a, b, observer;
  ASSERT_TRUE(a.Init("proxy/1"));
  ASSERT_TRUE(a.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(a.Init("proxy/1"));
  ASSERT_TRUE(b.Init("proxy%2F1"));
  ASSERT_TRUE(observer.Init("proxy/1"));
  EXPECT_EQ(OrphanNames(observer, kBackup), Keys{});
  std::string path;
  EXPECT_FALSE(b.GetRegisteredVM(kBackup, "job", path));
  // One file per identity, directly in the registry folder.
  size_t databases = 0;
  for (const auto& name : hosttest::ListNames(home.RegistryDir())) databases += name.ends_with(".db") ? 1 : 0;
  EXPECT_EQ(databases, 2u);
}

TEST(RegistryStore, RegisteringTheSameEntityAgainConcernsOneEntity) {
  regtest::RegistryHome home;
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  ASSERT_TRUE(c.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(c.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(c.RegisterVM(kRestore, "job"));
  ASSERT_TRUE(c.RegisterDisk(kBackup, "job", "vol"));
  ASSERT_TRUE(c.RegisterDisk(kBackup, "job", "vol"));
  EXPECT_EQ(RootCount(home), 2u);
  std::string path = RootPath(c, kBackup, "job");
  EXPECT_EQ(Disks(c, path), Keys{"vol"});
  EXPECT_TRUE(c.UnRegisterDisk(path, "vol"));
  EXPECT_EQ(Disks(c, path), Keys{});
  EXPECT_FALSE(c.UnRegisterDisk(kBackup, "job", "vol"));
}

TEST(RegistryStore, AnUnregisteredRootStaysAnOrphanUntilItsLastChildGoes) {
  regtest::RegistryHome home;
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  ASSERT_TRUE(c.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(c.RegisterDisk(kBackup, "job", "vol"));
  ASSERT_TRUE(c.RegisterSnapshot(kBackup, "job", "snap"));
  std::string path = RootPath(c, kBackup, "job");

  ASSERT_TRUE(c.UnRegisterVM(kBackup, "job", false));
  std::string handle;
  EXPECT_FALSE(c.LookupEntity(kBackup, VM_CLEANER_ENTITY_VM, "job", handle));
  EXPECT_FALSE(c.RegisterDisk(kBackup, "job", "vol-2"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{"job"});  // although its session is alive
  EXPECT_TRUE(c.IsAllVMCleanupRequired());
  EXPECT_EQ(RootPath(c, kBackup, "job"), path);

  ASSERT_TRUE(c.UnRegisterDisk(path, "vol"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{"job"});
  ASSERT_TRUE(c.UnRegisterSnapshot(path, "snap"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{});
  EXPECT_FALSE(c.GetRegisteredVM(kBackup, "job", handle));
  EXPECT_FALSE(c.IsAllVMCleanupRequired());
  EXPECT_EQ(RootCount(home), 0u);

  // Without children a root goes at once; forced, it goes with them.
  ASSERT_TRUE(c.RegisterVM(kBackup, "empty"));
  ASSERT_TRUE(c.UnRegisterVM(kBackup, "empty", false));
  ASSERT_TRUE(c.RegisterVM(kRestore, "forced"));
  ASSERT_TRUE(c.RegisterDisk(kRestore, "forced", "vol"));
  ASSERT_TRUE(c.UnRegisterVM(kRestore, "forced", true));
  EXPECT_EQ(RootCount(home), 0u);
  EXPECT_FALSE(c.IsAllVMCleanupRequired());
}

TEST(RegistryStore, NamesOfAnyBytesRoundTrip) {
  regtest::RegistryHome home;
  const Keys names = {"a/b",       "/",           "%2F",          "x+y+z", "k:v", "100%",  "with space",
                      "ünïcødé ✓", std::string("nul\0byte", 8), "nul",   "..",  "%zz", "\n\t\x01\xff"};
  {
    COracleCloudCleaner c;
    ASSERT_TRUE(c.Init(""));
    for (const auto& name : names) {
      ASSERT_TRUE(c.RegisterVM(kBackup, name)) << name;
      ASSERT_TRUE(c.RegisterDisk(kBackup, name, name)) << name;
      ASSERT_TRUE(c.RegisterDisk(kBackup, name, name + "/")) << name;
    }
    for (const auto& name : names) EXPECT_EQ(Disks(c, RootPath(c, kBackup, name)), (Keys{name, name + "/"})) << name;
  }
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  EXPECT_EQ(OrphanNames(c, kBackup), names);
  for (const auto& name : names) {
    std::string path = RootPath(c, kBackup, name);
    ASSERT_TRUE(c.UnRegisterDisk(path, name)) << name;
    EXPECT_EQ(Disks(c, path), Keys{name + "/"}) << name;
    ASSERT_TRUE(c.UnRegisterDisk(kBackup, name, name + "/")) << name;
    EXPECT_EQ(Disks(c, path), Keys{}) << name;
    ASSERT_TRUE(c.UnRegisterVM(path)) << name;
    EXPECT_FALSE(c.GetRegisteredVM(kBackup, name, path)) << name;
  }
  EXPECT_EQ(RootCount(home), 0u);
}

// A file that is not a registry of a known version is refused, reported by name, and left as it is.
TEST(RegistryStore, InitRefusesAFileItDoesNotKnowAndLeavesItUnchanged) {
  struct {
    const char* what;
    std::function<void(const std::string& file)> make;
  } cases[] = {
      {"garbage", [](const std::string& f) { hosttest::PutFile(f, std::string(8192, '\x5a') + "not a database"); }},
      {"another database", [](const std::string& f) { Sql(f, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"); }},
      {"unknown schema version",
       [](const std::string& f) {
         { VMCleaner made; ASSERT_TRUE(made.Init("", 0)); }
         Sql(f, "UPDATE meta SET value='99' WHERE key='schema_version'");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    regtest::RegistryHome home;
    const std::string file = VMCleaner::DatabasePathFor(home.RegistryDir(), "");
    std::filesystem::create_directories(home.RegistryDir());
    c.make(file);
    const std::string before = hosttest::GetFile(file);
    ASSERT_FALSE(before.empty());
    EvLogSink::Clear();
    COracleCloudCleaner cleaner;
    EXPECT_FALSE(cleaner.Init(""));
    EXPECT_FALSE(cleaner.RegisterVM(kBackup, "job"));
    bool named = false;
    for (const auto& record : EvLogSink::Records())
      named = named || (record.isError && record.message.find(file) != std::string::npos);
    EXPECT_TRUE(named) << "no error line names " << file;
    cleaner.DeInit();
    EXPECT_TRUE(hosttest::GetFile(file) == before) << "the file was changed";
  }
}

TEST(RegistryStore, PostAllVMCleanupRecordsTheSweepTimeDurably) {
  regtest::RegistryHome home;
  CVirtualClock clock(1'900'000'000);
  hosttest::ScopedClock scoped(&clock);
  {
    COracleCloudCleaner c;
    ASSERT_TRUE(c.Init(""));
    EXPECT_EQ(c.LastSweepTime(), 0);
    ASSERT_TRUE(c.PostAllVMCleanup());
    EXPECT_EQ(c.LastSweepTime(), 1'900'000'000);
    clock.Advance(3600);
    ASSERT_TRUE(c.PostAllVMCleanup());
  }
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  EXPECT_EQ(c.LastSweepTime(), 1'900'003'600);
}

}  // namespace
