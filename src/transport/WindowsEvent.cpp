#include "transport/WindowsEvent.h"

#include <chrono>

namespace vh {

void TWindowsEvent::Set() {
  if (signalled_.exchange(true)) return;
  // A waiter registers itself before it looks at the flag, and both sides use sequentially
  // consistent operations: either it sees the flag, or we see it and wake it under the mutex.
  if (waiters_.load() == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  cv_.notify_all();
}

int TWindowsEvent::Wait(int64_t ms) {
  if (signalled_.exchange(false)) return kSignalled;
  if (ms == 0) return kTimedOut;
  std::unique_lock<std::mutex> lock(mutex_);
  waiters_.fetch_add(1);
  auto consumed = [this] { return signalled_.exchange(false); };
  bool got;
  if (ms < 0) {
    cv_.wait(lock, consumed);
    got = true;
  } else {
    got = cv_.wait_for(lock, std::chrono::milliseconds(ms), consumed);
  }
  waiters_.fetch_sub(1);
  return got ? kSignalled : kTimedOut;
}

}  // namespace vh
