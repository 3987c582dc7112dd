#include "storage/sqlite/SQLiteStorage.h"

#include <sqlite3.h>

#include "common/Log.h"
#include "common/PrivateFile.h"
#include "common/Strings.h"

namespace vh {

namespace {

constexpr int kBusyTimeoutMs = 5000;

struct TStatementCloser {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementCloser>;

// True when `p`..`end` holds anything besides blanks, comments and stray semicolons, i.e. a
// further statement follows.
bool HasMoreStatements(const char* p, const char* end) {
  while (p < end) {
    const char c = *p;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == ';') {
      ++p;
    } else if (c == '-' && p + 1 < end && p[1] == '-') {
      while (p < end && *p != '\n') ++p;
    } else if (c == '/' && p + 1 < end && p[1] == '*') {
      p += 2;
      while (p + 1 < end && !(p[0] == '*' && p[1] == '/')) ++p;
      p = p + 1 < end ? p + 2 : end;
    } else {
      return true;
    }
  }
  return false;
}

bool IsPlainIdentifier(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

void AddRow(sqlite3_stmt* stmt, TStorageContainer& result) {
  TStorageRow& row = result.AddRow();
  const int columns = sqlite3_column_count(stmt);
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    const unsigned char* value = sqlite3_column_text(stmt, i);
    const int size = sqlite3_column_bytes(stmt, i);
    row.Add(MakeResultField(
        name ? name : "",
        value ? std::string_view(reinterpret_cast<const char*>(value), static_cast<size_t>(size))
              : std::string_view(),
        /*emptyBoolean=*/true));
  }
}

}  // namespace

TSQLiteStorage::TSQLiteStorage(const std::string& databaseFile, std::string scriptDirectory,
                               const std::string& synchronous)
    : TCustomStorage(databaseFile, std::move(scriptDirectory)) {
  std::string error;
  // A new database is created private (its journal files take the file's mode); a failure
  // here shows as the open's failure below.
  if (!databaseFile.empty() && databaseFile != ":memory:" && !databaseFile.starts_with("file:"))
    CreatePrivateFileIfMissing(databaseFile);
  const int rc =
      sqlite3_open_v2(databaseFile.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    error = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  } else {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // Opening is lazy: reading the schema is what tells a database from any other file, and
    // it writes nothing, so a foreign file is left as it was.
    ExecInternal("SELECT count(*) FROM sqlite_master;", error);
  }
  if (!error.empty()) {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    LogFormat(LMT_ERROR, LMD_ALL, {error}, "Database initialization error: %1", "SQL");
    throw EInvalidField("Database initialization error: " + error);
  }
  libraryVersion_ = sqlite3_libversion();
  // WAL with synchronous FULL syncs the log at every commit, so a confirmed change survives a
  // power loss too (NORMAL survives a crash but may lose the last commits to a power loss). A
  // failure here (a file system without shared memory) leaves the default journal.
  const std::string level = UpperCase(synchronous);
  const std::string syncSql =
      "PRAGMA synchronous=" + std::string(level == "NORMAL" || level == "EXTRA" ? level : "FULL") +
      ";";
  for (const char* sql : {"PRAGMA journal_mode=WAL;", syncSql.c_str(), "VACUUM;"}) {
    std::string e;
    if (!ExecInternal(sql, e)) {
      CountDatabaseError(TStorageBackend::SQLite);
      LogFormat(LMT_ERROR, LMD_ALL, {e, sql}, "ExcecSQL Error: %1 in query: %2", "SQL");
    }
  }
}

TSQLiteStorage::~TSQLiteStorage() {
  if (db_) sqlite3_close_v2(db_);
}

bool TSQLiteStorage::ExecInternal(const char* sql, std::string& error) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return true;
  error = message ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  return false;
}

