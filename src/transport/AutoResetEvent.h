// Auto-reset event with timed waits: wakes the listener (incoming), the send thread
// (outgoing) and requesters (done, stopped). Any thread may Set; one thread waits at a time
// as a rule. The state is one atomic word that the waiter sleeps on (a Linux futex), so a
// hand-off between two threads costs one wake-up and takes no lock on either side.
#pragma once

#include <atomic>
#include <cstdint>

namespace vh {

class TWindowsEvent {
 public:
  static constexpr int kSignalled = 0;
  static constexpr int kTimedOut = 1;

  TWindowsEvent() = default;
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  // Cheap when already signalled or nobody waits: no system call then.
  void Set();
  void Reset() { state_.store(0); }
  // Waits up to `ms` (negative = no limit) and consumes the signal: kSignalled or kTimedOut.
  int Wait(int64_t ms);
  bool IsSet() const { return state_.load() != 0; }

 private:
  std::atomic<uint32_t> state_{0};  // 1 = signalled; the futex word
  std::atomic<int> waiters_{0};     // threads between their look at state_ and their leave
};

}  // namespace vh
