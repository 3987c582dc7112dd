// The MariaDB/MySQL back-end of the storage layer (section [DBEXPRESS] of the settings file):
// one client connection, kept open between statements and opened again once when a statement
// finds it lost. "Hostname" may list several servers (the nodes of a cluster): the connection
// goes to the first that answers, and when it is lost, to the next. Every thread uses it
// through TCustomStorage; callers hold the storage lock around each load-bind-run-read, which
// also serialises all use of the connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/CustomStorage.h"
#include "storage/mysql/ScriptText.h"

struct st_mysql;

namespace vh {

class TIniFile;

// One server of "Hostname": a name or address (IPv6 in brackets when a port follows) and an
// optional port. An empty name is the client library's default (the local server).
struct TDBExpressHost {
  std::string name;
  int port = 0;  // 0: the key "Port", else the client library's default
  bool operator==(const TDBExpressHost&) const = default;
};

// Reads "Hostname": entries separated by commas, each "host", "host:port", "[v6]" or
// "[v6]:port"; empty entries are skipped and an empty value is one default host. False with
// `error` for a port that is not a number from 1 to 65535.
bool ParseDBExpressHosts(std::string_view text, std::vector<TDBExpressHost>& hosts,
                         std::string& error);

// Where the back-end connects, read from [DBEXPRESS]. Port and Socket are optional keys of
// this back-end (0 and empty: the client library's defaults).
struct TDBExpressSettings {
  std::string database;
  std::vector<TDBExpressHost> hosts;  // at least one
  std::string userName;
  std::string password;  // never logged
  int port = 0;
  std::string socket;
};

class TDBExpressStorage : public TCustomStorage {
 public:
  // Reads [DBEXPRESS] of the settings file and connects. An empty "Database" writes the
  // section's defaults for the administrator to fill in, logs "Database configfile contains
  // invalid data" and leaves the storage without a connection (nothing runs). A failed
  // connection logs and raises EInvalidField "Database initialization error: %s.%s".
  explicit TDBExpressStorage(const std::string& settingsFile, std::string scriptDirectory = {});
  // The same on a settings file the caller holds open (start-up writes it back later, so the
  // defaults must land in its copy).
  TDBExpressStorage(TIniFile& settings, std::string scriptDirectory);
  ~TDBExpressStorage() override;

  // Exact name, case ignored, among the tables of the database.
  bool TableExists(std::string_view table) override;
  // This back-end never upgrades a schema: always false.
  bool ColumnExists(std::string_view, std::string_view) override { return false; }
  // Runs the statements of the script as one transaction; on a failure the transaction is
  // rolled back and the whole script runs once more on a fresh connection (the next host when
  // the connection was lost). False (logged "ExecSQL Error: ...") when that fails too, and
  // when the connection broke after a write was sent: whether it took effect is unknown, so it
  // is not sent again.
  TStoreResult Execute() REQUIRES(Mutex()) override;
  // Raises EInvalidField "OpenSQL Error: ..." when the query fails twice.
  std::unique_ptr<TStorageContainer> Open() REQUIRES(Mutex()) override;
  // -1 without a connection; raises EInvalidField "GetLastInsertID Error: ..." on a failure.
  int64_t LastInsertId() override;
  // Inside a transaction a lost connection is not reopened: the server rolled it back, and
  // the caller must start again.
  TStoreResult BeginTransaction() override;
  TStoreResult CommitTransaction() override;
  void RollbackTransaction() override;

  bool Connected() const { return conn_ != nullptr; }
  // "database X on host Y" for the console; no credentials.
  std::string Describe() const;
  // "host" or "host:port" of the server connected now (the first host when none is).
  std::string CurrentHost() const;

  // Stated as the class of database errors in log lines ("%1.%2": class, message).
  static constexpr const char* kErrorClass = "EDatabaseError";

 private:
  struct TError {
    std::string message;
    unsigned code = 0;      // the client library's error number; 0 for faults found here
    bool retryable = true;  // false for faults of the script itself (an unset parameter)
    bool sent = false;      // the failure came after the statement (or its commit) was sent
    // The connection broke after a write was sent and before its commit was answered.
    bool outcomeUnknown = false;
    void Set(unsigned errorCode, const char* text);
    // The server went away or cannot serve (a failed or not yet synced cluster node).
    bool ServerLost() const;
  };

  void Init(TIniFile& settings);
  // Connects to the first host that answers, trying them in order from `first` on.
  bool Connect(TError& error, size_t first = 0);
  bool ConnectTo(const TDBExpressHost& host, TError& error);
  // A new connection after a failure: the next host when the server was lost.
  bool Reconnect(bool serverLost, TError& error);
  // False when the server has closed the idle connection (it sent something unasked).
  bool IdleConnectionAlive() const;
  void Disconnect();
  // Runs the statements, as one transaction when there are several; rows go to `result`.
  bool RunUnit(const std::vector<TBoundStatement>& statements, TStorageContainer* result,
               TError& error) REQUIRES(Mutex());
  bool RunOnce(const std::vector<TBoundStatement>& statements, TStorageContainer* result,
               TError& error) REQUIRES(Mutex());
  bool RunStatement(const TBoundStatement& statement, TStorageContainer* result, TError& error)
      REQUIRES(Mutex());
  // A plain query without parameters; false with `error` filled.
  bool Query(const char* sql, TError& error);

  TDBExpressSettings settings_;  // set at construction
  st_mysql* conn_ = nullptr;     // guarded by the storage lock (start-up: main thread only)
  bool inTransaction_ = false;   // guarded by the storage lock
  size_t host_ = 0;              // index in settings_.hosts of the last connection
};

}  // namespace vh
