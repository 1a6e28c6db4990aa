// The registry across processes: jobs killed at any moment leave complete, orphaned entries, live
// jobs are never taken for dead, and concurrent writers lose nothing.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "RegistryTestUtil.h"
#include "cleanup/OracleCloudCleaner.h"

namespace {

using regtest::ChildProcess;
using regtest::OrphanNames;
using regtest::Report;
using Keys = std::vector<std::string>;
constexpr VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;
constexpr VM_Cleaner_Mode kRestore = VM_CLEANER_MODE_RESTORE;
const std::string kIscsi = "10.0.0.5+3260+iqn.2015-12.com.oracleiaas:abc";

std::string RootPath(COracleCloudCleaner& c, const std::string& root) {
  std::string path;
  EXPECT_TRUE(c.GetRegisteredVM(kBackup, root, path)) << root;
  return path;
}

Keys Disks(COracleCloudCleaner& c, const std::string& path) {
  std::vector<VMInfoStructs::SDisk> disks;
  EXPECT_TRUE(c.GetRegisteredDisks(path, disks));
  Keys keys;
  for (const auto& d : disks) keys.push_back(d.volumeId);
  return keys;
}

bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

// Registers a job's root with a snapshot, a disk and an iSCSI session in a new object.
bool RegisterJob(COracleCloudCleaner& c, const std::string& root) {
  return c.Init("") && c.RegisterVM(kBackup, root) && c.RegisterSnapshot(kBackup, root, "ocid1.volumebackup.1") &&
         c.RegisterDisk(kBackup, root, "ocid1.volume.1") && c.RegisterIscsiSession(kBackup, root, kIscsi);
}

void ExpectCompleteJob(COracleCloudCleaner& c, const std::string& root) {
  std::string path = RootPath(c, root);
  Keys snapshots, sessions;
  EXPECT_TRUE(c.GetRegisteredSnapshots(path, snapshots));
  EXPECT_EQ(snapshots, Keys{"ocid1.volumebackup.1"});
  EXPECT_EQ(Disks(c, path), Keys{"ocid1.volume.1"});
  EXPECT_TRUE(c.GetRegisteredIscsiSessions(path, sessions));
  EXPECT_EQ(sessions, Keys{kIscsi});
}

TEST(RegistryProcess, AKilledJobsRootIsAnOrphanAtOnceWithAllItsChildren) {
  regtest::RegistryHome home;
  COracleCloudCleaner parent;
  ASSERT_TRUE(parent.Init(""));
  ASSERT_TRUE(parent.RegisterVM(kBackup, "parent-job"));
  ASSERT_TRUE(parent.RegisterDisk(kBackup, "parent-job", "parent-vol"));
  ChildProcess child([](int fd) {
    COracleCloudCleaner c;
    Report(fd, RegisterJob(c, "child-job") ? 'R' : 'F');
    for (;;) ::pause();
    return 0;
  });
  ASSERT_EQ(child.ReadByte(), 'R');
  EXPECT_EQ(OrphanNames(parent, kBackup), Keys{});
  EXPECT_FALSE(parent.IsAllVMCleanupRequired());

  child.Kill();
  EXPECT_TRUE(KilledBySigkill(child.Wait()));
  EXPECT_EQ(OrphanNames(parent, kBackup), Keys{"child-job"});
  EXPECT_EQ(OrphanNames(parent, kRestore), Keys{});
  EXPECT_TRUE(parent.IsAllVMCleanupRequired());
  ExpectCompleteJob(parent, "child-job");
  EXPECT_EQ(Disks(parent, RootPath(parent, "parent-job")), Keys{"parent-vol"});
}

// The observers below open the registry before the fork: what objects made after a fork do is the
// subject of ObjectsCreatedOnBothSidesOfAForkHaveTheirOwnSessions alone.
TEST(RegistryProcess, AJobKilledRightAfterItsCommitReturnedKeepsEveryEntry) {
  regtest::RegistryHome home;
  COracleCloudCleaner later;
  ASSERT_TRUE(later.Init(""));
  ChildProcess child([](int) {
    COracleCloudCleaner c;
    if (!RegisterJob(c, "child-job")) return 1;
    ::raise(SIGKILL);
    return 2;
  });
  ASSERT_TRUE(KilledBySigkill(child.Wait()));
  EXPECT_EQ(OrphanNames(later, kBackup), Keys{"child-job"});
  ExpectCompleteJob(later, "child-job");
}

// Killed in the middle of a stream of registrations: every registration that returned is there,
// and at most the one in flight besides.
TEST(RegistryProcess, AJobKilledMidStreamLosesNoRegistrationThatReturned) {
  regtest::RegistryHome home;
  COracleCloudCleaner later;
  ASSERT_TRUE(later.Init(""));
  ChildProcess child([](int fd) {
    COracleCloudCleaner c;
    if (!c.Init("") || !c.RegisterVM(kBackup, "stream-job")) return 1;
    for (int i = 0;; ++i) {
      if (!c.RegisterDisk(kBackup, "stream-job", "vol-" + std::to_string(i))) return 1;
      Report(fd, 'D');
    }
  });
  for (int i = 0; i < 25; ++i) ASSERT_EQ(child.ReadByte(), 'D');
  child.Kill();
  size_t confirmed = 25 + child.ReadAll().size();
  ASSERT_TRUE(KilledBySigkill(child.Wait()));
  EXPECT_EQ(OrphanNames(later, kBackup), Keys{"stream-job"});
  Keys disks = Disks(later, RootPath(later, "stream-job"));
  ASSERT_GE(disks.size(), confirmed);
  ASSERT_LE(disks.size(), confirmed + 1);
  for (size_t i = 0; i < disks.size(); ++i) EXPECT_EQ(disks[i], "vol-" + std::to_string(i));
  // The registry is still writable after the kill.
  EXPECT_TRUE(later.RegisterDisk(kBackup, "stream-job", "after-kill"));
}

// A process that opens a registry after fork() must get a session of its own: the child's live
// root must not be taken for an orphan when the parent's newer object goes away.
TEST(RegistryProcess, ObjectsCreatedOnBothSidesOfAForkHaveTheirOwnSessions) {
  regtest::RegistryHome home;
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
  constexpr int kProcesses = 2, kThreads = 4, kKeys = 100;
  regtest::RegistryHome home;
  COracleCloudCleaner parent;
  ASSERT_TRUE(parent.Init(""));
  ASSERT_TRUE(parent.RegisterVM(kBackup, "shared-job"));
  auto key = [](int p, int t, int i) { return "vol-" + std::to_string(p) + "-" + std::to_string(t) + "-" + std::to_string(i); };

  std::vector<std::unique_ptr<ChildProcess>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<ChildProcess>([p, &key](int) {
      // Threads 0 and 1 share one object, threads 2 and 3 have their own. Every Init runs on a
      // fresh thread so that this test does not depend on how session keys behave across fork().
      COracleCloudCleaner shared;
      std::atomic<int> failures{0};
      std::thread([&] { failures += shared.Init("") ? 0 : 1; }).join();
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          COracleCloudCleaner own;
          COracleCloudCleaner* c = &shared;
          if (t >= 2) {
            if (!own.Init("")) return void(++failures);
            c = &own;
          }
          for (int i = 0; i < kKeys; ++i) failures += c->RegisterDisk(kBackup, "shared-job", key(p, t, i)) ? 0 : 1;
        });
      }
      for (auto& thread : threads) thread.join();
      return failures == 0 ? 0 : 1;
    }));
  }
  for (auto& child : children) {
    int status = child->Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a registration failed in a child";
  }
  Keys expected;
  for (int p = 0; p < kProcesses; ++p)
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kKeys; ++i) expected.push_back(key(p, t, i));
  Keys disks = Disks(parent, RootPath(parent, "shared-job"));
  std::sort(expected.begin(), expected.end());
  std::sort(disks.begin(), disks.end());
  EXPECT_EQ(disks.size(), expected.size());
  EXPECT_TRUE(disks == expected);
}

}  // namespace
