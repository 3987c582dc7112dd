// The web interface's connection threads: cpp-httplib hands each accepted connection to this
// queue, and the connection keeps one thread for as long as it stays open (keep-alive
// included). Threads are made on demand up to a maximum and end after a while without work,
// so a quiet server holds few. The accept thread enqueues, the pool's own threads work;
// mutex_ guards the job queue and the thread lists.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <thread>
#include <vector>

#include "common/Mutex.h"

namespace vh {

class TConnectionPool : public httplib::TaskQueue {
 public:
  TConnectionPool(size_t maxThreads, std::chrono::milliseconds idleExit);
  ~TConnectionPool() override;
  TConnectionPool(const TConnectionPool&) = delete;
  TConnectionPool& operator=(const TConnectionPool&) = delete;

  // Runs `job` on an idle thread, on a new one while fewer than the maximum exist, or else
  // when a thread becomes free.
  void enqueue(std::function<void()> job) override;
  // Lets the threads finish the queued jobs, then joins them. Jobs enqueued later are dropped.
  void shutdown() override;

  size_t Threads() const;
  size_t Queued() const;

 private:
  void Work(std::list<std::thread>::iterator self);
  void JoinExited();

  // set at construction
  const size_t maxThreads_;
  const std::chrono::milliseconds idleExit_;

  mutable TMutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
  std::list<std::thread> threads_ GUARDED_BY(mutex_);
  std::vector<std::thread> exited_ GUARDED_BY(mutex_);  // ended by idleness, not joined yet
  size_t idle_ GUARDED_BY(mutex_) = 0;                  // threads waiting for a job
  bool shutdown_ GUARDED_BY(mutex_) = false;
};

}  // namespace vh
