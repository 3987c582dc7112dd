#include "weblist/WebPost.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "common/Log.h"
#include "common/Strings.h"
#include "storage/DateTime.h"
#include "transport/Packet.h"
#include "transport/udp/UDPSocket.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

std::string ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
    return {};
  char text[INET_ADDRSTRLEN] = {};
  const auto* a = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  const bool ok = ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text) != nullptr;
  ::freeaddrinfo(found);
  return ok ? text : std::string();
}

TWebPost::TWebPost(TVirtualServerList& servers, TSettingsSource settings, TTiming timing)
    : servers_(servers), settings_(std::move(settings)), timing_(timing) {}

TWebPost::~TWebPost() {
  Terminate();
  WaitFor();
}

void TWebPost::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Execute(); });
}

void TWebPost::Terminate() {
  {
    TLockGuard lock(mutex_);
    terminated_.store(true);
  }
  wake_.notify_all();
  cancel_.Cancel();
}

void TWebPost::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TWebPost::Wait() {
  auto left = timing_.wait;
  TUniqueLock lock(mutex_);
  while (left.count() > 0) {
    const auto step = std::min(timing_.step, left);
    const auto deadline = std::chrono::steady_clock::now() + step;
    while (!terminated_.load() && lock.WaitUntil(wake_, deadline)) {
    }
    if (terminated_.load()) return false;
    left -= step;
  }
  return !terminated_.load();
}

void TWebPost::Execute() {
  while (!Terminated()) {
    if (!Wait()) break;
    try {
      PostingPass();
    } catch (const std::exception& e) {
      LogException("DoWebPost", e, "webpost");
    }
    if (!Wait()) break;
  }
}

void TWebPost::PostingPass() {
  PostEntries(servers_.ListVirtualServers());
}

void TWebPost::PostEntries(const TServerEntries& entries) {
  // The list host is resolved once per pass, outside the server-list lock.
  const TWebPostSettings first = settings_();
  const bool portValid = first.ListPort > 0 && first.ListPort <= 65535;
  const std::string listAddress = portValid ? ResolveIPv4(Trim(first.ListHost)) : "";
  const uint16_t listPort = portValid ? static_cast<uint16_t>(first.ListPort) : 0;
  std::vector<TPostJob> jobs;
  for (const auto& [idText, object] : entries) {
    if (Terminated()) break;
    int64_t parsed = 0;
    if (!TryParseInt(idText, parsed)) continue;
    const int32_t id = static_cast<int32_t>(parsed);
    TWebPostSettings settings = settings_();
    try {
      servers_.WithVirtualServer(id, [&](TServerObject& server) {
        if (server.Running() && !listAddress.empty())
          SendRecord(server, settings, listAddress, listPort);
      });
    } catch (const std::exception&) {
      // A record that cannot be built or sent is left out; the list hears again next pass.
    }
    if (!settings.Enabled) continue;
    // The facts are read afresh for each post, each time with the server held in the list.
    auto postTo = [&](bool ownUrl) {
      TWebListFacts facts;
      std::string url = ownUrl ? std::string() : Trim(settings.PostURL);
      bool found = false;
      try {
        found = servers_.WithVirtualServer(id, [&](TServerObject& server) {
          if (ownUrl) url = Trim(server.Settings().WebPostURL);
          if (!url.empty()) facts = ReadWebListFacts(server, settings, NowDateTime());
        });
      } catch (const std::exception&) {
        return;
      }
      if (!found || url.empty()) return;
      jobs.push_back({url, UrlEncodeForm(BuildWebPostFields(facts)), settings});
    };
    if (!Trim(settings.PostURL).empty()) postTo(false);
    postTo(true);
  }
  RunPosts(jobs);
}

void TWebPost::RunPosts(const std::vector<TPostJob>& jobs) {
  // Posts to one host go out one after another in pass order; different hosts are posted in
  // parallel, so a slow host holds up only its own posts, each of which its deadline bounds.
  std::vector<std::vector<const TPostJob*>> groups;
  std::vector<std::string> groupHosts;
  for (const TPostJob& job : jobs) {
    std::string base, path;
    if (!SplitHttpUrl(job.url, base, path)) base = job.url;  // fails alone when posted
    size_t g = 0;
    while (g < groupHosts.size() && groupHosts[g] != base) ++g;
    if (g == groupHosts.size()) {
      groupHosts.push_back(base);
      groups.emplace_back();
    }
    groups[g].push_back(&job);
  }
  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t g = next++; g < groups.size(); g = next++)
      for (const TPostJob* job : groups[g]) {
        if (Terminated()) return;
        Post(*job);
      }
  };
  const size_t threads = std::min(groups.size(), kMaxParallelPosts);
  std::vector<std::thread> helpers;
  for (size_t i = 1; i < threads; ++i) helpers.emplace_back(worker);
  worker();
  for (std::thread& t : helpers) t.join();
}

void TWebPost::SendRecord(TServerObject& server, const TWebPostSettings& settings,
                          const std::string& listAddress, uint16_t listPort) {
  TUDPServerSocket* socket = server.Socket();
  if (!socket || !socket->Active()) return;
  const TWebListRecord record =
      BuildWebListRecord(ReadWebListFacts(server, settings, NowDateTime()));
  TPacket packet;
  packet.Write(record.data(), static_cast<int32_t>(record.size()));
  // From the first binding (every address when none is configured): the list sees the
  // server's own address and game port.
  const auto& bindings = socket->Bindings();
  const bool everyAddress = bindings.empty() || bindings.front().address.empty();
  packet.SetAddress(listAddress, listPort, everyAddress ? "0.0.0.0" : bindings.front().address);
  socket->Send(packet);
}

void TWebPost::Post(const TPostJob& job) {
  THttpOptions options;
  options.timeoutMs = timing_.httpTimeoutMs;
  options.userAgent = job.settings.UserAgent;
  options.bindAddress = Trim(job.settings.BoundAddress);
  options.allowPrivateTargets = job.settings.AllowPrivateTargets;
  options.logCategory = "webpost";
  // The reply is read (up to the cap) and discarded; a failed post is not retried (the
  // fetch has logged a broken limit or a refused destination).
  try {
    HttpFetch(job.url, &job.body, options, &cancel_);
  } catch (const std::exception& e) {
    LogException("WebPost", e, "webpost");
  }
}

}  // namespace vh
