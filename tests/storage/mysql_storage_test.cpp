// The MariaDB/MySQL back-end: how scripts are split and bound, its settings section, its
// answers that differ from SQLite, and a database server restarted under a running storage.
#include <gtest/gtest.h>

#include <thread>

#include "storage/StorageFixture.h"
#include "support/FreePorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

#ifdef VH_HAVE_MYSQL
#include "common/IniFile.h"
#include "storage/Schema.h"
#include "storage/mysql/ScriptText.h"

namespace vh::test {
namespace {

using Statements = std::vector<std::string>;

TEST(MySQLScriptText, StatementsEndAtSemicolonsOutsideQuotesAndComments) {
  EXPECT_EQ(SplitStatements("SELECT 1"), Statements{"SELECT 1"});
  // Only what a semicolon ends is run.
  EXPECT_EQ(SplitStatements("DELETE FROM a;\nDELETE FROM b"), Statements{"DELETE FROM a"});
  EXPECT_EQ(SplitStatements("DELETE FROM a;\nDELETE FROM b;\n"),
            (Statements{"DELETE FROM a", "DELETE FROM b"}));
  EXPECT_EQ(SplitStatements("INSERT INTO a VALUES ('x;y', \"p;q\");"),
            Statements{"INSERT INTO a VALUES ('x;y', \"p;q\")"});
  // A quote inside a comment swallows nothing.
  EXPECT_EQ(SplitStatements("-- the server's rows\nDELETE FROM a;\n# it's\nDELETE FROM b;\n"
                            "/* don't */ DELETE FROM c;"),
            (Statements{"DELETE FROM a", "DELETE FROM b", "DELETE FROM c"}));
  EXPECT_EQ(SplitStatements(" ; ;\n-- only a comment;\n"), Statements{});
}

TEST(MySQLScriptText, NamedParametersBecomePlaceholdersInOrder) {
  const TBoundStatement s = BindParameterNames(
      "DELETE FROM t WHERE a = :iServerID AND b = ':sNot' AND c = :SNAME -- :sComment\n"
      "AND d = :iServerID AND e = \"x:y\" AND f = 'it''s :x' AND g=:bOn");
  EXPECT_EQ(s.sql,
            "DELETE FROM t WHERE a = ? AND b = ':sNot' AND c = ?  \n"
            "AND d = ? AND e = \"x:y\" AND f = 'it''s :x' AND g=?");
  EXPECT_EQ(s.params, (Statements{":iserverid", ":sname", ":iserverid", ":bon"}));
  EXPECT_TRUE(BindParameterNames("SELECT a::int, b := 1").params.empty());
}

TEST(MySQLHostList, EntriesWithAndWithoutPorts) {
  std::vector<TDBExpressHost> hosts;
  std::string error;
  ASSERT_TRUE(ParseDBExpressHosts(" node1 , node2:3307,,[::1]:3308, ::1 ,[fe80::2]", hosts, error));
  EXPECT_EQ(hosts, (std::vector<TDBExpressHost>{
                       {"node1", 0}, {"node2", 3307}, {"::1", 3308}, {"::1", 0}, {"fe80::2", 0}}));
  ASSERT_TRUE(ParseDBExpressHosts("", hosts, error));
  EXPECT_EQ(hosts, std::vector<TDBExpressHost>{TDBExpressHost{}});  // the library's default
  for (const char* bad :
       {"node1:0", "node1:65536", "node1:x", "node1:", "[::1", "[::1]3306", "a, b:99999"}) {
    EXPECT_FALSE(ParseDBExpressHosts(bad, hosts, error)) << bad;
    EXPECT_NE(error, "") << bad;
  }
}

class MySQLStorageTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    ini_ = MariaDBSettings(why_);
    if (ini_.empty()) GTEST_SKIP() << why_;
    UseScripts("mysql_sql");
  }

