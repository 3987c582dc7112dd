#include "admin/MetricsText.h"

#include <cstdio>
#include <functional>
#include <iterator>

namespace vh {

namespace {

using TServers = std::vector<std::shared_ptr<const TServerCounters>>;
using TRead = std::function<double(const TServerCounters&)>;

struct TFamily {
  const char* name;
  const char* type;  // "counter" or "gauge"
  const char* help;
  TRead read;
};

template <typename T>
double Relaxed(const std::atomic<T>& v) {
  return static_cast<double>(v.load(std::memory_order_relaxed));
}

const TFamily kFamilies[] = {
    {"voxhollow_players", "gauge", "Players logged in.",
     [](const TServerCounters& s) { return Relaxed(s.players); }},
    {"voxhollow_channels", "gauge", "Channels, registered or not.",
     [](const TServerCounters& s) { return Relaxed(s.channels); }},
    {"voxhollow_datagrams_received_total", "counter", "UDP datagrams received.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.datagramsIn); }},
    {"voxhollow_bytes_received_total", "counter", "UDP payload bytes received.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.bytesIn); }},
    {"voxhollow_datagrams_sent_total", "counter", "UDP datagrams sent.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.datagramsOut); }},
    {"voxhollow_bytes_sent_total", "counter", "UDP payload bytes sent.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.bytesOut); }},
    {"voxhollow_datagrams_refused_total", "counter",
     "Received datagrams dropped before the listener (invalid, unknown session, over a limit).",
     [](const TServerCounters& s) { return Relaxed(s.traffic.datagramsRefused); }},
    {"voxhollow_logins_rate_limited_total", "counter",
     "Login requests dropped because their source exceeded its login rate.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.loginsRateLimited); }},
    {"voxhollow_command_resends_total", "counter",
     "Command packets sent again because no acknowledgement came in time.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.commandResends); }},
    {"voxhollow_average_packet_loss_percent", "gauge",
     "Average packet loss of the connected players.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.averageLoss) / 100.0; }},
    {"voxhollow_average_round_trip_seconds", "gauge",
     "Average command round trip of the connected players.",
     [](const TServerCounters& s) { return Relaxed(s.traffic.averageRoundTripMs) / 1000.0; }},
};

struct TVoiceDrop {
  const char* reason;
  const TTrafficCounters::TCounter TTrafficCounters::*counter;
};

const TVoiceDrop kVoiceDrops[] = {
    {"queue_full", &TTrafficCounters::voiceDroppedQueueFull},
    {"thinned", &TTrafficCounters::voiceDroppedThinned},
    {"late", &TTrafficCounters::voiceDroppedLate},
};

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string Labels(const TServerCounters& s, const std::string& extra = {}) {
  std::string l = "{server=\"" + std::to_string(s.serverId.load(std::memory_order_relaxed)) +
                  "\",port=\"" + std::to_string(s.port.load(std::memory_order_relaxed)) + "\"";
  if (!extra.empty()) l += "," + extra;
  return l + "}";
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
}

}  // namespace

std::string LoginOutcomeLabel(size_t slot) {
  // The login reply's refusal codes -1 to -7, by name.
  static const char* const kRefusals[] = {"bad_login",        "server_full",     "no_anonymous",
                                          "nickname_in_use",  "version_refused", "banned",
                                          "login_name_in_use"};
  static_assert(std::size(kRefusals) == TServerCounters::kLoginRefusalCodes);
  if (slot == 0) return "accepted";
  if (slot <= std::size(kRefusals)) return kRefusals[slot - 1];
  if (slot + 2 == TServerCounters::kLoginSlots) return "no_account";
  return "other";
}

namespace {

// Label values pass through here: a backslash, a quote and a line end are escaped.
std::string LabelValue(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

void ProcessFamilies(std::string& out, const TMetricsExtras& x) {
  if (x.process.known) {
    Header(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out += "process_resident_memory_bytes " + Number(x.process.residentBytes) + "\n";
    Header(out, "process_cpu_seconds_total", "counter", "User and system CPU time in seconds.");
    out += "process_cpu_seconds_total " + Number(x.process.cpuSeconds) + "\n";
    Header(out, "process_open_fds", "gauge", "Open file descriptors.");
    out += "process_open_fds " + Number(x.process.openFiles) + "\n";
  }
  if (x.startTimeSeconds > 0) {
    Header(out, "process_start_time_seconds", "gauge",
           "Start time of the process since the epoch in seconds.");
    out += "process_start_time_seconds " + Number(x.startTimeSeconds) + "\n";
  }
  if (!x.version.empty()) {
    Header(out, "voxhollow_build_info", "gauge", "The server's version; always 1.");
    out += "voxhollow_build_info{version=\"" + LabelValue(x.version) + "\"} 1\n";
  }
}

// voxhollow_up for every stored server and every running one, voxhollow_max_players for the
// stored ones.
void StoredServerFamilies(std::string& out, const TServers& running, const TMetricsExtras& x) {
  auto runningBlock = [&](int32_t id) -> const TServerCounters* {
    for (const auto& s : running)
      if (s->serverId.load(std::memory_order_relaxed) == id) return s.get();
    return nullptr;
  };
  auto labels = [](int32_t id, uint16_t port) {
    return "{server=\"" + std::to_string(id) + "\",port=\"" + std::to_string(port) + "\"}";
  };
  Header(out, "voxhollow_up", "gauge",
         "1 while a virtual server runs, 0 for a stored one that does not.");
  for (const TStoredServerFigures& s : x.stored) {
    const TServerCounters* r = runningBlock(s.id);
    out += "voxhollow_up" + (r ? Labels(*r) : labels(s.id, s.port)) + (r ? " 1\n" : " 0\n");
  }
  for (const auto& r : running) {
    const int32_t id = r->serverId.load(std::memory_order_relaxed);
    bool stored = false;
    for (const TStoredServerFigures& s : x.stored) stored = stored || s.id == id;
    if (!stored) out += "voxhollow_up" + Labels(*r) + " 1\n";
  }
  Header(out, "voxhollow_max_players", "gauge", "The player limit of a stored virtual server.");
  for (const TStoredServerFigures& s : x.stored) {
    const TServerCounters* r = runningBlock(s.id);
    out += "voxhollow_max_players" + (r ? Labels(*r) : labels(s.id, s.port)) + " " +
           std::to_string(s.maxPlayers) + "\n";
  }
}

void LabelledTotals(std::string& out, const char* name, const char* label, const char* help,
                    const std::vector<std::pair<std::string, uint64_t>>& values) {
  if (values.empty()) return;
  Header(out, name, "counter", help);
  for (const auto& [key, value] : values)
    out += std::string(name) + "{" + label + "=\"" + LabelValue(key) + "\"} " +
           std::to_string(value) + "\n";
}

}  // namespace

std::string RenderMetrics(const TServers& all, double uptimeSeconds, const TMetricsExtras& extras) {
  TServers servers;
  for (const auto& s : all)
    if (s && s->running.load(std::memory_order_relaxed)) servers.push_back(s);
  std::string out;
  ProcessFamilies(out, extras);
  Header(out, "voxhollow_uptime_seconds", "gauge", "Seconds since the server process started.");
  out += "voxhollow_uptime_seconds " + Number(uptimeSeconds) + "\n";
  Header(out, "voxhollow_virtual_servers", "gauge", "Virtual servers running.");
  out += "voxhollow_virtual_servers " + std::to_string(servers.size()) + "\n";
  for (const TFamily& f : kFamilies) {
    Header(out, f.name, f.type, f.help);
    for (const auto& s : servers)
      out += std::string(f.name) + Labels(*s) + " " + Number(f.read(*s)) + "\n";
  }
  Header(out, "voxhollow_logins_total", "counter",
         "Login replies by outcome: accepted, or the name of the refusal.");
  for (const auto& s : servers)
    for (size_t slot = 0; slot < TServerCounters::kLoginSlots; ++slot)
      out += "voxhollow_logins_total" + Labels(*s, "result=\"" + LoginOutcomeLabel(slot) + "\"") +
             " " + Number(Relaxed(s->logins[slot])) + "\n";
  Header(out, "voxhollow_voice_dropped_total", "counter",
         "Voice packets for a player dropped instead of sent, by reason.");
  for (const auto& s : servers)
    for (const TVoiceDrop& d : kVoiceDrops)
      out += "voxhollow_voice_dropped_total" +
             Labels(*s, std::string("reason=\"") + d.reason + "\"") + " " +
             Number(Relaxed(s->traffic.*d.counter)) + "\n";
  StoredServerFamilies(out, servers, extras);
  LabelledTotals(out, "voxhollow_admin_login_failures_total", "interface",
                 "Failed administrator logins, by interface.", extras.failedAdminLogins);
  LabelledTotals(out, "voxhollow_database_errors_total", "backend",
                 "Database statements that failed, by back-end.", extras.databaseErrors);
  return out;
}

}  // namespace vh
