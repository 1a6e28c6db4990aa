#pragma once
// Small helpers the benchmark programs share: checks that end the run, timing, temporary folders,
// incompressible data, disk checksums and the times of the host log's lines.
#include <fcntl.h>
#include <stdlib.h>
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

}  // namespace benchutil