  TDBExpressStorage& Open() {
    auto s = std::make_unique<TDBExpressStorage>(ini_, scriptDir_);
    TDBExpressStorage& ref = *s;
    storage_ = std::move(s);
    return ref;
  }

  std::string ini_, why_;
};

TEST_F(MySQLStorageTest, AnswersThatDifferFromSQLite) {
  TDBExpressStorage& s = Open();
  ASSERT_TRUE(CreateTables(&s));
  EXPECT_TRUE(s.TableExists("VH2_SERVERS"));
  EXPECT_TRUE(s.TableExists("vh2_bans"));
  EXPECT_FALSE(s.TableExists("vh2_server"));  // the exact name, not a prefix
  EXPECT_FALSE(s.ColumnExists("vh2_servers", "i_server_id"));
  // A second CreateTables finds all six and creates nothing.
  const size_t created = log_->Count("created table");
  ASSERT_TRUE(CreateTables(&s));
  EXPECT_EQ(log_->Count("created table"), created);

  // Only the first of two statements ends with a semicolon: only it runs.
  Run("INSERT INTO vh2_bans (i_ban_server_id, s_ban_ip) VALUES (1, 'a');\n"
      "INSERT INTO vh2_bans (i_ban_server_id, s_ban_ip) VALUES (1, 'b')");
  auto bans = Query("SELECT s_ban_ip FROM vh2_bans;");
  ASSERT_TRUE(bans);
  EXPECT_EQ(bans->Count(), 1u);

  // A failing query raises after logging, and the storage goes on working.
  try {
    Query("SELECT nonsense FROM vh2_bans;");
    FAIL() << "no exception";
  } catch (const EInvalidField& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("OpenSQL Error: EDatabaseError.Unknown column"))
        << e.what();
  }
  EXPECT_TRUE(log_->Contains("in query: SELECT nonsense FROM vh2_bans;"));
  EXPECT_EQ(Query("SELECT s_ban_ip FROM vh2_bans;")->Count(), 1u);
  WriteScript("bad.sql", "INSERT INTO nowhere VALUES (1);");
  {
    TStorageScript q(*storage_, "bad.sql");
    EXPECT_FALSE(q.Execute());
  }
  EXPECT_TRUE(log_->Contains("ExecSQL Error: EDatabaseError."));
  EXPECT_FALSE(log_->Contains(kMariaDBPassword));
}

// Start-up never upgrades this back-end, but the scripts ship for an administrator moving an
// older schema forward by hand.
TEST_F(MySQLStorageTest, UpgradeScriptsAddTheirColumns) {
  Open();
  Run("CREATE TABLE vh2_servers (i_server_id INT) ENGINE=InnoDB;");
  Run("CREATE TABLE vh2_clients (i_client_id INT) ENGINE=InnoDB;");
  for (const char* script : {"upgrade_1.sql", "upgrade_2.sql", "upgrade_3.sql"}) {
    TStorageScript q(*storage_, script);
    EXPECT_TRUE(q.Execute()) << script;
  }
  Run("INSERT INTO vh2_servers (i_server_id) VALUES (1);");
  Run("INSERT INTO vh2_clients (i_client_id) VALUES (1);");
  auto servers = Query(
      "SELECT b_server_allow_codec_speex2150, b_server_allow_codec_speex11000, "
      "b_server_allow_codec_speex15000, b_server_allow_codec_speex24600 FROM vh2_servers;");
  ASSERT_TRUE(servers);
  EXPECT_TRUE(servers->Row(0).FieldByName("b_server_allow_codec_speex24600").GetAsBoolean());
  auto clients = Query("SELECT dt_client_lastonline FROM vh2_clients;");
  ASSERT_TRUE(clients);
  EXPECT_EQ(clients->Row(0).FieldByName("dt_client_lastonline").GetAsDateTime(), 0.0);
}

