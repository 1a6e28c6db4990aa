#include "agent/diskio/ProgressHook.h"

namespace agent {

namespace {
thread_local CProgressHook* t_hook = nullptr;
}

CProgressHook::CProgressHook(std::function<void(UINT64)> report) : report_(std::move(report)), outer_(t_hook) {
  t_hook = this;
}

CProgressHook::~CProgressHook() { t_hook = outer_; }

void CProgressHook::Report(UINT64 bytesDone) {
  if (t_hook && t_hook->report_) t_hook->report_(bytesDone);
}

}  // namespace agent
