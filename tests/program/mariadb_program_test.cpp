// The real program on the suite's MariaDB server ([DBEXPRESS] Active=1): a first start, a
// voice login, a registered channel that outlives a restart, and two processes that share one
// database, each hosting its own virtual server.
#include <gtest/gtest.h>
#include <httplib.h>

#include <csignal>
#include <regex>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"
#include "program/LineClient.h"
#include "program/RegisteredPlayer.h"
#include "support/Process.h"
#include "support/TempDir.h"

#ifdef VH_HAVE_MYSQL
#include "support/MariaDBTestServer.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::CreateRegisteredChannel;
using test::ReadFile;
using test::TChildProcess;
using test::TMariaDBDatabase;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";

// No -sql=: the MariaDB/MySQL scripts beside the program are the default with this back-end.
std::vector<std::string> ArgsFor(const TTempDir& dir) {
  return {"-ini=" + dir.File("server.ini"), "-log=" + dir.File("server.log"),
          "-badnames=" + dir.File("bad_names.txt")};
}

size_t CountIn(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

bool WaitForStart(const TTempDir& dir, size_t starts) {
  return WaitUntil(
      [&] { return CountIn(ReadFile(dir.File("server.log")), "Server init finished") >= starts; },
      30s);
}

std::string Match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

std::unique_ptr<client::TProtocolClient> LogIn(uint16_t port, const std::string& login,
                                               const std::string& password,
                                               client::TJoinResult* joined = nullptr) {
  return test::LogInRegistered(port, login, password, joined);
}

class MariaDBProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = test::MariaDBSkipReason();
    if (!why.empty()) GTEST_SKIP() << why;
    db_ = std::make_unique<TMariaDBDatabase>();
    ASSERT_EQ(db_->Error(), "");
  }

  std::string Settings(const std::string& extra) const {
    return "[Main Config]\nBoundToIp1=127.0.0.1\nHTTPServer Enabled=0\nExternalIPDectection=0\n" +
           extra + db_->IniSection();
  }

  // Moves a stored virtual server to a free UDP port; the port, or 0 when that failed.
  uint16_t MoveServer(int32_t id) const {
    const uint16_t port = test::FreeUdpPort();
    const std::string error =
        test::MariaDBAdmin("USE " + db_->Name() +
                           "; UPDATE vh2_servers SET i_server_udpport = " + std::to_string(port) +
                           " WHERE i_server_id = " + std::to_string(id) + ";");
    return error.empty() ? port : 0;
  }

  std::unique_ptr<TMariaDBDatabase> db_;
};

TEST_F(MariaDBProgramTest, ServesVoiceAndKeepsARegisteredChannelAcrossARestart) {
  TTempDir dir;
  // A free query port: a first start that finds 8767 taken still serves something.
  test::WriteFile(dir.File("server.ini"),
                  Settings("TCPQueryPort=" + std::to_string(test::FreeTcpPort()) + "\n"));
  std::string password;
  {
    TChildProcess server(kProgram, ArgsFor(dir), dir.File("stdout"));
    ASSERT_TRUE(WaitForStart(dir, 1)) << ReadFile(dir.File("server.log"));
    const std::string log = ReadFile(dir.File("server.log"));
    password = Match(log, "admin account info: username: admin password: ([A-Za-z0-9]{16})\n");
    ASSERT_NE(password, "") << log;
    EXPECT_EQ(CountIn(log, "created table"), 6u);
    EXPECT_EQ(log.find(test::kMariaDBPassword), std::string::npos);
    EXPECT_NE(
        ReadFile(dir.File("stdout")).find("Database:      MariaDB/MySQL database " + db_->Name()),
        std::string::npos);
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(20s), 0);
  }
  // The first start made virtual server 1 on 8767; it moves to a free port.
  const uint16_t port = MoveServer(1);
  ASSERT_NE(port, 0);
  {
    TChildProcess server(kProgram, ArgsFor(dir));
    ASSERT_TRUE(WaitForStart(dir, 2)) << ReadFile(dir.File("server.log"));
    auto c = LogIn(port, "admin", password);
    ASSERT_TRUE(c);
    ASSERT_GT(CreateRegisteredChannel(*c, "Kept Room"), 0);
    EXPECT_EQ(test::MariaDBValue(db_->Name(),
                                 "SELECT COUNT(*) FROM vh2_channels WHERE "
                                 "s_channel_name = 'Kept Room'"),
              "1");
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(20s), 0);
  }
  TChildProcess again(kProgram, ArgsFor(dir));
  ASSERT_TRUE(WaitForStart(dir, 3));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(CountIn(log, "username: admin password"), 1u);  // no second first start
  client::TJoinResult joined;
  auto c = LogIn(port, "admin", password, &joined);
  ASSERT_TRUE(c);
  bool found = false;
  for (const client::TChannelEntry& ch : joined.channels) found |= ch.name == "Kept Room";
  EXPECT_TRUE(found);
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s), 0);
}