TEST_F(MySQLStorageTest, EmptyDatabaseKeyWritesTheDefaultsAndRunsNothing) {
  test::WriteFile(ini_, "[Main Config]\nTCPQueryPort=1\n[DBEXPRESS]\nActive=1\nHostname=db1\n");
  TDBExpressStorage& s = Open();
  EXPECT_FALSE(s.Connected());
  EXPECT_TRUE(log_->Contains("Database configfile contains invalid data"));
  TIniFile ini;
  ASSERT_TRUE(ini.Load(ini_));
  EXPECT_EQ(ini.ReadString("DBEXPRESS", "Drivername", "?"), "mysql");
  EXPECT_EQ(ini.ReadString("DBEXPRESS", "GetDriverFunc", "?"), "getSQLDriverMYSQL");
  EXPECT_EQ(ini.ReadString("DBEXPRESS", "VendorLib", "?"), "libmysql.dll");
  EXPECT_EQ(ini.ReadString("DBEXPRESS", "LibraryName", "?"), "dbexpmysql.dll");
  for (const char* key : {"Database", "User_name", "Password"})
    EXPECT_EQ(ini.ReadString("DBEXPRESS", key, "?"), "") << key;
  EXPECT_EQ(ini.ReadString("DBEXPRESS", "Hostname", "?"), "db1");  // filled in: kept
  EXPECT_EQ(ini.ReadInteger("Main Config", "TCPQueryPort", 0), 1);

  WriteScript("x.sql", "DELETE FROM vh2_bans;");
  TStorageScript q(s, "x.sql");
  EXPECT_FALSE(q.Execute());
  EXPECT_EQ(s.LastInsertId(), -1);
  EXPECT_THROW(CreateTables(&s), EInvalidField);  // start-up stops: no database to use
}

TEST_F(MySQLStorageTest, RefusedLoginRaisesWithoutShowingThePassword) {
  test::WriteFile(ini_, "[DBEXPRESS]\nDatabase=" + database_->Name() +
                            "\nUser_name=vh\nPassword=wrong-secret-77\nSocket=" + MariaDBSocket() +
                            "\n");
  try {
    Open();
    FAIL() << "connected with a wrong password";
  } catch (const EInvalidField& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Database initialization error: EDatabaseError."))
        << e.what();
    EXPECT_EQ(std::string(e.what()).find("wrong-secret-77"), std::string::npos);
  }
  EXPECT_TRUE(log_->Contains("Database initialization error: EDatabaseError.Access denied"));
  EXPECT_FALSE(log_->Contains("wrong-secret-77"));
}

// The database server goes down and comes back between two statements, and later the
// connection is cut before a query: each is run once more on a fresh connection and nothing
// runs twice.
TEST_F(MySQLStorageTest, RestartedDatabaseServerIsReconnected) {
  const std::string dir = MariaDBDir() + "-restart-" + std::to_string(::getpid());
  ASSERT_EQ(MariaDBServerScript("start", dir, MariaDBDir()), 0);
  struct TCleanup {
    std::string dir;
    ~TCleanup() { MariaDBServerScript("clean", dir); }
  } cleanup{dir};
  ASSERT_EQ(MariaDBAdmin("CREATE DATABASE vh_restart", dir), "");
  test::WriteFile(ini_, "[DBEXPRESS]\nDatabase=vh_restart\nUser_name=vh\nPassword=" +
                            std::string(kMariaDBPassword) + "\nSocket=" + MariaDBSocket(dir) +
                            "\n");
  TDBExpressStorage& s = Open();
  ASSERT_TRUE(CreateTables(&s));
  auto ban = [&](const std::string& ip) {
    TStorageScript q(s, "new_ban.sql");
    EXPECT_TRUE(q.SetInteger(":iServerID", 1)
                    .SetString(":sBy", "test")
                    .SetString(":sIP", ip)
                    .SetDateTime(":dtCreated", 46000.5)
                    .SetInteger(":iMinutes", 0)
                    .Execute());
    return q.LastInsertId();
  };
  EXPECT_EQ(ban("1.1.1.1"), 1);
  ASSERT_EQ(MariaDBServerScript("stop", dir), 0);
  ASSERT_EQ(MariaDBServerScript("start", dir), 0);
  EXPECT_EQ(ban("2.2.2.2"), 2);
  // The connection is cut from the server side before a query.
  auto id = Query("SELECT CONNECTION_ID() AS i_id;");
  ASSERT_TRUE(id);
  ASSERT_EQ(MariaDBAdmin("KILL " + id->Row(0).FieldByName("i_id").GetAsString(), dir), "");
  TStorageScript q(s, "read_bans.sql");
  auto rows = q.SetInteger(":iServerID", 1).Open();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->Count(), 2u);
  EXPECT_EQ(rows->Row(1).FieldByName("s_ban_ip").GetAsString(), "2.2.2.2");
  EXPECT_TRUE(s.TableExists("vh2_bans"));
}

