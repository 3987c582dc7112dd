// Failed query logins per remote address ("FailedLogins"): counted by the login commands,
// purged and checked when a connection is accepted. Shared by every connection thread and
// guarded by one mutex, so opening many connections at once cannot sidestep the refusal.
// Time comes from an injected clock.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vh {

class TClock;

struct TLoginFailure {
  double LastFailureMs = 0;  // on the query clock
  std::string IP;            // at most 20 characters
  uint8_t FailCount = 0;
};

class TLoginFailures {
 public:
  static constexpr int kRetainSeconds = 60;
  static constexpr uint8_t kCloseAt = 3;      // this many failures end the connection
  static constexpr uint8_t kRefuseAbove = 3;  // more than this many refuse new connections

  explicit TLoginFailures(const TClock& clock) : clock_(clock) {}

  // Counts a failure of `ip`; true when the connection must now be closed.
  bool CountFailedLogin(const std::string& ip);
  // A successful login forgets the address's failures.
  void Remove(const std::string& ip);
  // Drops the records older than 60 seconds, then tells whether `ip` is refused.
  bool IsRefused(const std::string& ip);
  size_t Count() const;

 private:
  const TClock& clock_;
  mutable TMutex mutex_;
  std::vector<TLoginFailure> failures_ GUARDED_BY(mutex_);
};

}  // namespace vh
