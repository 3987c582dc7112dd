// The installation: "cmake --install" into a prefix inside the build tree, then the installed
// program started with nothing but the installed files and a fresh state directory, as the
// service unit starts it. A player logs in and talks, the metrics move, the log survives a
// rotation and a storm of reload signals, and the unit passes systemd-analyze verify.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "client/ProtocolClient.h"
#include "support/FreePorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::FileExists;
using test::FreeUdpPort;
using test::ReadFile;
using test::TChildProcess;
using test::TTempDir;
using test::WaitUntil;
namespace fs = std::filesystem;

const std::string kPrefix = std::string(VH_BUILD_DIR) + "/install-test";

// The value of one unlabelled-or-labelled sample line that starts with `prefix`; -1 if absent.
double Metric(const std::string& page, const std::string& prefix) {
  size_t at = page.find("\n" + prefix);
  if (at == std::string::npos) return -1;
  at = page.find(' ', at + 1 + prefix.size());
  return std::stod(page.substr(at + 1, page.find('\n', at) - at - 1));
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

bool SetServerPort(const std::string& db, uint16_t port) {
  sqlite3* handle = nullptr;
  const std::string sql = "UPDATE vh2_servers SET i_server_udpport = " + std::to_string(port) +
                          " WHERE i_server_id = 1";
  const bool ok = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
                  sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
                  sqlite3_changes(handle) == 1;
  sqlite3_close(handle);
  return ok;
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fs::remove_all(kPrefix);
    const std::string command = std::string(VH_CMAKE_COMMAND) +
                                " --install " VH_BUILD_DIR " --prefix " + kPrefix + " > " +
                                kPrefix + ".txt 2>&1";
    installed_ = std::system(command.c_str()) == 0;
  }
  void SetUp() override { ASSERT_TRUE(installed_) << ReadFile(kPrefix + ".txt"); }
  static bool installed_;
};
bool Installed::installed_ = false;

TEST_F(Installed, TreeHoldsProgramsDataAndServiceFiles) {
  for (const char* f :
       {"bin/voxhollow-server", "bin/vhclient", "share/voxhollow/sqlite_sql/read_servers.sql",
        "share/voxhollow/httpdocs", "share/voxhollow/tcpquerydocs",
        "lib/systemd/system/voxhollow-server.service", "lib/sysusers.d/voxhollow.conf",
        "lib/tmpfiles.d/voxhollow.conf", "etc/logrotate.d/voxhollow-server"})
    EXPECT_TRUE(fs::exists(kPrefix + "/" + f)) << f;
  const std::string unit = ReadFile(kPrefix + "/lib/systemd/system/voxhollow-server.service");
  EXPECT_NE(unit.find("ExecStart=" + kPrefix + "/bin/voxhollow-server "), std::string::npos);
  if (::system("command -v systemd-analyze > /dev/null 2>&1") != 0)
    GTEST_SKIP() << "systemd-analyze is not installed: the unit was not verified";
  const std::string out = kPrefix + "-verify.txt";
  const std::string verify = "systemd-analyze verify " + kPrefix +
                             "/lib/systemd/system/voxhollow-server.service > " + out + " 2>&1";
  EXPECT_EQ(std::system(verify.c_str()), 0) << ReadFile(out);
  // Warnings about the unit itself count as failures too.
  EXPECT_EQ(ReadFile(out).find("voxhollow-server.service:"), std::string::npos) << ReadFile(out);
}

