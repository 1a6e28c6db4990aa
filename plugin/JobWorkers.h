#pragma once
// Work of one job done side by side on threads of its own (a restore's volumes, each waiting for the
// cloud to provision it). The host does not promise that its error code and details or its logger
// are safe from other threads than the job's, so a worker reaches them only through its job thread:
// the lines it logs (CPluginLog) are handed over and written by the job thread while it waits, and
// the error it records (COracleCloudInfo::SetLastVMError and ...Details) stays its own until the job
// thread has joined it and reports it (ReportFirstFailure). A worker does reach the cloud bridge
// (its last error is kept per thread), the registry (which serialises every job of the proxy) and the
// job's cancel flag (which the agent sets from a thread of its own).
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/EvDebug.h"
#include "host/Mutex.h"
#include "host/VMInfoErrors.h"

class CVMInfo;

class CJobWorkers {
 public:
  // The error a worker recorded.
  struct SError {
    EVMInfoError code = VMERR_NONE;
    bool hasDetails = false;
    string details;
  };

  // `hostLog`: the host's logger of the job, which writes the workers' lines.
  explicit CJobWorkers(EvDebug& hostLog);
  // Waits for the workers that still run.
  ~CJobWorkers();
  CJobWorkers(const CJobWorkers&) = delete;
  CJobWorkers& operator=(const CJobWorkers&) = delete;

  // Starts `work` on a thread of its own. False when the system could not start one: the worker then
  // counts as failed, its error naming `what` ("create the volume of disk [x]") and the cause.
  bool Start(const string& what, std::function<bool()> work) EXCLUDES(mutex_);
  // On the job thread: writes the workers' lines as they come until every worker has ended, then joins
  // them. True when every work returned true.
  bool Wait() EXCLUDES(mutex_);
  // After Wait, on the job thread: the error of the first failed worker (in start order) becomes the
  // host's; `fallback` is the code of one that recorded none.
  void ReportFirstFailure(CVMInfo& host, EVMInfoError fallback) const;

  // The error of the worker whose thread calls; nullptr on any other thread.
  static SError* ErrorOfThisThread();
  // On a worker thread: hands a log line to the job thread and says true; false on any other thread.
  static bool PostLine(bool isError, int level, const char* tag, const string& text);

 private:
  struct SLine {
    bool isError;
    int level;
    string tag, text;
  };
  struct SWorker {
    CJobWorkers* owner = nullptr;
    SError error;
    bool ok = false;
    std::thread thread;
  };
  void Run(SWorker& worker, const string& what, const std::function<bool()>& work) EXCLUDES(mutex_);
  // On the worker's thread: its work ended with an exception.
  static void Fail(SWorker& worker, const string& text);

  static thread_local SWorker* current_;
  EvDebug& log_;
  Mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<SWorker>> workers_;
  std::deque<SLine> lines_ GUARDED_BY(mutex_);
  size_t running_ GUARDED_BY(mutex_) = 0;
};
