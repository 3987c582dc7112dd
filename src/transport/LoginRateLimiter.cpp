#include "transport/LoginRateLimiter.h"

#include <algorithm>

namespace vh {

TLoginRateLimiter::TLoginRateLimiter(double perSecond, double burst)
    : perMs_(perSecond / 1000.0), burst_(std::max(burst, 1.0)) {}

void TLoginRateLimiter::ForgetIdle(double nowMs) {
  // A bucket that has refilled completely holds nothing a new bucket would not.
  const double refillMs = burst_ / perMs_;
  std::erase_if(buckets_, [&](const auto& entry) {
    const double idle = nowMs - entry.second.lastMs;
    return idle < 0 || idle >= refillMs;
  });
}

bool TLoginRateLimiter::Allow(const std::string& address, double nowMs) {
  auto it = buckets_.find(address);
  if (it == buckets_.end()) {
    if (buckets_.size() >= kMaxTracked) ForgetIdle(nowMs);
    // Still full: more addresses than it can remember are active within one refill time.
    // Such a flood comes from forged sources; refusing unknown addresses then would lock
    // real players out, so they pass unlimited until room is free.
    if (buckets_.size() >= kMaxTracked) return true;
    buckets_.emplace(address, TBucket{burst_ - 1, nowMs});
    return true;
  }
  TBucket& b = it->second;
  const double elapsed = nowMs - b.lastMs;
  // A clock that went backwards refills nothing and does not lock the address out.
  if (elapsed > 0) b.tokens = std::min(burst_, b.tokens + elapsed * perMs_);
  b.lastMs = nowMs;
  if (b.tokens < 1) return false;
  b.tokens -= 1;
  return true;
}

}  // namespace vh
