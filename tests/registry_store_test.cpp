// The registry's guarantees: persistence across a restart, orphans, names of any bytes, refusing
// files it does not know, the sweep time, and across processes: jobs killed at any moment leave
// complete orphaned entries, live jobs are never taken for dead, concurrent writers lose nothing.
#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

#include <gmock/gmock.h>

#include "RegistryTestUtil.h"
#include "host/CleanerHandle.h"
#include "host/EvDebug.h"
#include "host/TzProcess.h"

using namespace regtest;

namespace {

const std::string kIscsi = "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:abc";

std::vector<SRegistryRoot> Inspect(const RegistryHome& home) {
  std::vector<SRegistryRoot> roots;
  std::string error;
  EXPECT_TRUE(VMCleaner::InspectRegistry(home.RegistryDir(), roots, error)) << error;
  return roots;
}

void Sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(file.c_str(), &db) + sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sql;
  sqlite3_close(db);
}

// A job's root with a snapshot, a disk and an iSCSI session, in a new object.
bool RegisterJob(COracleCloudCleaner& c, const std::string& root) {
  return c.Init("") && c.RegisterVM(kBackup, root) && c.RegisterSnapshot(kBackup, root, "ocid1.volumebackup.1") &&
         c.RegisterDisk(kBackup, root, "ocid1.volume.1") && c.RegisterIscsiSession(kBackup, root, kIscsi);
}

void ExpectCompleteJob(COracleCloudCleaner& c, const std::string& root) {
  const std::string path = RootPath(c, kBackup, root);
  Keys snapshots, sessions;
  EXPECT_TRUE(c.GetRegisteredSnapshots(path, snapshots) && c.GetRegisteredIscsiSessions(path, sessions));
  EXPECT_EQ(snapshots, Keys{"ocid1.volumebackup.1"});
  EXPECT_EQ(sessions, Keys{kIscsi});
  EXPECT_EQ(Disks(c, path), Keys{"ocid1.volume.1"});
}

TEST(RegistryStore, EntriesSurviveARestartAndTheOldRootsBecomeOrphans) {
  RegistryHome home;
  COracleCloudCleaner live;
  // Before Init there is no registry to answer from.
  std::string unresolved = "kept";
  EXPECT_FALSE(live.GetCleanerPathForEntityHandle(kBackup, "/0/1:live-job", unresolved));
  EXPECT_EQ(unresolved, "kept");
  ASSERT_TRUE(live.Init(""));
  ASSERT_TRUE(live.RegisterVM(kBackup, "live-job"));
  {
    COracleCloudCleaner old;
    ASSERT_TRUE(RegisterJob(old, "ocid1.instance.src"));
    ASSERT_TRUE(old.RegisterVM(kRestore, "restore guid/1"));
    ASSERT_TRUE(old.RegisterImage(kRestore, "restore guid/1", "ocid1.image.1"));
    EXPECT_EQ(OrphanNames(live, kBackup), Keys{});
    EXPECT_FALSE(live.IsAllVMCleanupRequired());
    // The read-only view another process has: roots, children, and whether the owner lives.
    for (const auto& root : Inspect(home)) EXPECT_FALSE(root.orphan) << root.name;
  }
  const auto roots = Inspect(home);
  ASSERT_EQ(roots.size(), 3u);
  for (const auto& root : roots) EXPECT_EQ(root.orphan, root.name != "live-job") << root.name;
  ASSERT_EQ(roots[2].children.size(), 1u);
  EXPECT_TRUE(roots[2].mode == kRestore && roots[2].children[0].type == VM_CLEANER_ENTITY_IMAGE);
  EXPECT_EQ(roots[2].children[0].name, "ocid1.image.1");
  COracleCloudCleaner later;
  ASSERT_TRUE(later.Init("") && later.IsInitialized() && later.IsAllVMCleanupRequired());
  EXPECT_EQ(OrphanNames(later, kBackup), Keys{"ocid1.instance.src"});
  EXPECT_EQ(OrphanNames(later, kRestore), Keys{"restore guid/1"});
  ExpectCompleteJob(later, "ocid1.instance.src");

  // Registering an orphaned root takes it over, children included.
  ASSERT_TRUE(later.RegisterVM(kBackup, "ocid1.instance.src"));
  EXPECT_EQ(OrphanNames(live, kBackup), Keys{});
  ExpectCompleteJob(later, "ocid1.instance.src");
  // Only its owner unregisters a root: an orphan is taken over by the lookup first.
  EXPECT_FALSE(later.UnRegisterVM(kRestore, "restore guid/1", true));
  RootPath(later, kRestore, "restore guid/1");
  ASSERT_TRUE(later.UnRegisterVM(kRestore, "restore guid/1", true));
  EXPECT_FALSE(live.IsAllVMCleanupRequired());
  // DeInit ends the session as destruction does.
  const std::string path = RootPath(later, kBackup, "ocid1.instance.src");
  ASSERT_TRUE(later.DeInit());
  EXPECT_FALSE(later.IsInitialized() || later.RegisterVM(kBackup, "after-deinit") || later.UnRegisterVM(path));
  EXPECT_EQ(OrphanNames(live, kBackup), Keys{"ocid1.instance.src"});
  EXPECT_TRUE(live.IsAllVMCleanupRequired());
}

