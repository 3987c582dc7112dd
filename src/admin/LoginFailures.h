// Failed administrator logins ("FailedLogins") of one interface (TCP query or web), counted
// per remote address and per account. Shared by every connection thread of that interface and
// guarded by one mutex, so opening many connections at once cannot sidestep the counting.
// Time comes from an injected clock; the table only says how long an answer must wait, the
// caller waits (on its own connection, holding nothing shared).
//
// An address (an IPv6 one by its /64, which one host may fill with addresses of its choosing):
// its failures of the last 60 s, per account. More than kRefuseAbove refuse it
// (at connect and at every further attempt) until 60 s pass without a failure. A success clears
// the failures of its own account from that address only. Attempts in flight count as
// failures until they end, so parallel connections cannot all slip through at once.
// An account: its failures from every address in the last 10 minutes. From kDelayFrom on, every
// answer to a login of that account waits a growing delay, capped at kMaxDelayMs: an account
// under attack slows down instead of locking, and its owner still gets in.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vh {

class TClock;
class TLoginFailures;

// What a login attempt ended in.
enum class TLoginOutcome {
  Success,
  Failure,     // wrong name or password, or no permission
  NotChecked,  // the database could not be asked: counted against nobody
};

// One login attempt between Begin and Finish; an attempt dropped unfinished ends NotChecked.
class TLoginAttempt {
 public:
  TLoginAttempt() = default;
  ~TLoginAttempt();
  TLoginAttempt(TLoginAttempt&& other) noexcept;
  TLoginAttempt& operator=(TLoginAttempt&& other) noexcept;
  TLoginAttempt(const TLoginAttempt&) = delete;
  TLoginAttempt& operator=(const TLoginAttempt&) = delete;

  // The address is refused: the password must not be looked at; the attempt is a failure.
  bool Refused() const { return refused_; }
  // How long the answer waits, from Begin, whatever the outcome (so its timing tells nothing).
  double DelayMs() const { return delayMs_; }

 private:
  friend class TLoginFailures;
  TLoginFailures* table_ = nullptr;  // null once finished
  std::string ip_, account_;
  bool refused_ = false;
  double delayMs_ = 0;
};

class TLoginFailures {
 public:
  static constexpr double kRetainMs = 60 * 1000.0;          // an address's record
  static constexpr double kAccountRetainMs = 600 * 1000.0;  // an account's record
  static constexpr uint32_t kCloseAt = 3;                   // this many failures end the connection
  static constexpr uint32_t kRefuseAbove = 3;   // more than this many refuse the address
  static constexpr uint32_t kDelayFrom = 5;     // account failures before answers slow down
  static constexpr double kFirstDelayMs = 250;  // doubles with every further failure
  static constexpr double kMaxDelayMs = 4000;
  static constexpr size_t kMaxTracked = 65536;  // addresses, and accounts, remembered at once

  // `interfaceName` names the interface in the security log lines.
  TLoginFailures(const TClock& clock, std::string interfaceName);

  // Starts an attempt of `account` (the interface's own key: server id and login name) from
  // `ip`. A refused attempt counts as a failure of the address at once.
  TLoginAttempt Begin(const std::string& ip, const std::string& account);
  // Ends an attempt; true when the connection must now be closed (the address reached
  // kCloseAt failures). Finishing twice does nothing the second time.
  bool Finish(TLoginAttempt& attempt, TLoginOutcome outcome);

  // Drops expired records, then tells whether `ip` is refused (checked at connect).
  bool IsRefused(const std::string& ip);
  // Drops expired records and logs the releases; called now and then by the interface.
  void Purge();

  size_t Count() const;  // addresses remembered
  uint32_t AccountFailures(const std::string& account) const;
  // The delay an attempt of `account` would get now.
  double AccountDelayMs(const std::string& account) const;
  static double DelayForFailures(uint32_t failures);

 private:
  struct TAddress {
    double LastFailureMs = 0;
    uint32_t Failures = 0;  // with the refused attempts, which belong to no account
    uint32_t InFlight = 0;
    std::map<std::string, uint32_t> ByAccount;
    bool Throttled = false;
  };
  struct TAccount {
    double LastFailureMs = 0;
    uint32_t Failures = 0;
    bool Throttled = false;
  };

  void PurgeLocked(double now, std::vector<std::string>& lines) REQUIRES(mutex_);
  void CapLocked() REQUIRES(mutex_);
  static bool Expired(double last, double now, double retain);

  // set at construction
  const TClock& clock_;
  const std::string interface_;

  mutable TMutex mutex_;
  std::map<std::string, TAddress> addresses_ GUARDED_BY(mutex_);
  std::map<std::string, TAccount> accounts_ GUARDED_BY(mutex_);
};

// Waits `ms` of real time on the calling thread (a login answer held back), in short steps so
// that `stop` ends it early. The caller holds no lock meanwhile.
void WaitLoginDelay(double ms, const std::atomic<bool>& stop);

}  // namespace vh
