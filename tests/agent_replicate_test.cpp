// Replication syncs as the agent runs them: only the chunks that changed since the backup last synced are written, the
// state of the next sync is replaced only after a sync fully succeeded, and a destination takes one job at a time.
#include <filesystem>

#include "PluginTestUtil.h"
#include "agent/diskio/ChunkDigests.h"
#include "agent/diskio/DiskWrite.h"
#include "agent/diskio/SyncChunks.h"
#include "agent/jobs/ReplicationState.h"
#include "sandbox/VolumeChecksum.h"

using namespace agent;

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr size_t kMiB = 1 << 20;

// A target holding the base disk gets exactly the new disk by writing only the chunks that differ: a
// changed chunk is written, one that became a hole is zeroed, unchanged ones (data or holes) are not
// touched. A base that is not the disk last synced, or of another size, fails.
TEST(AgentReplicate, WritesOnlyTheChangedChunksAndRefusesAWrongBase) {
  constexpr size_t kSize = 5 * kMiB + 4096;  // the last chunk is short
  hosttest::TempDir dir;
  const std::string base = dir / "base.img", next = dir / "next.img", target = dir / "volume";
  const std::string block(kMiB, 'b'), tail(4096, 't');
  const std::string before =
      hosttest::SparseFile(base, kSize, {{0, block}, {2 * kMiB, block}, {3 * kMiB, block}, {5 * kMiB, tail}});
  std::string changedTail = tail;
  changedTail[100] = 'x';
  const std::string after =
      hosttest::SparseFile(next, kSize, {{0, block}, {kMiB + 7, "hello"}, {3 * kMiB, block}, {5 * kMiB, changedTail}});
  auto sum = [&](const std::string& path, EChecksumScheme scheme) {
    return hosttest::DiskChecksumOf(path, kSize, scheme);
  };
  const struct {
    SDiskChecksum baseSum;  // as the state recorded it; an older agent's is a whole SHA-256
    size_t nextSize;
    std::string error;  // empty: written and verified
  } cases[] = {{sum(base, EChecksumScheme::ChunkedSha256), kSize, ""},
               {sum(base, EChecksumScheme::WholeSha256), kSize, ""},
               {sum(next, EChecksumScheme::ChunkedSha256), kSize, "is not the disk last synced"},
               {sum(base, EChecksumScheme::ChunkedSha256), kSize - 4096, "bytes, not the"}};
  for (const auto& c : cases) {
    hosttest::PutFile(target, before + std::string(kMiB, '\xab'));
    SDiskWriteResult result;
    std::string error;
    EXPECT_EQ(WriteChangedChunks(base, c.baseSum, next, c.nextSize, target, sum(next, EChecksumScheme::ChunkedSha256),
                                 result, error),
              c.error.empty())
        << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (!c.error.empty()) continue;
    EXPECT_EQ(hosttest::GetFile(target), after + std::string(kMiB, '\xab'));
    EXPECT_EQ(result.bytesWritten, kMiB + 4096);  // the chunk of "hello" and the short last one
    EXPECT_EQ(result.bytesZeroed, kMiB);          // the chunk at 2 MiB that became a hole
  }
  // By the digests of the last sync: the same chunks written, only the new disk's data read, and
  // the new disk's digests kept. Digests of another disk, or a new disk that is not its manifest's, fail.
  std::string baseDigests, nextDigests, error;
  ASSERT_TRUE(DigestsOfStoredDisk(base, kSize, baseDigests, error)) << error;
  EXPECT_TRUE(DigestsMatch(baseDigests, kSize, cases[0].baseSum));
  fs::remove(base);
  const struct {
    std::string digests;
    SDiskChecksum expected;
    std::string error;
  } byDigest[] = {
      {baseDigests, sum(next, EChecksumScheme::ChunkedSha256), ""},
      {baseDigests.substr(32), sum(next, EChecksumScheme::ChunkedSha256), "are of 5 chunks, the disk has 6"},
      {baseDigests, cases[0].baseSum, "is damaged"}};
  for (const auto& c : byDigest) {
    hosttest::PutFile(target, before + std::string(kMiB, '\xab'));
    SSyncWriteResult result;
    EXPECT_EQ(WriteChangedChunksByDigest(next, kSize, target, c.expected, c.digests, nextDigests, result, error),
              c.error.empty())
        << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    if (!c.error.empty()) continue;
    EXPECT_EQ(hosttest::GetFile(target), after + std::string(kMiB, '\xab'));
    EXPECT_EQ(std::make_tuple(result.bytesWritten, result.bytesZeroed, result.chunksWritten, result.bytesRead),
              std::make_tuple(kMiB + 4096, kMiB, UINT64(3), 3 * kMiB + 4096));  // read: the chunks at 0, 1, 3 and 5 MiB
    EXPECT_TRUE(DigestsMatch(nextDigests, kSize, c.expected));
  }
}

