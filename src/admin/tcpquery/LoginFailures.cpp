#include "admin/tcpquery/LoginFailures.h"

#include <cmath>

#include "common/Strings.h"
#include "transport/PerformanceTime.h"

namespace vh {

bool TLoginFailures::CountFailedLogin(const std::string& ip) {
  const std::string key = Cut(ip, 20);
  TLockGuard lock(mutex_);
  TLoginFailure* record = nullptr;
  for (TLoginFailure& f : failures_)
    if (f.IP == key) record = &f;
  if (!record) {
    failures_.push_back(TLoginFailure{0, key, 0});
    record = &failures_.back();
  }
  record->LastFailureMs = clock_.NowMs();
  if (record->FailCount < 255) ++record->FailCount;
  return record->FailCount >= kCloseAt;
}

void TLoginFailures::Remove(const std::string& ip) {
  const std::string key = Cut(ip, 20);
  TLockGuard lock(mutex_);
  std::erase_if(failures_, [&](const TLoginFailure& f) { return f.IP == key; });
}

bool TLoginFailures::IsRefused(const std::string& ip) {
  const std::string key = Cut(ip, 20);
  const double now = clock_.NowMs();
  TLockGuard lock(mutex_);
  for (size_t i = failures_.size(); i-- > 0;) {
    const double seconds = std::round((now - failures_[i].LastFailureMs) / 1000.0);
    // A clock that went backwards also ends the record.
    if (seconds > kRetainSeconds || now < failures_[i].LastFailureMs)
      failures_.erase(failures_.begin() + static_cast<std::ptrdiff_t>(i));
  }
  for (const TLoginFailure& f : failures_)
    if (f.IP == key) return f.FailCount > kRefuseAbove;
  return false;
}

size_t TLoginFailures::Count() const {
  TLockGuard lock(mutex_);
  return failures_.size();
}

}  // namespace vh
