#pragma once
// Small helpers the benchmark programs share: checks that end the run, timing, temporary folders and
// incompressible data.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
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

}  // namespace benchutil