// The state comes back as it was saved, in a file of its own for a name that only looks the same; a
// state file that is corrupt, a link or another destination's is an error, not "no state".
TEST(AgentReplicate, StateRoundTripsAndRefusesACorruptFile) {
  hosttest::TempDir home;
  hosttest::ScopedEnv env("TZ_BASE_HOME", home.Path());
  SReplicationState state, loaded;
  std::string error;
  bool found = true;
  ASSERT_TRUE(LoadReplicationState("web dr", loaded, found, error)) << error;
  EXPECT_FALSE(found);
  CReplicationLock lock;  // the state is written under it
  ASSERT_TRUE(lock.Acquire("web dr", error)) << error;
  state.destination = "web dr", state.retiredVolumes = {"vol0"};
  // Disks built one by one: GCC 12 at -O3 takes the members of a braced list of them for uninitialized.
  const auto disk = [](const char* index, const char* name, const char* volume, const char* snapshot,
                       EChecksumScheme scheme, const char* hex) {
    SReplicatedDisk d;
    d.indexName = index, d.displayName = name, d.volumeId = volume, d.snapshotId = snapshot;
    d.checksum.scheme = scheme, d.checksum.hex = hex;
    return d;
  };
  state.instanceId = "ocid1.instance.d", state.backupDir = "/store/7-web", state.sourceName = "web";
  state.sourceId = "ocid1.instance.w";
  state.disks.push_back(disk("b_1", "b", "vol1", "snap1", EChecksumScheme::ChunkedSha256, "aa"));
  state.disks.push_back(disk("d_2", "d", "vol2", "", EChecksumScheme::WholeSha256, "bb"));
  state.pending.instanceId = "ocid1.instance.n", state.pending.backupDir = "/store/8-web",
  state.pending.sourceName = "web";
  state.pending.disks.push_back(disk("b_1", "b", "vol3", "snap3", EChecksumScheme::ChunkedSha256, "cc"));
  ASSERT_TRUE(SaveReplicationState(state, error)) << error;
  ASSERT_TRUE(LoadReplicationState("web dr", loaded, found, error)) << error;
  EXPECT_TRUE(found);
  EXPECT_EQ(json::parse(hosttest::GetFile(ReplicationStatePath("web dr"))),
            json::parse(R"({"destination": "web dr", "instance_id": "ocid1.instance.d", "backup": "/store/7-web",
              "source_name": "web", "source_id": "ocid1.instance.w", "disks": [
              {"index_name": "b_1", "display_name": "b", "volume_id": "vol1", "snapshot_id": "snap1", "chunked_sha256": "aa"},
              {"index_name": "d_2", "display_name": "d", "volume_id": "vol2", "snapshot_id": "", "sha256": "bb"}],
              "pending": {"instance_id": "ocid1.instance.n", "backup": "/store/8-web", "source_name": "web", "source_id": "",
              "disks": [{"index_name": "b_1", "display_name": "b", "volume_id": "vol3", "snapshot_id": "snap3", "chunked_sha256": "cc"}]},
              "retired": {"instances": [], "volumes": ["vol0"], "snapshots": []}})"));
  EXPECT_EQ(std::make_tuple(loaded.pending.Find("b_1")->snapshotId, loaded.retiredVolumes, loaded.sourceId),
            std::make_tuple(std::string("snap3"), state.retiredVolumes, state.sourceId));
  EXPECT_EQ(loaded.Find("d_2")->volumeId, "vol2");
  EXPECT_EQ(loaded.Find("d_2")->checksum, state.disks[1].checksum);
  EXPECT_EQ(loaded.Find("b_1")->checksum, state.disks[0].checksum);
  EXPECT_NE(ReplicationStatePath("web dr"), ReplicationStatePath("web_dr"));
  const std::string path = ReplicationStatePath("web dr");
  for (const std::string& text : {std::string("{"), std::string(R"({"destination": "web dr"})"),
                                  hosttest::GetFile(path).replace(hosttest::GetFile(path).find("web dr"), 6, "web-x"),
                                  hosttest::GetFile(path).replace(hosttest::GetFile(path).find("\"/store"), 2, "\"")}) {
    hosttest::PutFile(path, text);
    EXPECT_FALSE(LoadReplicationState("web dr", loaded, found, error)) << text;
    EXPECT_TRUE(found && error.find("is corrupt") != std::string::npos) << error;
  }
  ASSERT_TRUE(SaveReplicationState(state, error)) << error;
  fs::rename(path, home / "elsewhere.json");
  fs::create_symlink(home / "elsewhere.json", path);
  EXPECT_FALSE(LoadReplicationState("web dr", loaded, found, error));
  EXPECT_NE(error.find("not a readable regular file"), std::string::npos) << error;
}

