// The read-back of a stored copy checks every chunk against the check of the bytes the copy read:
// a byte changed in a stored chunk, data where the copy left a hole, a lost chunk or a wrong length
// fail the verify and name the chunk; the copy as stored passes.
#include <fcntl.h>
#include <unistd.h>

#include "HostTestUtil.h"
#include "agent/diskio/DiskCopy.h"

using namespace agent;

namespace {

constexpr size_t kMiB = 1 << 20, kSize = 8 * kMiB + 4096;  // a short last chunk

void WriteAt(const std::string& path, size_t offset, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

TEST(AgentDataPath, VerifyOfAStoredCopyFindsTheChunkThatChanged) {
  hosttest::TempDir dir;
  const std::string disk = dir / "volume", store = dir / "disk.img";
  // Data in chunks 0, 2 and the short last one; the rest holes (chunk 4 written zeros).
  hosttest::SparseFile(disk, kSize,
                       {{0, std::string(kMiB, 'a')},
                        {2 * kMiB + 100, std::string(5000, 'b')},
                        {4 * kMiB, std::string(kMiB, '\0')},
                        {8 * kMiB, std::string(4096, 'c')}});
  const struct {
    const char* name;
    std::function<void()> damage;
    std::string error;  // empty: verified
  } cases[] = {
      {"as stored", [] {}, ""},
      {"a byte of a data chunk", [&] { WriteAt(store, 2 * kMiB + 4999, "x"); }, "the chunk at 2097152 differs"},
      {"a byte of the short last chunk", [&] { WriteAt(store, kSize - 1, "x"); }, "the chunk at 8388608 differs"},
      {"data where the copy left a hole", [&] { WriteAt(store, 5 * kMiB + 7, "x"); }, "the chunk at 5242880 differs"},
      {"a data chunk punched out",
       [&] {
         const int fd = ::open(store.c_str(), O_WRONLY);
         EXPECT_EQ(::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, kMiB), 0);
         ::close(fd);
       },
       "the chunk at 0 differs"},
      {"a longer file", [&] { EXPECT_EQ(::truncate(store.c_str(), kSize + 4096), 0); },
       "holds 8396800 bytes, not the 8392704 read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SDiskCopyResult copied;
    std::string error;
    ASSERT_TRUE(CopyDiskSparse(disk, kSize, store, copied, error)) << error;
    ASSERT_EQ(copied.checks.size(), 9u);
    c.damage();
    EXPECT_EQ(VerifyStoredCopy(store, copied, error), c.error.empty()) << error;
    if (!c.error.empty()) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
    // Without the checks the stored copy is hashed again, and finds the same damage.
    copied.checks.clear();
    EXPECT_EQ(VerifyStoredCopy(store, copied, error), c.error.empty()) << error;
  }
}

}  // namespace
