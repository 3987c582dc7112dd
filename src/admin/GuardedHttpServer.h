// A cpp-httplib server with the guards the library lacks, for the web interface and the metrics
// endpoint: a deadline for each whole request (a client that sends its headers a byte at a time
// is cut off, however often it sends), and a cap on the connections one address holds open.
// The library reads and answers; this class accepts, counts and watches. The accept thread
// and the watchdog thread are its own; the connections run on the task queue it is given.
// With TLS the library's handshake runs inside the same watch, so a handshake that dribbles is
// cut by the same deadline as a request. mutex_ guards the per-address counts and the watch list.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/Mutex.h"

namespace vh {

struct THttpGuards {
  // From a connection's start, or from the last answer on it, until the next request has
  // arrived whole (headers and body); the handler's own time is not counted.
  std::chrono::milliseconds requestDeadline{10000};
  // Connections one remote address may hold at once; 0: no cap.
  size_t perAddressConnections = 0;
};

// The PEM files of a TLS server: its certificate (chain) and its private key.
struct THttpTls {
  std::string certificateFile;
  std::string privateKeyFile;
};

class TGuardedHttpServer {
 public:
  // `newQueue` makes the task queue the connections run on (owned here). With `tls` the
  // server speaks HTTPS only; Valid() says whether its files could be loaded.
  TGuardedHttpServer(THttpGuards guards, std::function<httplib::TaskQueue*()> newQueue,
                     const THttpTls* tls = nullptr);
  ~TGuardedHttpServer();
  TGuardedHttpServer(const TGuardedHttpServer&) = delete;
  TGuardedHttpServer& operator=(const TGuardedHttpServer&) = delete;

  // The library's server: routes, time-outs and limits are set on it before Listen. Its own
  // pre- and post-routing handlers belong to this class.
  httplib::Server& Http() { return *http_; }
  // False when the TLS certificate or key could not be loaded: Listen then refuses.
  bool Valid() const { return http_->is_valid(); }

  // Binds `address`:`port` (0: any free port) and starts accepting. The port bound, or 0 and
  // `failure` (when given) names the address, the port and the reason.
  uint16_t Listen(const std::string& address, uint16_t port, std::string* failure = nullptr);
  // Stops accepting, cuts the open connections off and joins every thread. Idempotent.
  void Stop();

  size_t OpenConnections() const;

 private:
  struct TWatch {
    int fd;  // a duplicate of the connection's socket, closed only after the watch ends
    std::chrono::steady_clock::time_point deadline;
    bool handling = false;  // a handler runs: no deadline
  };

  void AcceptLoop(int listenFd);
  void Serve(int fd, const std::string& address);
  void Watchdog();
  // Called on the connection's thread by the library's routing hooks.
  void HandlerStarts();
  void HandlerEnded();

  // set at construction
  const THttpGuards guards_;
  const std::function<httplib::TaskQueue*()> newQueue_;
  const std::unique_ptr<httplib::Server> http_;  // an httplib::SSLServer with TLS

  // set by Listen, before its threads run
  std::unique_ptr<httplib::TaskQueue> queue_;
  std::thread acceptThread_;
  std::thread watchdogThread_;
  std::atomic<bool> stopping_{false};

  mutable TMutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, size_t> perAddress_ GUARDED_BY(mutex_);
  std::map<uint64_t, TWatch> watches_ GUARDED_BY(mutex_);
  uint64_t nextWatch_ GUARDED_BY(mutex_) = 1;
  bool watchdogStop_ GUARDED_BY(mutex_) = false;
};

// Binds the way the web interface and the metrics endpoint bind: `main` on `address`:`port`,
// and for a loopback address (127.0.0.1, localhost) a twin `loopbackV6` on [::1] at the port
// bound, since local clients may come over either family. A host without IPv6 (or with the
// port taken on ::1) keeps the IPv4 server alone and logs a warning that starts with `what`.
// The port bound; throws std::runtime_error naming the failure (both servers reset) when
// `main` cannot bind.
uint16_t ListenWithLoopbackTwin(
    const std::function<std::unique_ptr<TGuardedHttpServer>()>& newServer,
    const std::string& address, uint16_t port, const std::string& what, const char* category,
    std::unique_ptr<TGuardedHttpServer>& main, std::unique_ptr<TGuardedHttpServer>& loopbackV6);

}  // namespace vh