struct SReplicaRun {
  CTestSandbox sandbox;
  std::string store = sandbox.Dir() + "/store", out;
  std::string Backup(const std::string& jobId) {
    EXPECT_EQ(sandbox.Agent({"backup", "sample-web", "--store", store, "--job-id", jobId}, &out), 0) << out;
    return store + "/" + jobId + "-sample-web";
  }
  int Replicate(const std::string& folder, std::vector<std::string> extra = {}) {
    WaitForNextSecond();  // the destination's volumes are named by it
    extra.insert(extra.begin(), {"replicate", folder, "--to", "web-dr", "--json"});
    return sandbox.Agent(extra, &out);
  }
  std::string State() const { return ReadTestFile(sandbox.Home() + "/replication/web-dr.json"); }
  // The JSON result of the last sync, whose every volume holds its disk of `folder`.
  json ExpectInStep(const std::string& folder) {
    const json result = plugintest::ExpectRestoredVolumesHoldTheDisks(sandbox, folder, out);
    EXPECT_EQ(json::parse(State())["backup"], folder);
    return result;
  }
  void Change(const std::string& folder, const std::string& text) {
    const json manifest = json::parse(ReadTestFile(folder + "/manifest.json"));
    plugintest::Sim(sandbox,
                    {"volume", "write", manifest["disks"][1]["volume_id"], "--offset", "1048580", "--text", text});
  }
};

// A first sync is full; after a change of one chunk the next is incremental and writes that chunk
// only, by the chunk digests the state keeps: the backup last synced is not needed. A state without
// them (an older agent's) syncs as before, comparing with the backup last synced: without it, the
// sync fails, unwound, and leaves the state and the destination as they were; with it, it syncs
// and writes the state with digests.
TEST(AgentReplicate, SyncsFullThenOnlyTheChangedChunkByDigestsOrFromAnOldState) {
  SReplicaRun run;
  const std::string first = run.Backup("7");
  ASSERT_EQ(run.Replicate(first), 0) << run.out;
  json result = run.ExpectInStep(first);
  EXPECT_EQ(std::make_tuple(result["full_sync"], result["replication_type"], result["fallback_code"]),
            std::make_tuple(json(true), json(1), json(0)));
  const std::string digests = run.sandbox.Home() + "/replication/web-dr.chunks";
  std::vector<std::string> backups = {first};
  for (const std::string job : {"8", "9"}) {
    run.Change(backups.back(), "hello" + job);
    backups.push_back(run.Backup(job));
    fs::rename(backups[backups.size() - 2], backups[backups.size() - 2] + ".moved");
    ASSERT_EQ(run.Replicate(backups.back()), 0) << run.out;
    result = run.ExpectInStep(backups.back());
    EXPECT_EQ(std::make_tuple(result["full_sync"], result["replication_type"], result["bytes_written"]),
              std::make_tuple(json(false), json(2), json(kMiB)));
    fs::rename(backups[backups.size() - 2] + ".moved", backups[backups.size() - 2]);
    size_t named = 0;  // one digest file per disk, the previous sync's removed
    const json synced = json::parse(run.State());
    for (const auto& disk : synced["disks"])
      named += fs::is_regular_file(digests + "/" + disk["chunk_digests"].get<std::string>());
    EXPECT_EQ(named, result["volumes"].size()) << run.State();
    EXPECT_EQ(std::distance(fs::directory_iterator(digests), fs::directory_iterator()), static_cast<long>(named));
  }
  json old = json::parse(run.State());
  for (auto& disk : old["disks"]) disk.erase("chunk_digests"), disk.erase("size");
  hosttest::PutFile(ReplicationStatePath("web-dr"), old.dump(2));
  const std::string state = run.State(), last = backups.back();
  run.Change(last, "again");
  const std::string next = run.Backup("10");
  fs::rename(last, last + ".moved");
  EXPECT_EQ(run.Replicate(next), 1) << run.out;
  EXPECT_NE(run.out.find("the backup last synced [" + last + "] cannot be read"), std::string::npos) << run.out;
  EXPECT_EQ(run.State(), state);
  EXPECT_EQ(run.sandbox.Registry(), json::array());
  fs::rename(last + ".moved", last);
  ASSERT_EQ(run.Replicate(next), 0) << run.out;
  EXPECT_EQ(run.ExpectInStep(next)["bytes_written"], kMiB);
  const json synced = json::parse(run.State());
  for (const auto& disk : synced["disks"]) EXPECT_TRUE(disk.contains("chunk_digests")) << disk;
}

