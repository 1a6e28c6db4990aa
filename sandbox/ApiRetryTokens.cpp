#include "ApiRetryTokens.h"

#include "host/HostClock.h"

namespace cloudsim {

CRetryTokens::EClaim CRetryTokens::Claim(const std::string& token, const std::string& request, SKeptAnswer& answer) {
  MutexLock lock(mutex_);
  for (;;) {
    const int64_t now = HostClock::Now();
    ForgetOld(now);
    auto it = entries_.find(token);
    if (it == entries_.end()) {
      entries_[token] = SEntry{request, false, {}, ++nextSeq_};
      order_.push_back({now, nextSeq_, token});
      return EClaim::Run;
    }
    if (it->second.request != request) return EClaim::Conflict;
    if (it->second.done) {
      answer = it->second.answer;
      return EClaim::Replay;
    }
    // The first request still runs: its answer (or its forgotten token) ends the wait.
    lock.Wait(finished_);
  }
}

void CRetryTokens::Finish(const std::string& token, const SKeptAnswer& answer) {
  {
    MutexLock lock(mutex_);
    auto it = entries_.find(token);
    if (it != entries_.end()) {
      if (answer.status >= 500) {
        entries_.erase(it);
      } else {
        it->second.done = true;
        it->second.answer = answer;
      }
    }
  }
  finished_.notify_all();
}

void CRetryTokens::ForgetOld(int64_t now) {
  while (!order_.empty() && (order_.size() > kKept || order_.front().at < now - kLifeSeconds)) {
    auto it = entries_.find(order_.front().token);
    // A token forgotten and given again has a newer entry; one still running stays until its request ends.
    const bool current = it != entries_.end() && it->second.seq == order_.front().seq;
    if (current && !it->second.done) break;
    if (current) entries_.erase(it);
    order_.pop_front();
  }
}

}  // namespace cloudsim
