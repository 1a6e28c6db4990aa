#include "agent/PipelinedDigest.h"

CPipelinedDigest::CPipelinedDigest(size_t buffers, size_t bufferBytes)
    : buffers_(buffers, std::vector<char>(bufferBytes)), thread_([this] { Run(); }) {
  for (size_t i = 0; i < buffers; ++i) free_.push_back(i);
}

CPipelinedDigest::~CPipelinedDigest() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

size_t CPipelinedDigest::Borrow() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !free_.empty(); });
  const size_t index = free_.back();
  free_.pop_back();
  return index;
}

void CPipelinedDigest::Push(SItem item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(item);
  }
  changed_.notify_all();
}

void CPipelinedDigest::Data(size_t index, size_t bytes) { Push({index, bytes}); }

void CPipelinedDigest::Zeros(UINT64 count) {
  if (count > 0) Push({kZeros, count});
}

SDiskChecksum CPipelinedDigest::Finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
  return digest_.Finish();
}

void CPipelinedDigest::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and nothing left to hash
    const SItem item = queue_.front();
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    // Only this thread touches the digest and the buffer it was handed until it gives it back.
    if (item.buffer == kZeros) digest_.Zeros(item.bytes);
    else digest_.Update(buffers_[item.buffer].data(), static_cast<size_t>(item.bytes));
    lock.lock();
    --busy_;
    if (item.buffer != kZeros) free_.push_back(item.buffer);
    changed_.notify_all();
  }
}
