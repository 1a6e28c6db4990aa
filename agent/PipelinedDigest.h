#pragma once
// A disk checksum computed on a thread of its own beside the work that feeds it, so that hashing a
// disk overlaps reading and writing it. The feeder borrows a buffer, fills it, hands it over with Data();
// the hashing thread gives it back once hashed. Zeros() adds a run of zero bytes (a hole) in its
// place in the stream. Finish() waits for everything handed over and returns the checksum.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/DiskRegions.h"

class CPipelinedDigest {
 public:
  explicit CPipelinedDigest(size_t buffers = 2, size_t bufferBytes = kDiskChunk);
  ~CPipelinedDigest();
  CPipelinedDigest(const CPipelinedDigest&) = delete;
  CPipelinedDigest& operator=(const CPipelinedDigest&) = delete;

  // A free buffer (waits while every buffer is still being hashed); its index goes back to Data().
  size_t Borrow();
  char* BufferData(size_t index) { return buffers_[index].data(); }
  void Data(size_t index, size_t bytes);
  void Zeros(UINT64 count);
  SDiskChecksum Finish();

 private:
  struct SItem {
    size_t buffer;  // kZeros: a run of zeros of `bytes`
    UINT64 bytes;
  };
  static constexpr size_t kZeros = static_cast<size_t>(-1);
  void Run();
  void Push(SItem item);

  std::vector<std::vector<char>> buffers_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SItem> queue_;
  std::vector<size_t> free_;
  bool stopping_ = false;
  size_t busy_ = 0;  // items taken off the queue and not hashed yet
  CDiskDigest digest_;
  std::thread thread_;  // last: it starts once everything above exists
};