TEST_F(MariaDBProgramTest, PlainTextPasswordsOfAnOlderDatabaseAreHashedAtStart) {
  TTempDir dir;
  const uint16_t queryPort = test::FreeTcpPort();
  test::WriteFile(dir.File("server.ini"),
                  Settings("TCPQueryPort=" + std::to_string(queryPort) + "\n"));
  {
    TChildProcess server(kProgram, ArgsFor(dir));
    ASSERT_TRUE(WaitForStart(dir, 1)) << ReadFile(dir.File("server.log"));
    server.Signal(SIGTERM);
    ASSERT_EQ(server.Wait(20s), 0);
  }
  // What earlier versions stored.
  ASSERT_EQ(test::MariaDBAdmin("USE " + db_->Name() +
                               "; UPDATE vh2_clients SET s_client_password = 'old-super' WHERE "
                               "s_client_name = 'superadmin';"
                               "UPDATE vh2_clients SET s_client_password = 'old-admin' WHERE "
                               "s_client_name = 'admin';"),
            "");
  const uint16_t port = MoveServer(1);
  TChildProcess again(kProgram, ArgsFor(dir));
  ASSERT_TRUE(WaitForStart(dir, 2)) << ReadFile(dir.File("server.log"));
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(CountIn(log, "WARNING,Info,db,\tHashed 2 plain-text account passwords"), 1u) << log;
  EXPECT_EQ(test::MariaDBValue(db_->Name(),
                               "SELECT COUNT(*) FROM vh2_clients WHERE "
                               "s_client_password LIKE '$argon2id$%'"),
            "2");
  EXPECT_TRUE(LogIn(port, "admin", "old-admin"));
  EXPECT_FALSE(LogIn(port, "admin", "old-super"));
  test::TLineClient q(queryPort);
  ASSERT_TRUE(q.Connected());
  q.ReadLine();
  EXPECT_EQ(q.Command("slogin superadmin old-super").back(), "OK");
  // A changed password is stored hashed too, and the old one stops working.
  const std::string superId = test::MariaDBValue(
      db_->Name(), "SELECT i_client_id FROM vh2_clients WHERE i_client_server_id = 0");
  EXPECT_EQ(q.Command("dbsuserchangepw " + superId + " n3w n3w").back(), "OK");
  EXPECT_EQ(test::MariaDBValue(db_->Name(),
                               "SELECT COUNT(*) FROM vh2_clients WHERE "
                               "s_client_password LIKE '$argon2id$%'"),
            "2");
  test::TLineClient q2(queryPort);
  ASSERT_TRUE(q2.Connected());
  q2.ReadLine();
  EXPECT_EQ(q2.Command("slogin superadmin n3w").back(), "OK");
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(20s), 0);
}

