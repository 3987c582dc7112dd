// Mutexes and lock holders that Clang's thread-safety analysis understands (see
// ThreadAnnotations.h): TMutex and TRecursiveMutex wrap the standard mutexes, TLockGuard holds
// one for a scope, TUniqueLock holds a TMutex and can wait on a condition variable. Any thread;
// each owner says in its header what its mutex guards.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/ThreadAnnotations.h"

namespace vh {

class CAPABILITY("mutex") TMutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class TUniqueLock;
  std::mutex mutex_;
};

// Re-entrant: the thread that holds it may take it again (once more to release each time).
class CAPABILITY("mutex") TRecursiveMutex {
 public:
  void lock() ACQUIRE() {
    mutex_.lock();
    depth_.fetch_add(1);
  }
  void unlock() RELEASE() {
    depth_.fetch_sub(1);
    mutex_.unlock();
  }
  bool try_lock() TRY_ACQUIRE(true) {
    if (!mutex_.try_lock()) return false;
    depth_.fetch_add(1);
    return true;
  }
  // True while some thread holds it (a hint for diagnostics, stale as soon as it is read).
  bool Locked() const { return depth_.load() != 0; }

 private:
  std::recursive_mutex mutex_;
  std::atomic<int> depth_{0};  // changed only by the holder
};

// Holds a mutex (or any class with annotated lock/unlock) from construction to the end of the
// scope.
template <typename M>
class SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(M& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~TLockGuard() RELEASE() { mutex_.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  M& mutex_;
};

// Holds `mutex` for the scope when `take` is true, else nothing: for an object whose owner
// decides at construction whether it locks itself or is used only under the owner's lock. To
// the analysis the lock is held either way.
class SCOPED_CAPABILITY TOptionalLockGuard {
 public:
  TOptionalLockGuard(TMutex& mutex, bool take) ACQUIRE(mutex) : mutex_(take ? &mutex : nullptr) {
    if (mutex_) mutex_->lock();
  }
  ~TOptionalLockGuard() RELEASE() {
    if (mutex_) mutex_->unlock();
  }
  TOptionalLockGuard(const TOptionalLockGuard&) = delete;
  TOptionalLockGuard& operator=(const TOptionalLockGuard&) = delete;

 private:
  TMutex* const mutex_;
};

// Holds a TMutex for the scope; WaitUntil gives it up while it waits and holds it again when it
// returns, so to the analysis the lock is held throughout.
class SCOPED_CAPABILITY TUniqueLock {
 public:
  explicit TUniqueLock(TMutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~TUniqueLock() RELEASE() {}
  TUniqueLock(const TUniqueLock&) = delete;
  TUniqueLock& operator=(const TUniqueLock&) = delete;

  // False once `deadline` has passed (a wake-up may be spurious: callers re-check their state).
  bool WaitUntil(std::condition_variable& cv, std::chrono::steady_clock::time_point deadline) {
    return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
  }
  // Until notified (or a spurious wake-up).
  void Wait(std::condition_variable& cv) { cv.wait(lock_); }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace vh
