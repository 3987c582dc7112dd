// The SQLite back-end of the storage layer: one database file, opened in WAL mode with a busy
// timeout. Used by every thread through TCustomStorage; callers hold the storage lock around
// each load-bind-run-read (the connection itself is also opened serialized, so the start-up
// probes TableExists/ColumnExists are safe without it).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "storage/CustomStorage.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vh {

class TSQLiteStorage : public TCustomStorage {
 public:
  // Opens (creating if needed) the database file. A file that cannot be opened or is not a
  // database logs "Database initialization error: %1" and raises EInvalidField; such a file is
  // left untouched. `synchronous` is SQLite's flush level in WAL mode: "FULL" (the default:
  // a confirmed change survives a power loss), "EXTRA" or "NORMAL" (a power loss may roll
  // back the last changes); anything else means FULL.
  explicit TSQLiteStorage(const std::string& databaseFile, std::string scriptDirectory = {},
                          const std::string& synchronous = "FULL");
  ~TSQLiteStorage() override;

  bool TableExists(std::string_view table) override;
  bool ColumnExists(std::string_view table, std::string_view column) override;
  TStoreResult Execute() REQUIRES(Mutex()) override;
  std::unique_ptr<TStorageContainer> Open() REQUIRES(Mutex()) override;
  int64_t LastInsertId() override;
  TStoreResult BeginTransaction() override;
  TStoreResult CommitTransaction() override;
  void RollbackTransaction() override;

  const std::string& LibraryVersion() const { return libraryVersion_; }

 private:
  // Runs every statement of the loaded script; rows go to `result` when it is given. Returns
  // false with `error` filled on the first failure.
  bool RunScript(TStorageContainer* result, std::string& error) REQUIRES(Mutex());
  bool BindParams(sqlite3_stmt* stmt, std::string& error) const REQUIRES(Mutex());
  bool ExecInternal(const char* sql, std::string& error);

  sqlite3* db_ = nullptr;       // set at construction
  std::string libraryVersion_;  // set at construction
};

}  // namespace vh
