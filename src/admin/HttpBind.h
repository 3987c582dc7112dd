// Binds a cpp-httplib server and listens on it from a thread of its own: port 0 takes any free
// port. Used by the web interface and the metrics endpoint while they start, on the starting
// thread.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace vh {

// Why `address`:`port` cannot be bound, for the log line: not an address, or the system's
// reason for a plain TCP socket bound there.
inline std::string BindFailureReason(const std::string& address, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
  } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
  } else {
    return "not an IPv4 or IPv6 address";
  }
  const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  std::string reason = "unknown";
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) reason = std::strerror(errno);
  ::close(fd);
  return reason;
}

// The port bound, or 0 when the address or port could not be bound; then `failure` (when given)
// says "Could not bind to address:port: reason", as the voice ports say it. "::" listens on both
// families (the library opens IPv6 sockets dual-stack), or on IPv4 alone where the host has no
// IPv6; an IPv6 literal may come in brackets.
inline uint16_t BindHttpServer(httplib::Server& server, const std::string& address, uint16_t port,
                               std::string* failure = nullptr) {
  std::string host = address;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  auto bind = [&](const std::string& h) -> uint16_t {
    if (port == 0) {
      const int p = server.bind_to_any_port(h);
      return p > 0 ? static_cast<uint16_t>(p) : 0;
    }
    return server.bind_to_port(h, port) ? port : 0;
  };
  uint16_t bound = bind(host);
  if (bound == 0 && host == "::") bound = bind("0.0.0.0");
  if (bound == 0 && failure) {
    const std::string shown = host.empty() ? std::string("::") : host;
    *failure = "Could not bind to " +
               (shown.find(':') != std::string::npos ? "[" + shown + "]" : shown) + ":" +
               std::to_string(port) + ": " + BindFailureReason(shown, port);
  }
  return bound;
}

// Runs the bound server's loop on a new thread and returns once the loop runs (or has already
// given up). The library ignores a stop() that comes before its loop has begun, and the join
// would then wait forever: a SIGTERM that arrives during start-up stops the server at once.
inline std::thread ListenOnThread(httplib::Server& server) {
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([&server, ended] {
    server.listen_after_bind();
    ended->store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server.is_running() && !ended->load() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return thread;
}

}  // namespace vh
