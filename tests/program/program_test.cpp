// Starts the real server program in a temporary directory.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "client/ProtocolClient.h"
#include "program/ProgramPorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::FileExists;
using test::MoveServerToFreePort;
using test::ReadFile;
using test::ShowsFirstStartServer;
using test::TAdminPorts;
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

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777;
}

TEST(Program, StartsWritesItsFilesAndShutsDownCleanlyOnSigterm) {
  TTempDir dir;
  // An old single-address setting: it must move to BoundToIp1 and stay there.
  const TAdminPorts ports;
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp=127.0.0.1\n" + ports.Ini());
  ::chmod(dir.File("server.ini").c_str(), 0640);
  const mode_t iniMode = ModeOf(dir.File("server.ini"));
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
  // The files with secrets are the server user's alone; the settings file it found keeps its
  // mode.
  EXPECT_EQ(ModeOf(dir.File("server.dbs")), 0600u);
  EXPECT_EQ(ModeOf(dir.File("server.log")), 0600u);
  EXPECT_EQ(ModeOf(dir.File("server.ini")), iniMode);
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTALL"), std::string::npos);
  EXPECT_NE(ini.find("TCPQueryPort=" + std::to_string(ports.query)), std::string::npos);
  EXPECT_NE(ini.find("DateTimeFormat=dd-mm-yyyy hh:nn:ss"), std::string::npos) << ini;
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
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\n" + TAdminPorts().Ini());
  std::string adminPassword;
  {
    TChildProcess server(kProgram, ArgsFor(dir));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(dir, "Server init finished"); }, 20s));
    std::string log = ReadFile(dir.File("server.log"));
    EXPECT_NE(log.find("WARNING,Info,SERVER,\tDefault VirtualServer created"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        log, m, std::regex("admin account info: username: admin password: ([A-Za-z0-9]{16})\n")));
    adminPassword = m[1];
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex("superadmin account info: username: superadmin password: [A-Za-z0-9]{16}\n")));
    EXPECT_NE(log.find("Starting VirtualServer id:1 with port:8767"), std::string::npos);
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(20s), 0);
  }
  // The second start creates no accounts and serves the stored server again, moved to a free
  // port; the first start's admin logs in there.
  const uint16_t port = MoveServerToFreePort(dir.File("server.dbs"));
  ASSERT_NE(port, 0);
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
  ASSERT_TRUE(c.Connect("127.0.0.1", port));
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
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s), 0);
}

// Runs one statement on the database file and returns the first column of the first row.
std::string QueryValue(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  std::string value;
  if (sqlite3_open(db.c_str(), &handle) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
      value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(handle);
  return value;
}

// The log written since the last start.
std::string LastRunLog(const TTempDir& dir) {
  std::string log = ReadFile(dir.File("server.log"));
  size_t start = log.rfind("log started at");
  return start == std::string::npos ? log : log.substr(start);
}

// Starts the program, waits until its console shows `ready`, stops it with SIGTERM and
// returns what it printed.
std::string RunUntil(const TTempDir& dir, const std::vector<std::string>& args,
                     const std::string& ready) {
  const std::string out = dir.File("stdout");
  TChildProcess server(kProgram, args, out);
  bool seen = WaitUntil([&] { return ReadFile(out).find(ready) != std::string::npos; }, 20s);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0) << ReadFile(out);
  EXPECT_TRUE(seen) << ReadFile(out);
  return ReadFile(out);
}

