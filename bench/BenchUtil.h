#pragma once
// Small helpers the benchmark programs share: checks that end the run, timing, temporary folders,
// incompressible data, disk checksums and the times of the host log's lines.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "disk/DataRegions.h"

namespace benchutil {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1 << 20;

inline void Check(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Points the host framework at a sandbox: its root file system and the agent's home, as the agent
// does with --sandbox.
inline void PointHostAtSandbox(const std::string& dir) {
  ::setenv("TZ_PLATFORM_ROOT", (dir + "/root").c_str(), 1);
  ::setenv("TZ_BASE_HOME", (dir + "/home").c_str(), 1);
}

// A folder of its own ("<parent>/<prefix>.XXXXXX"), removed at exit.
struct STempDir {
  std::string path;
  STempDir(const std::string& parent, const std::string& prefix) {
    std::string pattern = parent + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(pattern.data())) path = pattern;
  }
  ~STempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  STempDir(const STempDir&) = delete;
  STempDir& operator=(const STempDir&) = delete;
};

// Random bytes (no run of zeros for a sparse copy to skip) over [offset, offset + length).
inline void WriteRandom(int fd, uint64_t offset, uint64_t length, std::mt19937_64& random) {
  std::vector<uint64_t> words(kMiB / 8);
  for (uint64_t done = 0; done < length;) {
    for (auto& word : words) word = random();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, kMiB));
    Check(::pwrite(fd, words.data(), n, static_cast<off_t>(offset + done)) == static_cast<ssize_t>(n), "write failed");
    done += n;
  }
}

// A line of the host log with its time, milliseconds since the epoch (lines begin with
// "YYYY-MM-DD HH:MM:SS.mmm", UTC).
struct SLogLine {
  int64_t ms = 0;
  std::string text;
};

inline uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// A built tool's run: its exit status, peak resident size, wall time and output.
struct SRun {
  int status = -1;
  long peakKiB = 0;
  double seconds = 0;
  std::string output;
};

// Runs a built tool beside this program with `args`; its output in a file of `dir`.
inline SRun RunTool(const std::string& dir, const std::string& tool, const std::vector<std::string>& args) {
  const std::string bin = std::filesystem::canonical("/proc/self/exe").parent_path() / tool;
  const std::string log = dir + "/" + tool + ".out";
  std::ofstream(log, std::ios::trunc).flush();
  std::fflush(nullptr);
  const auto start = benchutil::Clock::now();
  const pid_t pid = ::fork();
  Check(pid >= 0, "fork failed");
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>(bin.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Both appending: neither stream writes over what the other wrote.
    if (!std::freopen(log.c_str(), "a", stdout) || !std::freopen(log.c_str(), "a", stderr)) ::_exit(127);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  SRun run;
  struct rusage usage {};
  Check(::wait4(pid, &run.status, 0, &usage) == pid, "wait4 failed");
  run.seconds = benchutil::SecondsSince(start);
  run.peakKiB = usage.ru_maxrss;
  std::ifstream in(log);
  run.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::string command = tool;
  for (const auto& a : args) command += " " + a.substr(0, 80);
  Check(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0, command + " failed: " + run.output);
  return run;
}

// The disk checksum of the first `size` bytes of the file `path`, as the agent computes it.
inline SDiskChecksum DiskChecksumOf(const std::string& path, uint64_t size) {
  SDiskChecksum checksum;
  std::string error;
  Check(ChecksumOfFile(path, size, EChecksumScheme::ChunkedSha256, checksum, error), error);
  return checksum;
}

// The lines written to the log file `path` from byte `offset` on; lines without a time are skipped.
inline std::vector<SLogLine> ReadLogFrom(const std::string& path, uint64_t offset) {
  std::ifstream in(path);
  Check(static_cast<bool>(in), "cannot read the log " + path);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<SLogLine> lines;
  for (std::string text; std::getline(in, text);) {
    struct tm parts {};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms) != 7)
      continue;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    lines.push_back({static_cast<int64_t>(::timegm(&parts)) * 1000 + ms, std::move(text)});
  }
  return lines;
}

// A loop device bound to `file` for the scope: a kernel block device like an attached volume. Bound
// with autoclear, so the kernel releases it should the program die; released at scope end. With
// `directIo` the device reads and writes its file direct (4 KiB blocks), so that it costs what the
// storage under the file costs, not the page cache's copies.
inline bool g_loopDirectIo = false;

class CLoopDevice {
 public:
  explicit CLoopDevice(const std::string& file, bool directIo = g_loopDirectIo) {
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    const int backing = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    // Another process may take the free device first: ask again.
    for (int attempt = 0; attempt < 50 && fd_ < 0 && control >= 0 && backing >= 0; ++attempt) {
      const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
      if (number < 0) break;
      path_ = "/dev/loop" + std::to_string(number);
      fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
      loop_config config{};
      config.fd = static_cast<__u32>(backing);
      config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (directIo ? LO_FLAGS_DIRECT_IO : 0);
      if (directIo) config.block_size = 4096;
      if (fd_ >= 0 && ::ioctl(fd_, LOOP_CONFIGURE, &config) == 0) break;
      if (fd_ >= 0) ::close(fd_);
      fd_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a node devtmpfs has not made yet
    }
    if (control >= 0) ::close(control);
    if (backing >= 0) ::close(backing);
    Check(fd_ >= 0, "no loop device could be bound to " + file);
  }
  ~CLoopDevice() {
    ::ioctl(fd_, LOOP_CLR_FD, 0);
    ::close(fd_);
  }
  CLoopDevice(const CLoopDevice&) = delete;
  CLoopDevice& operator=(const CLoopDevice&) = delete;
  const std::string& Path() const { return path_; }
  // Drops what the page cache holds of the device, so that a buffered reader reads the device.
  void DropCache() const { ::ioctl(fd_, BLKFLSBUF, 0); }

 private:
  std::string path_;
  int fd_ = -1;
};

// Processor time (user and system, every thread) of this process so far, in seconds.
inline double CpuSeconds() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs `argv` (a program looked up in PATH; its output discarded) and returns its wall time; its
// processor time in `cpu` when given.
inline double TimeCommand(const std::vector<std::string>& args, double* cpu = nullptr) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  Check(rc == 0, "cannot run " + args[0]);
  int status = 0;
  struct rusage usage {};
  Check(::wait4(pid, &status, 0, &usage) == pid, "wait4 failed");
  const double seconds = SecondsSince(start);
  if (cpu)
    *cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, args[0] + " failed");
  return seconds;
}

// The bytes a file holds on its file system (st_blocks).
inline uint64_t AllocatedOf(const std::string& path) {
  struct stat st {};
  Check(::stat(path.c_str(), &st) == 0, "cannot stat " + path);
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

// The machine's load average over the last minute, as uptime shows it.
inline double LoadAverage() {
  double load = -1;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &load) != 1) load = -1;
    std::fclose(f);
  }
  return load;
}

}  // namespace benchutil
