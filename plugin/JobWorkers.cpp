#include "plugin/JobWorkers.h"

#include <algorithm>
#include <system_error>

#include "host/CVMInfo.h"
#include "plugin/PluginLog.h"

thread_local CJobWorkers::SWorker* CJobWorkers::current_ = nullptr;

CJobWorkers::CJobWorkers(EvDebug& hostLog) : log_(hostLog) {}

CJobWorkers::~CJobWorkers() {
  try {
    Wait();
  } catch (...) {
    // A line that could not be written: the threads are joined all the same.
    for (auto& worker : workers_)
      if (worker->thread.joinable()) worker->thread.join();
  }
}

bool CJobWorkers::Start(const string& what, std::function<bool()> work) {
  workers_.push_back(std::make_unique<SWorker>());
  SWorker& worker = *workers_.back();
  worker.owner = this;
  {
    MutexLock lock(mutex_);
    ++running_;
  }
  try {
    worker.thread = std::thread([this, &worker, what, work = std::move(work)] { Run(worker, what, work); });
    return true;
  } catch (const std::system_error& e) {
    {
      MutexLock lock(mutex_);
      --running_;
    }
    worker.error.hasDetails = true;
    worker.error.details = "No thread could be started to " + what + ": " + e.what();
    EVERROR(log_, "%s", worker.error.details.c_str());
    return false;
  }
}

void CJobWorkers::Run(SWorker& worker, const string& what, const std::function<bool()>& work) {
  current_ = &worker;
  bool ok = false;
  try {
    ok = work();
  } catch (const std::exception& e) {
    Fail(worker, "Could not " + what + ": " + e.what());
  } catch (...) {
    Fail(worker, "Could not " + what + ": an unknown exception");
  }
  current_ = nullptr;
  MutexLock lock(mutex_);
  worker.ok = ok;
  --running_;
  changed_.notify_all();
}

void CJobWorkers::Fail(SWorker& worker, const string& text) {
  worker.error.hasDetails = true;
  worker.error.details = text;
  PostLine(true, 1, __PRETTY_FUNCTION__, text);
}

bool CJobWorkers::Wait() {
  for (bool done = false; !done;) {
    std::deque<SLine> lines;
    {
      MutexLock lock(mutex_);
      while (lines_.empty() && running_ != 0) lock.Wait(changed_);
      lines.swap(lines_);
      done = running_ == 0;  // an ended worker posts nothing more
    }
    for (const SLine& line : lines)
      CPluginLog::WriteToHost(log_, line.isError, line.level, line.tag.c_str(), line.text);
  }
  for (auto& worker : workers_)
    if (worker->thread.joinable()) worker->thread.join();
  return std::all_of(workers_.begin(), workers_.end(), [](const auto& worker) { return worker->ok; });
}

void CJobWorkers::ReportFirstFailure(CVMInfo& host, EVMInfoError fallback) const {
  const auto failed = std::find_if(workers_.begin(), workers_.end(), [](const auto& worker) { return !worker->ok; });
  if (failed == workers_.end()) return;
  const SError& error = (*failed)->error;
  if (error.hasDetails) host.SetLastVMErrorDetails(error.details);
  host.SetLastVMError(error.code != VMERR_NONE ? error.code : fallback);
}

CJobWorkers::SError* CJobWorkers::ErrorOfThisThread() { return current_ ? &current_->error : nullptr; }

bool CJobWorkers::PostLine(bool isError, int level, const char* tag, const string& text) {
  SWorker* worker = current_;
  if (!worker) return false;
  CJobWorkers& owner = *worker->owner;
  MutexLock lock(owner.mutex_);
  owner.lines_.push_back({isError, level, tag ? tag : "", text});
  owner.changed_.notify_all();
  return true;
}
