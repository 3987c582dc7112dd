// Ports of the program tests. A server a test measures listens only on ports the system picked
// free, so the suite passes beside a running server (UDP 8767, TCP 51234 and 14534) and beside
// itself in another checkout. Only a first start still asks for 8767, since it creates virtual
// server 1 there; such a start may find the port taken and say so, and the tests move the
// server to a free port before they use it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <regex>
#include <string>

#include "support/FreePorts.h"

namespace vh::test {

// The web interface and the TCP query on free ports, for the "[Main Config]" section.
struct TAdminPorts {
  uint16_t web = FreeTcpPort();
  uint16_t query = FreeTcpPort();
  std::string Ini() const {
    return "HTTPServer Port=" + std::to_string(web) + "\nTCPQueryPort=" + std::to_string(query) +
           "\n";
  }
};

// Runs statements on a database file; false on any error.
inline bool ExecuteSql(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  bool ok = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
            sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return ok;
}

// Moves the stored virtual server `id` to a free UDP port; the port, or 0 when that failed.
inline uint16_t MoveServerToFreePort(const std::string& db, int32_t id = 1) {
  const uint16_t port = FreeUdpPort();
  return ExecuteSql(db, "UPDATE vh2_servers SET i_server_udpport = " + std::to_string(port) +
                            " WHERE i_server_id = " + std::to_string(id))
             ? port
             : 0;
}

// The console line of a first start's virtual server `id` on 8767: started, or not started
// because something else holds the port.
inline bool ShowsFirstStartServer(const std::string& console, int32_t id) {
  const std::string server = "Virtual server " + std::to_string(id);
  return console.find(server + " started on UDP port 8767\n") != std::string::npos ||
         std::regex_search(console, std::regex(server + " not started: [^\n]*:8767: "));
}

}  // namespace vh::test
