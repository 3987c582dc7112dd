// Starts the real server program in a temporary directory.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "client/ProtocolClient.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::FileExists;
using test::ReadFile;
using test::TChildProcess;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";

std::vector<std::string> ArgsFor(const TTempDir& dir) {
  return {"-ini=" + dir.File("server.ini"),
          "-db=" + dir.File("server.dbs"),
          "-log=" + dir.File("server.log"),
          "-pid=" + dir.File("server.pid"),
          "-sql=" + std::string(VH_BINARY_DIR) + "/sqlite_sql/",
          "-badnames=" + dir.File("bad_names.txt")};
}

TEST(Program, StartsWritesItsFilesAndShutsDownCleanlyOnSigterm) {
  TTempDir dir;
  // An old single-address setting: it must move to BoundToIp1 and stay there.
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp=127.0.0.1\n");
  TChildProcess server(kProgram, ArgsFor(dir));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadFile(dir.File("server.log")).find("Server init finished") != std::string::npos;
      },
      20s))
      << ReadFile(dir.File("server.log"));
  EXPECT_EQ(ReadFile(dir.File("server.pid")), std::to_string(server.Pid()) + "\n");
  EXPECT_EQ(ReadFile(dir.File("bad_names.txt")), "server\n");
  EXPECT_TRUE(FileExists(dir.File("server.dbs")));
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTALL"), std::string::npos);
  EXPECT_NE(ini.find("TCPQueryPort=51234"), std::string::npos);
  EXPECT_NE(ini.find("max_commands=10"), std::string::npos);
  EXPECT_NE(ini.find("BoundToIp1=127.0.0.1\n"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("BoundToIp="), std::string::npos) << ini;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find("log started at"), std::string::npos);
  EXPECT_NE(log.find(",ALL,Info,server,\tServer init initialized\n"), std::string::npos);
  EXPECT_NE(log.find("\tServer version: 2.0.20.1 Linux\n"), std::string::npos);
  EXPECT_LT(log.find("Server shutdown initialized"), log.find("Server shutdown finished"));
  EXPECT_NE(log.find("log ended at"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.File("server.pid")));
}

bool LogHas(const TTempDir& dir, const std::string& text) {
  return ReadFile(dir.File("server.log")).find(text) != std::string::npos;
}

TEST(Program, FirstStartCreatesTheDefaultServerAndAccountsThatCanLogIn) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp1=127.0.0.1\n");
  std::string adminPassword;
  {
    TChildProcess server(kProgram, ArgsFor(dir));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(dir, "Server init finished"); }, 20s));
    std::string log = ReadFile(dir.File("server.log"));
    EXPECT_NE(log.find("WARNING,Info,SERVER,\tDefault VirtualServer created"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex("admin account info: username: admin password: ([a-z0-9]{6})\n")));
    adminPassword = m[1];
    EXPECT_TRUE(std::regex_search(
        log, std::regex("superadmin account info: username: superadmin password: [a-z0-9]{6}\n")));
    EXPECT_NE(log.find("Starting VirtualServer id:1 with port:8767"), std::string::npos);

    client::TProtocolClient c;
    ASSERT_TRUE(c.Connect("127.0.0.1", 8767));
    client::TLoginOptions o;
    o.nickname = "boss";
    o.registered = true;
    o.loginName = "admin";
    o.password = adminPassword;
    auto reply = c.Login(o, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 1);
    auto join = c.Join({}, 5s);
    ASSERT_TRUE(join.complete);
    ASSERT_EQ(join.players.size(), 1u);
    EXPECT_EQ(join.players[0].playerPrivileges, 1 | 4);  // server admin, registered
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(20s), 0);
  }
  // The second start creates no accounts and serves the stored server again.
  TChildProcess again(kProgram, ArgsFor(dir));
  auto count = [](const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  };
  ASSERT_TRUE(WaitUntil(
      [&] { return count(ReadFile(dir.File("server.log")), "Server init finished") == 2; }, 20s));
  std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(log.find("admin account info", log.rfind("log started at")), std::string::npos);
  client::TProtocolClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", 8767));
  client::TLoginOptions o;
  o.nickname = "boss";
  o.registered = true;
  o.loginName = "admin";
  o.password = adminPassword;
  auto reply = c.Login(o, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s), 0);
}

TEST(Program, VersionAndHelpGoToStandardOutput) {
  TTempDir dir;
  {
    TChildProcess p(kProgram, {"-db=" + dir.File("x.dbs"), "--ver", "-help"}, dir.File("out"));
    EXPECT_EQ(p.Wait(20s), 0);
  }
  EXPECT_EQ(ReadFile(dir.File("out")), "Version Voxhollow v2.0.20.1 Linux\n");
  EXPECT_FALSE(FileExists(dir.File("x.dbs")));
  {
    TChildProcess p(kProgram, {"/?"}, dir.File("help"));
    EXPECT_EQ(p.Wait(20s), 0);
  }
  std::string help = ReadFile(dir.File("help"));
  EXPECT_EQ(help.rfind("Version Voxhollow v2.0.20.1 Linux\n\rCommand parameters:\n\r", 0), 0u);
  EXPECT_NE(help.find(" -tcpquerydocs=<path>\n\r"), std::string::npos);
}

TEST(Program, UnopenableSettingsFileFailsStartUp) {
  TTempDir dir;
  std::vector<std::string> args = ArgsFor(dir);
  args[0] = "-ini=" + dir.File("missing-dir/server.ini");
  TChildProcess server(kProgram, args);
  EXPECT_EQ(server.Wait(20s), 1);
  std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tStart_Server: unable to open server config file: " +
                     dir.File("missing-dir/server.ini") + " \n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(",ERROR,All,GENERAL,\tcritical error, shutdown initiated"), std::string::npos);
}

TEST(Program, CorruptDatabaseFailsStartUpAndIsLeftUntouched) {
  TTempDir dir;
  const std::string junk(4096, 'x');
  test::WriteFile(dir.File("server.dbs"), junk);
  TChildProcess server(kProgram, ArgsFor(dir));
  EXPECT_EQ(server.Wait(20s), 1);
  EXPECT_NE(ReadFile(dir.File("server.log")).find("Start_Server: unable to open database"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir.File("server.dbs")), junk);
}

}  // namespace
}  // namespace vh
