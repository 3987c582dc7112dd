// The private MariaDB server of the test suite (started by the ctest fixture with
// tests/storage/mariadb-server.sh, socket in $VH_MARIADB_DIR): a fresh database per test,
// dropped again afterwards, and the [DBEXPRESS] section that points the server at it.
// Header-only: used by test programs that link the storage layer.
#pragma once

#include <mysql.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vh::test {

constexpr const char* kMariaDBUser = "vh";
constexpr const char* kMariaDBPassword = "vh-test-pw";

inline std::string MariaDBDir() {
  const char* dir = std::getenv("VH_MARIADB_DIR");
  return dir ? dir : "";
}

inline std::string MariaDBSocket(const std::string& dir = MariaDBDir()) {
  return dir + "/mysqld.sock";
}

inline bool MariaDBInstalled() {
  return ::access("/usr/sbin/mariadbd", X_OK) == 0 || ::access("/usr/bin/mariadbd", X_OK) == 0 ||
         std::system("command -v mariadbd >/dev/null 2>&1") == 0;
}

// Empty when the tests can use the server; otherwise why they skip.
inline std::string MariaDBSkipReason() {
  if (!MariaDBInstalled()) return "mariadbd is not installed (package mariadb-server)";
  if (MariaDBDir().empty())
    return "VH_MARIADB_DIR is not set: run through ctest, whose fixture starts the server";
  return "";
}

// Runs statements as the test account; empty on success, else the server's error.
inline std::string MariaDBAdmin(const std::string& sql, const std::string& dir = MariaDBDir()) {
  MYSQL* conn = mysql_init(nullptr);
  std::string error;
  if (!mysql_real_connect(conn, nullptr, kMariaDBUser, kMariaDBPassword, nullptr, 0,
                          MariaDBSocket(dir).c_str(), CLIENT_MULTI_STATEMENTS)) {
    error = mysql_error(conn);
  } else if (mysql_query(conn, sql.c_str()) != 0) {
    error = mysql_error(conn);
  } else {
    do {
      if (MYSQL_RES* r = mysql_store_result(conn)) mysql_free_result(r);
    } while (mysql_next_result(conn) == 0);
    if (mysql_errno(conn)) error = mysql_error(conn);
  }
  mysql_close(conn);
  return error;
}

// The first column of the first row of a query, or "<error>" / "<none>".
inline std::string MariaDBValue(const std::string& database, const std::string& sql) {
  MYSQL* conn = mysql_init(nullptr);
  std::string value = "<error>";
  if (mysql_real_connect(conn, nullptr, kMariaDBUser, kMariaDBPassword, database.c_str(), 0,
                         MariaDBSocket().c_str(), 0) &&
      mysql_query(conn, sql.c_str()) == 0) {
    MYSQL_RES* r = mysql_store_result(conn);
    MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr;
    value = row && row[0] ? row[0] : "<none>";
    if (r) mysql_free_result(r);
  }
  mysql_close(conn);
  return value;
}

// A database of its own for one test, dropped when the object goes.
class TMariaDBDatabase {
 public:
  TMariaDBDatabase() {
    static std::atomic<int> counter{0};
    name_ = "vh_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    error_ = MariaDBAdmin("DROP DATABASE IF EXISTS " + name_ + "; CREATE DATABASE " + name_ +
                          " CHARACTER SET utf8mb4 COLLATE utf8mb4_bin");
  }
  ~TMariaDBDatabase() { MariaDBAdmin("DROP DATABASE IF EXISTS " + name_); }
  TMariaDBDatabase(const TMariaDBDatabase&) = delete;
  TMariaDBDatabase& operator=(const TMariaDBDatabase&) = delete;

  const std::string& Name() const { return name_; }
  const std::string& Error() const { return error_; }  // empty when the database was made

  // The settings section that selects this database ([DBEXPRESS] of server.ini).
  std::string IniSection(const std::string& dir = MariaDBDir()) const {
    return "[DBEXPRESS]\nActive=1\nDatabase=" + name_ + "\nUser_name=" + kMariaDBUser +
           "\nPassword=" + kMariaDBPassword + "\nSocket=" + MariaDBSocket(dir) + "\n";
  }

 private:
  std::string name_;
  std::string error_;
};

// Runs the server script (start, stop, clean) on a data directory; its exit status.
inline int MariaDBServerScript(const std::string& command, const std::string& dir,
                               const std::string& templateFrom = "") {
  const std::string cmd = "bash '" + std::string(VH_SOURCE_DIR) +
                          "/tests/storage/mariadb-server.sh' " + command + " '" + dir + "' " +
                          (templateFrom.empty() ? "" : "'" + templateFrom + "'") + " >/dev/null";
  return std::system(cmd.c_str());
}

}  // namespace vh::test
