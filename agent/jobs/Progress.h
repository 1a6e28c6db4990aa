#pragma once
// The job's progress on stderr, never on stdout (which holds the command's result). On a terminal one
// status line, redrawn in place; otherwise plain lines, at most one every few seconds per step besides
// one at each step's start and end. `--quiet` silences it. Thread-safe: disks copy on several threads.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

#include "host/HostTypes.h"
#include "host/Mutex.h"

namespace agent {

class CProgress {
 public:
  // Process-wide: quiet, and whether stderr is a terminal (read once, at the first step).
  static void SetQuiet(bool quiet);

  // A step that moves bytes: "<what>: 1.5 GiB of 4.0 GiB (37%), 210 MiB/s" as Advance reports.
  CProgress(string what, UINT64 totalBytes);
  // A step that waits for the cloud: "<what>: waiting, 40 s".
  explicit CProgress(string what);
  // The end line: "<what>: done in 12 s", or "stopped after 12 s" unless Done() was called.
  ~CProgress();
  CProgress(const CProgress&) = delete;
  CProgress& operator=(const CProgress&) = delete;

  // Bytes done so far (of the total). Any thread.
  void Advance(UINT64 done);
  void Done() { done_ = true; }

 private:
  void Show(bool force);
  string StatusLine() const;

  const string what_;
  const UINT64 total_;
  const bool bytes_;
  const std::chrono::steady_clock::time_point start_;
  std::atomic<UINT64> done_bytes_{0};
  bool done_ = false;
  // A wait has no bytes to report: a ticker shows how long it has waited.
  Mutex tickMutex_;
  std::chrono::steady_clock::time_point lastShown_ GUARDED_BY(tickMutex_);
  std::condition_variable tick_;
  bool stop_ GUARDED_BY(tickMutex_) = false;
  std::thread ticker_;
};

}  // namespace agent
