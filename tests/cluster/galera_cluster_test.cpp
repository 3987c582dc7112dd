// Two real server processes on a three-node MariaDB Galera cluster (tests/storage/
// galera-cluster.sh, started by the ctest fixture in $VH_GALERA_DIR), each connected to a node
// of its own and hosting a virtual server of its own: what one process writes, the other reads;
// and a node killed under load is left for the next one listed in "Hostname".
#include <gtest/gtest.h>
#include <mysql.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "client/ClientPackets.h"
#include "client/ProtocolClient.h"
#include "load/LoadRun.h"
#include "program/LineClient.h"
#include "program/RegisteredPlayer.h"
#include "support/FreePorts.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace vh {
namespace {

using namespace std::chrono_literals;
using test::ReadFile;
using test::TChildProcess;
using test::TTempDir;
using test::WaitUntil;

const std::string kProgram = std::string(VH_BINARY_DIR) + "/voxhollow-server";
const std::string kScript = std::string(VH_SOURCE_DIR) + "/tests/storage/galera-cluster.sh";
constexpr const char* kUser = "vh";
constexpr const char* kPassword = "vh-test-pw";

struct TNode {
  int number = 0;
  uint16_t port = 0;
  std::string socket;
};

using TRows = std::vector<std::vector<std::string>>;

// Runs `sql` on one node (through its socket); the rows, or false with `error`.
bool NodeQuery(const TNode& node, const std::string& sql, TRows* rows, std::string& error) {
  MYSQL* conn = mysql_init(nullptr);
  bool ok = mysql_real_connect(conn, nullptr, kUser, kPassword, nullptr, 0, node.socket.c_str(),
                               CLIENT_MULTI_STATEMENTS) &&
            mysql_query(conn, sql.c_str()) == 0;
  while (ok) {
    if (MYSQL_RES* r = mysql_store_result(conn)) {
      const unsigned columns = mysql_num_fields(r);
      while (MYSQL_ROW row = mysql_fetch_row(r)) {
        if (!rows) continue;
        rows->emplace_back();
        for (unsigned i = 0; i < columns; ++i) rows->back().push_back(row[i] ? row[i] : "NULL");
      }
      mysql_free_result(r);
    }
    if (mysql_next_result(conn) != 0) break;
  }
  if (mysql_errno(conn)) {
    error = mysql_error(conn);
    ok = false;
  }
  mysql_close(conn);
  return ok;
}

std::string NodeValue(const TNode& node, const std::string& sql) {
  TRows rows;
  std::string error;
  if (!NodeQuery(node, sql, &rows, error)) return "<" + error + ">";
  return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
}

int ClusterScript(const std::string& command, const std::string& dir, int node) {
  const std::string cmd = "bash '" + kScript + "' " + command + " '" + dir + "' " +
                          std::to_string(node) + " >/dev/null";
  return std::system(cmd.c_str());
}

size_t CountIn(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::string Match(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : "";
}

// A TCP query command whose answer may wait for a database failing over: the answer's last line.
std::string Ask(test::TLineClient& c, const std::string& line) {
  std::vector<std::string> answer = c.Command(line);
  for (int i = 0; i < 6 && answer.back() == "<timeout>"; ++i) answer.back() = c.ReadLine();
  return answer.back();
}

std::unique_ptr<client::TProtocolClient> LogIn(uint16_t port, const std::string& login,
                                               const std::string& password,
                                               client::TJoinResult* joined = nullptr) {
  return test::LogInRegistered(port, login, password, joined, 10s);
}

int32_t CreateRegisteredChannel(client::TProtocolClient& c, const std::string& name) {
  return test::CreateRegisteredChannel(c, name, 10s);
}

// One server process: its directory, settings and the child itself.
struct TProcess {
  TTempDir dir;
  uint16_t queryPort = 0;
  std::unique_ptr<TChildProcess> child;
  size_t starts = 0;

  std::string Log() const { return ReadFile(dir.File("server.log")); }
  bool Start() {
    child = std::make_unique<TChildProcess>(
        kProgram,
        std::vector<std::string>{"-ini=" + dir.File("server.ini"), "-log=" + dir.File("server.log"),
                                 "-badnames=" + dir.File("bad_names.txt")},
        dir.File("stdout"));
    ++starts;
    return WaitUntil([&] { return CountIn(Log(), "Server init finished") >= starts; }, 60s);
  }
  int Stop() {
    child->Signal(SIGTERM);
    const int code = child->Wait(30s);
    child.reset();
    return code;
  }
};

class GaleraClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("VH_GALERA_DIR");
    if (!dir)
      GTEST_SKIP() << "VH_GALERA_DIR is not set: run through ctest, whose fixture starts "
                      "the cluster";
    dir_ = dir;
    const std::string skip = ReadFile(dir_ + "/skip-reason");
    if (!skip.empty()) GTEST_SKIP() << "Galera cannot run here: " << skip;
    std::istringstream nodes(ReadFile(dir_ + "/nodes"));
    TNode n;
    while (nodes >> n.number >> n.port >> n.socket) nodes_.push_back(n);
    ASSERT_EQ(nodes_.size(), 3u) << "no cluster in " << dir_;
    for (const TNode& node : nodes_) {
      // A node an earlier test left down comes back first.
      if (State(node) != "Synced") {
        ASSERT_EQ(ClusterScript("rejoin", dir_, node.number), 0);
      }
    }
    database_ = "vh_cluster_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string error;
    ASSERT_TRUE(NodeQuery(
        nodes_[0], "CREATE DATABASE " + database_ + " CHARACTER SET utf8mb4 COLLATE utf8mb4_bin",
        nullptr, error))
        << error;
  }

