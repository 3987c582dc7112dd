// Binds a cpp-httplib server and listens on it from a thread of its own: port 0 takes any free
// port. Used by the web interface and the metrics endpoint while they start, on the starting
// thread.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace vh {

namespace detail {
inline uint16_t BindHttpServerPort(httplib::Server& server, const std::string& address,
                                   uint16_t port) {
  if (port == 0) {
    const int p = server.bind_to_any_port(address);
    return p > 0 ? static_cast<uint16_t>(p) : 0;
  }
  return server.bind_to_port(address, port) ? port : 0;
}
}  // namespace detail

// The port bound, or 0 when the address or port could not be bound; then `failure` (when given)
// says "Could not bind to address:port: reason", as the voice ports say it.
inline uint16_t BindHttpServer(httplib::Server& server, const std::string& address, uint16_t port,
                               std::string* failure = nullptr) {
  // The library closes the socket after a failed bind; a successful close leaves errno as the
  // bind set it, so the reason survives.
  errno = 0;
  const uint16_t bound = detail::BindHttpServerPort(server, address, port);
  if (bound == 0 && failure) {
    const int error = errno;
    *failure = "Could not bind to " + (address.empty() ? std::string("0.0.0.0") : address) + ":" +
               std::to_string(port) + ": " +
               (error ? std::strerror(error) : "the address could not be resolved or bound");
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
