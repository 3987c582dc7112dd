// The metrics page: its text format checked line by line, and the endpoint's listing while the
// virtual-server list lock is held elsewhere.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <regex>
#include <sstream>

#include "QueryHarness.h"
#include "admin/MetricsEndpoint.h"
#include "admin/MetricsText.h"
#include "support/TempDir.h"

namespace vh {
namespace {

// Sample lines by "name{labels}", after checking every line of the page: a comment is HELP or
// TYPE (counters end in _total), a sample belongs to a typed family and carries a number.
std::map<std::string, double> Parse(const std::string& page) {
  static const std::regex kType(R"(^# TYPE ([a-z_]+) (counter|gauge)$)");
  static const std::regex kSample(
      R"re(^([a-z_]+)((\{[a-z_]+="[^"\\]*"(,[a-z_]+="[^"\\]*")*\})?) (-?[0-9.e+]+)$)re");
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
  std::istringstream in(page);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (std::regex_match(line, m, kType)) {
      EXPECT_TRUE(types.emplace(m[1], m[2]).second) << line;
      EXPECT_TRUE(m[2] == "gauge" || m[1].str().ends_with("_total")) << line;
    } else if (std::regex_match(line, m, kSample)) {
      EXPECT_TRUE(types.count(m[1])) << "sample before its TYPE: " << line;
      EXPECT_TRUE(samples.emplace(m[1].str() + m[2].str(), std::stod(m[5])).second) << line;
    } else {
      ADD_FAILURE() << "malformed line: " << line;
    }
  }
  return samples;
}

TEST(MetricsText, EveryRunningServerAndOutcomeIsLabelledAndReadsBack) {
  auto running = std::make_shared<TServerCounters>();
  running->serverId = 3;
  running->port = 8770;
  running->running = true;
  running->players = 5;
  running->logins[TServerCounters::LoginSlot(1)] = 7;
  running->logins[TServerCounters::LoginSlot(-6)] = 2;
  running->logins[TServerCounters::LoginSlot(-99)] = 1;
  running->logins[TServerCounters::LoginSlot(-21)] = 4;
  running->traffic.bytesIn = 1ull << 40;  // beyond 32 bits, exact as a double
  running->traffic.voiceDroppedThinned = 9;
  running->traffic.averageLoss = 250;         // 2.5 %
  running->traffic.averageRoundTripMs = 120;  // 0.12 s
  auto stopped = std::make_shared<TServerCounters>();
  stopped->serverId = 4;

  TMetricsExtras extras;
  extras.stored = {{3, 8770, 32}, {4, 8771, 16}};  // 4 is stored but not running
  extras.version = "2.0.20.1";
  extras.startTimeSeconds = 1.5e9;
  extras.process = {true, 4096, 1.25, 9};
  extras.failedAdminLogins = {{"tcpquery", 3}, {"web", 0}};
  extras.databaseErrors = {{"sqlite", 2}};
  auto s = Parse(RenderMetrics({running, stopped, nullptr}, 90.5, extras));
  const std::string l = "{server=\"3\",port=\"8770\"";
  EXPECT_EQ(s["voxhollow_uptime_seconds"], 90.5);
  EXPECT_EQ(s["voxhollow_virtual_servers"], 1);
  EXPECT_EQ(s["voxhollow_players" + l + "}"], 5);
  EXPECT_EQ(s["voxhollow_bytes_received_total" + l + "}"], 1099511627776.0);
  EXPECT_EQ(s["voxhollow_logins_total" + l + ",result=\"accepted\"}"], 7);
  EXPECT_EQ(s["voxhollow_logins_total" + l + ",result=\"banned\"}"], 2);
  EXPECT_EQ(s["voxhollow_logins_total" + l + ",result=\"no_account\"}"], 4);
  EXPECT_EQ(s["voxhollow_logins_total" + l + ",result=\"other\"}"], 1);
  // The stored server that does not run is down, with its limit; the running one is up.
  EXPECT_EQ(s.at("voxhollow_up" + l + "}"), 1);
  EXPECT_EQ(s.at("voxhollow_up{server=\"4\",port=\"8771\"}"), 0);
  EXPECT_EQ(s.at("voxhollow_max_players" + l + "}"), 32);
  EXPECT_EQ(s.at("voxhollow_max_players{server=\"4\",port=\"8771\"}"), 16);
  EXPECT_EQ(s.at("voxhollow_build_info{version=\"2.0.20.1\"}"), 1);
  EXPECT_EQ(s.at("process_resident_memory_bytes"), 4096);
  EXPECT_EQ(s.at("process_cpu_seconds_total"), 1.25);
  EXPECT_EQ(s.at("process_start_time_seconds"), 1.5e9);
  EXPECT_EQ(s.at("voxhollow_admin_login_failures_total{interface=\"tcpquery\"}"), 3);
  EXPECT_EQ(s.at("voxhollow_database_errors_total{backend=\"sqlite\"}"), 2);
  EXPECT_EQ(s["voxhollow_voice_dropped_total" + l + ",reason=\"thinned\"}"], 9);
  EXPECT_EQ(s["voxhollow_voice_dropped_total" + l + ",reason=\"late\"}"], 0);
  EXPECT_EQ(s["voxhollow_average_packet_loss_percent" + l + "}"], 2.5);
  EXPECT_DOUBLE_EQ(s["voxhollow_average_round_trip_seconds" + l + "}"], 0.12);
  // Nothing else of the stopped server; every login outcome has its own sample.
  size_t logins = 0;
  for (const auto& [key, value] : s) {
    if (key.rfind("voxhollow_up{", 0) != 0 && key.rfind("voxhollow_max_players{", 0) != 0) {
      EXPECT_EQ(key.find("server=\"4\""), std::string::npos) << key;
    }
    logins += key.rfind("voxhollow_logins_total{", 0) == 0;
  }
  EXPECT_EQ(logins, TServerCounters::kLoginSlots);
}

// The page of a live endpoint, process figures and stored servers included, passes the
// exposition-format linter monitoring operators run.
TEST(MetricsEndpoint, PagePassesPromtool) {
  if (std::system("command -v promtool > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "promtool is not installed (Debian package prometheus): page not linted";
  test::TQueryHarness h;
  TMetricsEndpoint endpoint(h.Servers(), 1.7e9);
  const int32_t id = h.Server().ServerID();
  endpoint.SetStoredServers([id] {
    return std::vector<TStoredServerFigures>{{id, 8767, 16}, {id + 1, 8768, 32}};
  });
  const std::string page = endpoint.Page();
  const auto samples = Parse(page);
  EXPECT_GT(samples.at("process_resident_memory_bytes"), 0);
  EXPECT_GT(samples.at("process_open_fds"), 0);
  EXPECT_EQ(samples.at("voxhollow_up{server=\"" + std::to_string(id + 1) + "\",port=\"8768\"}"), 0);
  test::TTempDir dir;
  test::WriteFile(dir.File("page.txt"), page);
  const std::string out = dir.File("promtool.txt");
  const std::string command =
      "promtool check metrics < " + dir.File("page.txt") + " > " + out + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << test::ReadFile(out);
  EXPECT_EQ(test::ReadFile(out), "") << page;
}

// A stopping server holds the list lock for seconds: a scrape meanwhile answers promptly
// from the last listing.
TEST(MetricsEndpoint, AnswersFromTheLastListingWhileTheListIsLocked) {
  test::TQueryHarness h;
  TMetricsEndpoint endpoint(h.Servers(), 0);
  const std::string players =
      "voxhollow_players{server=\"" + std::to_string(h.Server().ServerID()) + "\"";
  ASSERT_NE(endpoint.Page().find(players), std::string::npos);
  std::promise<void> held, release;
  std::thread holder([&] {
    h.Servers().WithVirtualServer(&h.Server(), [&](TServerObject&) {
      held.set_value();
      release.get_future().wait();
    });
  });
  held.get_future().wait();
  const auto start = std::chrono::steady_clock::now();
  const std::string page = endpoint.Page();
  const auto took = std::chrono::steady_clock::now() - start;
  release.set_value();
  holder.join();
  EXPECT_LT(took, std::chrono::seconds(1));
  EXPECT_NE(page.find(players), std::string::npos) << page;
}

// A stop right after the start (a SIGTERM during start-up) must end the listening thread: the
// library ignores a stop that comes before its loop runs, so Start waits for the loop.
TEST(MetricsEndpoint, AStopRightAfterTheStartEndsTheListeningThread) {
  test::TQueryHarness h;
  for (int i = 0; i < 50; ++i) {
    TMetricsEndpoint endpoint(h.Servers(), 0);
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0));
    endpoint.Stop();  // hangs in the join when the stop was lost
  }
}

}  // namespace
}  // namespace vh
