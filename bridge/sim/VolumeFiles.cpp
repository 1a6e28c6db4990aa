#include "bridge/sim/VolumeFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "bridge/sim/SimDb.h"

namespace sim {

namespace {

constexpr uint64_t kSector = 512;

class CFd {
 public:
  CFd(const std::string& path, int flags, mode_t mode = 0644) : fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {
    if (fd_ < 0) throw CSimError("Cannot open [" + path + "]: " + std::strerror(errno));
  }
  ~CFd() { ::close(fd_); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void WriteAll(int fd, const char* data, size_t size, off_t offset, const std::string& path) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw CSimError("Cannot write [" + path + "]: " + std::strerror(errno));
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
}

}  // namespace

void CreateSparseFile(const std::string& path, uint64_t size) {
  CFd fd(path, O_WRONLY | O_CREAT | O_EXCL);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    throw CSimError("Cannot size [" + path + "]: " + std::strerror(errno));
  }
}

void SampleRunOffsets(uint64_t size, uint64_t offsets[3]) {
  offsets[0] = kMiB;
  offsets[1] = (size / 2) / kMiB * kMiB;
  offsets[2] = size - 2 * kMiB;
}

std::string SampleSectorText(const std::string& name, uint64_t sector) {
  return name + " sector " + std::to_string(sector) + "\n";
}

void WriteSampleVolume(const std::string& path, const std::string& id, const std::string& name, uint64_t size) {
  if (size < 4 * kMiB) throw CSimError("A sample volume needs 4 MiB or more");
  CFd fd(path, O_WRONLY | O_CREAT | O_EXCL);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    throw CSimError("Cannot size [" + path + "]: " + std::strerror(errno));
  }
  std::string header = "SIMVOLUME\nid=" + id + "\nname=" + name + "\nsize=" + std::to_string(size) + "\n";
  header.resize(kSampleHeaderBytes, '\0');
  WriteAll(fd.get(), header.data(), header.size(), 0, path);

  uint64_t offsets[3];
  SampleRunOffsets(size, offsets);
  std::vector<char> run(kSampleRunBytes);
  for (uint64_t offset : offsets) {
    for (uint64_t at = 0; at < kSampleRunBytes; at += kSector) {
      uint64_t sector = (offset + at) / kSector;
      std::memset(run.data() + at, static_cast<int>(sector & 0xff), kSector);
      std::string text = SampleSectorText(name, sector);
      std::memcpy(run.data() + at, text.data(), std::min<size_t>(text.size(), kSector));
    }
    WriteAll(fd.get(), run.data(), run.size(), static_cast<off_t>(offset), path);
  }
}

std::string ImageStartBytes(const std::string& imageId) {
  std::string bytes(kImageStartBytes, '\0');
  for (uint64_t sector = 0; sector < kImageStartBytes / kSector; ++sector) {
    char* at = bytes.data() + sector * kSector;
    std::memset(at, 'a' + static_cast<int>(sector % 26), kSector);
    std::string text = "image " + imageId + " sector " + std::to_string(sector) + "\n";
    std::memcpy(at, text.data(), std::min<size_t>(text.size(), kSector));
  }
  return bytes;
}

void WriteImageVolume(const std::string& path, const std::string& imageId, uint64_t size) {
  CreateSparseFile(path, size);
  CFd fd(path, O_WRONLY);
  std::string bytes = ImageStartBytes(imageId);
  WriteAll(fd.get(), bytes.data(), static_cast<size_t>(std::min<uint64_t>(size, bytes.size())), 0, path);
}

void WriteBytesAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  CFd fd(path, O_WRONLY | O_NOFOLLOW);
  WriteAll(fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset), path);
  if (::fsync(fd.get()) != 0) throw CSimError("Cannot flush [" + path + "]: " + std::strerror(errno));
}

void CopySparseFile(const std::string& from, const std::string& to) {
  CFd in(from, O_RDONLY);
  off_t size = ::lseek(in.get(), 0, SEEK_END);
  if (size < 0) throw CSimError("Cannot read [" + from + "]: " + std::strerror(errno));
  CFd out(to, O_WRONLY | O_CREAT | O_EXCL);
  if (::ftruncate(out.get(), size) != 0) throw CSimError("Cannot size [" + to + "]: " + std::strerror(errno));
  std::vector<char> buffer(kMiB);
  off_t data = 0;
  while (data < size) {
    data = ::lseek(in.get(), data, SEEK_DATA);
    if (data < 0) break;  // ENXIO: only a hole is left
    off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
    if (hole < 0) hole = size;
    while (data < hole) {
      size_t chunk = static_cast<size_t>(std::min<off_t>(hole - data, static_cast<off_t>(buffer.size())));
      ssize_t n = ::pread(in.get(), buffer.data(), chunk, data);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw CSimError("Cannot read [" + from + "]: " + std::strerror(errno));
      WriteAll(out.get(), buffer.data(), static_cast<size_t>(n), data, to);
      data += n;
    }
  }
  if (::fsync(out.get()) != 0) throw CSimError("Cannot flush [" + to + "]: " + std::strerror(errno));
}

}  // namespace sim