TEST(Program, FirstStartConsoleShowsFilesPortAndPasswordsWhateverTheLogFilter) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp1=127.0.0.1\n" +
                                              TAdminPorts().Ini() +
                                              "[debug]\nMessageTypes=LMTERROR\n");
  TChildProcess server(kProgram, ArgsFor(dir), dir.File("stdout"));
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(dir.File("stdout")).find("\"superadmin\"") != std::string::npos; },
      20s))
      << ReadFile(dir.File("stdout"));
  const std::string out = ReadFile(dir.File("stdout"));
  EXPECT_EQ(out.rfind("Version Voxhollow v2.0.20.1 Linux\n", 0), 0u) << out;
  EXPECT_NE(out.find("Settings file: " + dir.File("server.ini") + "\n"), std::string::npos);
  EXPECT_NE(out.find("Database file: " + dir.File("server.dbs") + "\n"), std::string::npos);
  EXPECT_NE(out.find(dir.File("server.log") + "\n"), std::string::npos);
  EXPECT_TRUE(ShowsFirstStartServer(out, 1)) << out;
  std::smatch admin, superAdmin;
  ASSERT_TRUE(
      std::regex_search(out, admin, std::regex("\"admin\" password \"([A-Za-z0-9]{16})\"")));
  ASSERT_TRUE(std::regex_search(out, superAdmin,
                                std::regex("\"superadmin\" password \"([A-Za-z0-9]{16})\"")));

  // The errors-only filter drops the rest, never the passwords; the missing MessageDepths got
  // its default without touching MessageTypes.
  std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find("admin account info: username: admin password: " + admin[1].str() + "\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("superadmin account info: username: superadmin password: " +
                     superAdmin[1].str() + "\n"),
            std::string::npos);
  EXPECT_EQ(log.find("Server init initialized"), std::string::npos);
  std::string ini = ReadFile(dir.File("server.ini"));
  EXPECT_NE(ini.find("MessageTypes=LMTERROR\nMessageDepths=LMDALL\n"), std::string::npos) << ini;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
  EXPECT_NE(ReadFile(dir.File("stdout")).find("\nServer stopped\n"), std::string::npos);

  // The password shown is the one stored (the server moved to a free port first).
  const uint16_t port = MoveServerToFreePort(dir.File("server.dbs"));
  ASSERT_NE(port, 0);
  TChildProcess again(kProgram, ArgsFor(dir), dir.File("stdout2"));
  ASSERT_TRUE(WaitUntil(
      [&] {
        return ReadFile(dir.File("stdout2"))
                   .find("Virtual server 1 started on UDP port " + std::to_string(port)) !=
               std::string::npos;
      },
      20s))
      << ReadFile(dir.File("stdout2"));
  client::TProtocolClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", port));
  client::TLoginOptions o;
  o.nickname = "boss";
  o.registered = true;
  o.loginName = "admin";
  o.password = admin[1];
  auto reply = c.Login(o, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s), 0);
}

TEST(Program, AnUnreadableServerListIsNoFirstStart) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\n" + TAdminPorts().Ini());
  RunUntil(dir, ArgsFor(dir), "\"superadmin\"");
  const std::string db = dir.File("server.dbs");
  ASSERT_EQ(QueryValue(db, "SELECT COUNT(*) FROM vh2_servers"), "1");

  // The script missing, then an SQL error: neither may pass for an empty table.
  std::filesystem::copy(std::string(VH_BINARY_DIR) + "/sqlite_sql", dir.File("sql"));
  std::filesystem::remove(dir.File("sql/read_servers.sql"));
  std::vector<std::string> args = ArgsFor(dir);
  args[4] = "-sql=" + dir.File("sql/");
  for (const char* broken : {"", "SELECT i_server_id FROM no_such_table;"}) {
    if (*broken) test::WriteFile(dir.File("sql/read_servers.sql"), broken);
    std::string out = RunUntil(dir, args, "No virtual server is running");
    EXPECT_EQ(out.find("First start"), std::string::npos) << out;
    std::string log = LastRunLog(dir);
    EXPECT_NE(log.find("Start_Server: unable to read the virtual servers"), std::string::npos);
    EXPECT_EQ(log.find("Default VirtualServer created"), std::string::npos) << log;
    EXPECT_EQ(log.find("account info"), std::string::npos) << log;
    EXPECT_EQ(QueryValue(db, "SELECT COUNT(*) FROM vh2_servers"), "1");
    EXPECT_EQ(QueryValue(db, "SELECT COUNT(*) FROM vh2_clients"), "2");
  }
}

