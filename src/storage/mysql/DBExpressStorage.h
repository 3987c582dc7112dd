// The MariaDB/MySQL back-end of the storage layer (section [DBEXPRESS] of the settings file):
// one client connection, kept open between statements and opened again once when a statement
// finds it lost. Every thread uses it through TCustomStorage; callers hold the storage lock
// around each load-bind-run-read, which also serialises all use of the connection.
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

// Where the back-end connects, read from [DBEXPRESS]. Port and Socket are optional keys of
// this back-end (0 and empty: the client library's defaults).
struct TDBExpressSettings {
  std::string database;
  std::string hostname;
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
  // rolled back and the whole script runs once more on a fresh connection. False (logged
  // "ExecSQL Error: ...") when that fails too.
  bool Execute() override;
  // Raises EInvalidField "OpenSQL Error: ..." when the query fails twice.
  std::unique_ptr<TStorageContainer> Open() override;
  // -1 without a connection; raises EInvalidField "GetLastInsertID Error: ..." on a failure.
  int64_t LastInsertId() override;
  // Inside a transaction a lost connection is not reopened: the server rolled it back, and
  // the caller must start again.
  bool BeginTransaction() override;
  bool CommitTransaction() override;
  void RollbackTransaction() override;

  bool Connected() const { return conn_ != nullptr; }
  // "database X on host Y" for the console; no credentials.
  std::string Describe() const;

  // Stated as the class of database errors in log lines ("%1.%2": class, message).
  static constexpr const char* kErrorClass = "EDatabaseError";

 private:
  struct TError {
    std::string message;
    bool retryable = true;  // false for faults of the script itself (an unset parameter)
  };

  void Init(TIniFile& settings);
  bool Connect(TError& error);
  void Disconnect();
  // Runs the statements, as one transaction when there are several; rows go to `result`.
  bool RunUnit(const std::vector<TBoundStatement>& statements, TStorageContainer* result,
               TError& error);
  bool RunOnce(const std::vector<TBoundStatement>& statements, TStorageContainer* result,
               TError& error);
  bool RunStatement(const TBoundStatement& statement, TStorageContainer* result, TError& error);
  // A plain query without parameters; false with `error` filled.
  bool Query(const char* sql, TError& error);

  TDBExpressSettings settings_;  // set at construction
  st_mysql* conn_ = nullptr;     // guarded by the storage lock (start-up: main thread only)
  bool inTransaction_ = false;   // guarded by the storage lock
};

}  // namespace vh
