#include "common/PasswordCheckPool.h"

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
