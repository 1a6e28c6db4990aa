#pragma once
// Retry tokens as the service honours them: a change that carries opc-retry-token runs once; a request
// with the same token, method, target and body gets the first answer again (also when that answer never
// reached the client), one with the same token and anything else gets 409 Conflict, and one that arrives
// while the first still runs waits for it. Tokens live in the emulator's memory for 24 hours, at most
// kKept of them; an answer of 500 or more is not kept, so that a retry runs anew.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/Mutex.h"

namespace cloudsim {

// What a replay sends again.
struct SKeptAnswer {
  int status = 0;
  std::string body;
  std::string contentType;
  std::vector<std::pair<std::string, std::string>> headers;  // etag, opc-work-request-id, ...
};

class CRetryTokens {
 public:
  static constexpr size_t kKept = 10000;
  static constexpr int64_t kLifeSeconds = int64_t{24} * 3600;

  enum class EClaim { Run, Replay, Conflict };
  // `request` identifies what the token was given for (method, target and a hash of the body).
  // Run: the token is new, the caller runs the request and then calls Finish. Replay: `answer` is the
  // first answer. Conflict: the token was given for another request.
  EClaim Claim(const std::string& token, const std::string& request, SKeptAnswer& answer) EXCLUDES(mutex_);
  // Ends a Run claim: keeps `answer` for the token, or forgets the token when it is 500 or more.
  void Finish(const std::string& token, const SKeptAnswer& answer) EXCLUDES(mutex_);

 private:
  struct SEntry {
    std::string request;
    bool done = false;
    SKeptAnswer answer;
    uint64_t seq = 0;  // which entry of order_ is this one's
  };
  struct SGiven {
    int64_t at;
    uint64_t seq;
    std::string token;
  };
  void ForgetOld(int64_t now) REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable finished_;
  std::map<std::string, SEntry> entries_ GUARDED_BY(mutex_);
  std::deque<SGiven> order_ GUARDED_BY(mutex_);  // oldest first
  uint64_t nextSeq_ GUARDED_BY(mutex_) = 0;
};

}  // namespace cloudsim
