// Read throughput of the agent's disk copy (CopyDiskSparse: reads the data regions of the source,
// writes a sparse destination, SHA-256 of the whole logical content) against `cat FILE > /dev/null`
// of the same file, and the bytes the copy reads from a sparse volume.
//   stream_bench [MiB=512]
//
// The full file is written with pseudo-random bytes and flushed first; nothing is dropped from the
// page cache, and every reader runs twice with the second (warm) run reported, so that the figures
// compare the readers, not the disk. The copy's destination is on tmpfs (/dev/shm) for the
// comparison with cat, and on the disk of the source for what a store on disk costs (the copy
// ends with fsync). CopyDiskSparse has no way to skip the hash; the time it spends in SHA-256 is
// measured from inside (below), and bench-local loops show what plain reading costs with the
// copy's own chunk size. Prints markdown tables; exit status 1 when a copy fails or its checksum,
// size or bytes read are wrong.
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

// The bench executable is not linked with libcrypto, so the copy under test is compiled in and
// its SHA-256 calls are forwarded to libcrypto, resolved at run time (the library linked, when it
// is, else libcrypto.so.3). The forwarding also times every digest update of the copy.
#include "bench/BenchUtil.h"
#include "agent/DiskCopy.cpp"
#include "agent/DiskRegions.cpp"
#include "agent/ChunkPipeline.cpp"

namespace {

std::atomic<int64_t> g_hashNanoseconds{0};

void* CryptoSymbol(const char* name) {
  if (void* symbol = ::dlsym(RTLD_NEXT, name)) return symbol;
  static void* library = [] {
    void* handle = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    return handle ? handle : ::dlopen("libcrypto.so", RTLD_NOW | RTLD_LOCAL);
  }();
  void* symbol = library ? ::dlsym(library, name) : nullptr;
  if (!symbol) {
    std::fprintf(stderr, "stream_bench: libcrypto's %s is not available\n", name);
    std::abort();
  }
  return symbol;
}

template <class F>
F Crypto(const char* name) {
  return reinterpret_cast<F>(CryptoSymbol(name));
}

}  // namespace

extern "C" {
EVP_MD_CTX* EVP_MD_CTX_new(void) {
  static auto real = Crypto<EVP_MD_CTX* (*)()>("EVP_MD_CTX_new");
  return real();
}
void EVP_MD_CTX_free(EVP_MD_CTX* ctx) {
  static auto real = Crypto<void (*)(EVP_MD_CTX*)>("EVP_MD_CTX_free");
  real(ctx);
}
const EVP_MD* EVP_sha256(void) {
  static auto real = Crypto<const EVP_MD* (*)()>("EVP_sha256");
  return real();
}
int EVP_DigestInit_ex(EVP_MD_CTX* ctx, const EVP_MD* type, ENGINE* impl) {
  static auto real = Crypto<int (*)(EVP_MD_CTX*, const EVP_MD*, ENGINE*)>("EVP_DigestInit_ex");
  return real(ctx, type, impl);
}
int EVP_DigestUpdate(EVP_MD_CTX* ctx, const void* data, size_t count) {
  static auto real = Crypto<int (*)(EVP_MD_CTX*, const void*, size_t)>("EVP_DigestUpdate");
  const auto start = std::chrono::steady_clock::now();
  const int result = real(ctx, data, count);
  g_hashNanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
  return result;
}
int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* digest, unsigned int* length) {
  static auto real = Crypto<int (*)(EVP_MD_CTX*, unsigned char*, unsigned int*)>("EVP_DigestFinal_ex");
  return real(ctx, digest, length);
}
}  // extern "C"

namespace {

using namespace benchutil;
constexpr uint64_t kSparseBytes = 256 * kMiB;
constexpr uint64_t kRunBytes = 512 * 1024;
constexpr uint64_t kRunOffsets[] = {1 * kMiB, 100 * kMiB, kSparseBytes - kRunBytes};

// `bytes` of pseudo-random data, flushed so that no write-back runs during the measurements.
void MakeFullFile(const std::string& path, uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "cannot create " + path);
  std::mt19937_64 random(7);
  WriteRandom(fd, 0, bytes, random);
  Check(::fsync(fd) == 0, "fsync failed");
  ::close(fd);
}

// A 256 MiB volume with three data runs of 512 KiB, holes elsewhere.
void MakeSparseFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0 && ::ftruncate(fd, static_cast<off_t>(kSparseBytes)) == 0, "cannot create " + path);
  std::mt19937_64 random(11);
  for (uint64_t offset : kRunOffsets) WriteRandom(fd, offset, kRunBytes, random);
  Check(::fsync(fd) == 0, "fsync failed");
  ::close(fd);
}

