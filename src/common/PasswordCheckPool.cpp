#include "common/PasswordCheckPool.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>

namespace vh {

TPasswordCheckPool::TPasswordCheckPool(size_t threads, size_t queueRoom) : queueRoom_(queueRoom) {
  threads_.reserve(threads);
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back(&TPasswordCheckPool::Run, this);
}

TPasswordCheckPool::~TPasswordCheckPool() {
  {
    TLockGuard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

TPasswordCheckPool& TPasswordCheckPool::Shared() {
  static TPasswordCheckPool pool;
  return pool;
}

bool TPasswordCheckPool::Submit(TJob job) {
  if (threads_.empty()) {
    job();  // a pool without threads checks on the caller's thread
    return true;
  }
  {
    TLockGuard lock(mutex_);
    if (stopping_ || queue_.size() >= queueRoom_) return false;
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return true;
}

void TPasswordCheckPool::Run() {
  // A check is milliseconds of pure CPU by design; a burst of logins keeps every pool thread
  // busy. Below the relay's threads in the scheduler, the checks take what the voice leaves
  // instead of delaying it. Linux sets a nice value per thread; failing, the thread stays at
  // the process's priority, which is only slower for voice, never wrong.
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kNiceness);
  for (;;) {
    TJob job;
    {
      TUniqueLock lock(mutex_);
      while (!stopping_ && queue_.empty()) lock.Wait(wake_);
      if (stopping_) return;
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace vh
