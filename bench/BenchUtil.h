#pragma once
// Small helpers the benchmark programs share: checks that end the run, timing, temporary folders,
// incompressible data and the times of the host log's lines.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

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
