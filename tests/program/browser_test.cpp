// The real program's web interface in headless Chromium: starts the server on a fresh
// directory with the web interface and the virtual server on free ports, reads the first-start
// super admin password from its log, runs the browser walk-through of tests/browser/ (Node with
// playwright-core, installed by scripts/test.sh) and then checks the database it changed.
// Screenshots go to build/browser-screenshots/. Skipped when Chromium or Node is not installed.
// The walk runs twice: over plain HTTP, and over HTTPS with the self-signed certificate the
// server makes at its first start.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"
#include "support/FreePorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::FreeTcpPort;
using test::FreeUdpPort;
using test::ReadFile;
using test::TChildProcess;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";
const std::string kChromium = "/usr/bin/chromium";
const std::string kScriptDir = std::string(VH_SOURCE_DIR) + "/tests/browser";

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

bool Execute(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  bool done = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
              sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_changes(handle) == 1;
  sqlite3_close(handle);
  return done;
}

// The first column of every row `sql` returns from the database file.
std::vector<std::string> QueryColumn(const std::string& db, const std::string& sql) {
  std::vector<std::string> values;
  sqlite3* handle = nullptr;
  if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK)
      while (sqlite3_step(stmt) == SQLITE_ROW)
        values.emplace_back(sqlite3_column_text(stmt, 0)
                                ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
                                : "");
    sqlite3_finalize(stmt);
  }
  sqlite3_close(handle);
  return values;
}

