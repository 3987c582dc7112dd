#include "admin/LoginFailures.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "common/NetAddress.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "transport/Clocks.h"

namespace vh {

namespace {

// Addresses are at most 45 characters (IPv6); accounts are a server id and a 29-character name.
constexpr size_t kIpRoom = 45;
constexpr size_t kAccountRoom = 48;

void WriteLines(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) LogSecurityEvent(line);
}

}  // namespace

// ---- TLoginAttempt ------------------------------------------------------------------------

TLoginAttempt::~TLoginAttempt() {
  if (table_) table_->Finish(*this, TLoginOutcome::NotChecked);
}

TLoginAttempt::TLoginAttempt(TLoginAttempt&& other) noexcept
    : table_(other.table_),
      ip_(std::move(other.ip_)),
      account_(std::move(other.account_)),
      refused_(other.refused_),
      delayMs_(other.delayMs_) {
  other.table_ = nullptr;
}

TLoginAttempt& TLoginAttempt::operator=(TLoginAttempt&& other) noexcept {
  if (this != &other) {
    if (table_) table_->Finish(*this, TLoginOutcome::NotChecked);
    table_ = other.table_;
    ip_ = std::move(other.ip_);
    account_ = std::move(other.account_);
    refused_ = other.refused_;
    delayMs_ = other.delayMs_;
    other.table_ = nullptr;
  }
  return *this;
}

// ---- TLoginFailures -----------------------------------------------------------------------

TLoginFailures::TLoginFailures(const TClock& clock, std::string interfaceName)
    : clock_(clock), interface_(std::move(interfaceName)) {}

double TLoginFailures::DelayForFailures(uint32_t failures) {
  if (failures < kDelayFrom) return 0;
  const uint32_t doublings = std::min<uint32_t>(failures - kDelayFrom, 16);
  return std::min(kMaxDelayMs, kFirstDelayMs * std::pow(2.0, doublings));
}

bool TLoginFailures::Expired(double last, double now, double retain) {
  // A clock that went backwards also ends the record.
  return now - last > retain || now < last;
}

TLoginAttempt TLoginFailures::Begin(const std::string& ip, const std::string& account) {
  TLoginAttempt attempt;
  attempt.table_ = this;
  attempt.ip_ = Cut(SourceKey(ip), kIpRoom);
  attempt.account_ = Cut(account, kAccountRoom);
  const double now = clock_.NowMs();
  std::vector<std::string> lines;
  {
    TLockGuard lock(mutex_);
    PurgeLocked(now, lines);
    auto found = accounts_.find(attempt.account_);
    attempt.delayMs_ = found == accounts_.end() ? 0 : DelayForFailures(found->second.Failures);
    TAddress& a = addresses_[attempt.ip_];
    if (a.Failures + a.InFlight > kRefuseAbove) {
      attempt.refused_ = true;
      a.LastFailureMs = now;
      if (a.Failures < UINT32_MAX) ++a.Failures;
    }
    ++a.InFlight;
    CapLocked();
  }
  WriteLines(lines);
  return attempt;
}

bool TLoginFailures::Finish(TLoginAttempt& attempt, TLoginOutcome outcome) {
  if (attempt.table_ != this) return false;
  attempt.table_ = nullptr;
  const double now = clock_.NowMs();
  bool close = false;
  std::vector<std::string> lines;
  {
    TLockGuard lock(mutex_);
    auto found = addresses_.find(attempt.ip_);
    if (found == addresses_.end()) return false;  // forgotten meanwhile (the table was full)
    TAddress& a = found->second;
    if (a.InFlight > 0) --a.InFlight;
    if (attempt.refused_) {
      // Counted at Begin; nothing was checked, so the account learns nothing.
      close = a.Failures >= kCloseAt;
    } else if (outcome == TLoginOutcome::Failure) {
      a.LastFailureMs = now;
      if (a.Failures < UINT32_MAX) ++a.Failures;
      ++a.ByAccount[attempt.account_];
      close = a.Failures >= kCloseAt;
      TAccount& acc = accounts_[attempt.account_];
      acc.LastFailureMs = now;
      if (acc.Failures < UINT32_MAX) ++acc.Failures;
      if (!acc.Throttled && acc.Failures >= kDelayFrom) {
        acc.Throttled = true;
        lines.push_back("account throttled [Interface: " + interface_ +
                        ", Failures: " + std::to_string(acc.Failures) + ", DelayMs: " +
                        std::to_string(static_cast<long long>(DelayForFailures(acc.Failures))) +
                        ", Account: " + attempt.account_ + "]");
      }
    } else if (outcome == TLoginOutcome::Success) {
      auto own = a.ByAccount.find(attempt.account_);
      if (own != a.ByAccount.end()) {
        a.Failures -= std::min(a.Failures, own->second);
        a.ByAccount.erase(own);
      }
    }
    if (!a.Throttled && a.Failures > kRefuseAbove) {
      a.Throttled = true;
      lines.push_back("address throttled [Interface: " + interface_ + ", IP: " + attempt.ip_ +
                      ", Failures: " + std::to_string(a.Failures) + "]");
    }
    if (a.Failures == 0 && a.InFlight == 0) {
      if (a.Throttled)
        lines.push_back("address released [Interface: " + interface_ + ", IP: " + attempt.ip_ +
                        "]");
      addresses_.erase(found);
    }
    CapLocked();
  }
  WriteLines(lines);
  return close;
}

