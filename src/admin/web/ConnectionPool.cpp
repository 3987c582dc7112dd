#include "admin/web/ConnectionPool.h"

#include "common/Log.h"

namespace vh {

TConnectionPool::TConnectionPool(size_t maxThreads, std::chrono::milliseconds idleExit)
    : maxThreads_(maxThreads), idleExit_(idleExit) {}

TConnectionPool::~TConnectionPool() {
  shutdown();
}

void TConnectionPool::enqueue(std::function<void()> job) {
  JoinExited();
  {
    TLockGuard lock(mutex_);
    if (shutdown_) return;
    jobs_.push_back(std::move(job));
    if (jobs_.size() > idle_ && threads_.size() < maxThreads_) {
      // The new thread waits for mutex_ before it reads its own entry.
      auto self = threads_.emplace(threads_.end());
      try {
        *self = std::thread([this, self] { Work(self); });
      } catch (const std::system_error& e) {
        // Out of threads: the job waits for one of the others.
        threads_.erase(self);
        Log(LMT_ERROR, LMD_ALL, std::string("connection thread not started: ") + e.what(),
            "WEBINTERFACE");
      }
    }
  }
  wake_.notify_one();
}

void TConnectionPool::Work(std::list<std::thread>::iterator self) {
  while (true) {
    std::function<void()> job;
    {
      TUniqueLock lock(mutex_);
      while (jobs_.empty()) {
        if (shutdown_) return;  // shutdown() joins this thread
        ++idle_;
        const bool woken = lock.WaitUntil(wake_, std::chrono::steady_clock::now() + idleExit_);
        --idle_;
        if (!woken && jobs_.empty() && !shutdown_) {
          // Idle too long: the next enqueue or shutdown joins this thread.
          exited_.push_back(std::move(*self));
          threads_.erase(self);
          return;
        }
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    try {
      job();
    } catch (...) {
      // cpp-httplib's connection job catches its own errors; nothing else runs here.
    }
  }
}

void TConnectionPool::JoinExited() {
  std::vector<std::thread> done;
  {
    TLockGuard lock(mutex_);
    done.swap(exited_);
  }
  for (std::thread& t : done) t.join();
}

void TConnectionPool::shutdown() {
  std::list<std::thread> running;
  {
    TLockGuard lock(mutex_);
    shutdown_ = true;
    // A thread that sees shutdown_ never touches its list entry again.
    running.splice(running.end(), threads_);
  }
  wake_.notify_all();
  for (std::thread& t : running)
    if (t.joinable()) t.join();
  JoinExited();
}

size_t TConnectionPool::Threads() const {
  TLockGuard lock(mutex_);
  return threads_.size();
}

size_t TConnectionPool::Queued() const {
  TLockGuard lock(mutex_);
  return jobs_.size();
}

}  // namespace vh