  void TearDown() override {
    a_.child.reset();
    b_.child.reset();
    std::string error;
    for (const TNode& node : nodes_)
      if (NodeQuery(node, "DROP DATABASE IF EXISTS " + database_, nullptr, error)) break;
  }

  std::string State(const TNode& node) {
    return NodeValue(node,
                     "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE "
                     "VARIABLE_NAME = 'WSREP_LOCAL_STATE_COMMENT'");
  }

  // "127.0.0.1:port" of the nodes, the given one first and then the others in order.
  std::string Hosts(size_t first) const {
    std::string hosts;
    for (size_t i = 0; i < nodes_.size(); ++i)
      hosts += (i ? "," : "") + std::string("127.0.0.1:") +
               std::to_string(nodes_[(first + i) % nodes_.size()].port);
    return hosts;
  }

  void WriteSettings(TProcess& p, size_t firstNode, const std::string& virtualServers) {
    if (!p.queryPort) p.queryPort = test::FreeTcpPort();
    test::WriteFile(p.dir.File("server.ini"),
                    "[Main Config]\nBoundToIp1=127.0.0.1\nHTTPServer Enabled=0\n"
                    "ExternalIPDectection=0\nTCPQueryPort=" +
                        std::to_string(p.queryPort) +
                        "\n[Spam]\nmax_commands=10000\nin_seconds=1\n"
                        "[DBEXPRESS]\nActive=1\nDatabase=" +
                        database_ + "\nUser_name=" + kUser + "\nPassword=" + kPassword +
                        "\nHostname=" + Hosts(firstNode) + "\nVirtualServers=" + virtualServers +
                        "\n");
  }