TEST_F(Installed, ServesLogsInRotatesItsLogAndReportsMetrics) {
  TTempDir state;
  // A free query port: a first start that finds 8767 taken still serves something.
  test::WriteFile(state.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\nHTTPServer Enabled=0\nTCPQueryPort=" +
                      std::to_string(test::FreeTcpPort()) +
                      "\n[WebPost]\nEnabled=0\n[Metrics]\nEnabled=1\nPort=0\n");
  const std::string log = state.File("server.log");
  const std::vector<std::string> args = {"-ini=" + state.File("server.ini"),
                                         "-db=" + state.File("server.dbs"),
                                         "-badnames=" + state.File("bad_names.txt"), "-log=" + log};
  auto started = [&](size_t times) {
    return WaitUntil([&] { return Count(ReadFile(log), "Server init finished") == times; }, 20s);
  };
  {
    // The first start creates the database; the server then moves off the shared port 8767.
    TChildProcess first(kPrefix + "/bin/voxhollow-server", args);
    ASSERT_TRUE(started(1)) << ReadFile(log);
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(20s), 0);
  }
  const uint16_t udpPort = FreeUdpPort();
  ASSERT_TRUE(SetServerPort(state.File("server.dbs"), udpPort));
  TChildProcess server(kPrefix + "/bin/voxhollow-server", args, state.File("stdout.txt"));
  ASSERT_TRUE(started(2)) << ReadFile(log);

  std::smatch port;  // the endpoint took a free port and says which
  const std::string console = ReadFile(state.File("stdout.txt"));
  ASSERT_TRUE(std::regex_search(console, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/metrics")))
      << console;
  httplib::Client scraper("127.0.0.1", std::stoi(port[1]));
  auto scrape = [&] {
    auto res = scraper.Get("/metrics");
    return res && res->status == 200 ? res->body : std::string();
  };
  const std::string before = scrape();
  ASSERT_FALSE(before.empty()) << ReadFile(state.File("stdout.txt"));
  const std::string server1 = "{server=\"1\",port=\"" + std::to_string(udpPort) + "\"";
  EXPECT_GT(Metric(before, "voxhollow_channels" + server1), 0);  // before any event

  // Two players in the default channel; one talks, the other hears it.
  client::TProtocolClient alice, bob;
  for (auto* c : {&alice, &bob}) {
    ASSERT_TRUE(c->Connect("127.0.0.1", udpPort));
    client::TLoginOptions o;
    o.nickname = c == &alice ? "alice" : "bob";
    auto reply = c->Login(o, 5s);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 1);
    ASSERT_TRUE(c->Join({}, 5s).complete);
  }
  for (int i = 0; i < 5; ++i) alice.SendVoice(0, 7, alice.NextVoiceCounter(), 0, "voice");
  ASSERT_TRUE(bob.WaitForVoice(5s));
  std::string after;
  ASSERT_TRUE(WaitUntil(
      [&] {
        after = scrape();
        return Metric(after, "voxhollow_players" + server1) == 2;
      },
      5s))
      << after;
  EXPECT_EQ(Metric(after, "voxhollow_logins_total" + server1 + ",result=\"accepted\"}"), 2);
  EXPECT_GT(Metric(after, "voxhollow_datagrams_received_total" + server1),
            Metric(before, "voxhollow_datagrams_received_total" + server1));
  EXPECT_GT(Metric(after, "voxhollow_bytes_sent_total" + server1),
            Metric(before, "voxhollow_bytes_sent_total" + server1));

  // Rotation: the file is moved, SIGHUP makes a new one and the next line lands there.
  fs::rename(log, log + ".1");
  server.Signal(SIGHUP);
  ASSERT_TRUE(
      WaitUntil([&] { return ReadFile(log).find("Settings reloaded") != std::string::npos; }, 10s));
  EXPECT_EQ(ReadFile(log + ".1").find("Settings reloaded"), std::string::npos);

  // A storm of reloads leaves the one file working; the shutdown lines still land in it.
  for (int i = 0; i < 100; ++i) server.Signal(SIGHUP);
  EXPECT_TRUE(scrape().size() > 0);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  const std::string last = ReadFile(log);
  EXPECT_NE(last.find("Server shutdown finished"), std::string::npos);
  EXPECT_NE(last.find("log ended at"), std::string::npos);
  EXPECT_FALSE(FileExists(log + ".2"));
}

}  // namespace
}  // namespace vh
