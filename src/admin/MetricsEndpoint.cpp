#include "admin/MetricsEndpoint.h"

#include <httplib.h>

#include <chrono>

#include "admin/HttpBind.h"
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

TMetricsEndpoint::TMetricsEndpoint(const TVirtualServerList& servers, double startTimeSeconds)
    : servers_(servers), startTimeSeconds_(startTimeSeconds) {}

TMetricsEndpoint::~TMetricsEndpoint() {
  Stop();
}

bool TMetricsEndpoint::Start(const std::string& address, uint16_t port) {
  try {
    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new httplib::ThreadPool(2); };
    server_->set_keep_alive_timeout(3);
    server_->set_read_timeout(5, 0);
    server_->set_write_timeout(5, 0);
    server_->set_payload_max_length(4096);
    server_->set_tcp_nodelay(true);  // no wait for delayed acknowledgements on keep-alive
    server_->Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(Page(), "text/plain; version=0.0.4; charset=utf-8");
    });
    boundPort_ = BindHttpServer(*server_, address, port);
    const bool bound = boundPort_ != 0;
    if (!bound) throw std::runtime_error("cannot bind " + address + ":" + std::to_string(port));
    thread_ = ListenOnThread(*server_);
    return true;
  } catch (const std::exception& e) {
    server_.reset();
    boundPort_ = 0;
    LogException("Metrics endpoint startup", e, kCategory);
    return false;
  }
}

void TMetricsEndpoint::Stop() {
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
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