  // Process A on node 1 hosting virtual server 1 (made at its first start, then moved to a free
  // port), process B on node 2 hosting virtual server 2 (made here on a free port).
  void StartBoth() {
    WriteSettings(a_, 0, "1");
    ASSERT_TRUE(a_.Start()) << a_.Log();
    const std::string log = a_.Log();
    superPassword_ = Match(log,
                           "superadmin account info: username: superadmin password: "
                           "([A-Za-z0-9]{16})\n");
    adminPassword_ =
        Match(log, "admin account info: username: admin password: ([A-Za-z0-9]{16})\n");
    ASSERT_NE(superPassword_, "") << log;
    // The first start makes virtual server 1 on 8767, which another server on this machine
    // may hold: it moves to a free port before anything uses it.
    portA_ = test::FreeUdpPort();
    while (portA_ == 8767) portA_ = test::FreeUdpPort();
    portB_ = test::FreeUdpPort();
    while (portB_ == 8767 || portB_ == portA_) portB_ = test::FreeUdpPort();
    std::string error;
    ASSERT_TRUE(NodeQuery(nodes_[0],
                          "UPDATE " + database_ + ".vh2_servers SET i_server_udpport = " +
                              std::to_string(portA_) + " WHERE i_server_id = 1",
                          nullptr, error))
        << error;
    ASSERT_EQ(a_.Stop(), 0);
    ASSERT_TRUE(a_.Start()) << a_.Log();
    // Written through node 2: the row and the permission sets reach B by replication. The id
    // is given: the cluster spreads automatic ids over its nodes (2 is not the next one).
    ASSERT_TRUE(NodeQuery(nodes_[1],
                          "USE " + database_ +
                              "; INSERT INTO vh2_servers (i_server_id, i_server_udpport, "
                              "dt_server_created) VALUES (2, " +
                              std::to_string(portB_) +
                              ", '01012026000000000');"
                              "CREATE TEMPORARY TABLE p AS SELECT * FROM vh2_server_privileges "
                              "WHERE i_sp_server_id = 1;"
                              "UPDATE p SET i_sp_id = i_sp_id + 1000, i_sp_server_id = 2;"
                              "INSERT INTO vh2_server_privileges SELECT * FROM p;",
                          nullptr, error))
        << error;
    WriteSettings(b_, 1, "2");
    ASSERT_TRUE(b_.Start()) << b_.Log();
    EXPECT_NE(ReadFile(b_.dir.File("stdout"))
                  .find("Virtual server 2 started on UDP port " + std::to_string(portB_)),
              std::string::npos)
        << ReadFile(b_.dir.File("stdout"));
  }

  // Names in vh2_clients on one node, in order, each once per row.
  std::vector<std::string> AccountNames(const TNode& node) {
    TRows rows;
    std::string error;
    EXPECT_TRUE(NodeQuery(node,
                          "SELECT s_client_name FROM " + database_ +
                              ".vh2_clients WHERE s_client_name LIKE 'w%' ORDER BY s_client_name",
                          &rows, error))
        << error;
    std::vector<std::string> names;
    for (const auto& r : rows) names.push_back(r[0]);
    return names;
  }

  std::string dir_;
  std::vector<TNode> nodes_;
  std::string database_;
  TProcess a_, b_;
  std::string superPassword_, adminPassword_;
  uint16_t portA_ = 0, portB_ = 0;
};

TEST_F(GaleraClusterTest, ProcessesOnTwoNodesShareAccountsAndChannels) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());

  // A super user made through A's TCP query (node 1) logs in at B's (node 2).
  test::TLineClient qa(a_.queryPort), qb(b_.queryPort);
  ASSERT_TRUE(qa.Connected() && qb.Connected());
  qa.ReadLine(), qb.ReadLine();
  EXPECT_EQ(Ask(qa, "slogin superadmin " + superPassword_), "OK");
  EXPECT_EQ(Ask(qa, "dbsuseradd shared sh4red sh4red"), "OK");
  EXPECT_EQ(Ask(qb, "slogin shared sh4red"), "OK");
  // An account of virtual server 1, also made through A.
  EXPECT_EQ(Ask(qa, "sel " + std::to_string(portA_)), "OK");
  EXPECT_EQ(Ask(qa, "dbuseradd alice al1ce al1ce 0"), "OK");

  // A registered channel made on A reaches every node.
  {
    auto c = LogIn(portA_, "admin", adminPassword_);
    ASSERT_TRUE(c);
    ASSERT_GT(CreateRegisteredChannel(*c, "Cluster Room"), 0);
  }
  for (const TNode& node : nodes_)
    EXPECT_EQ(NodeValue(node, "SELECT COUNT(*) FROM " + database_ +
                                  ".vh2_channels WHERE s_channel_name = 'Cluster Room'"),
              "1")
        << "node " << node.number;

  // A stops; B restarts hosting both virtual servers, serves the channel made on A and lets
  // in the account made through A.
  EXPECT_EQ(a_.Stop(), 0);
  EXPECT_EQ(b_.Stop(), 0);
  WriteSettings(b_, 1, "1,2");
  ASSERT_TRUE(b_.Start()) << b_.Log();
  client::TJoinResult joined;
  auto c = LogIn(portA_, "admin", adminPassword_, &joined);
  ASSERT_TRUE(c);
  bool found = false;
  for (const client::TChannelEntry& ch : joined.channels) found |= ch.name == "Cluster Room";
  EXPECT_TRUE(found);
  EXPECT_TRUE(LogIn(portA_, "alice", "al1ce"));
  EXPECT_EQ(b_.Stop(), 0);
}

