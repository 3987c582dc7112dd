#include "admin/GuardedHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "admin/HttpBind.h"
#include "common/Log.h"
#include "common/NetAddress.h"

namespace vh {

namespace {

// cpp-httplib 0.11 runs its own accept loop and keeps the entry point of one connection
// (process_and_close_socket) and the listening socket private. An explicit instantiation may
// name private members, so this template hands out pointers to the two, and the accept loop
// here serves each connection through the library's own code.
template <typename Tag, typename Tag::type Member>
struct TPrivateMember {
  friend typename Tag::type Access(Tag) { return Member; }
};
struct TServeSocket {
  using type = bool (httplib::Server::*)(socket_t);
  friend type Access(TServeSocket);
};
struct TListenSocket {
  using type = std::atomic<socket_t> httplib::Server::*;
  friend type Access(TListenSocket);
};
template struct TPrivateMember<TServeSocket, &httplib::Server::process_and_close_socket>;
template struct TPrivateMember<TListenSocket, &httplib::Server::svr_sock_>;

thread_local uint64_t tCurrentWatch = 0;

}  // namespace

namespace {
std::unique_ptr<httplib::Server> NewHttpServer(const THttpTls* tls) {
  if (!tls) return std::make_unique<httplib::Server>();
  return std::make_unique<httplib::SSLServer>(tls->certificateFile.c_str(),
                                              tls->privateKeyFile.c_str());
}
}  // namespace

TGuardedHttpServer::TGuardedHttpServer(THttpGuards guards,
                                       std::function<httplib::TaskQueue*()> newQueue,
                                       const THttpTls* tls)
    : guards_(guards), newQueue_(std::move(newQueue)), http_(NewHttpServer(tls)) {
  http_->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
    HandlerStarts();
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http_->set_post_routing_handler(
      [this](const httplib::Request&, httplib::Response&) { HandlerEnded(); });
}

TGuardedHttpServer::~TGuardedHttpServer() {
  Stop();
}

uint16_t TGuardedHttpServer::Listen(const std::string& address, uint16_t port,
                                    std::string* failure) {
  if (!Valid()) {
    if (failure) *failure = "the TLS certificate or key could not be loaded";
    return 0;
  }
  const uint16_t bound = BindHttpServer(*http_, address, port, failure);
  if (bound == 0) return 0;
  const int listenFd = ((*http_).*Access(TListenSocket{})).load();
  // The library listens with a backlog of 5: a burst of new connections would overflow it and
  // their connects would be retried only a second later.
  ::listen(listenFd, SOMAXCONN);
  queue_.reset(newQueue_());
  watchdogThread_ = std::thread([this] { Watchdog(); });
  acceptThread_ = std::thread([this, listenFd] { AcceptLoop(listenFd); });
  return bound;
}

void TGuardedHttpServer::Stop() {
  if (stopping_.exchange(true)) return;
  // The keep-alive loops of the library end once the listening socket reads as closed.
  const int listenFd = ((*http_).*Access(TListenSocket{})).exchange(INVALID_SOCKET);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd != INVALID_SOCKET) {
    ::shutdown(listenFd, SHUT_RDWR);
    ::close(listenFd);
  }
  {
    TLockGuard lock(mutex_);
    for (auto& [id, watch] : watches_) ::shutdown(watch.fd, SHUT_RDWR);
  }
  if (queue_) queue_->shutdown();
  {
    TLockGuard lock(mutex_);
    watchdogStop_ = true;
  }
  wake_.notify_all();
  if (watchdogThread_.joinable()) watchdogThread_.join();
  queue_.reset();
}

size_t TGuardedHttpServer::OpenConnections() const {
  TLockGuard lock(mutex_);
  size_t n = 0;
  for (const auto& [address, count] : perAddress_) n += count;
  return n;
}