bool TSQLiteStorage::BindParams(sqlite3_stmt* stmt, std::string& error) const {
  const int count = sqlite3_bind_parameter_count(stmt);
  for (int i = 1; i <= count; ++i) {
    const char* name = sqlite3_bind_parameter_name(stmt, i);
    if (!name) {
      error = "unnamed parameter";
      return false;
    }
    auto it = Params().find(LowerCase(name));
    if (it == Params().end()) {
      // An unset parameter would silently store NULL; refuse the statement instead.
      error = std::string("parameter ") + name + " not set";
      return false;
    }
    int rc;
    if (const int64_t* n = std::get_if<int64_t>(&it->second)) {
      rc = sqlite3_bind_int64(stmt, i, *n);
    } else {
      const std::string& s = std::get<std::string>(it->second);
      rc = sqlite3_bind_text64(stmt, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    if (rc != SQLITE_OK) {
      error = sqlite3_errmsg(db_);
      return false;
    }
  }
  return true;
}

bool TSQLiteStorage::RunScript(TStorageContainer* result, std::string& error) {
  if (!db_) {
    error = "database not open";
    return false;
  }
  const std::string& sql = ScriptText();
  const char* p = sql.c_str();
  const char* const end = p + sql.size();
  bool savepoint = false;
  bool ok = true;
  try {
    while (ok && p < end) {
      sqlite3_stmt* raw = nullptr;
      const char* tail = nullptr;
      if (sqlite3_prepare_v2(db_, p, static_cast<int>(end - p), &raw, &tail) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        ok = false;
        break;
      }
      TStatement stmt(raw);
      p = tail ? tail : end;
      if (!stmt) continue;  // only blanks or comments were left
      // A script of several statements (creation, upgrade, cascading delete) runs as one unit:
      // it either completes or leaves the database as it was.
      if (!savepoint && sqlite3_get_autocommit(db_) && HasMoreStatements(p, end)) {
        if (!ExecInternal("SAVEPOINT vh_script;", error)) {
          ok = false;
          break;
        }
        savepoint = true;
      }
      if (!BindParams(stmt.get(), error)) {
        ok = false;
        break;
      }
      for (;;) {
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_ROW) {
          if (result) AddRow(stmt.get(), *result);
        } else if (rc == SQLITE_DONE) {
          break;
        } else {
          error = sqlite3_errmsg(db_);
          ok = false;
          break;
        }
      }
    }
  } catch (...) {
    if (savepoint) {
      std::string ignored;
      ExecInternal("ROLLBACK TO vh_script; RELEASE vh_script;", ignored);
    }
    throw;
  }
  if (savepoint) {
    std::string ignored;
    if (ok) ok = ExecInternal("RELEASE vh_script;", error);
    if (!ok) ExecInternal("ROLLBACK TO vh_script; RELEASE vh_script;", ignored);
  }
  return ok;
}

TStoreResult TSQLiteStorage::Execute() {
  if (ScriptText().empty()) return TStoreResult::Failed(kEmptyScript);
  std::string error;
  if (RunScript(nullptr, error)) return TStoreResult::Done();
  CountDatabaseError(TStorageBackend::SQLite);
  LogFormat(LMT_ERROR, LMD_ALL, {error, ScriptText()}, "ExcecSQL Error: %1 in query: %2", "SQL");
  return TStoreResult::Failed(error);
}

std::unique_ptr<TStorageContainer> TSQLiteStorage::Open() {
  SetLastOpenFailed(true);  // until a result has been read
  if (ScriptText().empty()) return nullptr;
  auto result = std::make_unique<TStorageContainer>();
  std::string error;
  bool ok = false;
  try {
    ok = RunScript(result.get(), error);
  } catch (const EConvertError& e) {
    // A stored value that does not fit its column's type: the result cannot be trusted.
    CountDatabaseError(TStorageBackend::SQLite);
    LogFormat(LMT_ERROR, LMD_ALL, {e.what(), ScriptText()}, "OpenSQL Error: %1 in query: %2",
              "SQL");
    throw EDB(e.what());
  }
  if (!ok) {
    CountDatabaseError(TStorageBackend::SQLite);
    LogFormat(LMT_ERROR, LMD_ALL, {error, ScriptText()}, "OpenSQL Error: %1 in query: %2", "SQL");
    return nullptr;
  }
  SetLastOpenFailed(false);
  if (result->Count() == 0) return nullptr;
  return result;
}

// A script run inside the transaction finds autocommit off and adds no savepoint of its own.
TStoreResult TSQLiteStorage::BeginTransaction() {
  std::string error;
  if (db_ && ExecInternal("BEGIN IMMEDIATE;", error)) return TStoreResult::Done();
  if (!db_) error = "database not open";
  CountDatabaseError(TStorageBackend::SQLite);
  LogFormat(LMT_ERROR, LMD_ALL, {error, "BEGIN IMMEDIATE;"}, "ExcecSQL Error: %1 in query: %2",
            "SQL");
  return TStoreResult::Failed(error);
}

TStoreResult TSQLiteStorage::CommitTransaction() {
  std::string error;
  if (db_ && ExecInternal("COMMIT;", error)) return TStoreResult::Done();
  if (!db_) error = "database not open";
  CountDatabaseError(TStorageBackend::SQLite);
  LogFormat(LMT_ERROR, LMD_ALL, {error, "COMMIT;"}, "ExcecSQL Error: %1 in query: %2", "SQL");
  return TStoreResult::Failed(error);
}

void TSQLiteStorage::RollbackTransaction() {
  std::string ignored;
  if (db_ && !sqlite3_get_autocommit(db_)) ExecInternal("ROLLBACK;", ignored);
}

bool TSQLiteStorage::TableExists(std::string_view table) {
  if (!db_) return false;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type = 'table';", -1, &raw,
                         nullptr) != SQLITE_OK)
    return false;
  TStatement stmt(raw);
  const std::string wanted = LowerCase(table);
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(stmt.get(), 0);
    if (!name) continue;
    // A prefix test, as the schema checks have always made it.
    if (LowerCase(reinterpret_cast<const char*>(name)).starts_with(wanted)) return true;
  }
  return false;
}

bool TSQLiteStorage::ColumnExists(std::string_view table, std::string_view column) {
  // Names are pasted into the probe, so only plain identifiers are accepted.
  if (!db_ || !IsPlainIdentifier(table) || !IsPlainIdentifier(column)) return false;
  const std::string sql =
      "SELECT " + std::string(column) + " FROM " + std::string(table) + " LIMIT 0;";
  sqlite3_stmt* raw = nullptr;
  const bool ok = sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr) == SQLITE_OK;
  TStatement stmt(raw);
  return ok && stmt;
}

int64_t TSQLiteStorage::LastInsertId() {
  return db_ ? sqlite3_last_insert_rowid(db_) : -1;
}

}  // namespace vh