// Voice on both processes and account writes through both TCP queries; node 1, under A, is
// killed with SIGKILL. A moves to node 2; every write answered "OK" is on the surviving nodes
// once, every refused one was logged; node 1 rejoins and holds the same rows.
TEST_F(GaleraClusterTest, NodeKilledUnderLoad) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());
  test::TLineClient qa(a_.queryPort), qb(b_.queryPort);
  ASSERT_TRUE(qa.Connected() && qb.Connected());
  qa.ReadLine(), qb.ReadLine();
  ASSERT_EQ(Ask(qa, "slogin superadmin " + superPassword_), "OK");
  ASSERT_EQ(Ask(qb, "slogin superadmin " + superPassword_), "OK");

  auto options = [](uint16_t port, int seconds) {
    load::TLoadOptions o;
    o.port = port;
    o.players = 8;
    o.speakers = 2;
    o.seconds = seconds;
    return o;
  };
  // Voice alone first, for the latency without a failure.
  load::TLoadReport quietA, quietB, loadA, loadB;
  std::string errorA, errorB;
  {
    std::thread ta([&] { load::RunLoad(options(portA_, 4), quietA, errorA); });
    load::RunLoad(options(portB_, 4), quietB, errorB);
    ta.join();
  }
  ASSERT_EQ(quietA.loggedIn, 8) << errorA;
  ASSERT_EQ(quietB.loggedIn, 8) << errorB;

  std::atomic<bool> loadDone{false};
  std::thread ta([&] { load::RunLoad(options(portA_, 10), loadA, errorA); });
  std::thread tb([&] {
    load::RunLoad(options(portB_, 10), loadB, errorB);
    loadDone = true;
  });
  // Writes through both processes, answered one by one; node 1 dies after the twentieth.
  std::map<std::string, std::string> answers;  // account name -> last answer line
  int killedAt = -1;
  for (int i = 0; !loadDone; ++i) {
    if (i == 20) {
      ASSERT_EQ(ClusterScript("kill", dir_, 1), 0);
      killedAt = i;
    }
    char name[16];
    std::snprintf(name, sizeof name, "wa%04d", i);
    answers[name] = Ask(qa, std::string("dbsuseradd ") + name + " pw pw");
    std::snprintf(name, sizeof name, "wb%04d", i);
    answers[name] = Ask(qb, std::string("dbsuseradd ") + name + " pw pw");
    std::this_thread::sleep_for(50ms);  // a steady trickle of writes, not a flood
  }
  ta.join();
  tb.join();
  ASSERT_GE(killedAt, 0) << "the load ended before the node was killed";

  // A kept relaying voice while its database node failed.
  EXPECT_EQ(loadA.loggedIn, 8) << errorA;
  EXPECT_GT(loadA.delivered, loadA.expected * 9 / 10);
  EXPECT_GT(loadB.delivered, loadB.expected * 9 / 10);
  std::printf("voice p99 ms without a failure: A %.2f B %.2f; with node 1 killed: A %.2f B %.2f\n",
              quietA.p99Ms, quietB.p99Ms, loadA.p99Ms, loadB.p99Ms);

  const std::string logA = a_.Log();
  EXPECT_NE(logA.find("Database connection to 127.0.0.1:" + std::to_string(nodes_[0].port) +
                      " lost; now connected to 127.0.0.1:" + std::to_string(nodes_[1].port)),
            std::string::npos)
      << logA;
  std::set<std::string> done;
  int refused = 0, doneAfterKill = 0;
  for (const auto& [name, answer] : answers) {
    if (answer == "OK") {
      done.insert(name);
      doneAfterKill += name[1] == 'a' && std::stoi(name.substr(2)) >= killedAt ? 1 : 0;
    } else {
      ++refused;
      EXPECT_EQ(answer, "error") << name;
      const std::string& log = name[1] == 'a' ? logA : b_.Log();
      EXPECT_NE(log.find("unable to store account " + name), std::string::npos) << name;
    }
  }
  EXPECT_GT(doneAfterKill, 0) << "no write through A succeeded after its node failed";
  std::printf("writes: %zu answered OK, %d refused\n", done.size(), refused);

  // Row by row on the surviving nodes: every write answered as done, each once; a refused
  // one may be there (its outcome was unknown) but never twice.
  auto check = [&](const TNode& node) {
    const std::vector<std::string> names = AccountNames(node);
    std::set<std::string> present;
    for (const std::string& n : names) EXPECT_TRUE(present.insert(n).second) << n << " twice";
    for (const std::string& n : done) EXPECT_TRUE(present.count(n)) << n << " lost";
    return names;
  };
  const std::vector<std::string> onNode2 = check(nodes_[1]);
  EXPECT_EQ(check(nodes_[2]), onNode2);

  // Node 1 comes back and catches up.
  ASSERT_EQ(ClusterScript("rejoin", dir_, 1), 0);
  EXPECT_EQ(State(nodes_[0]), "Synced");
  EXPECT_EQ(check(nodes_[0]), onNode2);

  EXPECT_EQ(a_.Stop(), 0);
  EXPECT_EQ(b_.Stop(), 0);
}

