#include "storage/mysql/MariaDbStorage.h"

#include <errmsg.h>
#include <mysql.h>
#include <mysqld_error.h>
#include <poll.h>

#include <cctype>
#include <cstring>
#include <mutex>

#include "common/IniFile.h"
#include "common/Log.h"
#include "common/Strings.h"

namespace vh {

namespace {

constexpr const char* kSection = "DBEXPRESS";
constexpr unsigned kConnectTimeoutSeconds = 5;
constexpr unsigned kReadWriteTimeoutSeconds = 30;
constexpr size_t kInitialColumnBuffer = 256;

// The keys written for the administrator when "Database" is empty, with their defaults. The
// driver keys are kept for settings files shared with older installations; this back-end
// reads only the connection keys.
const std::pair<const char*, const char*> kDefaultKeys[] = {
    {"Drivername", "mysql"},
    {"Database", ""},
    {"Hostname", ""},
    {"User_name", ""},
    {"Password", ""},
    {"GetDriverFunc", "getSQLDriverMYSQL"},
    {"VendorLib", "libmysql.dll"},
    {"LibraryName", "dbexpmysql.dll"},
};

std::once_flag libraryInit;

// True for a statement that only reads (sending it again cannot change anything): its first
// word, after spaces and comments, is SELECT, SHOW, DESCRIBE or EXPLAIN.
bool ReadsOnly(std::string_view sql) {
  size_t i = 0;
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#' || (c == '-' && sql.substr(i, 2) == "--")) {
      const size_t end = sql.find('\n', i);
      i = end == std::string_view::npos ? sql.size() : end + 1;
    } else if (c == '/' && sql.substr(i, 2) == "/*") {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else {
      break;
    }
  }
  size_t end = i;
  while (end < sql.size() && std::isalpha(static_cast<unsigned char>(sql[end]))) ++end;
  const std::string_view word = sql.substr(i, end - i);
  for (const char* r : {"select", "show", "describe", "explain"})
    if (EqualsIgnoreCase(word, r)) return true;
  return false;
}

std::string HostText(const TDBExpressHost& host, int defaultPort) {
  std::string text = host.name.empty() ? "localhost" : host.name;
  if (text.find(':') != std::string::npos) text = "[" + text + "]";
  const int port = host.port > 0 ? host.port : defaultPort;
  if (port > 0) text += ":" + std::to_string(port);
  return text;
}

struct TStatementCloser {
  void operator()(MYSQL_STMT* stmt) const { mysql_stmt_close(stmt); }
};
using TStatement = std::unique_ptr<MYSQL_STMT, TStatementCloser>;

struct TResultFreer {
  void operator()(MYSQL_RES* res) const { mysql_free_result(res); }
};
using TResult = std::unique_ptr<MYSQL_RES, TResultFreer>;

std::string Fill(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

// Reads the columns of the statement's current row into a new row of `result`. Values longer
// than their buffer are fetched again at full length.
class TRowReader {
 public:
  TRowReader(MYSQL_STMT* stmt, MYSQL_RES* meta)
      : stmt_(stmt), count_(mysql_num_fields(meta)), fields_(mysql_fetch_fields(meta)) {
    buffers_.assign(count_, std::vector<char>(kInitialColumnBuffer));
    lengths_.assign(count_, 0);
    nulls_.assign(count_, 0);
    errors_.assign(count_, 0);
    binds_.assign(count_, MYSQL_BIND{});
    Rebind();
  }

  bool Bind() { return mysql_stmt_bind_result(stmt_, binds_.data()) == 0; }

  // True after a row was added; false at the end of the rows (`failed` tells an error).
  bool Next(TStorageContainer& result, bool& failed) {
    const int rc = mysql_stmt_fetch(stmt_);
    if (rc == MYSQL_NO_DATA) return false;
    if (rc == 1) {
      failed = true;
      return false;
    }
    bool grown = false;
    TStorageRow& row = result.AddRow();
    for (unsigned i = 0; i < count_; ++i) {
      std::string_view text;
      if (!nulls_[i]) {
        if (lengths_[i] > buffers_[i].size()) {
          buffers_[i].resize(lengths_[i]);
          MYSQL_BIND whole = binds_[i];
          whole.buffer = buffers_[i].data();
          whole.buffer_length = lengths_[i];
          if (mysql_stmt_fetch_column(stmt_, &whole, i, 0) != 0) {
            failed = true;
            return false;
          }
          grown = true;
        }
        text = std::string_view(buffers_[i].data(), lengths_[i]);
      }
      row.Add(MakeResultField(fields_[i].name ? fields_[i].name : "", text,
                              /*emptyBoolean=*/false));
    }
    if (grown) {
      Rebind();
      if (!Bind()) {
        failed = true;
        return false;
      }
    }
    return true;
  }

 private:
  void Rebind() {
    for (unsigned i = 0; i < count_; ++i) {
      MYSQL_BIND& b = binds_[i];
      b = MYSQL_BIND{};
      b.buffer_type = MYSQL_TYPE_STRING;  // the client library writes every type as text
      b.buffer = buffers_[i].data();
      b.buffer_length = buffers_[i].size();
      b.length = &lengths_[i];
      b.is_null = &nulls_[i];
      b.error = &errors_[i];
    }
  }

  MYSQL_STMT* stmt_;
  unsigned count_;
  MYSQL_FIELD* fields_;
  std::vector<std::vector<char>> buffers_;
  std::vector<unsigned long> lengths_;
  std::vector<my_bool> nulls_;
  std::vector<my_bool> errors_;
  std::vector<MYSQL_BIND> binds_;
};

}  // namespace

bool ParseDBExpressHosts(std::string_view text, std::vector<TDBExpressHost>& hosts,
                         std::string& error) {
  hosts.clear();
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string entry = Trim(text.substr(start, comma - start));
    start = comma + 1;
    if (entry.empty()) continue;
    TDBExpressHost host;
    std::string port;
    if (entry.front() == '[') {
      const size_t close = entry.find(']');
      if (close == std::string::npos || (close + 1 < entry.size() && entry[close + 1] != ':')) {
        error = "Hostname entry \"" + entry + "\" is not [address] or [address]:port";
        return false;
      }
      host.name = entry.substr(1, close - 1);
      if (close + 1 < entry.size()) port = entry.substr(close + 2);
      if (close + 1 < entry.size() && port.empty()) port = "?";
    } else if (const size_t colon = entry.find(':');
               colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) {
      host.name = Trim(entry.substr(0, colon));
      port = Trim(entry.substr(colon + 1));
      if (port.empty()) port = "?";
    } else {
      host.name = entry;  // a name, or an IPv6 address without a port
    }
    if (!port.empty()) {
      int64_t n = 0;
      if (!TryParseInt(port, n) || n < 1 || n > 65535) {
        error = "Hostname entry \"" + entry + "\" has a port out of range";
        return false;
      }
      host.port = static_cast<int>(n);
    }
    hosts.push_back(std::move(host));
  }
  if (hosts.empty()) hosts.emplace_back();
  return true;
}