TEST(Program, APasswordIsAnnouncedOnlyWhenItsAccountWasStored) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\n" + TAdminPorts().Ini());
  RunUntil(dir, ArgsFor(dir), "\"superadmin\"");
  const std::string db = dir.File("server.dbs");
  const std::string kept = QueryValue(
      db, "SELECT s_client_password FROM vh2_clients WHERE s_client_name = 'superadmin'");
  ASSERT_TRUE(kept.starts_with("$argon2id$")) << kept;

  // With the server records gone the next start is a first start, but "superadmin" exists.
  QueryValue(db, "DELETE FROM vh2_servers");
  std::string out = RunUntil(dir, ArgsFor(dir), "\"superadmin\"");
  EXPECT_TRUE(ShowsFirstStartServer(out, 2)) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("\"admin\" password \"[A-Za-z0-9]{16}\"")));
  EXPECT_EQ(out.find("\"superadmin\" password"), std::string::npos) << out;
  EXPECT_NE(out.find("\"superadmin\" not created"), std::string::npos) << out;
  std::string log = LastRunLog(dir);
  EXPECT_NE(log.find("admin account info: username: admin password: "), std::string::npos);
  EXPECT_EQ(log.find("superadmin account info"), std::string::npos) << log;
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tStart_Server: account superadmin not stored"),
            std::string::npos)
      << log;
  EXPECT_EQ(QueryValue(
                db, "SELECT s_client_password FROM vh2_clients WHERE s_client_name = 'superadmin'"),
            kept);
}

// The last database of an earlier version holds the passwords as plain text.
void StorePlainPasswords(const std::string& db) {
  QueryValue(db,
             "UPDATE vh2_clients SET s_client_password = 'old-super' "
             "WHERE s_client_name = 'superadmin'");
  QueryValue(db,
             "UPDATE vh2_clients SET s_client_password = 'old''admin' "
             "WHERE s_client_name = 'admin'");
}

TEST(Program, PlainTextPasswordsOfAnOlderDatabaseAreHashedAtStart) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\n" + TAdminPorts().Ini());
  RunUntil(dir, ArgsFor(dir), "\"superadmin\"");
  const std::string db = dir.File("server.dbs");
  StorePlainPasswords(db);
  const uint16_t udpPort = test::MoveServerToFreePort(db);
  ASSERT_NE(udpPort, 0);

  TChildProcess server(kProgram, ArgsFor(dir));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string all = ReadFile(dir.File("server.log"));
        return all.find("Server init finished") != all.rfind("Server init finished");
      },
      20s));
  const std::string log = LastRunLog(dir);
  EXPECT_NE(log.find("WARNING,Info,db,\tHashed 2 plain-text account passwords (Argon2id)"),
            std::string::npos)
      << log;
  for (const char* name : {"admin", "superadmin"}) {
    const std::string stored = QueryValue(
        db, std::string("SELECT s_client_password FROM vh2_clients WHERE s_client_name = '") +
                name + "'");
    EXPECT_TRUE(stored.starts_with("$argon2id$")) << name << ": " << stored;
  }
  client::TProtocolClient c;
  ASSERT_TRUE(c.Connect("127.0.0.1", udpPort));
  client::TLoginOptions o;
  o.nickname = "boss";
  o.registered = true;
  o.loginName = "admin";
  o.password = "old'admin";
  auto reply = c.Login(o, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  client::TProtocolClient wrong;
  ASSERT_TRUE(wrong.Connect("127.0.0.1", udpPort));
  o.password = "old'admiN";
  reply = wrong.Login(o, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, -21);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
}

