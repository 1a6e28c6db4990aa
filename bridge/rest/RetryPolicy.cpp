#include "bridge/rest/RetryPolicy.h"

#include <algorithm>
#include <cstdlib>
#include <random>

#include "bridge/rest/RequestSigner.h"
#include "host/HostClock.h"

namespace OracleCloudSDKCppBridge {
namespace {

constexpr uint64_t kBackoffBaseMs = 1000, kBackoffCapMs = 30'000;

bool IsRetriedStatus(long status) {
  return status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

// uniform(0, ceiling) milliseconds.
uint64_t Jitter(uint64_t ceiling) {
  thread_local std::mt19937_64 random{std::random_device{}()};
  return std::uniform_int_distribution<uint64_t>(0, ceiling)(random);
}

}  // namespace

EAttemptStep NextStep(const std::string& method, EHttpFailure failure, long status, bool outcomeUnknown,
                      bool freshlyCreated) {
  if (failure == EHttpFailure::Dropped) return EAttemptStep::Retry;
  if (failure != EHttpFailure::None) return EAttemptStep::Fail;
  if (status < 300) return EAttemptStep::Return;
  if (IsRetriedStatus(status)) return EAttemptStep::Retry;
  if (status == 404 && method == "DELETE" && outcomeUnknown) return EAttemptStep::Done;
  if (status == 404 && method == "GET" && freshlyCreated) return EAttemptStep::RetryFresh;
  return EAttemptStep::Fail;
}

bool LeavesOutcomeUnknown(EHttpFailure failure, long status) {
  return failure == EHttpFailure::Dropped || (failure == EHttpFailure::None && status >= 500);
}

uint64_t BackoffCeilingMilliseconds(int retry) {
  if (retry < 1) return 0;
  if (retry > 16) return kBackoffCapMs;
  return std::min(kBackoffCapMs, kBackoffBaseMs << (retry - 1));
}

uint64_t RetryAfterMilliseconds(const std::string& value, long long nowSeconds) {
  if (value.empty()) return 0;
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  if (end != value.c_str() && *end == '\0')
    return seconds > 0 ? static_cast<uint64_t>(std::min(seconds, 86'400.0) * 1000) : 0;
  const long long date = ParseHttpDate(value);
  return date > nowSeconds ? static_cast<uint64_t>(date - nowSeconds) * 1000 : 0;
}

CRetrySchedule::CRetrySchedule(uint32_t budgetSeconds)
    : startMs_(HostClock::Get().NowMilliseconds()), budgetMs_(static_cast<int64_t>(budgetSeconds) * 1000) {}

bool CRetrySchedule::WaitForNextAttempt(uint64_t minimumMs, int64_t deadlineMs) {
  if (budgetMs_ == 0) return false;
  const uint64_t waitMs = std::max(minimumMs, Jitter(BackoffCeilingMilliseconds(attempts_)));
  const int64_t wakeMs = HostClock::Get().NowMilliseconds() + static_cast<int64_t>(waitMs);
  if (wakeMs > startMs_ + budgetMs_ || (deadlineMs > 0 && wakeMs > deadlineMs)) return false;
  HostClock::Sleep(waitMs);
  return true;
}

}  // namespace OracleCloudSDKCppBridge