TEST(RegistryStore, RepeatedInitKeepsTheSessionAndIdentitiesAreKeptApart) {
  RegistryHome home;
  COracleCloudCleaner a, b, observer;
  ASSERT_TRUE(a.Init("proxy/1"));
  ASSERT_TRUE(a.RegisterVM(kBackup, "job"));
  ASSERT_TRUE(a.Init("proxy/1"));
  ASSERT_TRUE(b.Init("proxy%2F1"));
  ASSERT_TRUE(observer.Init("proxy/1"));
  EXPECT_EQ(OrphanNames(observer, kBackup), Keys{});
  std::string path;
  EXPECT_FALSE(b.GetRegisteredVM(kBackup, "job", path));
  // One file per identity, both inspected.
  EXPECT_EQ(Inspect(home).size(), 1u);
  ASSERT_TRUE(b.RegisterVM(kBackup, "job"));
  EXPECT_EQ(Inspect(home).size(), 2u);
  // Without a folder for its sessions a registry cannot tell live jobs from dead ones: not used.
  std::filesystem::remove_all(home.RegistryDir() + "/sessions");
  hosttest::PutFile(home.RegistryDir() + "/sessions", "not a folder");
  EXPECT_FALSE(COracleCloudCleaner().Init("proxy/3"));
}

