#include "bridge/sim/VolumeFiles.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "bridge/sim/SimDb.h"
#include "host/ErrnoText.h"

namespace sim {

namespace {

constexpr uint64_t kSector = 512;

class CFd {
 public:
  CFd(const std::string& path, int flags, mode_t mode = 0644) : fd_(::open(path.c_str(), flags | O_CLOEXEC, mode)) {
    if (fd_ < 0) throw CSimError("Cannot open [" + path + "]: " + ErrnoText(errno));
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
    if (n <= 0) throw CSimError("Cannot write [" + path + "]: " + ErrnoText(errno));
    data += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
}

}  // namespace

void CreateSparseFile(const std::string& path, uint64_t size) {
  CFd fd(path, O_WRONLY | O_CREAT | O_EXCL);
  if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    throw CSimError("Cannot size [" + path + "]: " + ErrnoText(errno));
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
    throw CSimError("Cannot size [" + path + "]: " + ErrnoText(errno));
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
    // The text is the sector's first bytes, not a C string.
    // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
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
  if (::fsync(fd.get()) != 0) throw CSimError("Cannot flush [" + path + "]: " + ErrnoText(errno));
}

namespace {

// Copies [from, to) of `in` into `out` at the same offsets: in the kernel (copy_file_range), or
// through a buffer where the files cannot be copied that way.
void CopyRange(int in, int out, off_t from, off_t to, const std::string& source, const std::string& target) {
  bool inKernel = true;
  std::vector<char> buffer;
  while (from < to) {
    const size_t length = static_cast<size_t>(std::min<off_t>(to - from, static_cast<off_t>(kMiB * 64)));
    if (inKernel) {
      loff_t at = from, into = from;
      const ssize_t n = ::copy_file_range(in, &at, out, &into, length, 0);
      if (n > 0) {
        from += n;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
        throw CSimError("Cannot copy [" + source + "] to [" + target + "]: " + ErrnoText(errno));
      }
      inKernel = false;  // n == 0 (a file that cannot tell) or refused: copy through a buffer
      buffer.resize(kMiB);
    }
    const ssize_t n = ::pread(in, buffer.data(), std::min(length, buffer.size()), from);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw CSimError("Cannot read [" + source + "]: " + ErrnoText(errno));
    WriteAll(out, buffer.data(), static_cast<size_t>(n), from, target);
    from += n;
  }
}

}  // namespace

void CloneSparseFile(const std::string& from, const std::string& to) {
  CFd in(from, O_RDONLY | O_NOFOLLOW);
  const off_t size = ::lseek(in.get(), 0, SEEK_END);
  if (size < 0) throw CSimError("Cannot read [" + from + "]: " + ErrnoText(errno));
  CFd out(to, O_WRONLY | O_NOFOLLOW);
  if (::ioctl(out.get(), FICLONE, in.get()) != 0) {
    if (::ftruncate(out.get(), 0) != 0 || ::ftruncate(out.get(), size) != 0) {
      throw CSimError("Cannot size [" + to + "]: " + ErrnoText(errno));
    }
    for (off_t data = 0; data < size;) {
      data = ::lseek(in.get(), data, SEEK_DATA);
      if (data < 0) break;  // ENXIO: only a hole is left
      off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
      if (hole < 0) hole = size;
      CopyRange(in.get(), out.get(), data, hole, from, to);
      data = hole;
    }
  }
  if (::fsync(out.get()) != 0) throw CSimError("Cannot flush [" + to + "]: " + ErrnoText(errno));
}

void CopySparseFile(const std::string& from, const std::string& to) {
  { CFd created(to, O_WRONLY | O_CREAT | O_EXCL); }
  CloneSparseFile(from, to);
}

}  // namespace sim
