#include "admin/MetricsEndpoint.h"

#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "admin/MetricsText.h"
#include "common/Log.h"
#include "common/SecurityLog.h"
#include "common/Version.h"
#include "storage/CustomStorage.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "Metrics";

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Resident memory, CPU time and open descriptors from /proc; unknown when it cannot be read.
TProcessFigures ReadProcessFigures() {
  TProcessFigures f;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  std::FILE* stat = std::fopen("/proc/self/stat", "r");
  long pages = 0, resident = 0;
  bool ok = statm && std::fscanf(statm, "%ld %ld", &pages, &resident) == 2;
  std::string line;
  if (stat) {
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, stat);
    line.assign(buf, n);
  }
  if (statm) std::fclose(statm);
  if (stat) std::fclose(stat);
  // The fields after the command name, which is in parentheses and may hold blanks: utime
  // and stime are the 12th and 13th of them.
  const size_t close = line.rfind(')');
  unsigned long utime = 0, stime = 0;
  ok = ok && close != std::string::npos &&
       std::sscanf(line.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                   &utime, &stime) == 2;
  if (!ok) return f;
  std::error_code ec;
  size_t files = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++files;
  f.known = true;
  f.residentBytes = static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE));
  f.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  f.openFiles = static_cast<double>(files > 0 ? files - 1 : 0);  // less the listing's own
  return f;
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
    boundPort_ = ListenWithLoopbackTwin([this] { return NewServer(); }, address, port,
                                        "Metrics endpoint", kCategory, server_, loopbackV6_);
    return true;
  } catch (const std::exception& e) {
    boundPort_ = 0;
    startFailure_ = e.what();
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
  TMetricsExtras extras;
  const auto now = std::chrono::steady_clock::now();
  if (readStored_ &&
      (storedAt_ == std::chrono::steady_clock::time_point{} || now - storedAt_ >= kStoredRefresh)) {
    stored_ = readStored_();
    storedAt_ = now;
  }
  extras.stored = stored_;
  extras.startTimeSeconds = startTimeSeconds_;
  extras.version = kVersion.Text();
  extras.process = ReadProcessFigures();
  extras.failedAdminLogins = {{std::string(kQueryInterface), FailedLogins(kQueryInterface)},
                              {std::string(kWebInterface), FailedLogins(kWebInterface)}};
  extras.databaseErrors = {{"sqlite", DatabaseErrors(TStorageBackend::SQLite)},
                           {"mariadb", DatabaseErrors(TStorageBackend::MariaDB)}};
  // A server stopped since the last listing reads as not running and is left out.
  return RenderMetrics(listing_, NowSeconds() - startTimeSeconds_, extras);
}

}  // namespace vh