TEST(Program, AFailedPasswordConversionStopsStartUpAndChangesNothing) {
  TTempDir dir;
  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nBoundToIp1=127.0.0.1\n" + TAdminPorts().Ini());
  RunUntil(dir, ArgsFor(dir), "\"superadmin\"");
  const std::string db = dir.File("server.dbs");
  StorePlainPasswords(db);
  // The second account's row refuses the change; the first one's must be rolled back.
  QueryValue(db,
             "CREATE TRIGGER refuse BEFORE UPDATE ON vh2_clients "
             "WHEN OLD.s_client_name = 'superadmin' BEGIN SELECT RAISE(ABORT, 'no'); END");
  TChildProcess server(kProgram, ArgsFor(dir), dir.File("stdout"), dir.File("stderr"));
  EXPECT_EQ(server.Wait(20s), 1);
  const std::string err = ReadFile(dir.File("stderr"));
  EXPECT_NE(err.find("Start_Server: hashing the stored passwords failed (cannot store the hash "
                     "of account"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("the database is unchanged"), std::string::npos) << err;
  EXPECT_EQ(QueryValue(db,
                       "SELECT s_client_password FROM vh2_clients WHERE s_client_name = "
                       "'admin'"),
            "old'admin");
  EXPECT_EQ(QueryValue(db,
                       "SELECT s_client_password FROM vh2_clients WHERE s_client_name = "
                       "'superadmin'"),
            "old-super");
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
  TChildProcess server(kProgram, args, dir.File("stdout"), dir.File("stderr"));
  EXPECT_EQ(server.Wait(20s), 1);
  EXPECT_EQ(ReadFile(dir.File("stderr")), "Start_Server: unable to open server config file: " +
                                              dir.File("missing-dir/server.ini") + " \n");
  std::string log = ReadFile(dir.File("server.log"));
  EXPECT_NE(log.find(",ERROR,All,SERVER,\tStart_Server: unable to open server config file: " +
                     dir.File("missing-dir/server.ini") + " \n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find(",ERROR,All,GENERAL,\tcritical error, shutdown initiated"), std::string::npos);
}

// A process that serves nothing exits 1 and says why: under a service manager it would look
// healthy otherwise. A taken port is named with its address and the reason; a half-filled
// [DBEXPRESS] names the keys still empty.
TEST(Program, ServingNothingOrAHalfFilledDatabaseSectionFailsLoudly) {
  TTempDir dir;
  // The query port is taken by a listener of the test; the web interface and the only virtual
  // server cannot start either (the server list cannot be read).
  const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t len = sizeof a;
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len), 0);
  const std::string port = std::to_string(ntohs(a.sin_port));
  test::WriteFile(dir.File("server.ini"), "[Main Config]\nBoundToIp1=127.0.0.1\nTCPQueryPort=" +
                                              port + "\nHTTPServer Enabled=0\n");
  std::filesystem::copy(std::string(VH_BINARY_DIR) + "/sqlite_sql", dir.File("sql"));
  test::WriteFile(dir.File("sql/read_servers.sql"), "SELECT x FROM no_such_table;");
  std::vector<std::string> args = ArgsFor(dir);
  args[4] = "-sql=" + dir.File("sql/");
  {
    TChildProcess server(kProgram, args, dir.File("stdout"), dir.File("stderr"));
    EXPECT_EQ(server.Wait(20s), 1);
  }
  ::close(taken);
  EXPECT_NE(ReadFile(dir.File("stdout"))
                .find("TCP query not started: Could not bind to 127.0.0.1:" + port +
                      ": Address already in use\n"),
            std::string::npos)
      << ReadFile(dir.File("stdout"));
  EXPECT_NE(ReadFile(dir.File("stderr"))
                .find("Start_Server: nothing to serve: no virtual server is running and no "
                      "administration interface is listening\n"),
            std::string::npos)
      << ReadFile(dir.File("stderr"));

  test::WriteFile(dir.File("server.ini"),
                  "[Main Config]\nTCPQueryPort=0\n[DBEXPRESS]\nActive=1\nHostname=db\n");
  TChildProcess half(kProgram, ArgsFor(dir), dir.File("stdout"), dir.File("stderr"));
  EXPECT_EQ(half.Wait(20s), 1);
  EXPECT_NE(ReadFile(dir.File("stderr"))
                .find("[DBEXPRESS] Active=1 but these keys are empty: Database, User_name"),
            std::string::npos)
      << ReadFile(dir.File("stderr"));
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