void TDBExpressStorage::TError::Set(unsigned errorCode, const char* text) {
  code = errorCode;
  message = text ? text : "";
}

bool TDBExpressStorage::TError::ServerLost() const {
  // Client-side errors: the server went away, the connection broke or timed out. The others:
  // a server shutting down or killing the connection, and a cluster node that is not part of
  // the primary component (it answers every statement "Unknown command").
  return code >= CR_MIN_ERROR || code == ER_UNKNOWN_COM_ERROR || code == ER_SERVER_SHUTDOWN ||
         code == ER_CONNECTION_KILLED || code == ER_ABORTING_CONNECTION;
}

TDBExpressStorage::TDBExpressStorage(const std::string& settingsFile, std::string scriptDirectory)
    : TCustomStorage(settingsFile, std::move(scriptDirectory)) {
  TIniFile settings;
  if (!settings.Load(settingsFile)) {
    const std::string why = settings.LastError();
    LogFormat(LMT_ERROR, LMD_ALL, {"EIniFileException", why},
              "Database configfile initialization error: %1.%2", "SQL");
    throw EInvalidField(
        Fill("Database configfile initialization error: %s.%s", {"EIniFileException", why}));
  }
  Init(settings);
}

TDBExpressStorage::TDBExpressStorage(TIniFile& settings, std::string scriptDirectory)
    : TCustomStorage(settings.Path(), std::move(scriptDirectory)) {
  Init(settings);
}

TDBExpressStorage::~TDBExpressStorage() {
  Disconnect();
}

