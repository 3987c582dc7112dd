// Binds a cpp-httplib server that the caller then listens on: port 0 takes any free port.
// Used by the web interface and the metrics endpoint while they start, on the starting thread.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>

namespace vh {

// The port bound, or 0 when the address or port could not be bound.
inline uint16_t BindHttpServer(httplib::Server& server, const std::string& address, uint16_t port) {
  if (port == 0) {
    const int p = server.bind_to_any_port(address);
    return p > 0 ? static_cast<uint16_t>(p) : 0;
  }
  return server.bind_to_port(address, port) ? port : 0;
}

}  // namespace vh
