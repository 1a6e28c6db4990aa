#include "agent/jobs/Progress.h"

#include <unistd.h>

#include <cstdio>

#include "cli/DisplayText.h"

namespace agent {

namespace {

std::atomic<bool> g_quiet{false};
// One status line for every step of the process: serialises the writes to stderr, no data of ours.
Mutex g_lineMutex;

bool Terminal() {
  static const bool terminal = ::isatty(STDERR_FILENO) != 0;
  return terminal;
}

// Plain lines (stderr not a terminal) come at most this often per step; a terminal's line is redrawn
// at most this often.
constexpr auto kPlainEvery = std::chrono::seconds(5);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

long long Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::seconds>(d).count();
}

// Writes a line: on a terminal over the status line (cleared first), ended when `final`.
void Emit(const string& line, bool final) {
  if (g_quiet.load()) return;
  MutexLock lock(g_lineMutex);
  if (Terminal())
    std::fprintf(stderr, "\r\033[K%s%s", line.c_str(), final ? "\n" : "");
  else
    std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

void CProgress::SetQuiet(bool quiet) { g_quiet.store(quiet); }

CProgress::CProgress(string what, UINT64 totalBytes)
    : what_(std::move(what)),
      total_(totalBytes),
      bytes_(true),
      start_(std::chrono::steady_clock::now()),
      lastShown_(start_) {
  Emit("backup-agent: " + what_ + ": " + cli::ShownBytes(total_), true);
}

CProgress::CProgress(string what)
    : what_(std::move(what)), total_(0), bytes_(false), start_(std::chrono::steady_clock::now()), lastShown_(start_) {
  Emit("backup-agent: " + what_ + " ...", true);
  if (g_quiet.load()) return;
  ticker_ = std::thread([this] {
    MutexLock lock(tickMutex_);
    const auto every = Terminal() ? std::chrono::steady_clock::duration(std::chrono::seconds(1))
                                  : std::chrono::steady_clock::duration(kPlainEvery);
    for (auto deadline = std::chrono::steady_clock::now() + every; !stop_;) {
      if (lock.WaitUntil(tick_, deadline) || stop_) continue;  // woken (perhaps spuriously) or stopped
      Emit(StatusLine(), !Terminal());
      deadline = std::chrono::steady_clock::now() + every;
    }
  });
}

CProgress::~CProgress() {
  if (ticker_.joinable()) {
    {
      MutexLock lock(tickMutex_);
      stop_ = true;
    }
    tick_.notify_all();
    ticker_.join();
  }
  const long long took = Seconds(std::chrono::steady_clock::now() - start_);
  Emit("backup-agent: " + what_ + (done_ ? ": done in " : ": stopped after ") + std::to_string(took) + " s", true);
}

void CProgress::Advance(UINT64 done) {
  done_bytes_.store(done);
  Show(false);
}

void CProgress::Show(bool force) {
  if (g_quiet.load()) return;
  {
    MutexLock lock(tickMutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastShown_ < (Terminal() ? std::chrono::steady_clock::duration(kRedrawEvery)
                                                 : std::chrono::steady_clock::duration(kPlainEvery)))
      return;
    lastShown_ = now;
  }
  Emit(StatusLine(), !Terminal());
}

string CProgress::StatusLine() const {
  const auto elapsed = std::chrono::steady_clock::now() - start_;
  if (!bytes_) return "backup-agent: " + what_ + ": waiting, " + std::to_string(Seconds(elapsed)) + " s";
  const UINT64 done = done_bytes_.load();
  const double seconds = std::chrono::duration<double>(elapsed).count();
  string line = "backup-agent: " + what_ + ": " + cli::ShownBytes(done) + " of " + cli::ShownBytes(total_);
  if (total_ > 0) line += " (" + std::to_string(done * 100 / total_) + "%)";
  if (seconds > 0.5) line += ", " + cli::ShownBytes(static_cast<UINT64>(static_cast<double>(done) / seconds)) + "/s";
  return line;
}

}  // namespace agent