void TDBExpressStorage::Init(TIniFile& ini) {
  settings_.database = ini.ReadString(kSection, "Database", "");
  if (settings_.database.empty()) {
    // Keys the administrator has filled in already stay as they are; the rest of the file is
    // written back as it is on disk now.
    std::vector<TIniEdit> defaults;
    for (const auto& [key, value] : kDefaultKeys) {
      if (key == std::string_view("Database") || ini.ReadString(kSection, key, "").empty()) {
        ini.WriteString(kSection, key, value);
        defaults.push_back(TIniEdit{kSection, key, value});
      }
    }
    std::string error;
    if (!UpdateIniFile(ini.Path(), defaults, error))
      LogFormat(LMT_ERROR, LMD_ALL, {ini.Path(), error}, "unable to write the settings file %1: %2",
                "SQL");
    Log(LMT_ERROR, LMD_ALL, "Database configfile contains invalid data", "SQL");
    return;
  }
  std::string hostError;
  if (!ParseDBExpressHosts(ini.ReadString(kSection, "Hostname", ""), settings_.hosts, hostError)) {
    LogFormat(LMT_ERROR, LMD_ALL, {"EConvertError", hostError},
              "Database configfile initialization error: %1.%2", "SQL");
    throw EInvalidField(
        Fill("Database configfile initialization error: %s.%s", {"EConvertError", hostError}));
  }
  settings_.userName = ini.ReadString(kSection, "User_name", "");
  settings_.password = ini.ReadString(kSection, "Password", "");
  settings_.socket = ini.ReadString(kSection, "Socket", "");
  settings_.port = ini.ReadInteger(kSection, "Port", 0);
  if (settings_.port < 0 || settings_.port > 65535) {
    const std::string why = "Port " + std::to_string(settings_.port) + " is out of range";
    LogFormat(LMT_ERROR, LMD_ALL, {"EConvertError", why},
              "Database configfile initialization error: %1.%2", "SQL");
    throw EInvalidField(
        Fill("Database configfile initialization error: %s.%s", {"EConvertError", why}));
  }
  TError error;
  if (!Connect(error)) {
    LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, error.message},
              "Database initialization error: %1.%2", "SQL");
    throw EInvalidField(Fill("Database initialization error: %s.%s", {kErrorClass, error.message}));
  }
}

std::string TDBExpressStorage::Describe() const {
  std::string where;
  for (const TDBExpressHost& host : settings_.hosts)
    where += (where.empty() ? "" : ", ") + HostText(host, settings_.port);
  if (!settings_.socket.empty()) where += " (socket " + settings_.socket + ")";
  return "database " + settings_.database + " on " + where;
}

std::string TDBExpressStorage::CurrentHost() const {
  if (settings_.hosts.empty()) return "";
  return HostText(settings_.hosts[host_], settings_.port);
}

bool TDBExpressStorage::Connect(TError& error, size_t first) {
  Disconnect();
  const size_t count = settings_.hosts.size();
  std::string failures;
  for (size_t i = 0; i < count; ++i) {
    const size_t index = (first + i) % count;
    TError attempt;
    if (ConnectTo(settings_.hosts[index], attempt)) {
      host_ = index;
      return true;
    }
    if (count > 1) {
      failures += (failures.empty() ? "" : "; ") +
                  HostText(settings_.hosts[index], settings_.port) + ": " + attempt.message;
    } else {
      failures = attempt.message;
    }
    error.code = attempt.code;
  }
  error.message = failures;
  return false;
}

bool TDBExpressStorage::Reconnect(bool serverLost, TError& error) {
  const size_t before = host_;
  const std::string from = CurrentHost();
  // A lost server is tried last; any other failure reopens the same server first.
  const size_t first = serverLost ? (host_ + 1) % settings_.hosts.size() : host_;
  if (!Connect(error, first)) return false;
  if (host_ != before)
    LogFormat(LMT_WARNING, LMD_ALL, {from, CurrentHost()},
              "Database connection to %1 lost; now connected to %2", "SQL");
  return true;
}

bool TDBExpressStorage::IdleConnectionAlive() const {
  if (!conn_) return false;
  pollfd p{};
  p.fd = static_cast<int>(mysql_get_socket(conn_));
  if (p.fd < 0) return true;  // no socket to look at: the statement will tell
  p.events = POLLIN | POLLRDHUP;
  // Between statements the server sends nothing; anything readable is its goodbye (a closed
  // socket, a killed connection, a node that went away).
  return ::poll(&p, 1, 0) == 0;
}

