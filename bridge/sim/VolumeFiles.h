#pragma once
// The files that hold the bytes of volumes and snapshots: sparse, so that a 256 MiB volume with
// a few MiB of data costs a few MiB of disk.
#include <cstdint>
#include <string>

namespace sim {

constexpr uint64_t kMiB = uint64_t{1024} * 1024;
constexpr uint64_t kSampleHeaderBytes = 4096;
constexpr uint64_t kSampleRunBytes = uint64_t{512} * 1024;

// Creates a file of `size` bytes that holds only holes. Throws CSimError when it exists.
void CreateSparseFile(const std::string& path, uint64_t size);

// Creates a volume file with recognisable data: a header block naming the volume, then runs of
// sectors that each begin with "<name> sector <n>" at three offsets (SampleRunOffsets), holes
// between them.
void WriteSampleVolume(const std::string& path, const std::string& id, const std::string& name, uint64_t size);
// The offsets of the three data runs of a sample volume of `size` bytes (at least 4 MiB).
void SampleRunOffsets(uint64_t size, uint64_t offsets[3]);
// The text that begins sector `sector` of a sample volume named `name`.
std::string SampleSectorText(const std::string& name, uint64_t sector);

// The bytes an image puts at the start of every boot volume launched from it (kImageStartBytes,
// every sector beginning with "image <id> sector <n>", no zero runs), so that a disk written over
// it without covering them is told apart from the disk that was written.
constexpr uint64_t kImageStartBytes = kMiB;
std::string ImageStartBytes(const std::string& imageId);
// Creates the sparse file of a boot volume of `size` bytes launched from the image: the image's
// start bytes (as many as fit), then holes.
void WriteImageVolume(const std::string& path, const std::string& imageId, uint64_t size);

// Writes `bytes` at `offset` into the existing file `path` (never made, never followed as a link)
// and flushes them to disk; the caller keeps the write inside the file's size.
void WriteBytesAt(const std::string& path, uint64_t offset, const std::string& bytes);

// Makes the existing file `to` a copy of `from` (neither followed as a link), holes kept as holes,
// flushed to disk: a clone sharing the blocks (FICLONE) where the file system has it, else copied
// in the kernel (copy_file_range) one data region (SEEK_DATA/SEEK_HOLE) after the other.
void CloneSparseFile(const std::string& from, const std::string& to);
// The same into the new file `to`.
void CopySparseFile(const std::string& from, const std::string& to);

}  // namespace sim
