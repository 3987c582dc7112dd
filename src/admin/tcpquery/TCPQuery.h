// The TCP query interface: listens on TCPQueryPort on the configured local addresses, serves
// each connection on a thread of its own (at most TQueryLimits::MaxConnections at once, and
// MaxPerAddress from one remote address), frames its lines and hands them to the shared
// TQueryInterpreter. Started and stopped by the host's main thread; the accept thread and the
// connection threads share connections_ under mutex_. Protocol: docs/tcpquery.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/AdminContext.h"
#include "admin/LoginFailures.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vh {

class TClock;

// How many connections the interface serves and how long they may stay.
struct TQueryLimits {
  size_t MaxConnections = 256;
  // One address cannot take the room of everybody else (an administrator always gets in).
  size_t MaxPerAddress = 8;
  // A connection that is not logged in is closed this long after it opened (or logged out),
  // whatever it sends meanwhile.
  double LoginTimeoutMs = 30 * 1000.0;
  // A logged-in connection that sends nothing for this long is closed.
  double IdleTimeoutMs = 10 * 60 * 1000.0;
};

class TTCPQuery {
 public:
  // How often a silent connection looks at the clock (and at the stop flag).
  static constexpr int kPollMs = 200;

  // `clock` times the time limits, the failed-login purge and the login re-validation.
  TTCPQuery(TAdminContext context, const TClock& clock, TQueryLimits limits = {});
  ~TTCPQuery();
  TTCPQuery(const TTCPQuery&) = delete;
  TTCPQuery& operator=(const TTCPQuery&) = delete;

  // Listens on `port` (0: a free port the system picks; see BoundPort) at `address`, or, when
  // it is empty, at the environment's bound addresses (every address when none is set). False,
  // logged with the address, port and reason, when it cannot be opened; the object then stays
  // without listening.
  bool Start(uint16_t port, const std::string& address = {});
  // Closes the listeners and every connection, and waits for their threads.
  void Stop();
  uint16_t BoundPort() const { return boundPort_.load(); }
  // Why the last Start failed ("Could not bind to 0.0.0.0:51234: Address already in use").
  const std::string& StartFailure() const { return startFailure_; }
  size_t ConnectionCount() const;
  TLoginFailures& Failures() { return failures_; }

 private:
  struct TConnection {
    int fd = -1;
    std::unique_ptr<TQuerySession> session;
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void AcceptLoop();
  void Accept(int listener);
  void Serve(TConnection& connection);
  // Holds a login answer back until the session's AnswerNotBeforeMs (or until Stop).
  void WaitToAnswer(TQuerySession& session);
  void ReapFinished();
  std::vector<TSessionSummary> Summaries() const;

  // set at construction
  const TAdminContext context_;
  const TClock& clock_;
  const TQueryLimits limits_;
  std::string startFailure_;  // set by Start on the starting thread
  TLoginFailures failures_;
  TQueryServices services_;
  TQueryInterpreter interpreter_;

  // set by Start, read by the accept thread; cleared by Stop after that thread ended
  std::vector<int> listeners_;
  int wakeRead_ = -1, wakeWrite_ = -1;
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};
  std::atomic<uint16_t> boundPort_{0};

  mutable TMutex mutex_;
  std::list<TConnection> connections_ GUARDED_BY(mutex_);
};

}  // namespace vh
