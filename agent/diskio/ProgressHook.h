#pragma once
// How far the disk I/O of the calling thread got, for the job's progress line: a job sets a hook for
// the scope of one disk's copy, write or sync, and the copy reports the bytes done from the thread
// that receives its chunks in order. Without a hook a report does nothing.
#include <functional>

#include "host/HostTypes.h"

namespace agent {

class CProgressHook {
 public:
  explicit CProgressHook(std::function<void(UINT64 bytesDone)> report);
  ~CProgressHook();
  CProgressHook(const CProgressHook&) = delete;
  CProgressHook& operator=(const CProgressHook&) = delete;

  // Passes the bytes done to the hook of the calling thread, if it has one.
  static void Report(UINT64 bytesDone);

 private:
  std::function<void(UINT64)> report_;
  CProgressHook* outer_;
};

}  // namespace agent
