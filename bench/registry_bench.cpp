// Throughput of the registry of created entities, on a temporary folder of the file system that
// holds TMPDIR (or /tmp): durable registration against raw durable SQLite inserts, unregistration
// in both forms, listing children and listing orphaned roots.
//
// Every figure is a counter in operations per second (ops_per_s); iteration times are measured by
// hand around the operation alone, so set-up (filling the registry) is never counted.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "cleanup/OracleCloudCleaner.h"

namespace {

constexpr int kChildren = 10'000;
constexpr int kOrphans = 1'000;
constexpr VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// The benchmark's home: a mkdtemp folder that TZ_BASE_HOME points at, removed at exit.
class CBenchHome {
 public:
  CBenchHome() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/registry_bench_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
    ::setenv("TZ_BASE_HOME", path_.c_str(), 1);
    std::fprintf(stderr, "registry_bench: working in %s\n", path_.c_str());
  }
  ~CBenchHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

CBenchHome& Home() {
  static CBenchHome home;
  return home;
}

// A registry of its own (one identity per use) with a root and `children` disks under it.
std::unique_ptr<COracleCloudCleaner> FilledRegistry(const std::string& identity, int children) {
  Home();
  auto cleaner = std::make_unique<COracleCloudCleaner>();
  if (!cleaner->Init(identity) || !cleaner->RegisterVM(kBackup, "root"))
    throw std::runtime_error("cannot open the registry " + identity);
  for (int i = 0; i < children; ++i)
    if (!cleaner->RegisterDisk(kBackup, "root", "ocid1.volume.oc1.iad." + std::to_string(i)))
      throw std::runtime_error("registration failed");
  return cleaner;
}

std::string RootPath(COracleCloudCleaner& cleaner) {
  std::string path;
  if (!cleaner.GetRegisteredVM(kBackup, "root", path)) throw std::runtime_error("no root");
  return path;
}

void SetRate(benchmark::State& state, double ops, double seconds) {
  state.counters["ops_per_s"] = benchmark::Counter(ops / seconds);
  state.counters["ms_per_run"] = benchmark::Counter(1000.0 * seconds / static_cast<double>(state.iterations()));
}

int runId = 0;
double rawInsertRate = 0;

// The yardstick: one INSERT per durable transaction (WAL, synchronous=FULL), nothing else.
void BM_RawDurableSqliteInsert(benchmark::State& state) {
  double total = 0, ops = 0;
  for (auto _ : state) {
    std::string file = Home().Path() + "/raw_" + std::to_string(++runId) + ".db";
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("open " + file);
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER PRIMARY KEY, name BLOB)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *begin, *insert, *commit;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO t(name) VALUES(?)", -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    auto start = Clock::now();
    for (int i = 0; i < kChildren; ++i) {
      std::string name = "ocid1.volume.oc1.iad." + std::to_string(i);
      sqlite3_step(begin);
      sqlite3_reset(begin);
      sqlite3_bind_blob(insert, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(insert) != SQLITE_DONE) throw std::runtime_error("insert failed");
      sqlite3_reset(insert);
      if (sqlite3_step(commit) != SQLITE_DONE) throw std::runtime_error("commit failed");
      sqlite3_reset(commit);
    }
    double seconds = Seconds(start);
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kChildren;
    sqlite3_finalize(begin);
    sqlite3_finalize(insert);
    sqlite3_finalize(commit);
    sqlite3_close(db);
  }
  rawInsertRate = ops / total;
  SetRate(state, ops, total);
}

// 10,000 children under one root, one durable registration each.
void BM_RegisterDisk(benchmark::State& state) {
  double total = 0, ops = 0;
  for (auto _ : state) {
    auto cleaner = FilledRegistry("register-" + std::to_string(++runId), 0);
    auto start = Clock::now();
    for (int i = 0; i < kChildren; ++i)
      if (!cleaner->RegisterDisk(kBackup, "root", "ocid1.volume.oc1.iad." + std::to_string(i)))
        throw std::runtime_error("registration failed");
    double seconds = Seconds(start);
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kChildren;
  }
  SetRate(state, ops, total);
  if (rawInsertRate > 0) state.counters["vs_raw_insert"] = benchmark::Counter(ops / total / rawInsertRate);
}