void TGuardedHttpServer::AcceptLoop(int listenFd) {
  while (!stopping_.load()) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;  // wakes now and then to see a Stop
    sockaddr_storage from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors: give the open connections a moment to end.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    // An answer goes out at once: without it, the next answer on a keep-alive connection
    // waits for the client's delayed acknowledgement of the last one (about 40 ms).
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    // Counted per source: an IPv6 host owns its whole /64.
    const std::string address = SourceKey(SockAddrText(reinterpret_cast<sockaddr*>(&from)));
    {
      TLockGuard lock(mutex_);
      size_t& open = perAddress_[address];
      if (guards_.perAddressConnections > 0 && open >= guards_.perAddressConnections) {
        if (open == 0) perAddress_.erase(address);
        ::close(fd);
        continue;
      }
      ++open;
    }
    // Each read of the library waits at most its read time-out; the deadline adds the bound
    // on the whole request.
    queue_->enqueue([this, fd, address] { Serve(fd, address); });
  }
}

void TGuardedHttpServer::Serve(int fd, const std::string& address) {
  // The watchdog shuts the duplicate down, which ends the connection; the duplicate stays open
  // until the watch is gone, so its number cannot name another socket meanwhile.
  const int watched = ::dup(fd);
  uint64_t id = 0;
  if (watched >= 0) {
    TLockGuard lock(mutex_);
    id = nextWatch_++;
    watches_[id] = TWatch{watched, std::chrono::steady_clock::now() + guards_.requestDeadline};
    if (stopping_.load()) ::shutdown(watched, SHUT_RDWR);
  }
  wake_.notify_all();
  tCurrentWatch = id;
  if (watched >= 0) {
    // A virtual call: with TLS, the library's TLS server shakes hands first.
    ((*http_).*Access(TServeSocket{}))(fd);  // closes fd
  } else {
    ::close(fd);  // no descriptor for the watch: unguarded connections are not served
  }
  tCurrentWatch = 0;
  TLockGuard lock(mutex_);
  if (watched >= 0) {
    watches_.erase(id);
    ::close(watched);
  }
  auto it = perAddress_.find(address);
  if (it != perAddress_.end() && --it->second == 0) perAddress_.erase(it);
}

void TGuardedHttpServer::HandlerStarts() {
  TLockGuard lock(mutex_);
  if (auto it = watches_.find(tCurrentWatch); it != watches_.end()) it->second.handling = true;
}

void TGuardedHttpServer::HandlerEnded() {
  {
    TLockGuard lock(mutex_);
    auto it = watches_.find(tCurrentWatch);
    if (it == watches_.end()) return;
    // The answer, the wait for the next request and that request share one deadline.
    it->second.handling = false;
    it->second.deadline = std::chrono::steady_clock::now() + guards_.requestDeadline;
  }
  wake_.notify_all();
}

void TGuardedHttpServer::Watchdog() {
  using Clock = std::chrono::steady_clock;
  TUniqueLock lock(mutex_);
  while (!watchdogStop_) {
    const auto now = Clock::now();
    auto next = now + std::chrono::seconds(1);
    for (auto& [id, watch] : watches_) {
      if (watch.handling) continue;
      if (watch.deadline <= now) {
        ::shutdown(watch.fd, SHUT_RDWR);
        watch.deadline = Clock::time_point::max();
      } else if (watch.deadline < next) {
        next = watch.deadline;
      }
    }
    lock.WaitUntil(wake_, next);
  }
}

uint16_t ListenWithLoopbackTwin(
    const std::function<std::unique_ptr<TGuardedHttpServer>()>& newServer,
    const std::string& address, uint16_t port, const std::string& what, const char* category,
    std::unique_ptr<TGuardedHttpServer>& main, std::unique_ptr<TGuardedHttpServer>& loopbackV6) {
  try {
    loopbackV6.reset();
    main = newServer();
    std::string failure;
    const uint16_t bound = main->Listen(address, port, &failure);
    if (bound == 0) throw std::runtime_error(failure);
    if (address == "127.0.0.1" || address == "localhost") {
      loopbackV6 = newServer();
      if (loopbackV6->Listen("::1", bound) == 0) {
        loopbackV6.reset();
        Log(LMT_WARNING, LMD_INFO,
            what + ": [::1]:" + std::to_string(bound) + " not bound, IPv4 only", category);
      }
    }
    return bound;
  } catch (...) {
    loopbackV6.reset();
    main.reset();
    throw;
  }
}

}  // namespace vh