TEST_F(MariaDBProgramTest, TwoProcessesShareAccountsEachServingItsOwnVirtualServer) {
  TTempDir a, b;
  const uint16_t queryA = test::FreeTcpPort();
  uint16_t queryB = test::FreeTcpPort();
  while (queryB == queryA) queryB = test::FreeTcpPort();
  test::WriteFile(a.File("server.ini"),
                  Settings("TCPQueryPort=" + std::to_string(queryA) + "\n") + "VirtualServers=1\n");
  {
    // The first start makes virtual server 1 on 8767; it moves to a free port below.
    TChildProcess firstStart(kProgram, ArgsFor(a));
    ASSERT_TRUE(WaitForStart(a, 1)) << ReadFile(a.File("server.log"));
    firstStart.Signal(SIGTERM);
    ASSERT_EQ(firstStart.Wait(20s), 0);
  }
  const std::string log = ReadFile(a.File("server.log"));
  const std::string superPassword =
      Match(log, "superadmin account info: username: superadmin password: ([A-Za-z0-9]{16})\n");
  const std::string adminPassword =
      Match(log, "admin account info: username: admin password: ([A-Za-z0-9]{16})\n");
  ASSERT_NE(superPassword, "");
  const uint16_t port1 = MoveServer(1);
  ASSERT_NE(port1, 0);
  uint16_t port2 = test::FreeUdpPort();
  while (port2 == port1) port2 = test::FreeUdpPort();
  TChildProcess first(kProgram, ArgsFor(a));
  ASSERT_TRUE(WaitForStart(a, 2)) << ReadFile(a.File("server.log"));

  // A second virtual server for the second process, with the permission sets of the first.
  ASSERT_EQ(test::MariaDBAdmin(
                "USE " + db_->Name() +
                "; INSERT INTO vh2_servers (i_server_udpport, dt_server_created) VALUES (" +
                std::to_string(port2) +
                ", '01012026000000000');"
                "CREATE TEMPORARY TABLE p AS SELECT * FROM vh2_server_privileges "
                "WHERE i_sp_server_id = 1;"
                "UPDATE p SET i_sp_id = i_sp_id + 1000, i_sp_server_id = 2;"
                "INSERT INTO vh2_server_privileges SELECT * FROM p;"),
            "");
  test::WriteFile(b.File("server.ini"),
                  Settings("TCPQueryPort=" + std::to_string(queryB) + "\n") + "VirtualServers=2\n");
  TChildProcess second(kProgram, ArgsFor(b), b.File("stdout"));
  ASSERT_TRUE(WaitForStart(b, 1)) << ReadFile(b.File("server.log"));
  const std::string out = ReadFile(b.File("stdout"));
  EXPECT_NE(out.find("Virtual server 2 started on UDP port " + std::to_string(port2)),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Virtual server 1 left to another process"), std::string::npos) << out;

  // A super user made through the first process logs in on the second.
  test::TLineClient qa(queryA);
  ASSERT_TRUE(qa.Connected());
  qa.ReadLine();
  EXPECT_EQ(qa.Command("slogin superadmin " + superPassword).back(), "OK");
  EXPECT_EQ(qa.Command("dbsuseradd shared sh4red sh4red").back(), "OK");
  test::TLineClient qb(queryB);
  ASSERT_TRUE(qb.Connected());
  qb.ReadLine();
  EXPECT_EQ(qb.Command("slogin shared sh4red").back(), "OK");
  EXPECT_EQ(qb.Command("sl"), (std::vector<std::string>{std::to_string(port2), "OK"}));

  // An account of virtual server 2 stored in the shared database logs in at the second
  // process; the first serves its own admin.
  ASSERT_EQ(test::MariaDBAdmin("USE " + db_->Name() +
                               "; INSERT INTO vh2_clients (i_client_server_id, s_client_name, "
                               "s_client_password, b_client_privilege_serveradmin) "
                               "VALUES (2, 'guest2', 'pw2', 0);"),
            "");
  EXPECT_TRUE(LogIn(port2, "guest2", "pw2"));
  EXPECT_TRUE(LogIn(port1, "admin", adminPassword));
  EXPECT_FALSE(LogIn(port1, "guest2", "pw2"));  // accounts belong to their virtual server

  second.Signal(SIGTERM);
  first.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(20s), 0);
  EXPECT_EQ(first.Wait(20s), 0);
}

