#include "host/EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <map>

#include "host/FXString.h"
#include "host/HostClock.h"
#include "host/HostEnvironment.h"
#include "host/Mutex.h"

namespace {

struct SLogState {
  Mutex mutex;
  std::deque<SLogRecord> records GUARDED_BY(mutex);
  size_t capacity GUARDED_BY(mutex) = 100000;
  bool directorySet GUARDED_BY(mutex) = false;
  string directory GUARDED_BY(mutex);
  // Channel -> (log file path, descriptor).
  std::map<string, std::pair<string, int>> files GUARDED_BY(mutex);
};

SLogState& State() {
  static SLogState* state = new SLogState;  // lives until exit; loggers may run in static destructors
  return *state;
}

std::atomic<int> g_maxLevel{3};
std::atomic<INT64> g_jobId{0};
Mutex g_clientMutex;
string g_clientName GUARDED_BY(g_clientMutex);

// The log folder: the one set, else <agent home>/log once an agent home is configured. Without
// either, lines go to the in-memory sink only.
string LogDirectory(const SLogState& state) REQUIRES(state.mutex) {
  if (state.directorySet) return state.directory;
  const char* home = std::getenv("TZ_BASE_HOME");
  return (home && *home) ? HostEnvironment::UnderHome("log") : string();
}

int OpenChannelFile(SLogState& state, const string& channel) REQUIRES(state.mutex) {
  string dir = LogDirectory(state);
  if (dir.empty()) return -1;
  string path = dir + "/" + channel + ".log";
  auto it = state.files.find(channel);
  if (it != state.files.end()) {
    if (it->second.first == path) return it->second.second;
    if (it->second.second >= 0) ::close(it->second.second);
    state.files.erase(it);
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  // What a job logs names its resources and paths: the owner's alone, also in a folder made earlier.
  ::chmod(dir.c_str(), 0700);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) ::fchmod(fd, 0600);
  state.files[channel] = {path, fd};
  return fd;
}

}  // namespace

EvDebug::EvDebug(string channel) : channel_(std::move(channel)) {}

void EvDebug::Debug(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, 1, tag, format, args);
  va_end(args);
}

void EvDebug::Error(const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(true, 1, tag, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Write(false, level, tag, format, args);
  va_end(args);
}

void EvDebug::Write(bool isError, int level, const char* tag, const char* format, va_list args) {
  if (!isError && level > g_maxLevel.load()) return;
  SLogRecord record{isError, level, tag ? tag : "", FXString::FormatV(format, args)};

  int64_t ms = HostClock::Get().NowMilliseconds();
  time_t seconds = static_cast<time_t>(ms / 1000);
  struct tm parts;
  gmtime_r(&seconds, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  char head[96];
  snprintf(head, sizeof head, "%s.%03d %d:%ld %s%d ", stamp, static_cast<int>(ms % 1000), getpid(),
           static_cast<long>(syscall(SYS_gettid)), isError ? "ERR" : "DBG", level);
  // One line per call in the file: line ends inside a message are written as "\n".
  string line = string(head) + record.tag + " ";
  for (char c : record.message) {
    if (c == '\n')
      line += "\\n";
    else if (c != '\r')
      line += c;
  }
  line += "\n";

  SLogState& state = State();
  MutexLock lock(state.mutex);
  int fd = OpenChannelFile(state, channel_);
  if (fd >= 0) {
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
  }
  state.records.push_back(std::move(record));
  while (state.records.size() > state.capacity) state.records.pop_front();
}

void EvDebug::SetMaxLevel(int level) { g_maxLevel.store(level); }

void EvDebug::SetLogDirectory(const string& directory) {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  for (auto& [channel, file] : state.files)
    if (file.second >= 0) ::close(file.second);
  state.files.clear();
  state.directorySet = true;
  state.directory = directory;
}

void EvDebug::ResetLogDirectory() {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  for (auto& [channel, file] : state.files)
    if (file.second >= 0) ::close(file.second);
  state.files.clear();
  state.directorySet = false;
  state.directory.clear();
}

namespace EvLogSink {

std::vector<SLogRecord> Records() {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  return {state.records.begin(), state.records.end()};
}

void Clear() {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  state.records.clear();
}

bool Contains(const string& text, const string& tagPart) {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  for (const auto& r : state.records)
    if (r.message.find(text) != string::npos && (tagPart.empty() || r.tag.find(tagPart) != string::npos)) return true;
  return false;
}

size_t Count(const string& text) {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  size_t n = 0;
  for (const auto& r : state.records)
    if (r.message.find(text) != string::npos) ++n;
  return n;
}

void SetCapacity(size_t lines) {
  SLogState& state = State();
  MutexLock lock(state.mutex);
  state.capacity = lines;
}

}  // namespace EvLogSink

INT64 EvEvent::getJobId() { return g_jobId.load(); }

string EvEvent::getClientName() {
  MutexLock lock(g_clientMutex);
  return g_clientName;
}

void EvEvent::setJob(INT64 jobId, const string& clientName) {
  g_jobId.store(jobId);
  MutexLock lock(g_clientMutex);
  g_clientName = clientName;
}
