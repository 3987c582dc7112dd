// The opt-in metrics endpoint: an HTTP server (its own accept thread and a small pool) that
// answers GET /metrics with the figures of every running virtual server. A scrape reads the
// counter blocks without any server's locks and takes the virtual-server list lock only with
// try_lock: while a server starts or stops under that lock, it answers from the last listing.
// Start and Stop run on the main thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "admin/GuardedHttpServer.h"
#include "admin/MetricsText.h"
#include "vserver/ServerCounters.h"

namespace vh {

class TVirtualServerList;

class TMetricsEndpoint {
 public:
  static constexpr int kThreads = 8;
  static constexpr std::chrono::milliseconds kRequestDeadline{3000};

  // `servers` outlives the endpoint; `startTimeSeconds` is the process start (epoch seconds).
  // `guards` (tests give a shorter deadline) bound each request's time.
  TMetricsEndpoint(const TVirtualServerList& servers, double startTimeSeconds,
                   THttpGuards guards = {kRequestDeadline, 0});
  ~TMetricsEndpoint();
  TMetricsEndpoint(const TMetricsEndpoint&) = delete;
  TMetricsEndpoint& operator=(const TMetricsEndpoint&) = delete;

  // Where voxhollow_up and voxhollow_max_players find the stored virtual servers (read at
  // most every kStoredRefresh; a scrape between uses the last reading). Set before Start.
  using TStoredServersReader = std::function<std::vector<TStoredServerFigures>()>;
  static constexpr std::chrono::seconds kStoredRefresh{10};
  void SetStoredServers(TStoredServersReader reader) { readStored_ = std::move(reader); }

  // Port 0 takes any free port. False (logged) when the address cannot be bound. The IPv4
  // loopback address ("127.0.0.1", the default) also listens on ::1 at the same port, where
  // the host has IPv6; "::" listens on every address of both families.
  bool Start(const std::string& address, uint16_t port);
  void Stop();
  uint16_t BoundPort() const { return boundPort_; }
  // Why the last Start failed (address, port and reason).
  const std::string& StartFailure() const { return startFailure_; }

  // The page a scrape gets now (also what the HTTP handler sends).
  std::string Page();

 private:
  const TVirtualServerList& servers_;
  const double startTimeSeconds_;
  const THttpGuards guards_;
  std::unique_ptr<TGuardedHttpServer> NewServer();

  std::unique_ptr<TGuardedHttpServer> server_;
  std::unique_ptr<TGuardedHttpServer> loopbackV6_;  // the ::1 twin of a 127.0.0.1 endpoint
  uint16_t boundPort_ = 0;
  std::string startFailure_;

  TStoredServersReader readStored_;  // set before Start

  std::mutex listingMutex_;  // guards listing_ and the stored reading (scrapes may overlap)
  std::vector<std::shared_ptr<const TServerCounters>> listing_;
  std::vector<TStoredServerFigures> stored_;
  std::chrono::steady_clock::time_point storedAt_{};
};

}  // namespace vh