// The database server goes away while a super admin is logged in on the query and comes back:
// his session stays, logins with the right password meanwhile answer an error and are counted
// against nobody, and everything works again once the database is back.
TEST_F(MariaDBProgramTest, DatabaseOutageIsNeverAFailedLogin) {
  const std::string mdir = test::MariaDBDir() + "-outage-" + std::to_string(::getpid());
  ASSERT_EQ(test::MariaDBServerScript("start", mdir, test::MariaDBDir()), 0);
  struct TCleanup {
    std::string dir;
    ~TCleanup() { test::MariaDBServerScript("clean", dir); }
  } cleanup{mdir};
  ASSERT_EQ(test::MariaDBAdmin(
                "CREATE DATABASE vh_outage CHARACTER SET utf8mb4 COLLATE utf8mb4_bin", mdir),
            "");
  TTempDir dir;
  const uint16_t queryPort = test::FreeTcpPort(), webPort = test::FreeTcpPort();
  test::WriteFile(
      dir.File("server.ini"),
      "[Main Config]\nBoundToIp1=127.0.0.1\nExternalIPDectection=0\nTCPQueryPort=" +
          std::to_string(queryPort) + "\nHTTPServer Port=" + std::to_string(webPort) +
          "\n[DBEXPRESS]\nActive=1\nDatabase=vh_outage\nUser_name=" + test::kMariaDBUser +
          "\nPassword=" + test::kMariaDBPassword + "\nSocket=" + test::MariaDBSocket(mdir) + "\n");
  TChildProcess server(kProgram, ArgsFor(dir), dir.File("stdout"));
  ASSERT_TRUE(WaitForStart(dir, 1)) << ReadFile(dir.File("server.log"));
  const std::string password =
      Match(ReadFile(dir.File("server.log")),
            "superadmin account info: username: superadmin password: (\\S+)\n");
  ASSERT_NE(password, "");
  auto webLogin = [&] {
    httplib::Client web("127.0.0.1", webPort);
    auto res =
        web.Post("/login.vhcmd", "username=superadmin&password=" + password + "&superadmin=1",
                 "application/x-www-form-urlencoded");
    return res ? res->get_header_value("Location") : std::string("<no answer>");
  };

  test::TLineClient admin(queryPort);
  ASSERT_EQ(admin.ReadLine(), "[VH]");
  ASSERT_EQ(admin.Command("slogin superadmin " + password).back(), "OK");
  ASSERT_EQ(test::MariaDBServerScript("stop", mdir), 0);

  // The session is checked again on a command two seconds after the last check.
  ASSERT_TRUE(WaitUntil(
      [&] {
        admin.Command("lc");
        return ReadFile(dir.File("server.log")).find("re-validation postponed") !=
               std::string::npos;
      },
      20s));
  EXPECT_EQ(admin.Command("lc").back(), "OK");  // still logged in
  for (int i = 0; i < 5; ++i) {
    test::TLineClient c(queryPort);
    EXPECT_EQ(c.ReadLine(), "[VH]");
    EXPECT_EQ(c.Command("slogin superadmin " + password).back(), "ERROR, error");
  }
  EXPECT_NE(webLogin().find("error_box.html"), std::string::npos);

  // A restart under the load of the parallel suite failed once to answer in time: one retry.
  ASSERT_TRUE(test::MariaDBServerScript("start", mdir) == 0 ||
              test::MariaDBServerScript("start", mdir) == 0);
  test::TLineClient after(queryPort);
  EXPECT_EQ(after.ReadLine(), "[VH]");  // the address was never refused
  EXPECT_EQ(after.Command("slogin superadmin " + password).back(), "OK");
  EXPECT_EQ(admin.Command("dbsuserlist").back(), "OK");
  EXPECT_EQ(webLogin(), "index.html");
  const std::string log = ReadFile(dir.File("server.log"));
  EXPECT_EQ(log.find("login failed ["), std::string::npos);
  EXPECT_EQ(log.find("throttled"), std::string::npos);
  EXPECT_NE(log.find("TCPQuery login not checked, the database failed"), std::string::npos);

  server.Signal(SIGTERM);
  EXPECT_EQ(server.Wait(20s), 0);
}

}  // namespace
}  // namespace vh
#endif