// Not run by the suite (ctest runs no disabled test): the medians of a registered channel's
// creation and of a registered account's login (login request to the joined channel list),
// with the process on the suite's single MariaDB server ($VH_MARIADB_DIR, started by
// tests/storage/mariadb-server.sh) and on the cluster. Run by hand with
// --gtest_also_run_disabled_tests; prints the figures.
TEST_F(GaleraClusterTest, DISABLED_ChannelWriteAndLoginMedians) {
  const char* single = std::getenv("VH_MARIADB_DIR");
  ASSERT_TRUE(single) << "set VH_MARIADB_DIR to a running tests/storage/mariadb-server.sh";
  const TNode singleNode{0, 0, std::string(single) + "/mysqld.sock"};
  std::string error;
  ASSERT_TRUE(NodeQuery(singleNode,
                        "DROP DATABASE IF EXISTS " + database_ + "; CREATE DATABASE " + database_ +
                            " CHARACTER SET utf8mb4 COLLATE utf8mb4_bin",
                        nullptr, error))
      << error;
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  for (const bool cluster : {false, true}) {
    TProcess p;
    WriteSettings(p, 0, "1");
    if (!cluster) {
      std::string ini = ReadFile(p.dir.File("server.ini"));
      ini = std::regex_replace(ini, std::regex("Hostname=[^\n]*"), "Socket=" + singleNode.socket);
      test::WriteFile(p.dir.File("server.ini"), ini);
    }
    ASSERT_TRUE(p.Start()) << p.Log();
    const std::string password =
        Match(p.Log(), "admin account info: username: admin password: ([A-Za-z0-9]{16})\n");
    auto c = LogIn(8767, "admin", password);
    ASSERT_TRUE(c);
    // Accounts of their own (each login takes a nickname of its own).
    test::TLineClient q(p.queryPort);
    q.ReadLine();
    ASSERT_EQ(
        Ask(q, "slogin superadmin " + Match(p.Log(), "superadmin password: ([A-Za-z0-9]{16})\n")),
        "OK");
    ASSERT_EQ(Ask(q, "sel 8767"), "OK");
    for (int i = 0; i < 41; ++i)
      ASSERT_EQ(Ask(q, "dbuseradd u" + std::to_string(i) + " pw pw 0"), "OK");
    std::vector<double> writes, logins;
    for (int i = 0; i < 41; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      ASSERT_GT(CreateRegisteredChannel(*c, "Room " + std::to_string(i)), 0);
      const auto t1 = std::chrono::steady_clock::now();
      auto player = LogIn(8767, "u" + std::to_string(i), "pw");
      const auto t2 = std::chrono::steady_clock::now();
      ASSERT_TRUE(player) << i;
      player->Quit(5s);  // leaves the seat for the next (a virtual server has a player limit)
      writes.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
      logins.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
      std::this_thread::sleep_for(120ms);  // under the logins allowed per address and second
    }
    std::printf("%s: registered channel write median %.2f ms, login median %.2f ms\n",
                cluster ? "three-node cluster" : "one MariaDB server", median(writes),
                median(logins));
    c.reset();
    EXPECT_EQ(p.Stop(), 0);
  }
  NodeQuery(singleNode, "DROP DATABASE IF EXISTS " + database_, nullptr, error);
}

}  // namespace
}  // namespace vh
