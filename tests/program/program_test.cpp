// Starts the real server program in a temporary directory.
#include <gtest/gtest.h>

#include <csignal>

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
