// The metrics page: its text format read back by a strict parser, and the endpoint over HTTP
// against running virtual servers, including while the virtual-server list lock is held.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "QueryHarness.h"
#include "admin/MetricsEndpoint.h"
#include "admin/MetricsText.h"

namespace vh {
namespace {

struct TSample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// Reads the exposition text; every rule it breaks is a test failure.
std::vector<TSample> Parse(const std::string& text) {
  static const std::regex kSample(R"(^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)$)");
  static const std::regex kLabel(R"re(^([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\\n]|\\.)*)"(,|$))re");
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::vector<TSample> samples;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# HELP ", 0) == 0) {
      helped.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream t(line.substr(7));
      std::string name, type;
      t >> name >> type;
      EXPECT_TRUE(type == "counter" || type == "gauge") << line;
      EXPECT_TRUE(types.emplace(name, type).second) << "family typed twice: " << line;
      EXPECT_TRUE(helped.count(name)) << "TYPE before HELP: " << line;
      if (type == "counter") {
        EXPECT_TRUE(name.ends_with("_total")) << line;
      }
      continue;
    }
    std::smatch m;
    if (!std::regex_match(line, m, kSample)) {
      ADD_FAILURE() << "not a sample line: " << line;
      continue;
    }
    TSample s;
    s.name = m[1];
    EXPECT_TRUE(types.count(s.name)) << "sample before its TYPE: " << line;
    std::string labels = m[3];
    while (!labels.empty()) {
      std::smatch l;
      if (!std::regex_search(labels, l, kLabel)) {
        ADD_FAILURE() << "bad labels: " << line;
        break;
      }
      EXPECT_TRUE(s.labels.emplace(l[1], l[2]).second) << "label twice: " << line;
      labels = l.suffix();
    }
    size_t used = 0;
    s.value = std::stod(m[4], &used);
    EXPECT_EQ(used, m[4].length()) << line;
    samples.push_back(s);
  }
  return samples;
}

double Value(const std::vector<TSample>& samples, const std::string& name,
             const std::map<std::string, std::string>& labels) {
  for (const TSample& s : samples) {
    if (s.name != name) continue;
    bool match = true;
    for (const auto& [k, v] : labels) match = match && s.labels.count(k) && s.labels.at(k) == v;
    if (match) return s.value;
  }
  ADD_FAILURE() << "no sample " << name;
  return -1;
}

size_t CountNamed(const std::vector<TSample>& samples, const std::string& name) {
  size_t n = 0;
  for (const TSample& s : samples) n += s.name == name;
  return n;
}

TEST(MetricsText, ParsesBackWithEveryServerAndOutcomeLabelled) {
  auto running = std::make_shared<TServerCounters>();
  running->serverId = 3;
  running->port = 8770;
  running->running = true;
  running->players = 5;
  running->logins[TServerCounters::LoginSlot(1)] = 7;
  running->logins[TServerCounters::LoginSlot(-6)] = 2;
  running->logins[TServerCounters::LoginSlot(-99)] = 1;
  running->traffic.bytesIn = 1ull << 40;  // beyond 32 bits and exact as a double
  running->traffic.voiceDroppedThinned = 9;
  running->traffic.averageLoss = 250;         // 2.5 %
  running->traffic.averageRoundTripMs = 120;  // 0.12 s
  auto stopped = std::make_shared<TServerCounters>();
  stopped->serverId = 4;

  const auto samples = Parse(RenderMetrics({running, stopped, nullptr}, 90.5));
  const std::map<std::string, std::string> server3{{"server", "3"}, {"port", "8770"}};
  EXPECT_EQ(Value(samples, "voxhollow_uptime_seconds", {}), 90.5);
  EXPECT_EQ(Value(samples, "voxhollow_virtual_servers", {}), 1);
  EXPECT_EQ(Value(samples, "voxhollow_players", server3), 5);
  EXPECT_EQ(Value(samples, "voxhollow_bytes_received_total", server3), 1099511627776.0);
  EXPECT_EQ(Value(samples, "voxhollow_logins_total", {{"server", "3"}, {"result", "accepted"}}), 7);
  EXPECT_EQ(Value(samples, "voxhollow_logins_total", {{"server", "3"}, {"result", "-6"}}), 2);
  EXPECT_EQ(Value(samples, "voxhollow_logins_total", {{"server", "3"}, {"result", "other"}}), 1);
  EXPECT_EQ(Value(samples, "voxhollow_voice_dropped_total", {{"reason", "thinned"}}), 9);
  EXPECT_EQ(Value(samples, "voxhollow_average_packet_loss_percent", server3), 2.5);
  EXPECT_DOUBLE_EQ(Value(samples, "voxhollow_average_round_trip_seconds", server3), 0.12);
  // Every login outcome and every drop reason has its own sample; the stopped server none.
  EXPECT_EQ(CountNamed(samples, "voxhollow_logins_total"), TServerCounters::kLoginSlots);
  EXPECT_EQ(CountNamed(samples, "voxhollow_voice_dropped_total"), 3u);
  for (const TSample& s : samples) {
    if (s.labels.count("server")) {
      EXPECT_EQ(s.labels.at("server"), "3") << s.name;
    }
  }
}

std::string Scrape(uint16_t port) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(5, 0);
  auto res = client.Get("/metrics");
  if (!res || res->status != 200) return {};
  return res->body;
}

TEST(MetricsEndpoint, CountsAPlayerAndAnswersWhileTheListIsLocked) {
  test::TQueryHarness h;
  TMetricsEndpoint endpoint(h.Servers(), 0);
  ASSERT_TRUE(endpoint.Start("127.0.0.1", 0));
  const std::string port = std::to_string(h.ServerPort());
  const std::map<std::string, std::string> server{{"port", port}};

  auto player = h.Join("alice");
  ASSERT_TRUE(player);
  auto samples = Parse(Scrape(endpoint.BoundPort()));
  EXPECT_EQ(Value(samples, "voxhollow_players", server), 1);
  EXPECT_EQ(Value(samples, "voxhollow_logins_total", {{"port", port}, {"result", "accepted"}}), 1);
  EXPECT_GT(Value(samples, "voxhollow_datagrams_received_total", server), 0);
  EXPECT_GT(Value(samples, "voxhollow_bytes_sent_total", server), 0);

  // Another thread holds the list lock, as a stopping server does for seconds: the scrape
  // answers from the last listing, promptly.
  std::mutex m;
  std::condition_variable cv;
  bool held = false, release = false;
  std::thread holder([&] {
    h.Servers().WithVirtualServer(&h.Server(), [&](TServerObject&) {
      std::unique_lock lock(m);
      held = true;
      cv.notify_all();
      cv.wait(lock, [&] { return release; });
    });
  });
  {
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return held; });
  }
  const auto start = std::chrono::steady_clock::now();
  samples = Parse(Scrape(endpoint.BoundPort()));
  const auto took = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  holder.join();
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_EQ(Value(samples, "voxhollow_players", server), 1);
  endpoint.Stop();
}

}  // namespace
}  // namespace vh
