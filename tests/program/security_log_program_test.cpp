// The security log of the real program read by fail2ban: failed logins on the voice port, the
// TCP query and the web interface each give one line that the filter of dist/fail2ban matches
// with the right address; a successful administrator login is logged and not matched.
#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"
#include "program/LineClient.h"
#include "program/ProgramPorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::FreeTcpPort;
using test::ReadFile;
using test::TChildProcess;
using test::TLineClient;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";
const std::string kFilter = std::string(VH_SOURCE_DIR) + "/dist/fail2ban/filter.d/voxhollow.conf";

size_t CountIn(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// Standard output and exit status of a shell command.
std::string RunShell(const std::string& command, int* status) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
  *status = ::pclose(pipe);
  return out;
}

TEST(ProgramSecurityLog, Fail2banFindsEveryFailedLoginAndOnlyThose) {
  if (std::system("command -v fail2ban-regex >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "fail2ban-regex is not installed (package fail2ban)";
  TTempDir dir;
  const uint16_t queryPort = FreeTcpPort(), webPort = FreeTcpPort();
  // The log filter lets nothing through: the security lines are written all the same.
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\nTCPQueryPort=" + std::to_string(queryPort) +
                      "\nHTTPServer Port=" + std::to_string(webPort) +
                      "\n[debug]\nMessageTypes=LMTERROR\nMessageDepths=LMDIMPORTANT\n");
  const std::vector<std::string> args = {
      "-ini=" + dir.File("server.ini"), "-db=" + dir.File("server.dbs"),
      "-log=" + dir.File("server.log"), "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
      "-badnames=" + dir.File("bad_names.txt")};
  std::string password;
  {
    // The first start makes virtual server 1 on 8767, which another server on this machine
    // may hold: it moves to a free port before the start this test uses.
    TChildProcess first(kProgram, args);
    ASSERT_TRUE(WaitUntil(
        [&] { return CountIn(ReadFile(dir.File("server.log")), "account info") >= 2; }, 20s));
    std::smatch m;
    const std::string start = ReadFile(dir.File("server.log"));
    ASSERT_TRUE(std::regex_search(
        start, m, std::regex("superadmin account info: username: superadmin password: (\\S+)")));
    password = m[1].str();
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(20s), 0);
  }
  const uint16_t udpPort = test::MoveServerToFreePort(dir.File("server.dbs"));
  ASSERT_NE(udpPort, 0);
  TChildProcess server(kProgram, args);

  ASSERT_TRUE(WaitUntil(
      [&] { return TLineClient(queryPort).Connected() && TLineClient(webPort).Connected(); }, 20s));
  {  // TCP query: a Pw-not-logged-7 password, a name that pretends to carry an address, then the
     // right one
    TLineClient c(queryPort);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.ReadLine(), "[VH]");
    EXPECT_EQ(c.Command("slogin superadmin Pw-not-logged-7").back(), "ERROR, invalid login");
    EXPECT_EQ(c.Command("slogin x,IP:10.9.9.9] Pw-not-logged-7").back(), "ERROR, invalid login");
    EXPECT_EQ(c.Command("slogin superadmin " + password).back(), "OK");
  }
  {  // web interface
    httplib::Client web("127.0.0.1", webPort);
    auto res =
        web.Post("/login.vhcmd",
                 "username=admin&password=Pw-not-logged-7&serverport=" + std::to_string(udpPort) +
                     "&superadmin=0",
                 "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 302);
    EXPECT_NE(res->get_header_value("Location").find("login_error.html"), std::string::npos);
  }
  {  // voice
    client::TProtocolClient voice;
    ASSERT_TRUE(voice.Connect("127.0.0.1", udpPort));
    client::TLoginOptions o;
    o.nickname = "guesser";
    o.registered = true;
    o.loginName = "admin";
    o.password = "Pw-not-logged-7";
    auto reply = voice.Login(o, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, -21);
  }
  ASSERT_TRUE(WaitUntil(
      [&] { return CountIn(ReadFile(dir.File("server.log")), "login failed [") >= 4; }, 10s));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(CountIn(log,
                    "admin login [Interface: tcpquery, IP: 127.0.0.1, Server: 0, "
                    "LoginName: superadmin]"),
            1u);
  EXPECT_EQ(log.find(password.empty() ? "<none>" : " " + password + "]"), std::string::npos);
  EXPECT_EQ(log.find("Pw-not-logged-7"), std::string::npos);  // nor the wrong ones

  int status = -1;
  const std::string ips = RunShell(
      "fail2ban-regex -o ip '" + dir.File("server.log") + "' '" + kFilter + "' 2>&1", &status);
  EXPECT_EQ(status, 0) << ips;
  // One address per failed login: query twice, web, voice; never the one a name carried.
  EXPECT_EQ(CountIn(ips, "127.0.0.1\n"), 4u) << ips;
  EXPECT_EQ(ips.find("10.9.9.9"), std::string::npos) << ips;
  const std::string summary =
      RunShell("fail2ban-regex '" + dir.File("server.log") + "' '" + kFilter + "' 2>&1", &status);
  EXPECT_NE(summary.find("Failregex: 4 total"), std::string::npos) << summary;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
}

}  // namespace
}  // namespace vh
