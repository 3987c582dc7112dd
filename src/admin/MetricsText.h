// The metrics page in the plain text exposition format that monitoring scrapers read: one
// family per figure (HELP and TYPE lines, then one sample per virtual server, labelled with
// its id and port). Pure: takes the counter blocks and the uptime, returns the page. Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vserver/ServerCounters.h"

namespace vh {

// The process's own figures, read from the system by the endpoint (known: they could be read).
struct TProcessFigures {
  bool known = false;
  double residentBytes = 0;
  double cpuSeconds = 0;
  double openFiles = 0;
};

// A virtual server as stored, running or not (this process's share when several share one
// database).
struct TStoredServerFigures {
  int32_t id = 0;
  uint16_t port = 0;
  int32_t maxPlayers = 0;
};

// What the page shows beside the running servers' counter blocks.
struct TMetricsExtras {
  double startTimeSeconds = 0;  // process start, seconds since the epoch (0: not shown)
  std::string version;          // the build_info label (empty: not shown)
  TProcessFigures process;
  std::vector<TStoredServerFigures> stored;
  std::vector<std::pair<std::string, uint64_t>> failedAdminLogins;  // by interface
  std::vector<std::pair<std::string, uint64_t>> databaseErrors;     // by back-end
};

// Blocks of servers that are not running are left out of the per-server families, except
// voxhollow_up, which is 0 for a stored server without a running block. Reads the counters
// relaxed: figures of one server may be a few events apart, each one is exact.
std::string RenderMetrics(const std::vector<std::shared_ptr<const TServerCounters>>& servers,
                          double uptimeSeconds, const TMetricsExtras& extras = {});

// The login-reply outcome a slot of TServerCounters::logins stands for: "accepted", the
// refusal's name ("bad_login" for -1 ... "login_name_in_use" for -7, "no_account" for -21) or
// "other".
std::string LoginOutcomeLabel(size_t slot);

}  // namespace vh
