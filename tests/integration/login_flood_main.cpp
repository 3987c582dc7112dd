// Measures how promptly a real login is answered while one source floods a virtual server
// on 127.0.0.1 with valid login requests or with junk datagrams, and for two seconds after.
// A measuring tool, not a test: bounded loops, figures on standard output.
//   login_flood [seconds] [--unlimited]
// --unlimited lifts the per-source login limits (the server as it was before them).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ServerHarness.h"
#include "client/UdpSocket.h"
#include "transport/ConnectionTable.h"

namespace vh::test {
namespace {

using Clock = std::chrono::steady_clock;

struct TProbeFigures {
  int sent = 0;
  int answered = 0;
  std::vector<double> ms;
};

std::string Describe(TProbeFigures f) {
  char line[200];
  if (f.ms.empty()) {
    std::snprintf(line, sizeof line, "%d/%d answered", f.answered, f.sent);
    return line;
  }
  std::sort(f.ms.begin(), f.ms.end());
  auto at = [&](double q) { return f.ms[static_cast<size_t>(q * (f.ms.size() - 1))]; };
  std::snprintf(line, sizeof line, "%d/%d answered, median %.1f ms, p95 %.1f ms, max %.1f ms",
                f.answered, f.sent, at(0.5), at(0.95), f.ms.back());
  return line;
}

std::vector<std::string> ValidRequests() {
  std::vector<std::string> out;
  for (int i = 0; i < 1000; ++i) {
    client::TLoginOptions o;
    o.nickname = "flood" + std::to_string(i);
    out.emplace_back(client::BuildLoginRequest(o, 1)->Bytes());
  }
  return out;
}

std::vector<std::string> JunkDatagrams() {
  std::mt19937 rng(20);
  std::vector<std::string> out;
  for (int i = 0; i < 1000; ++i) {
    std::string d(20 + rng() % 180, '\0');
    for (char& c : d) c = static_cast<char>(rng());
    // Mostly the classes that need a CRC, which then fails; some of no class at all.
    const uint16_t word = i % 4 == 0 ? static_cast<uint16_t>(rng()) : (i % 2 ? 0xBEF4 : 0xBEF0);
    d[0] = static_cast<char>(word & 0xFF);
    d[1] = static_cast<char>(word >> 8);
    out.push_back(std::move(d));
  }
  return out;
}

void Run(const char* name, const std::vector<std::string>& flood, double seconds, bool unlimited) {
  TServerHarness h;
  h.EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 5000; });
  if (unlimited) h.Server().PacketBuffer()->SetLoginLimits({1e9, 1e9, 1 << 30, true});

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> floodSent{0};
  const auto floodEnd = Clock::now() + std::chrono::duration<double>(seconds);
  std::thread flooder([&] {
    client::TUdpSocket s;
    std::string error;
    if (!s.Open("127.0.0.1", h.Port(), error)) return;
    uint64_t n = 0;
    while (!stop.load() && Clock::now() < floodEnd) {
      for (int burst = 0; burst < 64; ++burst) s.Send(flood[n++ % flood.size()]);
    }
    floodSent.store(n);
  });

  TProbeFigures during, after;
  const auto probeEnd = floodEnd + std::chrono::seconds(2);
  int index = 0;
  while (Clock::now() < probeEnd) {
    TProbeFigures& f = Clock::now() < floodEnd ? during : after;
    auto c = h.NewClient();
    client::TLoginOptions o;
    o.nickname = "probe" + std::to_string(index++);
    const auto start = Clock::now();
    auto reply = c->Login(o, std::chrono::milliseconds(2000));
    ++f.sent;
    if (reply && reply->result == 1) {
      ++f.answered;
      f.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // pacing of the probes
  }
  stop.store(true);
  flooder.join();
  const TServerStats stats = h.Server().PacketBuffer()->GetServerStats();
  std::printf(
      "%s%s: %.0f datagrams/s sent for %.1f s; server received %u, refused %llu "
      "(login budget %llu)\n  during: %s\n  after:  %s\n",
      name, unlimited ? " (no login limits)" : "", floodSent.load() / seconds, seconds,
      stats.packetsReceived, static_cast<unsigned long long>(stats.datagramsRefused),
      static_cast<unsigned long long>(stats.loginsRateLimited), Describe(during).c_str(),
      Describe(after).c_str());
}

}  // namespace
}  // namespace vh::test

int main(int argc, char** argv) {
  double seconds = 3;
  bool unlimited = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--unlimited") == 0)
      unlimited = true;
    else
      seconds = std::clamp(std::atof(argv[i]), 0.5, 60.0);
  }
  vh::test::Run("valid login flood", vh::test::ValidRequests(), seconds, unlimited);
  vh::test::Run("junk datagram flood", vh::test::JunkDatagrams(), seconds, unlimited);
  return 0;
}
