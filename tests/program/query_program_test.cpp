// The real program with its TCP query interface on a free port: the host starts it with the
// server list, the help files beside the program, the log and "globalset", and stops it at
// shutdown.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

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

TEST(ProgramQuery, SuperAdminOfTheFirstStartAdministersTheRunningServer) {
  TTempDir dir;
  const uint16_t port = FreeTcpPort();
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp1=127.0.0.1\nTCPQueryPort=" +
                                              std::to_string(port) + "\nHTTPServer Enabled=0\n");
  const std::vector<std::string> args = {
      "-ini=" + dir.File("server.ini"), "-db=" + dir.File("server.dbs"),
      "-log=" + dir.File("server.log"), "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
      "-badnames=" + dir.File("bad_names.txt")};
  auto started = [&](size_t n) {
    return WaitUntil(
        [&] {
          const std::string log = ReadFile(dir.File("server.log"));
          size_t count = 0;
          for (size_t at = log.find("Server init finished"); at != std::string::npos;
               at = log.find("Server init finished", at + 1))
            ++count;
          return count == n;
        },
        20s);
  };
  std::smatch m;
  {
    // The first start creates virtual server 1 on 8767; it moves to a free port before the
    // start this test uses.
    TChildProcess first(kProgram, args);
    ASSERT_TRUE(started(1)) << ReadFile(dir.File("server.log"));
    first.Signal(SIGTERM);
    ASSERT_EQ(first.Wait(20s), 0);
  }
  const std::string log = ReadFile(dir.File("server.log"));
  ASSERT_TRUE(std::regex_search(
      log, m,
      std::regex("superadmin account info: username: superadmin password: ([A-Za-z0-9]{16})")));
  const uint16_t udpPort = test::MoveServerToFreePort(dir.File("server.dbs"));
  ASSERT_NE(udpPort, 0);
  const std::string udp = std::to_string(udpPort);
  TChildProcess server(kProgram, args);
  ASSERT_TRUE(started(2)) << ReadFile(dir.File("server.log"));

  TLineClient c(port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.ReadLine(), "[VH]");
  EXPECT_EQ(c.Command("slogin superadmin " + m[1].str()).back(), "OK");
  EXPECT_EQ(c.Command("sl"), (std::vector<std::string>{udp, "OK"}));
  EXPECT_EQ(c.Command("sel " + udp).back(), "OK");
  EXPECT_EQ(c.Command("checkserverok").back(), "OK");
  EXPECT_GT(c.Command("help kick").size(), 2u);
  EXPECT_EQ(c.Command("logmark from the test").back(), "OK");
  EXPECT_NE(c.Command("log 1")[0].find("*remark by superadmin* from the test"), std::string::npos);
  EXPECT_EQ(c.Command("globalset AllowedClientNameChars abc def").back(), "OK");
  EXPECT_NE(ReadFile(dir.File("server.ini")).find("AllowedClientNameChars=abc def\n"),
            std::string::npos);
  EXPECT_EQ(c.Command("globalset nothing 1").back(), "ERROR, error");
  // A CR inside the line would have become a section of its own in server.ini.
  EXPECT_EQ(c.Command("globalset AllowedClientNameChars x\r[Evil]").back(),
            "ERROR, control character in value");
  EXPECT_EQ(ReadFile(dir.File("server.ini")).find("Evil"), std::string::npos);

  // A player whose nickname would forge query lines is refused at the login, and the
  // player list stays one answer with one final line.
  client::TProtocolClient player;
  ASSERT_TRUE(player.Connect("127.0.0.1", udpPort));
  client::TLoginOptions o;
  o.nickname = "x\r\nOK\r\n";
  o.password = "";
  auto reply = player.Login(o, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, -1);
  const std::vector<std::string> pl = c.Command("pl");
  ASSERT_EQ(pl.size(), 2u);
  EXPECT_EQ(pl.back(), "OK");
  EXPECT_EQ(c.Command("ver").size(), 2u);

  // Shutdown closes the open query connection.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  EXPECT_EQ(c.ReadLine(), "<closed>");
}

}  // namespace
}  // namespace vh
