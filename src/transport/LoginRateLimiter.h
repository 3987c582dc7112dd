// Per-source-address budget of login requests: a token bucket per address (rate per second,
// small burst), so that one address cannot keep the listener busy with logins. Sans I/O: the
// caller passes the time. Used by the connection table's receive path under the table lock;
// no lock of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace vh {

class TLoginRateLimiter {
 public:
  static constexpr double kDefaultPerSecond = 10;
  static constexpr double kDefaultBurst = 5;
  // Addresses remembered at once; beyond it idle ones are forgotten first.
  static constexpr size_t kMaxTracked = 16384;

  explicit TLoginRateLimiter(double perSecond = kDefaultPerSecond, double burst = kDefaultBurst);

  // True when a login request from `address` at `nowMs` is within its budget (and spends it).
  bool Allow(const std::string& address, double nowMs);
  size_t Tracked() const { return buckets_.size(); }

 private:
  struct TBucket {
    double tokens;
    double lastMs;
  };
  void ForgetIdle(double nowMs);

  // Set at construction:
  double perMs_;
  double burst_;

  std::unordered_map<std::string, TBucket> buckets_;
};

}  // namespace vh
