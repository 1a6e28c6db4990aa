#pragma once
// When a request of the cloud's API is tried again, and how long the client waits first. The service
// answers 429 while it throttles and 500, 502, 503 or 504 while it is briefly unwell, and a connection
// may drop before its answer came: those attempts are tried again, after an exponential back-off with
// full jitter (at least the answer's retry-after), all attempts of one call within one time budget.
// Any other answer, and a connection that could not be made at all, is the call's outcome at once.
#include <cstdint>
#include <string>

#include "bridge/rest/HttpClient.h"

namespace OracleCloudSDKCppBridge {

// VirtualServer key of the budget of one call's attempts, in seconds; 0: every call is tried once.
constexpr const char* kRetryBudgetKey = "nOCIRequestRetryBudgetSeconds";
constexpr uint32_t kDefaultRetryBudgetSeconds = 180;
// How long after its create a resource's GET by id may still answer 404 while the service catches up.
constexpr int64_t kCreateSettleMilliseconds = 30'000;

// What a call does after one of its attempts.
enum class EAttemptStep {
  Return,      // answered with success
  Done,        // a DELETE whose earlier attempt may have deleted it answers 404: deleted
  Retry,       // throttled, unwell or dropped: try again within the budget
  RetryFresh,  // 404 from a GET of a resource created moments ago: try again until it settles
  Fail,        // any other answer, or no connection: the call fails with it
};

// `failure` None means the attempt was answered with `status`. `outcomeUnknown`: an earlier attempt
// of the call, or an earlier send of this one (SHttpResponse::resent), may have taken effect (see
// LeavesOutcomeUnknown); `freshlyCreated`: the call is a GET by
// id of a resource this session created less than kCreateSettleMilliseconds ago.
EAttemptStep NextStep(const std::string& method, EHttpFailure failure, long status, bool outcomeUnknown,
                      bool freshlyCreated);
// Whether an attempt may have taken effect though the client cannot tell: no answer, or a 5xx one.
bool LeavesOutcomeUnknown(EHttpFailure failure, long status);

// The longest back-off before retry `retry` (1, 2, ...): min(30 s, 1 s * 2^(retry-1)).
uint64_t BackoffCeilingMilliseconds(int retry);
// The wait a retry-after header asks for (seconds, or an HTTP date against `nowSeconds`); 0 for none.
uint64_t RetryAfterMilliseconds(const std::string& value, long long nowSeconds);

// The attempts of one call and the waits between them, on the host clock (HostClock), from its
// construction on.
class CRetrySchedule {
 public:
  explicit CRetrySchedule(uint32_t budgetSeconds);
  void CountAttempt() { ++attempts_; }
  int Attempts() const { return attempts_; }
  // Sleeps the back-off before the next attempt, at least `minimumMs`; false without sleeping when the
  // wait would end past the budget or past `deadlineMs` (host clock milliseconds; 0: none).
  bool WaitForNextAttempt(uint64_t minimumMs, int64_t deadlineMs = 0);

 private:
  int64_t startMs_, budgetMs_;
  int attempts_ = 0;
};

}  // namespace OracleCloudSDKCppBridge