// The walk over plain HTTP, or with `https` over HTTPS with the certificate the first start
// made (checked by its logged fingerprint and kept for the second start).
void WalkThrough(bool https) {
  const std::string node = FindOnPath("node");
  if (::access(kChromium.c_str(), X_OK) != 0 || node.empty())
    GTEST_SKIP() << "the browser test needs " << kChromium << " and node (Debian packages "
                 << "chromium and nodejs; scripts/install-deps.sh installs them)";
  ASSERT_TRUE(std::filesystem::exists(kScriptDir + "/node_modules/playwright-core/package.json"))
      << "playwright-core is not installed: run scripts/test.sh, or npm ci in " << kScriptDir;

  TTempDir dir;
  const uint16_t webPort = FreeTcpPort();
  test::WriteFile(
      dir.File("server.ini"),
      "[Main Config]\nBoundToIp1=127.0.0.1\nHTTPServer Port=" + std::to_string(webPort) +
          "\nTCPQueryPort=0\nExternalIPDectection=0\n" + (https ? "[Web]\nHTTPS=1\n" : ""));
  const std::regex fingerprintLine(
      "Web interface certificate [^\n]*, SHA-256 fingerprint ([0-9A-F:]+)");
  std::string fingerprint;
  const std::vector<std::string> args = {"-ini=" + dir.File("server.ini"),
                                         "-db=" + dir.File("server.dbs"),
                                         "-log=" + dir.File("server.log"),
                                         "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
                                         "-httpdocs=" + std::string(VH_BINARY_DIR) + "/httpdocs",
                                         "-badnames=" + dir.File("bad_names.txt")};
  auto startsFinished = [&](size_t n) {
    return WaitUntil(
        [&] { return Count(ReadFile(dir.File("server.log")), "Server init finished") == n; }, 30s);
  };
  // The first start creates virtual server 1 on port 8767, which another test run on this
  // machine may hold; it is moved to a free port before the second start.
  std::string password;
  {
    TChildProcess first(kProgram, args, dir.File("first.out"), dir.File("first.err"));
    ASSERT_TRUE(startsFinished(1)) << ReadFile(dir.File("server.log"));
    std::smatch m;
    const std::string log = ReadFile(dir.File("server.log"));
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex("superadmin account info: username: superadmin password: (\\w+)\n")));
    password = m[1];
    if (https) {
      ASSERT_TRUE(std::regex_search(log, m, fingerprintLine)) << log;
      fingerprint = m[1];
      EXPECT_NE(ReadFile(dir.File("first.out")).find(fingerprint), std::string::npos);
      EXPECT_EQ(std::filesystem::status(dir.File("web-private-key.pem")).permissions(),
                std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(30s), 0);
  }
  const uint16_t udpPort = FreeUdpPort();
  ASSERT_TRUE(Execute(dir.File("server.dbs"),
                      "UPDATE vh2_servers SET i_server_udpport = " + std::to_string(udpPort) +
                          " WHERE i_server_id = 1"));
  // A second channel for the live page to move the voice client to.
  ASSERT_TRUE(Execute(dir.File("server.dbs"),
                      "INSERT INTO vh2_channels (i_channel_server_id, i_channel_parent_id, "
                      "dt_channel_created, s_channel_password, s_channel_name, s_channel_topic, "
                      "s_channel_description, i_channel_maxusers, i_channel_order, "
                      "i_channel_codec, b_channel_flag_moderated, b_channel_flag_hierarchical, "
                      "b_channel_flag_default) VALUES (1, -1, '09122026120000000', '', "
                      "'Lounge', '', '', 16, 2, 5, 0, 0, 0)"));
  TChildProcess server(kProgram, args, dir.File("server.out"), dir.File("server.err"));
  ASSERT_TRUE(startsFinished(2)) << ReadFile(dir.File("server.log"));
  ASSERT_NE(ReadFile(dir.File("server.out"))
                .find("Web interface listening on TCP port " + std::to_string(webPort)),
            std::string::npos);
  if (https) {
    // The second start serves the certificate the first one made.
    const std::string out = ReadFile(dir.File("server.out"));
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, fingerprintLine)) << out;
    EXPECT_EQ(m[1], fingerprint);
    EXPECT_EQ(Count(ReadFile(dir.File("server.log")), "made a self-signed certificate"), 1u);
  }

  const std::string shots = std::string(VH_BINARY_DIR) + "/../browser-screenshots";
  const std::string welcome = "Welcome, browser " + std::to_string(::getpid());
  // The voice client of the live page's path: it logs in once the page is open, talks, and
  // waits to be told it was kicked.
  const std::string voiceReady = dir.File("voice-ready");
  std::atomic<bool> voiceJoined{false}, voiceKicked{false}, walkDone{false};
  std::thread voice([&] {
    // The live page's path is walked once, over plain HTTP.
    if (https ||
        !WaitUntil([&] { return walkDone.load() || std::filesystem::exists(voiceReady); }, 90s) ||
        walkDone.load())
      return;
    client::TProtocolClient c;
    client::TLoginOptions o;
    o.nickname = "voice-walker";
    if (!c.Connect("127.0.0.1", udpPort) || !c.Login(o, 5s) || !c.Join({}, 5s).complete) return;
    voiceJoined = true;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!walkDone.load() && std::chrono::steady_clock::now() < until) {
      c.SendVoice(0, 5, c.NextVoiceCounter(), 0, std::string(60, 'v'));
      if (auto p = c.WaitForCommand(client::CMD_sc_NotifyPlayerLeftScope, 20ms)) {
        auto left = client::ParsePlayerLeft(*p);
        if (left && static_cast<uint32_t>(left->playerId) == c.PlayerId()) {
          voiceKicked = true;
          return;
        }
      }
    }
  });
  std::vector<std::string> walkArgs = {kScriptDir + "/admin_walkthrough.mjs",
                                       std::string(https ? "--url=https" : "--url=http") +
                                           "://127.0.0.1:" + std::to_string(webPort) + "/",
                                       "--user=superadmin",
                                       "--password=" + password,
                                       "--welcome=" + welcome,
                                       "--chromium=" + kChromium,
                                       "--out=" + shots + (https ? "/https" : ""),
                                       "--fingerprint=" + fingerprint};
  if (!https) {
    walkArgs.push_back("--voiceready=" + voiceReady);
    walkArgs.push_back("--voicenick=voice-walker");
  }
  TChildProcess walk(node, walkArgs, dir.File("walk.out"), dir.File("walk.err"));
  const int walked = walk.Wait(150s);
  walkDone = true;
  voice.join();
  const std::string output = ReadFile(dir.File("walk.out")) + ReadFile(dir.File("walk.err"));
  EXPECT_EQ(walked, 0) << output;
  EXPECT_NE(output.find("walkthrough passed"), std::string::npos) << output;
  if (!https) {
    EXPECT_TRUE(voiceJoined.load());
    EXPECT_TRUE(voiceKicked.load()) << "the kick from the live page did not reach the client";
  }

  // What the pages showed is what the database holds.
  const std::string db = dir.File("server.dbs");
  EXPECT_EQ(QueryColumn(db, "SELECT s_server_welcomemessage FROM vh2_servers WHERE i_server_id=1"),
            std::vector<std::string>{welcome});
  const auto accounts = QueryColumn(
      db, "SELECT s_client_name FROM vh2_clients WHERE i_client_server_id=1 ORDER BY i_client_id");
  EXPECT_NE(std::find(accounts.begin(), accounts.end(), "walker"), accounts.end());
  EXPECT_NE(std::find(accounts.begin(), accounts.end(), "<script>alert(1)</script>"),
            accounts.end());
  // Stopped and started again from the page: the virtual server serves.
  const std::string last = ReadFile(dir.File("server.log"));
  const std::string lastRun = last.substr(last.rfind("log started at"));
  EXPECT_EQ(Count(lastRun, "Starting VirtualServer id:1 "), 2u) << lastRun;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(30s), 0);
}

TEST(Browser, AdministratorWalksThroughTheWebInterface) {
  WalkThrough(false);
}

TEST(Browser, AdministratorWalksThroughTheWebInterfaceOverHttps) {
  WalkThrough(true);
}

}  // namespace
}  // namespace vh
