#include "admin/MetricsEndpoint.h"

#include <httplib.h>

#include <chrono>

#include "admin/MetricsText.h"
#include "common/Log.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "Metrics";

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

TMetricsEndpoint::TMetricsEndpoint(const TVirtualServerList& servers, double startTimeSeconds,
                                   THttpGuards guards)
    : servers_(servers), startTimeSeconds_(startTimeSeconds), guards_(guards) {}

TMetricsEndpoint::~TMetricsEndpoint() {
  Stop();
}

std::unique_ptr<TGuardedHttpServer> TMetricsEndpoint::NewServer() {
  // A scrape is one short GET: a client that has not sent it whole within the deadline is
  // cut off, so a few slow connections cannot hold every thread for long.
  auto server = std::make_unique<TGuardedHttpServer>(
      guards_, [] { return new httplib::ThreadPool(kThreads); });
  httplib::Server& http = server->Http();
  http.set_keep_alive_timeout(1);
  http.set_read_timeout(2, 0);
  http.set_write_timeout(2, 0);
  http.set_payload_max_length(4096);
  http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(Page(), "text/plain; version=0.0.4; charset=utf-8");
  });
  return server;
}

bool TMetricsEndpoint::Start(const std::string& address, uint16_t port) {
  try {
    server_ = NewServer();
    boundPort_ = server_->Listen(address, port);
    if (boundPort_ == 0)
      throw std::runtime_error("cannot bind " + address + ":" + std::to_string(port));
    if (address == "127.0.0.1" || address == "localhost") {
      // Loopback asked for: local scrapers may come over either family. A host without
      // IPv6 (or with the port taken on ::1) keeps the IPv4 endpoint alone.
      loopbackV6_ = NewServer();
      if (loopbackV6_->Listen("::1", boundPort_) == 0) {
        loopbackV6_.reset();
        Log(LMT_WARNING, LMD_INFO,
            "Metrics endpoint: [::1]:" + std::to_string(boundPort_) + " not bound, IPv4 only",
            kCategory);
      }
    }
    return true;
  } catch (const std::exception& e) {
    loopbackV6_.reset();
    server_.reset();
    boundPort_ = 0;
    LogException("Metrics endpoint startup", e, kCategory);
    return false;
  }
}

void TMetricsEndpoint::Stop() {
  if (loopbackV6_) loopbackV6_->Stop();
  loopbackV6_.reset();
  if (server_) server_->Stop();
  server_.reset();
}

std::string TMetricsEndpoint::Page() {
  std::vector<std::shared_ptr<TServerObject>> servers;
  std::lock_guard lock(listingMutex_);
  if (servers_.TryListVirtualServers(servers)) {
    listing_.clear();
    for (const auto& s : servers) listing_.push_back(s->Counters());
  }
  // A server stopped since the last listing reads as not running and is left out.
  return RenderMetrics(listing_, NowSeconds() - startTimeSeconds_);
}

}  // namespace vh
