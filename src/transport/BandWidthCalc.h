// Byte counter with last-second and last-minute rates in 250 ms ticks and an optional byte
// budget per tick. The connection table owns two locked counters (all incoming and all
// outgoing traffic; their own mutex_, innermost lock of the server); each connection owns an
// unlocked TClientBandWidthCalc used only under the connection-table lock.
#pragma once

#include <array>
#include <cstdint>

#include "common/Mutex.h"
#include "transport/Clocks.h"

namespace vh {

class TBandWidthCalc {
 public:
  static constexpr int kTickMs = 250;
  static constexpr int kSecondSlots = 4;
  static constexpr int kMinuteSlots = 240;

  TBandWidthCalc(const TClock& clock, bool withLock);
  virtual ~TBandWidthCalc() = default;
  TBandWidthCalc(const TBandWidthCalc&) = delete;
  TBandWidthCalc& operator=(const TBandWidthCalc&) = delete;

  // Bytes per second, 0 = unlimited; the allowance per tick is round(limit / 4) + 1.
  void SetLimit(int64_t bytesPerSecond);
  void AddBytes(int64_t count, const TPerformanceTime& now);
  // Counts a command packet: the command tick count starts again at 0.
  void AddCommandBytes(int64_t count, const TPerformanceTime& now);
  // 0 when sending may go on; otherwise the milliseconds left in the current tick.
  int32_t WaitTime(const TPerformanceTime& now);
  // No limit, or at least two ticks since the last command packet.
  bool CommandAllowed() const;
  // Bytes per second over the last second and the last minute, up to the present.
  void Rates(double& lastSecond, double& lastMinute);

  int64_t Limit() const;
  int64_t Allowance() const;
  int64_t Backlog() const;

 protected:
  // Moves the ticks forward to `now` (the present when null); returns the ms left in the tick.
  int32_t AdvanceTicks(const TPerformanceTime* now) REQUIRES(mutex_);

  // set at construction: whether mutex_ is taken (else the owner's lock guards the counter)
  const bool locked_;
  mutable TMutex mutex_;
  // Guarded by mutex_ when locked_, else by the owner's lock:
  int64_t commandTicks_ GUARDED_BY(mutex_) = 0;

 private:
  int64_t limit_ GUARDED_BY(mutex_) = 0;
  int64_t allowance_ GUARDED_BY(mutex_) = 1;
  TPerformanceTime tickTimer_ GUARDED_BY(mutex_);
  int64_t carriedMs_ GUARDED_BY(mutex_) = 0;
  int64_t tickBytes_ GUARDED_BY(mutex_) = 0;
  int64_t backlog_ GUARDED_BY(mutex_) = 0;
  std::array<int64_t, kSecondSlots> second_ GUARDED_BY(mutex_){};
  int secondIndex_ GUARDED_BY(mutex_) = 0;
  bool secondFilled_ GUARDED_BY(mutex_) = false;
  int64_t secondSum_ GUARDED_BY(mutex_) = 0;
  // every connection has one: kept small
  std::array<uint32_t, kMinuteSlots> minute_ GUARDED_BY(mutex_){};
  int minuteIndex_ GUARDED_BY(mutex_) = 0;
  bool minuteFilled_ GUARDED_BY(mutex_) = false;
  int64_t minuteSum_ GUARDED_BY(mutex_) = 0;
};

// A connection's own counter: no lock, and commands are allowed from the start.
class TClientBandWidthCalc : public TBandWidthCalc {
 public:
  explicit TClientBandWidthCalc(const TClock& clock) : TBandWidthCalc(clock, false) {
    commandTicks_ = 2;
  }
};

}  // namespace vh
