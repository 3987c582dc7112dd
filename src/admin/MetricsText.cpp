#include "admin/MetricsText.h"

#include <cstdio>
#include <functional>

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
  if (slot == 0) return "accepted";
  if (slot + 1 == TServerCounters::kLoginSlots) return "other";
  return "-" + std::to_string(slot);
}

std::string RenderMetrics(const TServers& all, double uptimeSeconds) {
  TServers servers;
  for (const auto& s : all)
    if (s && s->running.load(std::memory_order_relaxed)) servers.push_back(s);
  std::string out;
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
         "Login replies by outcome: accepted, or the refusal code of the reply.");
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
  return out;
}

}  // namespace vh