// Path-scoped: each call lists the remaining children to find the one to remove.
void BM_UnRegisterDiskByPath(benchmark::State& state) {
  double total = 0, ops = 0;
  for (auto _ : state) {
    auto cleaner = FilledRegistry("unregister-path-" + std::to_string(++runId), kChildren);
    std::string path = RootPath(*cleaner);
    auto start = Clock::now();
    for (int i = 0; i < kChildren; ++i)
      if (!cleaner->UnRegisterDisk(path, "ocid1.volume.oc1.iad." + std::to_string(i)))
        throw std::runtime_error("unregistration failed");
    double seconds = Seconds(start);
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kChildren;
  }
  SetRate(state, ops, total);
}

// Mode-scoped: the child's handle is constructed, nothing is listed.
void BM_UnRegisterDiskByMode(benchmark::State& state) {
  double total = 0, ops = 0;
  for (auto _ : state) {
    auto cleaner = FilledRegistry("unregister-mode-" + std::to_string(++runId), kChildren);
    auto start = Clock::now();
    for (int i = 0; i < kChildren; ++i)
      if (!cleaner->UnRegisterDisk(kBackup, "root", "ocid1.volume.oc1.iad." + std::to_string(i)))
        throw std::runtime_error("unregistration failed");
    double seconds = Seconds(start);
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kChildren;
  }
  SetRate(state, ops, total);
}

// One GetRegisteredDisks of 10,000 children; ops_per_s counts children listed.
void BM_ListDisks(benchmark::State& state) {
  auto cleaner = FilledRegistry("list-" + std::to_string(++runId), kChildren);
  std::string path = RootPath(*cleaner);
  double total = 0, ops = 0;
  for (auto _ : state) {
    std::vector<VMInfoStructs::SDisk> disks;
    auto start = Clock::now();
    if (!cleaner->GetRegisteredDisks(path, disks) || disks.size() != kChildren)
      throw std::runtime_error("listing failed");
    double seconds = Seconds(start);
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kChildren;
  }
  SetRate(state, ops, total);
}

// 1,000 orphaned roots, left by one object (range 1) or by as many objects as roots (range 1000);
// ops_per_s counts roots listed.
void BM_ListOrphanRoots(benchmark::State& state) {
  const int owners = static_cast<int>(state.range(0));
  std::string identity = "orphans-" + std::to_string(++runId);
  Home();
  for (int o = 0; o < owners; ++o) {
    COracleCloudCleaner owner;
    if (!owner.Init(identity)) throw std::runtime_error("cannot open the registry");
    for (int r = o; r < kOrphans; r += owners)
      if (!owner.RegisterVM(kBackup, "ocid1.instance.oc1.iad." + std::to_string(r)))
        throw std::runtime_error("registration failed");
  }
  COracleCloudCleaner cleaner;
  if (!cleaner.Init(identity)) throw std::runtime_error("cannot open the registry");
  double total = 0, ops = 0, first = -1;
  for (auto _ : state) {
    std::vector<CleanerEntity> orphans;
    auto start = Clock::now();
    if (!cleaner.GetOrphanedRootEntityListByType(kBackup, VM_CLEANER_ENTITY_VM, "", orphans) ||
        orphans.size() != kOrphans)
      throw std::runtime_error("listing failed");
    double seconds = Seconds(start);
    if (first < 0) first = seconds;
    state.SetIterationTime(seconds);
    total += seconds;
    ops += kOrphans;
  }
  SetRate(state, ops, total);
  // The first listing also finds the dead sessions and removes their lock files.
  state.counters["first_ms"] = benchmark::Counter(1000.0 * first);
}

BENCHMARK(BM_RawDurableSqliteInsert)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RegisterDisk)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnRegisterDiskByPath)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnRegisterDiskByMode)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDisks)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListOrphanRoots)->Arg(1)->Arg(kOrphans)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