bool TDBExpressStorage::ConnectTo(const TDBExpressHost& host, TError& error) {
  std::call_once(libraryInit, [] { mysql_library_init(0, nullptr, nullptr); });
  MYSQL* conn = mysql_init(nullptr);
  if (!conn) {
    error.message = "out of memory";
    return false;
  }
  const unsigned connectTimeout = kConnectTimeoutSeconds;
  const unsigned ioTimeout = kReadWriteTimeoutSeconds;
  const my_bool noReconnect = 0;  // a lost connection is reopened here, where it is noticed
  mysql_options(conn, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
  mysql_options(conn, MYSQL_OPT_READ_TIMEOUT, &ioTimeout);
  mysql_options(conn, MYSQL_OPT_WRITE_TIMEOUT, &ioTimeout);
  mysql_options(conn, MYSQL_OPT_RECONNECT, &noReconnect);
  mysql_options(conn, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  const int port = host.port > 0 ? host.port : settings_.port;
  if (!mysql_real_connect(conn, orNull(host.name), settings_.userName.c_str(),
                          settings_.password.c_str(), settings_.database.c_str(),
                          static_cast<unsigned>(port), orNull(settings_.socket), 0)) {
    error.Set(mysql_errno(conn), mysql_error(conn));
    mysql_close(conn);
    return false;
  }
  conn_ = conn;
  // Autocommit for single statements; scripts of several statements open a transaction.
  // Strict mode: a value that does not fit its column is refused, never cut silently.
  if (!Query("SET SESSION sql_mode = 'STRICT_TRANS_TABLES,NO_ENGINE_SUBSTITUTION'", error) ||
      mysql_autocommit(conn_, 1) != 0) {
    if (error.message.empty()) error.Set(mysql_errno(conn_), mysql_error(conn_));
    Disconnect();
    return false;
  }
  return true;
}

void TDBExpressStorage::Disconnect() {
  if (conn_) mysql_close(conn_);
  conn_ = nullptr;
}

bool TDBExpressStorage::Query(const char* sql, TError& error) {
  if (!conn_) {
    error.message = "not connected";
    return false;
  }
  if (mysql_query(conn_, sql) == 0) {
    // Drain any result so the connection is ready for the next statement.
    if (MYSQL_RES* res = mysql_store_result(conn_)) mysql_free_result(res);
    return true;
  }
  error.Set(mysql_errno(conn_), mysql_error(conn_));
  return false;
}

bool TDBExpressStorage::RunStatement(const TBoundStatement& statement, TStorageContainer* result,
                                     TError& error) {
  TStatement stmt(mysql_stmt_init(conn_));
  if (!stmt) {
    error.Set(mysql_errno(conn_), mysql_error(conn_));
    return false;
  }
  auto fail = [&] {
    error.Set(mysql_stmt_errno(stmt.get()), mysql_stmt_error(stmt.get()));
    return false;
  };
  if (mysql_stmt_prepare(stmt.get(), statement.sql.data(), statement.sql.size()) != 0)
    return fail();
  const size_t count = statement.params.size();
  if (mysql_stmt_param_count(stmt.get()) != count) {
    error.message = "placeholders and parameters differ";
    error.retryable = false;
    return false;
  }
  std::vector<MYSQL_BIND> binds(count);
  std::vector<unsigned long> lengths(count);
  for (size_t i = 0; i < count; ++i) {
    auto it = Params().find(statement.params[i]);
    if (it == Params().end()) {
      // An unset parameter would silently store NULL; refuse the statement instead.
      error.message = "parameter " + statement.params[i] + " not set";
      error.retryable = false;
      return false;
    }
    MYSQL_BIND& b = binds[i];
    if (const int64_t* n = std::get_if<int64_t>(&it->second)) {
      b.buffer_type = MYSQL_TYPE_LONGLONG;
      b.buffer = const_cast<int64_t*>(n);
    } else {
      const std::string& s = std::get<std::string>(it->second);
      lengths[i] = s.size();
      b.buffer_type = MYSQL_TYPE_STRING;
      b.buffer = const_cast<char*>(s.data());
      b.buffer_length = s.size();
      b.length = &lengths[i];
    }
  }
  if (count > 0 && mysql_stmt_bind_param(stmt.get(), binds.data()) != 0) return fail();
  if (mysql_stmt_execute(stmt.get()) != 0) {
    error.sent = true;
    return fail();
  }
  TResult meta(mysql_stmt_result_metadata(stmt.get()));
  if (!meta) return mysql_stmt_errno(stmt.get()) == 0 || fail();
  if (mysql_stmt_store_result(stmt.get()) != 0) return fail();
  if (!result) return true;  // rows nobody asked for are dropped with the statement
  TRowReader reader(stmt.get(), meta.get());
  if (!reader.Bind()) return fail();
  bool failed = false;
  while (reader.Next(*result, failed)) {
  }
  return failed ? fail() : true;
}

bool TDBExpressStorage::RunOnce(const std::vector<TBoundStatement>& statements,
                                TStorageContainer* result, TError& error) {
  if (!conn_) {
    error.message = "not connected";
    return false;
  }
  // Inside the caller's transaction the statements belong to it.
  const bool transaction = statements.size() > 1 && !inTransaction_;
  if (transaction && !Query("START TRANSACTION", error)) return false;
  bool ok = true;
  try {
    for (const TBoundStatement& s : statements) {
      if (!RunStatement(s, result, error)) {
        // A single write commits as it runs: when the connection broke after it was sent,
        // nobody knows whether it took effect. (In a transaction nothing is committed yet.)
        error.outcomeUnknown =
            !transaction && error.sent && error.code >= CR_MIN_ERROR && !ReadsOnly(s.sql);
        ok = false;
        break;
      }
    }
  } catch (...) {
    if (transaction) mysql_rollback(conn_);
    throw;
  }
  if (transaction) {
    if (ok && mysql_commit(conn_) != 0) {
      error.Set(mysql_errno(conn_), mysql_error(conn_));
      error.outcomeUnknown = error.code >= CR_MIN_ERROR;
      ok = false;
    }
    if (!ok) mysql_rollback(conn_);
  }
  return ok;
}

bool TDBExpressStorage::RunUnit(const std::vector<TBoundStatement>& statements,
                                TStorageContainer* result, TError& error) {
  // Without a configured database there is nothing to reopen.
  if (settings_.database.empty()) return RunOnce(statements, result, error);
  if (conn_ && !IdleConnectionAlive()) {
    // A caller's transaction cannot continue on another connection.
    if (inTransaction_) {
      error.message = "connection lost inside a transaction";
      return false;
    }
    // The server closed the connection while it was idle (a restart, a failed node): nothing
    // of this unit was sent yet, so it runs on a fresh connection.
    TError reconnect;
    reconnect.code = CR_SERVER_GONE_ERROR;
    if (!Reconnect(true, reconnect)) {
      error.message = "connection lost; reconnect: " + reconnect.message;
      return false;
    }
  }
  if (RunOnce(statements, result, error)) return true;
  // A caller's transaction that broke off cannot continue on another connection.
  if (!error.retryable || inTransaction_) return false;
  if (error.outcomeUnknown) {
    // Sending the write again could apply it twice: the caller is told it failed, and the
    // next statement gets a fresh connection.
    error.message +=
        "; the connection broke after the statement was sent, so whether it took "
        "effect is unknown: it is not run again";
    TError reconnect;
    Reconnect(true, reconnect);
    return false;
  }
  // The connection may have been lost (a restarted or failed-over database server): open a
  // fresh one, on the next server when this one went away, and run the whole unit once more.
  // A transaction that broke off was rolled back by the server, so no statement of it runs
  // twice.
  TError reconnect;
  if (!Reconnect(error.ServerLost(), reconnect)) {
    error.message += "; reconnect: " + reconnect.message;
    return false;
  }
  if (result) *result = TStorageContainer();
  error = TError();
  return RunOnce(statements, result, error);
}

TStoreResult TDBExpressStorage::Execute() {
  if (ScriptText().empty()) return TStoreResult::Failed(kEmptyScript);
  std::vector<TBoundStatement> statements;
  for (const std::string& s : SplitStatements(ScriptText()))
    statements.push_back(BindParameterNames(s));
  if (statements.empty()) return TStoreResult::Done();
  TError error;
  if (RunUnit(statements, nullptr, error)) return TStoreResult::Done();
  CountDatabaseError(TStorageBackend::MariaDB);
  LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, error.message, ScriptText()},
            "ExecSQL Error: %1.%2 in query: %3", "SQL");
  return TStoreResult::Failed(error.message);
}

