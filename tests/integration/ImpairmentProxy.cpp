#include "ImpairmentProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace vh::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

int BoundSocket(uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    throw std::runtime_error("impairment proxy: no socket");
  port = ntohs(a.sin_port);
  return fd;
}

}  // namespace

TImpairmentProxy::TImpairmentProxy(uint16_t serverPort, TImpairment profile)
    : serverPort_(serverPort), profile_(profile), rng_(profile.seed) {
  front_ = BoundSocket(port_);
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { Loop(); });
}

TImpairmentProxy::~TImpairmentProxy() {
  stop_.store(true);
  uint64_t one = 1;
  ssize_t n = ::write(wake_, &one, sizeof one);
  (void)n;
  thread_.join();
  for (const auto& [port, fd] : upstream_) ::close(fd);
  ::close(front_);
  ::close(wake_);
}

void TImpairmentProxy::DropToClient(std::function<bool(std::string_view)> match, int count) {
  std::lock_guard lock(ruleMutex_);
  dropMatch_ = std::move(match);
  dropCount_ = count;
}

int TImpairmentProxy::UpstreamFor(uint16_t clientPort) {
  auto it = upstream_.find(clientPort);
  if (it != upstream_.end()) return it->second;
  uint16_t ignored = 0;
  int fd = BoundSocket(ignored);
  sockaddr_in server = Loopback(serverPort_);
  ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server);
  upstream_[clientPort] = fd;
  clientOf_[fd] = clientPort;
  return fd;
}

void TImpairmentProxy::Transmit(int fd, uint16_t clientPort, const std::string& bytes) {
  if (clientPort == 0) {
    ::send(fd, bytes.data(), bytes.size(), 0);
  } else {
    sockaddr_in to = Loopback(clientPort);
    ::sendto(front_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
}

void TImpairmentProxy::Relay(int fd, uint16_t clientPort, std::string bytes) {
  if (clientPort != 0) {
    std::lock_guard lock(ruleMutex_);
    if (dropCount_ > 0 && dropMatch_ && dropMatch_(bytes)) {
      --dropCount_;
      dropped_.fetch_add(1);
      return;
    }
  }
  std::uniform_real_distribution<double> chance(0, 1);
  if (chance(rng_) < profile_.loss) {
    dropped_.fetch_add(1);
    return;
  }
  int copies = 1;
  if (chance(rng_) < profile_.duplicate) {
    copies = 2;
    duplicated_.fetch_add(1);
  }
  for (int i = 0; i < copies; ++i) {
    if (chance(rng_) < profile_.reorder) {
      std::uniform_int_distribution<int> delay(5, 40);
      held_.push_back(
          {SteadyClock::now() + std::chrono::milliseconds(delay(rng_)), fd, clientPort, bytes});
      delayed_.fetch_add(1);
    } else {
      Transmit(fd, clientPort, bytes);
    }
  }
}

void TImpairmentProxy::Loop() {
  std::vector<char> buffer(65536);
  while (!stop_.load()) {
    std::vector<pollfd> fds{{wake_, POLLIN, 0}, {front_, POLLIN, 0}};
    for (const auto& [port, fd] : upstream_) fds.push_back({fd, POLLIN, 0});
    int timeout = 100;
    const auto now = SteadyClock::now();
    for (const THeld& h : held_) {
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(h.due - now).count();
      timeout = std::clamp(static_cast<int>(ms), 0, timeout);
    }
    ::poll(fds.data(), fds.size(), timeout);
    if (fds[0].revents) break;

    // Held datagrams whose time has come, oldest due first.
    const auto after = SteadyClock::now();
    std::stable_sort(held_.begin(), held_.end(),
                     [](const THeld& a, const THeld& b) { return a.due < b.due; });
    size_t released = 0;
    while (released < held_.size() && held_[released].due <= after) {
      Transmit(held_[released].fd, held_[released].clientPort, held_[released].bytes);
      ++released;
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(released));

    if (fds[1].revents & POLLIN) {
      for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(front_, buffer.data(), buffer.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) break;
        Relay(UpstreamFor(ntohs(from.sin_port)), 0, std::string(buffer.data(), n));
      }
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (;;) {
        ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
        if (n < 0) break;
        Relay(fds[i].fd, clientOf_[fds[i].fd], std::string(buffer.data(), n));
      }
    }
  }
}

}  // namespace vh::test