bool TLoginFailures::IsRefused(const std::string& ip) {
  const std::string key = Cut(SourceKey(ip), kIpRoom);
  std::vector<std::string> lines;
  bool refused = false;
  {
    TLockGuard lock(mutex_);
    PurgeLocked(clock_.NowMs(), lines);
    auto found = addresses_.find(key);
    refused = found != addresses_.end() && found->second.Failures > kRefuseAbove;
  }
  WriteLines(lines);
  return refused;
}

void TLoginFailures::Purge() {
  std::vector<std::string> lines;
  {
    TLockGuard lock(mutex_);
    PurgeLocked(clock_.NowMs(), lines);
  }
  WriteLines(lines);
}

void TLoginFailures::PurgeLocked(double now, std::vector<std::string>& lines) {
  for (auto it = addresses_.begin(); it != addresses_.end();) {
    TAddress& a = it->second;
    if (a.InFlight == 0 && (a.Failures == 0 || Expired(a.LastFailureMs, now, kRetainMs))) {
      if (a.Throttled)
        lines.push_back("address released [Interface: " + interface_ + ", IP: " + it->first + "]");
      it = addresses_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = accounts_.begin(); it != accounts_.end();) {
    if (Expired(it->second.LastFailureMs, now, kAccountRetainMs)) {
      if (it->second.Throttled)
        lines.push_back("account released [Interface: " + interface_ + ", Account: " + it->first +
                        "]");
      it = accounts_.erase(it);
    } else {
      ++it;
    }
  }
}

// Beyond kMaxTracked the record with the oldest failure goes first; an attacker needs that many
// addresses (or accounts) to push one out, and then only the oldest.
void TLoginFailures::CapLocked() {
  while (addresses_.size() > kMaxTracked) {
    auto oldest = addresses_.end();
    for (auto it = addresses_.begin(); it != addresses_.end(); ++it)
      if (it->second.InFlight == 0 &&
          (oldest == addresses_.end() || it->second.LastFailureMs < oldest->second.LastFailureMs))
        oldest = it;
    if (oldest == addresses_.end()) break;
    addresses_.erase(oldest);
  }
  while (accounts_.size() > kMaxTracked) {
    auto oldest = accounts_.begin();
    for (auto it = accounts_.begin(); it != accounts_.end(); ++it)
      if (it->second.LastFailureMs < oldest->second.LastFailureMs) oldest = it;
    accounts_.erase(oldest);
  }
}

size_t TLoginFailures::Count() const {
  TLockGuard lock(mutex_);
  return addresses_.size();
}

uint32_t TLoginFailures::AccountFailures(const std::string& account) const {
  TLockGuard lock(mutex_);
  auto found = accounts_.find(Cut(account, kAccountRoom));
  return found == accounts_.end() ? 0 : found->second.Failures;
}

void WaitLoginDelay(double ms, const std::atomic<bool>& stop) {
  if (ms <= 0) return;
  using std::chrono::steady_clock;
  const auto until =
      steady_clock::now() + std::chrono::microseconds(static_cast<int64_t>(ms * 1000));
  while (!stop.load()) {
    const auto left = until - steady_clock::now();
    if (left <= steady_clock::duration::zero()) break;
    std::this_thread::sleep_for(
        std::min<steady_clock::duration>(left, std::chrono::milliseconds(100)));
  }
}

double TLoginFailures::AccountDelayMs(const std::string& account) const {
  return DelayForFailures(AccountFailures(account));
}

}  // namespace vh