// "Hostname" lists a server that does not answer before the suite's: the connection goes to
// the second. Its connection is then cut twice: idle before a write (the write was never sent
// and runs on a fresh connection), and while a write runs (the write may or may not have taken
// effect, so it is refused and not sent again).
TEST_F(MySQLStorageTest, HostListAndWritesCutOnTheWay) {
  const uint16_t closed = FreeTcpPort();
  test::WriteFile(ini_, "[DBEXPRESS]\nDatabase=" + database_->Name() + "\nUser_name=vh\nPassword=" +
                            kMariaDBPassword + "\nHostname=127.0.0.1:" + std::to_string(closed) +
                            ", localhost\nSocket=" + MariaDBSocket() + "\n");
  TDBExpressStorage& s = Open();
  EXPECT_EQ(s.CurrentHost(), "localhost");
  EXPECT_NE(s.Describe().find("127.0.0.1:" + std::to_string(closed) + ", localhost"),
            std::string::npos)
      << s.Describe();
  Run("CREATE TABLE t (i INT PRIMARY KEY AUTO_INCREMENT, v VARCHAR(20)) ENGINE=InnoDB;");

  auto connectionId = [&] {
    auto id = Query("SELECT CONNECTION_ID() AS s_id;");
    return id ? id->Row(0).FieldByName("s_id").GetAsString() : std::string();
  };
  ASSERT_EQ(MariaDBAdmin("KILL " + connectionId()), "");
  Run("INSERT INTO t (v) VALUES ('after idle cut');");
  EXPECT_FALSE(log_->Contains("ExecSQL Error"));

  // A write that takes a while; its connection is killed while it runs.
  WriteScript("slow.sql", "INSERT INTO t (v) SELECT 'cut' FROM (SELECT SLEEP(5) AS z) AS w;");
  bool executed = true;
  std::thread writer([&] {
    TStorageScript q(s, "slow.sql");
    executed = q.Execute().Ok();
  });
  std::string running;
  WaitUntil(
      [&] {
        running = MariaDBValue(database_->Name(),
                               "SELECT ID FROM information_schema.PROCESSLIST WHERE INFO LIKE "
                               "'INSERT INTO t (v) SELECT%'");
        return running != "<none>" && running != "<error>";
      },
      std::chrono::seconds(10));
  EXPECT_EQ(MariaDBAdmin("KILL " + running), "");
  writer.join();
  EXPECT_FALSE(executed);
  EXPECT_TRUE(log_->Contains("ExecSQL Error: EDatabaseError.Lost connection"));
  EXPECT_TRUE(log_->Contains("it is not run again"));
  // Not sent a second time (the killed statement was rolled back), and the storage goes on.
  EXPECT_EQ(MariaDBValue(database_->Name(), "SELECT GROUP_CONCAT(v ORDER BY i) FROM t"),
            "after idle cut");
  Run("INSERT INTO t (v) VALUES ('next');");
  EXPECT_EQ(MariaDBValue(database_->Name(), "SELECT COUNT(*) FROM t"), "2");
}

}  // namespace
}  // namespace vh::test
#endif