std::unique_ptr<TStorageContainer> TDBExpressStorage::Open() {
  SetLastOpenFailed(true);  // until a result has been read
  if (ScriptText().empty()) return nullptr;
  std::string text = Trim(ScriptText());
  if (!text.empty() && text.back() == ';') text.pop_back();
  auto result = std::make_unique<TStorageContainer>();
  TError error;
  bool ok = false;
  try {
    ok = RunUnit({BindParameterNames(text)}, result.get(), error);
  } catch (const EConvertError& e) {
    // A stored value that does not fit its column's type: the result cannot be trusted.
    CountDatabaseError(TStorageBackend::MariaDB);
    LogFormat(LMT_ERROR, LMD_ALL, {"EConvertError", e.what(), ScriptText()},
              "OpenSQL Error: %1.%2 in query: %3", "SQL");
    throw EDB(e.what());
  }
  if (!ok) {
    CountDatabaseError(TStorageBackend::MariaDB);
    LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, error.message, ScriptText()},
              "OpenSQL Error: %1.%2 in query: %3", "SQL");
    throw EInvalidField(
        Fill("OpenSQL Error: %s.%s in query: %s", {kErrorClass, error.message, ScriptText()}));
  }
  SetLastOpenFailed(false);
  if (result->Count() == 0) return nullptr;
  return result;
}