TEST(RegistryStore, AnUnregisteredRootStaysAnOrphanUntilItsLastChildGoes) {
  RegistryHome home;
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  // Registering the same entity again concerns one entity.
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(c.RegisterVM(kBackup, "job") && c.RegisterDisk(kBackup, "job", "vol"));
  ASSERT_TRUE(c.RegisterSnapshot(kBackup, "job", "snap"));
  ASSERT_TRUE(c.RegisterVM(kRestore, "job"));
  EXPECT_EQ(Inspect(home).size(), 2u);
  const std::string path = RootPath(c, kBackup, "job");
  EXPECT_EQ(Disks(c, path), Keys{"vol"});
  ASSERT_TRUE(c.UnRegisterVM(kRestore, "job", false));

  ASSERT_TRUE(c.UnRegisterVM(kBackup, "job", false));
  std::string handle;
  EXPECT_FALSE(c.RegisterDisk(kBackup, "job", "vol-2"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{"job"});  // although its session is alive
  EXPECT_TRUE(c.IsAllVMCleanupRequired());
  EXPECT_EQ(RootPath(c, kBackup, "job"), path);
  ASSERT_TRUE(c.UnRegisterDisk(path, "vol"));
  EXPECT_FALSE(c.UnRegisterDisk(kBackup, "job", "vol"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{});  // the lookup of its path took it over
  ASSERT_TRUE(c.UnRegisterSnapshot(path, "snap"));
  EXPECT_EQ(OrphanNames(c, kBackup), Keys{});
  EXPECT_FALSE(c.GetRegisteredVM(kBackup, "job", handle));
  EXPECT_FALSE(c.IsAllVMCleanupRequired());
  EXPECT_EQ(Inspect(home).size(), 0u);
  // Forced, a root goes with its children; a child of a root that went meanwhile is refused.
  ASSERT_TRUE(c.RegisterVM(kRestore, "forced") && c.RegisterDisk(kRestore, "forced", "vol"));
  ASSERT_TRUE(c.LookupEntity(kRestore, VM_CLEANER_ENTITY_VM, "forced", handle));
  ASSERT_TRUE(c.UnRegisterVM(kRestore, "forced", true));
  EXPECT_FALSE(c.RegisterEntity(kRestore, VM_CLEANER_ENTITY_DISK, "late", handle));
  EXPECT_EQ(Inspect(home).size(), 0u);
}

TEST(RegistryStore, NamesOfAnyBytesRoundTrip) {
  RegistryHome home;
  const Keys names = {"a/b", "/",  "%2F", "x+y+z",       "k:v", "100%", "ünïcødé ✓", std::string("nul\0byte", 8),
                      "nul", "..", "%zz", "\n\t\x01\xff"};
  {
    COracleCloudCleaner c;
    ASSERT_TRUE(c.Init(""));
    for (const auto& name : names)
      ASSERT_TRUE(c.RegisterVM(kBackup, name) && c.RegisterDisk(kBackup, name, name) &&
                  c.RegisterDisk(kBackup, name, name + "/"))
          << name;
  }
  COracleCloudCleaner c;
  ASSERT_TRUE(c.Init(""));
  EXPECT_EQ(OrphanNames(c, kBackup), names);
  for (const auto& name : names) {
    std::string path = RootPath(c, kBackup, name);
    EXPECT_EQ(Disks(c, path), (Keys{name, name + "/"})) << name;
    ASSERT_TRUE(c.UnRegisterDisk(path, name) && c.UnRegisterDisk(kBackup, name, name + "/")) << name;
    ASSERT_TRUE(c.UnRegisterVM(path)) << name;
    EXPECT_FALSE(c.GetRegisteredVM(kBackup, name, path)) << name;
  }
  EXPECT_EQ(Inspect(home).size(), 0u);
}

// Handles are stored: their form never changes between versions, and a malformed one is refused.
TEST(RegistryStore, HandlesKeepTheirStoredFormAndMalformedOnesAreRefused) {
  EXPECT_EQ(CleanerHandle::Root(1, 1, "AZaz09._-/ :%\xff"), "/1/1:AZaz09._-%2F%20%3A%25%FF");
  EXPECT_EQ(CleanerHandle::Child("/0/1:a", 2, "b@"), "/0/1:a/2:b%40");
  CleanerHandle::SParsed parsed;
  ASSERT_TRUE(CleanerHandle::Parse("/2147483647/7:a%2Fz/8:Z", parsed));
  EXPECT_TRUE(parsed.mode == 2147483647 && parsed.chain.size() == 2 && parsed.chain[0].type == 7 &&
              parsed.chain[0].name == "a/z" && parsed.chain[1].name == "Z");
  // Escapes are read in either case, every hexadecimal digit at both ends of its range.
  ASSERT_TRUE(CleanerHandle::Parse("/0/1:%0a%0A%9f%FF%00", parsed));
  EXPECT_EQ(parsed.chain[0].name, std::string("\n\n\x9f\xff\0", 5));
  for (const char* bad : {"", "/", "/0", "0/1:a", "/x/1:a", "/0/1a", "/0/y:a", "/0/1:a b", "/0/1:%2", "/0/1:%zz",
                          "/00000000000/1:a", "/2147483648/1:a", "/0/1:a/"})
    EXPECT_FALSE(CleanerHandle::Parse(bad, parsed)) << bad;
}

// A damaged file (no database, corrupt, another database) is moved aside intact and a new registry started, saying so
// once; a registry of a version this agent does not know is refused naming the file and the cause, and left as it is.
TEST(RegistryStore, ADamagedFileIsSetAsideAndAnUnknownVersionRefused) {
  const std::pair<const char*, std::function<void(const std::string&)>> cases[] = {
      {"garbage", [](const std::string& f) { hosttest::PutFile(f, std::string(8192, '\x5a')); }},
      {"another database", [](const std::string& f) { Sql(f, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"); }},
      {"a corrupt page",
       [](const std::string& f) {
         Sql(f, "CREATE TABLE t(x); INSERT INTO t SELECT zeroblob(900) FROM (SELECT 1 UNION SELECT 2);");
         hosttest::PutFile(f, hosttest::GetFile(f).replace(4104, 64, std::string(64, '\xff')));
       }},
      {"unknown schema version", [](const std::string& f) {
         EXPECT_TRUE(VMCleaner().Init("proxy", 0));
         Sql(f, "UPDATE meta SET value='99' WHERE key='schema_version'");
       }}};
  for (const auto& [what, make] : cases) {
    SCOPED_TRACE(what);
    const bool setAside = std::string(what) != "unknown schema version";
    RegistryHome home;
    const std::string file = VMCleaner::DatabasePathFor(home.RegistryDir(), "proxy");
    std::filesystem::create_directories(home.RegistryDir());
    make(file);
    const std::string before = hosttest::GetFile(file);
    COracleCloudCleaner cleaner;
    EXPECT_EQ(cleaner.Init("proxy") && cleaner.RegisterVM(kBackup, "job"), setAside);
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(home.RegistryDir()))
      if (entry.path().string().rfind(file + ".damaged-", 0) == 0) aside.push_back(hosttest::GetFile(entry.path()));
    EXPECT_EQ(aside, setAside ? std::vector<std::string>{before} : std::vector<std::string>{});
    std::vector<SRegistryRoot> roots;
    std::string error;
    EXPECT_EQ(VMCleaner::InspectRegistry(home.RegistryDir(), roots, error) && roots.size() == 1, setAside) << error;
    EXPECT_THAT(setAside ? cleaner.TakeSetAsideNotice() : cleaner.InitError(),
                ::testing::HasSubstr(setAside ? "[" + file + "] is damaged"
                                              : "[" + file + "]: unknown registry schema version [99]"));
    EXPECT_EQ(cleaner.TakeSetAsideNotice(), "");
    EXPECT_TRUE(setAside || hosttest::GetFile(file) == before) << "the file was changed";
  }
}

TEST(RegistryStore, PostAllVMCleanupRecordsTheSweepTimeDurably) {
  RegistryHome home;
  CVirtualClock clock(1'900'000'000);
  hosttest::ScopedClock scoped(&clock);
  {
    COracleCloudCleaner c;
    ASSERT_TRUE(c.Init(""));
    EXPECT_EQ(c.LastSweepTime(), 0);
    clock.Advance(3600);
    ASSERT_TRUE(c.PostAllVMCleanup());
  }
  COracleCloudCleaner c, unopened;
  ASSERT_TRUE(c.Init(""));
  EXPECT_EQ(c.LastSweepTime(), 1'900'003'600);
  // An unopened registry reports neither a sweep nor an empty list of orphans.
  EXPECT_FALSE(unopened.PostAllVMCleanup());
  std::vector<CleanerEntity> orphans;
  EXPECT_FALSE(unopened.GetOrphanedRootEntityListByType(VM_CLEANER_MODE_BACKUP, VM_CLEANER_ENTITY_VM, "", orphans));
}

// A killed job's root is an orphan at once, with every registration that returned and at most the
// one in flight besides; the registry stays writable.
TEST(RegistryProcess, AJobKilledMidStreamIsAnOrphanAndLosesNoRegistrationThatReturned) {
  RegistryHome home;
  COracleCloudCleaner parent;
  ASSERT_TRUE(parent.Init(""));
  ASSERT_TRUE(parent.RegisterVM(kBackup, "parent-job"));
  ChildProcess child([](int fd) {
    COracleCloudCleaner c;
    if (!RegisterJob(c, "job") || !c.RegisterVM(kBackup, "stream-job")) return 1;
    for (int i = 0;; ++i) {
      if (!c.RegisterDisk(kBackup, "stream-job", "vol-" + std::to_string(i))) return 1;
      Report(fd, 'D');
    }
  });
  for (int i = 0; i < 25; ++i) ASSERT_EQ(child.ReadByte(), 'D');
  EXPECT_EQ(OrphanNames(parent, kBackup), Keys{});
  EXPECT_FALSE(parent.IsAllVMCleanupRequired());
  child.Kill();
  size_t confirmed = 25;
  while (child.ReadByte() == 'D') ++confirmed;
  ASSERT_TRUE(KilledBySigkill(child.Wait()));
  EXPECT_EQ(OrphanNames(parent, kBackup), (Keys{"job", "stream-job"}));
  EXPECT_EQ(OrphanNames(parent, kRestore), Keys{});
  EXPECT_TRUE(parent.IsAllVMCleanupRequired());
  ExpectCompleteJob(parent, "job");
  const Keys disks = Disks(parent, RootPath(parent, kBackup, "stream-job"));
  ASSERT_GE(disks.size(), confirmed);
  ASSERT_LE(disks.size(), confirmed + 1);
  for (size_t i = 0; i < disks.size(); ++i) EXPECT_EQ(disks[i], "vol-" + std::to_string(i));
  EXPECT_TRUE(parent.RegisterDisk(kBackup, "parent-job", "after-kill"));
}

// An object made after fork() gets a session of its own: the child's live root is no orphan when
// the parent's newer object goes away.
TEST(RegistryProcess, ObjectsCreatedOnBothSidesOfAForkHaveTheirOwnSessions) {
  RegistryHome home;
  COracleCloudCleaner parent;
  ASSERT_TRUE(parent.Init(""));
  ChildProcess child([](int fd) {
    COracleCloudCleaner c;
    Report(fd, c.Init("") && c.RegisterVM(kBackup, "child-job") ? 'R' : 'F');
    for (;;) ::pause();
    return 0;
  });
  ASSERT_EQ(child.ReadByte(), 'R');
  {
    COracleCloudCleaner later;
    ASSERT_TRUE(later.Init(""));
    ASSERT_TRUE(later.RegisterVM(kBackup, "later-job"));
  }
  EXPECT_EQ(OrphanNames(parent, kBackup), Keys{"later-job"}) << "the child is alive; its root is no orphan";
  child.Kill();
  child.Wait();
  EXPECT_EQ(OrphanNames(parent, kBackup), (Keys{"child-job", "later-job"}));
}

TEST(RegistryProcess, ConcurrentProcessesAndThreadsLoseNoRegistration) {
  constexpr int kProcesses = 2, kThreads = 4, kKeys = 60;
  RegistryHome home;
  COracleCloudCleaner parent;
  ASSERT_TRUE(parent.Init(""));
  ASSERT_TRUE(parent.RegisterVM(kBackup, "shared-job"));
  auto key = [](int p, int t, int i) {
    return "vol-" + std::to_string(p) + "-" + std::to_string(t) + "-" + std::to_string(i);
  };
  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int p = 0; p < kProcesses; ++p)
    children.push_back(std::make_unique<ChildProcess>([p, &key](int) {
      // Threads 0 and 1 share one object, 2 and 3 have their own; every Init on a fresh thread.
      COracleCloudCleaner shared;
      std::atomic<int> failures{0};
      std::thread([&] { failures += shared.Init("") ? 0 : 1; }).join();
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
          COracleCloudCleaner own;
          COracleCloudCleaner* c = &shared;
          if (t >= 2 && !(c = &own)->Init("")) return void(++failures);
          for (int i = 0; i < kKeys; ++i) failures += c->RegisterDisk(kBackup, "shared-job", key(p, t, i)) ? 0 : 1;
        });
      for (auto& thread : threads) thread.join();
      return failures == 0 ? 0 : 1;
    }));
  for (auto& child : children) EXPECT_EQ(child->Wait(), 0) << "a registration failed in a child";
  const Keys disks = Disks(parent, RootPath(parent, kBackup, "shared-job"));
  EXPECT_EQ(disks.size(), size_t{kProcesses * kThreads * kKeys});
  EXPECT_EQ(std::set<std::string>(disks.begin(), disks.end()).size(), disks.size());
}

}  // namespace

// A job killed while a command it started still runs (a login, a disk tool): the command keeps the job's
// session held, and a new session waits for its end before anything looks for orphans, so that nothing
// the command makes after the kill escapes the sweep.
TEST(RegistryProcess, ANewSessionWaitsForTheCommandsOfAKilledJob) {
  RegistryHome home;
  const std::string made = home.dir / "made-by-the-command";
  ChildProcess job([&made](int fd) {
    COracleCloudCleaner c;
    if (!RegisterJob(c, "killed-job")) return 1;
    std::thread([&] { TzProcess::system(("sleep 1; touch '" + made + "'").c_str(), nullptr, nullptr); }).detach();
    ::usleep(200000);  // the command runs
    Report(fd, 'R');
    for (;;) ::pause();
  });
  ASSERT_EQ(job.ReadByte(), 'R');
  job.Kill();
  ASSERT_TRUE(KilledBySigkill(job.Wait()));
  COracleCloudCleaner next;
  ASSERT_TRUE(next.Init(""));
  EXPECT_TRUE(std::filesystem::exists(made)) << "the new session did not wait for the killed job's command";
  EXPECT_EQ(OrphanNames(next, kBackup), Keys{"killed-job"});
}

// A clean-up of a dead job's root (P) beside a job that wants the same root (R, another process):
// R waits until P is done with it (it is neither refused nor let in), P unregisters only its own root,
// and no root a live job owns is ever an orphan for a third job's sweep.
TEST(RegistryProcess, ACleanUpOwnsTheRootItEmptiesAndUnregistersNoOtherJobsRoot) {
  RegistryHome home;
  ASSERT_TRUE(RegisterJob(*std::make_unique<COracleCloudCleaner>(), "ocid1.i.x"));  // a dead job's
  COracleCloudCleaner p, sweeper;
  ASSERT_TRUE(p.Init("") && sweeper.Init(""));
  const std::string path = RootPath(p, kBackup, "ocid1.i.x");
  auto takeover = [](int fd) {
    COracleCloudCleaner r;
    bool held = false;
    const bool claimed = r.Init("") && r.RegisterVM(kBackup, "OCID1.I.X", held);
    Report(fd, claimed && r.RegisterSnapshot(kBackup, "ocid1.i.x", "r-snap") ? 'C' : held ? 'H' : 'F');
    for (;;) ::pause();
    return 0;
  };
  ChildProcess r(takeover);
  EXPECT_EQ(r.ReadByte(1500), -1) << "a job wanting a root that a clean-up is emptying did not wait for it";
  ASSERT_TRUE(p.UnRegisterVM(path));  // its entries stay, under an orphan
  ASSERT_EQ(r.ReadByte(), 'C');
  EXPECT_FALSE(p.UnRegisterVM(path)) << "the clean-up unregistered the root of the job that took it over";
  std::string swept;
  EXPECT_TRUE(OrphanNames(sweeper, kBackup).empty() && !sweeper.GetRegisteredVM(kBackup, "ocid1.i.x", swept));
  r.Kill(), r.Wait();
  EXPECT_EQ(OrphanNames(sweeper, kBackup), Keys{"ocid1.i.x"});
}

// Jobs that look at a dead job's root at the same moment all see it dead: one job's look never makes
// the root seem held to another (a backup refused with "being backed up by another job").
TEST(RegistryProcess, JobsLookingAtADeadJobsRootsAtOnceAllSeeThemDead) {
  constexpr int kRoots = 300, kLookers = 3;
  RegistryHome home;
  ChildProcess dead([](int fd) {
    std::vector<std::unique_ptr<COracleCloudCleaner>> jobs;
    for (int i = 0; i < kRoots; ++i) {
      jobs.push_back(std::make_unique<COracleCloudCleaner>());
      if (!jobs.back()->Init("") || !jobs.back()->RegisterVM(kBackup, "dead-" + std::to_string(i))) return 1;
    }
    Report(fd, 'R');
    for (;;) ::pause();
  });
  ASSERT_EQ(dead.ReadByte(), 'R');
  dead.Kill(), dead.Wait();
  const std::string go = home.dir / "go";
  std::vector<std::unique_ptr<ChildProcess>> lookers;
  for (int p = 0; p < kLookers; ++p)
    lookers.push_back(std::make_unique<ChildProcess>([&go](int fd) {
      COracleCloudCleaner c;
      if (!c.Init("")) return 1;
      Report(fd, 'R');
      while (::access(go.c_str(), F_OK) != 0) std::this_thread::yield();
      int held = 0;
      for (int i = 0; i < kRoots; ++i)
        held += c.IsHeldByAnotherSession(kBackup, VM_CLEANER_ENTITY_VM, "dead-" + std::to_string(i)) ? 1 : 0;
      return held == 0 ? 0 : 2;
    }));
  for (auto& looker : lookers) ASSERT_EQ(looker->ReadByte(), 'R');
  hosttest::PutFile(go, "");
  for (auto& looker : lookers) EXPECT_EQ(looker->Wait(), 0) << "a dead job's root seemed held to a job looking at it";
  COracleCloudCleaner after;
  ASSERT_TRUE(after.Init(""));
  EXPECT_EQ(OrphanNames(after, kBackup).size(), size_t{kRoots});
}