// A process killed between the copy of a snapshot's bytes into a new volume and the commit that
// makes the volume usable leaves it provisioning, never available, and `cloud-sim leaks` names it;
// the next sync's sweep removes it with its files, and syncs.
TEST(AgentReplicate, AKillBetweenAVolumeCopyAndItsCommitLeavesNothing) {
  SReplicaRun run;
  if (run.sandbox.Rest()) GTEST_SKIP() << "the copy runs in the API server, which the kill point would end";
  ASSERT_EQ(run.Replicate(run.Backup("7")), 0) << run.out;
  run.Change(run.store + "/7-sample-web", "hello");
  const std::string next = run.Backup("8");
  {
    hosttest::ScopedEnv kill("OCI_SIM_KILL_AT", "volume-copied");
    EXPECT_NE(run.Replicate(next), 0) << run.out;
  }
  std::string leaks, out;
  EXPECT_NE(run.sandbox.CloudSim({"leaks", "--keep", "web-dr"}, &leaks), 0) << leaks;
  ASSERT_EQ(run.sandbox.CloudSim({"ls", "volumes", "--json"}, &out), 0) << out;
  size_t copying = 0;
  for (const auto& volume : json::parse(out)) {
    if (volume.dump().find("PROVISIONING") == std::string::npos) continue;
    ++copying;
    EXPECT_NE(leaks.find(volume["id"].get<std::string>()), std::string::npos) << leaks;
  }
  EXPECT_EQ(copying, 1u) << out;
  ASSERT_EQ(run.Replicate(next), 0) << run.out;
  run.ExpectInStep(next);
  EXPECT_EQ(run.sandbox.CloudSim({"leaks", "--keep", "web-dr"}, &out), 0) << out;
  for (const auto& entry : fs::directory_iterator(run.sandbox.Dir() + "/cloud/volumes"))
    EXPECT_NE(entry.path().extension(), ".source") << entry.path();
}

// A destination belongs to its source: a backup of another is refused with 7003 naming both, before
// anything changes, and replaces it only in a full sync forced with overwrite.
TEST(AgentReplicate, AnotherSourceIsRefusedUnlessForcedWithOverwrite) {
  SReplicaRun run;
  ASSERT_EQ(run.Replicate(run.Backup("7")), 0) << run.out;
  const std::string state = run.State(), db = run.store + "/8-sample-db";
  ASSERT_EQ(run.sandbox.Agent({"backup", "sample-db", "--store", run.store, "--job-id", "8"}, &run.out), 0) << run.out;
  for (const auto& flags : {std::vector<std::string>{}, {"--force-full"}, {"--overwrite"}}) {
    EXPECT_EQ(run.Replicate(db, flags), 1) << run.out;
    EXPECT_NE(run.out.find(
                  "error 7003: the destination [web-dr] is the replica of [sample-web]; this backup is of [sample-db]"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.State(), state);
  }
  EXPECT_EQ(run.sandbox.Calls("CreateVolume"), 1) << "the first sync's only";
  ASSERT_EQ(run.Replicate(db, {"--force-full", "--overwrite"}), 0) << run.out;
  run.ExpectInStep(db);
}

// A wrong command line exits 2 and a destination whose lock another job holds exits 1, both before anything is created.
TEST(AgentReplicate, UsageErrorsAndABusyDestinationTouchNothing) {
  SReplicaRun run;
  const std::string folder = run.Backup("7");
  CReplicationLock busy;
  std::string error;
  ASSERT_TRUE(busy.Acquire("web-dr", error)) << error;
  const struct {
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {{{"replicate", folder}, 2},
               {{"replicate", "", "--to", "x"}, 2},
               {{"replicate", folder, "--to", ""}, 2},
               {{"replicate", folder, "--to", "x", "--job-id", "0"}, 2},
               {{"replicate", folder, "--to", "x", "--deselect", "nope"}, 2},
               {{"replicate", folder, "--to", "web-dr"}, 1}};
  for (const auto& c : cases) EXPECT_EQ(run.sandbox.Agent(c.args, &run.out), c.exitCode) << c.args.size() << run.out;
  EXPECT_NE(run.out.find("another replication to [web-dr] is running"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(run.sandbox.Home() + "/restore-jobs"));
  EXPECT_FALSE(fs::exists(ReplicationStatePath("web-dr")));
  EXPECT_EQ(run.sandbox.Calls("CreateVolume"), 0);
}

}  // namespace
