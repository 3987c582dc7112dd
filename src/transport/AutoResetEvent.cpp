#include "transport/AutoResetEvent.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace vh {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t),
              "the futex word must be the atomic's only member");

uint32_t* Word(std::atomic<uint32_t>& state) {
  return reinterpret_cast<uint32_t*>(&state);
}

// Sleeps while the word still reads 0, at most `relative` (null = no limit). Spurious returns
// are fine: the caller looks again.
void FutexWait(std::atomic<uint32_t>& state, const timespec* relative) {
  ::syscall(SYS_futex, Word(state), FUTEX_WAIT_PRIVATE, 0u, relative, nullptr, 0);
}

void FutexWakeOne(std::atomic<uint32_t>& state) {
  ::syscall(SYS_futex, Word(state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace

void TWindowsEvent::Set() {
  if (state_.exchange(1) == 1) return;
  // A waiter counts itself before it goes to sleep on the word, and both sides use sequentially
  // consistent operations: either the waiter's sleep sees the 1 and returns at once, or we see
  // the waiter here and wake it.
  if (waiters_.load() == 0) return;
  FutexWakeOne(state_);
}

int TWindowsEvent::Wait(int64_t ms) {
  if (state_.exchange(0) == 1) return kSignalled;
  if (ms == 0) return kTimedOut;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  waiters_.fetch_add(1);
  int result = kTimedOut;
  for (;;) {
    if (state_.exchange(0) == 1) {
      result = kSignalled;
      break;
    }
    if (ms < 0) {
      FutexWait(state_, nullptr);
      continue;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec relative{static_cast<time_t>(ns / 1000000000),
                            static_cast<long>(ns % 1000000000)};
    FutexWait(state_, &relative);
  }
  waiters_.fetch_sub(1);
  return result;
}

}  // namespace vh
