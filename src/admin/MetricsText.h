// The metrics page in the plain text exposition format that monitoring scrapers read: one
// family per figure (HELP and TYPE lines, then one sample per virtual server, labelled with
// its id and port). Pure: takes the counter blocks and the uptime, returns the page. Any thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vserver/ServerCounters.h"

namespace vh {

// Blocks of servers that are not running are left out. Reads the counters relaxed: figures of
// one server may be a few events apart, each one is exact.
std::string RenderMetrics(const std::vector<std::shared_ptr<const TServerCounters>>& servers,
                          double uptimeSeconds);

// The login-reply outcome a slot of TServerCounters::logins stands for: "accepted", the
// refusal's code ("-1" to "-7") or "other".
std::string LoginOutcomeLabel(size_t slot);

}  // namespace vh