TStoreResult TDBExpressStorage::BeginTransaction() {
  TError error;
  if (!conn_ && !settings_.database.empty()) Connect(error);
  if (conn_ && Query("START TRANSACTION", error)) {
    inTransaction_ = true;
    return TStoreResult::Done();
  }
  CountDatabaseError(TStorageBackend::MariaDB);
  LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, error.message, "START TRANSACTION"},
            "ExecSQL Error: %1.%2 in query: %3", "SQL");
  return TStoreResult::Failed(error.message);
}

TStoreResult TDBExpressStorage::CommitTransaction() {
  if (conn_ && inTransaction_ && mysql_commit(conn_) == 0) {
    inTransaction_ = false;
    return TStoreResult::Done();
  }
  const std::string error = conn_ ? mysql_error(conn_) : "not connected";
  CountDatabaseError(TStorageBackend::MariaDB);
  LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, error, "COMMIT"}, "ExecSQL Error: %1.%2 in query: %3",
            "SQL");
  return TStoreResult::Failed(error);
}

void TDBExpressStorage::RollbackTransaction() {
  if (conn_ && inTransaction_) mysql_rollback(conn_);
  inTransaction_ = false;
}

bool TDBExpressStorage::TableExists(std::string_view table) {
  static constexpr const char* kSql = "SHOW TABLES";
  std::string message = "not connected";
  bool lost = conn_ && !IdleConnectionAlive();
  if (lost) message = "connection lost";
  for (int attempt = lost ? 1 : 0; attempt < 2 && !settings_.database.empty(); ++attempt) {
    if (attempt > 0) {
      TError reconnect;
      if (!Reconnect(lost, reconnect)) {
        message += "; reconnect: " + reconnect.message;
        break;
      }
    }
    if (!conn_) continue;
    if (mysql_query(conn_, kSql) != 0) {
      message = mysql_error(conn_);
      TError failure;
      failure.code = mysql_errno(conn_);
      lost = failure.ServerLost();
      continue;
    }
    TResult res(mysql_store_result(conn_));
    if (!res) {
      message = mysql_error(conn_);
      continue;
    }
    bool found = false;
    while (MYSQL_ROW row = mysql_fetch_row(res.get())) {
      if (row[0] && EqualsIgnoreCase(row[0], table)) found = true;
    }
    return found;
  }
  CountDatabaseError(TStorageBackend::MariaDB);
  LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, message, kSql},
            "TableExists Error: %1.%2 in query: %3", "SQL");
  throw EInvalidField(Fill("TableExists Error: %s.%s in query: %s", {kErrorClass, message, kSql}));
}

int64_t TDBExpressStorage::LastInsertId() {
  if (!conn_) return -1;
  static constexpr const char* kSql = "select LAST_INSERT_ID() as id";
  std::string message;
  if (mysql_query(conn_, kSql) == 0) {
    TResult res(mysql_store_result(conn_));
    MYSQL_ROW row = res ? mysql_fetch_row(res.get()) : nullptr;
    int64_t id = 0;
    if (row && row[0] && TryParseInt(row[0], id)) return id;
    message = res ? "no id returned" : mysql_error(conn_);
  } else {
    message = mysql_error(conn_);
  }
  // The format names the message twice; the query is passed as the third argument all the
  // same, as the log has always been read.
  CountDatabaseError(TStorageBackend::MariaDB);
  LogFormat(LMT_ERROR, LMD_ALL, {kErrorClass, message, kSql},
            "GetLastInsertID Error: %1.%2 in query: %2", "SQL");
  throw EInvalidField(
      Fill("GetLastInsertID Error: %s.%s in query: %s", {kErrorClass, message, kSql}));
}

}  // namespace vh
