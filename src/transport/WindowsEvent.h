// Auto-reset event with timed waits: wakes the listener (incoming), the send thread
// (outgoing) and requesters (done, stopped). Any thread may Set; one thread waits at a time
// as a rule. Its state is an atomic flag plus mutex_ for the sleeping waiter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vh {

class TWindowsEvent {
 public:
  static constexpr int kSignalled = 0;
  static constexpr int kTimedOut = 1;

  TWindowsEvent() = default;
  TWindowsEvent(const TWindowsEvent&) = delete;
  TWindowsEvent& operator=(const TWindowsEvent&) = delete;

  // Cheap when already signalled or nobody waits: no lock is taken then.
  void Set();
  void Reset() { signalled_.store(false); }
  // Waits up to `ms` (negative = no limit) and consumes the signal: kSignalled or kTimedOut.
  int Wait(int64_t ms);
  bool IsSet() const { return signalled_.load(); }

 private:
  std::atomic<bool> signalled_{false};
  std::atomic<int> waiters_{0};  // written under mutex_, read without it by Set
  std::mutex mutex_;
  std::condition_variable cv_;  // waited on under mutex_
};

}  // namespace vh
