// The password-check pool of the process: a few threads that run the Argon2id checks of logins
// (each costs milliseconds by design) so that no thread holding a virtual server's model locks
// waits for one. Any thread submits a job; the job runs on a pool thread with none of the
// submitter's locks held and hands its result back itself (the listener's completion, see
// vserver/Listener.h). mutex_ guards the queue only and is a leaf: jobs run outside it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "common/Mutex.h"

namespace vh {

class TPasswordCheckPool {
 public:
  static constexpr size_t kDefaultThreads = 2;
  // Jobs waiting for a thread; more are refused (a login flood beyond this gets "Server Full"
  // rather than a queue that grows without end).
  static constexpr size_t kDefaultQueueRoom = 512;
  // The pool's threads run at this nice value, below the relay's threads.
  static constexpr int kNiceness = 10;
  using TJob = std::function<void()>;

  // With no threads, Submit runs each job on the caller's thread before it returns: for a
  // listener run without threads of its own (the in-process test world).
  explicit TPasswordCheckPool(size_t threads = kDefaultThreads,
                              size_t queueRoom = kDefaultQueueRoom);
  // Drops what still waits and joins the threads (a running job finishes first).
  ~TPasswordCheckPool();
  TPasswordCheckPool(const TPasswordCheckPool&) = delete;
  TPasswordCheckPool& operator=(const TPasswordCheckPool&) = delete;

  // The process's pool, made at first use.
  static TPasswordCheckPool& Shared();

  // False (and the job dropped) when the queue is full. A job must not throw.
  bool Submit(TJob job) EXCLUDES(mutex_);

 private:
  void Run() EXCLUDES(mutex_);

  // set at construction
  const size_t queueRoom_;
  std::vector<std::thread> threads_;

  TMutex mutex_;
  std::condition_variable wake_;
  std::deque<TJob> queue_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace vh
