// Millisecond clocks and the protocol's timer. Every time-out of the transport is measured
// with a TPerformanceTime reading one TClock, so tests drive time with a TManualClock instead
// of sleeping. Clocks are safe from any thread; a timer belongs to whoever holds it (the
// connection table's timers are guarded by the table lock).
#pragma once

#include <atomic>
#include <cstdint>

namespace vh {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds on this clock's own scale (fractions allowed).
  virtual double NowMs() const = 0;
};

// Monotonic: unaffected by midnight or by the system time being set. The server's default.
class TSteadyClock : public TClock {
 public:
  double NowMs() const override;
};

// Local time of day in milliseconds since midnight; wraps to 0 at midnight, which timers
// treat as an out-of-range reading and restart on.
class TTimeOfDayClock : public TClock {
 public:
  double NowMs() const override;
};

// Stands still until told otherwise; readable and settable from any thread.
class TManualClock : public TClock {
 public:
  explicit TManualClock(double startMs = 1000000.0) : now_(startMs) {}
  double NowMs() const override { return now_.load(std::memory_order_acquire); }
  void Set(double ms) { now_.store(ms, std::memory_order_release); }
  void Advance(double ms) { Set(NowMs() + ms); }

 private:
  std::atomic<double> now_;
};

// The process-wide steady clock.
const TClock& SystemClock();

// A start instant on a clock. Out-of-range readings (negative, or above the caller's limit)
// restart the timer, so a clock that jumps costs at most one missed interval.
class TPerformanceTime {
 public:
  // A started timer on the process-wide steady clock.
  TPerformanceTime();
  explicit TPerformanceTime(const TClock& clock) : clock_(&clock), start_(clock.NowMs()) {}

  // x = ms since start: 0 <= x <= limit gives x > threshold; otherwise restarts (when asked)
  // and gives false, or gives true without restart.
  bool IsElapsed(double threshold, double limit, bool restart);
  // 0 <= x <= limit gives x truncated; otherwise restarts and gives 0, or gives -1.
  int64_t ElapsedMs(double limit, bool restart);
  // x = now's start - this start; 0 <= x <= limit gives x truncated; otherwise this timer
  // restarts (at now's instant) and 0 is given. One `now` per pick or pass keeps every
  // comparison in it on the same instant.
  int64_t ElapsedMsAt(double limit, const TPerformanceTime& now);
  // Takes the other timer's start (and its clock).
  void Assign(const TPerformanceTime& other) {
    clock_ = other.clock_;
    start_ = other.start_;
  }
  void Start() { start_ = clock_->NowMs(); }

  double StartMs() const { return start_; }
  const TClock& Clock() const { return *clock_; }

 private:
  const TClock* clock_;
  double start_;
};

// The one factory for timers: a started timer on the given clock.
inline TPerformanceTime NewPerformanceTime(const TClock& clock = SystemClock()) {
  return TPerformanceTime(clock);
}

}  // namespace vh
