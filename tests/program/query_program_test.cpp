// The real program with its TCP query interface on a free port: the host starts it with the
// server list, the help files beside the program, the log and "globalset", and stops it at
// shutdown.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "program/LineClient.h"
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
                                              std::to_string(port) + "\n");
  TChildProcess server(kProgram, {"-ini=" + dir.File("server.ini"), "-db=" + dir.File("server.dbs"),
                                  "-log=" + dir.File("server.log"),
                                  "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
                                  "-badnames=" + dir.File("bad_names.txt")});
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadFile(dir.File("server.log")).find("Server init finished") != std::string::npos;
      },
      20s));
  std::smatch m;
  const std::string log = ReadFile(dir.File("server.log"));
  ASSERT_TRUE(std::regex_search(
      log, m,
      std::regex("superadmin account info: username: superadmin password: ([A-Za-z0-9]{16})")));

  TLineClient c(port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.ReadLine(), "[VH]");
  EXPECT_EQ(c.Command("slogin superadmin " + m[1].str()).back(), "OK");
  EXPECT_EQ(c.Command("sl"), (std::vector<std::string>{"8767", "OK"}));
  EXPECT_EQ(c.Command("sel 8767").back(), "OK");
  EXPECT_EQ(c.Command("checkserverok").back(), "OK");
  EXPECT_GT(c.Command("help kick").size(), 2u);
  EXPECT_EQ(c.Command("logmark from the test").back(), "OK");
  EXPECT_NE(c.Command("log 1")[0].find("*remark by superadmin* from the test"), std::string::npos);
  EXPECT_EQ(c.Command("globalset AllowedClientNameChars abc def").back(), "OK");
  EXPECT_NE(ReadFile(dir.File("server.ini")).find("AllowedClientNameChars=abc def\n"),
            std::string::npos);
  EXPECT_EQ(c.Command("globalset nothing 1").back(), "ERROR, error");

  // Shutdown closes the open query connection.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  EXPECT_EQ(c.ReadLine(), "<closed>");
}

}  // namespace
}  // namespace vh