uint64_t AllocatedBytes(const std::string& path) {
  struct stat st {};
  Check(::stat(path.c_str(), &st) == 0, "cannot stat " + path);
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

struct SMeasure {
  double seconds = 0;
  double hashSeconds = 0;  // inside SHA-256, for the copy
  SDiskCopyResult copy;
};

// Runs `body` twice and keeps the second run.
template <class F>
SMeasure Warm(F&& body) {
  SMeasure measure;
  for (int run = 0; run < 2; ++run) {
    measure = SMeasure();
    g_hashNanoseconds = 0;
    const auto start = Clock::now();
    body(measure);
    measure.seconds = SecondsSince(start);
    measure.hashSeconds = static_cast<double>(g_hashNanoseconds.load()) / 1e9;
  }
  return measure;
}

SMeasure Cat(const std::string& path) {
  return Warm([&](SMeasure&) { Check(std::system(("cat '" + path + "' > /dev/null").c_str()) == 0, "cat failed"); });
}

// A command on the file, timed as the copy is (warm cache, second of two runs).
SMeasure Command(const std::string& command) {
  return Warm([&](SMeasure&) { Check(std::system(command.c_str()) == 0, command + " failed"); });
}

SMeasure Copy(const std::string& source, uint64_t size, const std::string& destination) {
  return Warm([&](SMeasure& m) {
    std::string error;
    Check(CopyDiskSparse(source, size, destination, m.copy, error), "CopyDiskSparse failed: " + error);
  });
}

// The copy's steps apart, done as the copy does them: data regions found with SEEK_DATA/SEEK_HOLE,
// read in chunks of its size (1 MiB); then optionally hashed, or written to `destination` (made
// with the source's size, flushed at the end).
SMeasure ReadLoop(const std::string& path, uint64_t size, bool hash, const std::string& destination = "") {
  return Warm([&](SMeasure& m) {
    SFd in, out;
    in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Check(in.fd >= 0, "cannot open " + path);
    if (!destination.empty()) {
      out.fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      Check(out.fd >= 0 && ::ftruncate(out.fd, static_cast<off_t>(size)) == 0, "cannot create " + destination);
    }
    CDiskDigest digest;
    std::vector<char> buffer(kDiskChunk);
    UINT64 at = 0, start = 0, end = 0;
    while (at < size && NextDataRegion(in.fd, at, size, start, end)) {
      for (UINT64 offset = start; offset < end;) {
        const size_t n = static_cast<size_t>(std::min<UINT64>(end - offset, kDiskChunk));
        Check(ReadFully(in.fd, buffer.data(), n, offset), "read failed");
        if (hash) digest.Update(buffer.data(), n);
        if (out.fd >= 0) Check(WriteFully(out.fd, buffer.data(), n, offset), "write failed");
        offset += n;
        m.copy.bytesRead += n;
      }
      at = end;
    }
    if (out.fd >= 0) Check(::fsync(out.fd) == 0, "fsync failed");
  });
}

double MiBps(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / kMiB / seconds; }

int Run(uint64_t fullMiB) {
  const uint64_t fullBytes = fullMiB * kMiB;
  const char* tmp = std::getenv("TMPDIR");
  STempDir disk(tmp && *tmp ? tmp : "/tmp", "stream-bench");
  Check(!disk.path.empty(), "cannot create a working folder");
  STempDir shm("/dev/shm", "stream-bench");
  const bool haveShm = !shm.path.empty();

  const std::string full = disk.path + "/full.img";
  MakeFullFile(full, fullBytes);
  const SDiskChecksum expected = DiskChecksumOf(full, fullBytes);

  const SMeasure cat = Cat(full);
  const std::string target = (haveShm ? shm.path : disk.path) + "/cp.img";
  const SMeasure sha256sum = Command("sha256sum '" + full + "' > /dev/null");
  const SMeasure cp = Command("cp '" + full + "' '" + target + "'");
  std::filesystem::remove(target);
  SMeasure toShm;
  if (haveShm) {
    toShm = Copy(full, fullBytes, shm.path + "/copy.img");
    Check(toShm.copy.checksum == expected && toShm.copy.bytesRead == fullBytes, "the copy to tmpfs is wrong");
    std::filesystem::remove(shm.path + "/copy.img");
  }
  const SMeasure toDisk = Copy(full, fullBytes, disk.path + "/copy.img");
  Check(toDisk.copy.checksum == expected && toDisk.copy.bytesRead == fullBytes, "the copy to disk is wrong");
  Check(DiskChecksumOf(disk.path + "/copy.img", fullBytes) == expected, "the copied file differs");
  std::filesystem::remove(disk.path + "/copy.img");
  const SMeasure readOnly = ReadLoop(full, fullBytes, false);
  const SMeasure readHash = ReadLoop(full, fullBytes, true);
  const std::string loopCopy = (haveShm ? shm.path : disk.path) + "/loop-copy.img";
  const SMeasure readWrite = ReadLoop(full, fullBytes, false, loopCopy);
  std::filesystem::remove(loopCopy);
  Check(readOnly.copy.bytesRead == fullBytes && readHash.copy.bytesRead == fullBytes &&
            readWrite.copy.bytesRead == fullBytes,
        "the read loop is wrong");

  const double catRate = MiBps(fullBytes, cat.seconds);
  auto row = [&](const char* reader, const SMeasure& m, const char* note) {
    const double rate = MiBps(fullBytes, m.seconds);
    std::printf("| %s | %.3f | %.0f | %.2f | %s |\n", reader, m.seconds, rate, rate / catRate, note);
  };
  std::printf("### Read throughput of a fully written %llu MiB file (warm page cache, second of two runs)\n\n"
              "| reader | s | MiB/s | vs cat |  |\n|---|---:|---:|---:|---|\n",
              static_cast<unsigned long long>(fullMiB));
  row("`cat FILE > /dev/null`", cat, "yardstick");
  row("`sha256sum FILE`", sha256sum, "yardstick of the hashing");
  row(haveShm ? "`cp FILE` to tmpfs" : "`cp FILE` to disk", cp, "yardstick of the writing");
  if (haveShm) {
    char note[160];
    std::snprintf(note, sizeof note, "reads, writes, SHA-256 on its own thread (%.3f s of hashing overlapped)",
                  toShm.hashSeconds);
    row("CopyDiskSparse, destination on tmpfs", toShm, note);
  }
  row("CopyDiskSparse, destination on disk (fsync)", toDisk, "what a store on the virtio disk costs");
  row("read loop of the copy (SEEK_DATA, 1 MiB pread), nothing else", readOnly, "bench-local, the copy's reading only");
  row("read loop of the copy + SHA-256", readHash, "bench-local");
  row(haveShm ? "read loop of the copy + write to tmpfs" : "read loop of the copy + write to disk", readWrite,
      "bench-local");
  const double slower = std::max(sha256sum.seconds, cp.seconds);
  if (haveShm)
    std::printf("\nCopyDiskSparse against the slower of sha256sum and cp = %.2f (target at least 0.8): %s\n",
                slower / toShm.seconds, slower / toShm.seconds >= 0.8 ? "met" : "MISSED");

  const std::string sparse = disk.path + "/sparse.img";
  MakeSparseFile(sparse);
  const uint64_t allocated = AllocatedBytes(sparse);
  const uint64_t data = kRunBytes * std::size(kRunOffsets);
  const SDiskChecksum sparseSum = DiskChecksumOf(sparse, kSparseBytes);
  const SMeasure sparseCat = Cat(sparse);
  const std::string sparseCopy = (haveShm ? shm.path : disk.path) + "/sparse-copy.img";
  const SMeasure sparseRead = Copy(sparse, kSparseBytes, sparseCopy);
  Check(sparseRead.copy.checksum == sparseSum, "the sparse copy's checksum is wrong");
  Check(sparseRead.copy.size == kSparseBytes, "the sparse copy's size is wrong");
  const uint64_t copyAllocated = AllocatedBytes(sparseCopy);
  std::printf("\n### Bytes read from a sparse volume: %llu MiB logical, 3 data runs of 512 KiB\n\n"
              "| | bytes |\n|---|---:|\n| logical size | %llu |\n| data written | %llu |\n"
              "| allocated in the source (st_blocks) | %llu |\n| read by CopyDiskSparse | %llu |\n"
              "| allocated in the copy | %llu |\n",
              static_cast<unsigned long long>(kSparseBytes / kMiB), static_cast<unsigned long long>(kSparseBytes),
              static_cast<unsigned long long>(data), static_cast<unsigned long long>(allocated),
              static_cast<unsigned long long>(sparseRead.copy.bytesRead),
              static_cast<unsigned long long>(copyAllocated));
  std::printf("\nCopyDiskSparse of the sparse volume: %.3f s, of which SHA-256 (of the whole logical content, holes "
              "as zeros) %.3f s; `cat` of it: %.3f s. Bytes read = allocated data only: %s\n",
              sparseRead.seconds, sparseRead.hashSeconds, sparseCat.seconds,
              sparseRead.copy.bytesRead == allocated ? "met" : "MISSED");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 512;
  try {
    return Run(static_cast<uint64_t>(std::max(1L, mib)));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "stream_bench: %s\n", e.what());
    return 1;
  }
}
