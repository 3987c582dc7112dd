#include "host/StartupSteps.h"

#include <algorithm>

#include "common/Console.h"
#include "common/Log.h"
#include "common/Random.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "host/ServerHost.h"
#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#ifdef VH_HAVE_MYSQL
#include "storage/mysql/MariaDbStorage.h"
#endif
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kServerCategory = "SERVER";

void StartupError(const std::string& message) {
  Log(LMT_ERROR, LMD_ALL, message, kServerCategory);
}

// Starts one virtual server and tells the operator how that went. A failed start leaves the
// server out of the list; its reason is in the log as well.
std::shared_ptr<TServerObject> StartOneServer(int32_t id, uint16_t port) {
  TServerHost& h = Host();
  auto server =
      std::make_shared<TServerObject>(h.storage.get(), h.virtualServers.get(), &h.environment);
  if (server->Start(id, port)) {
    ConsoleLine("Virtual server " + std::to_string(server->ServerID()) + " started on UDP port " +
                std::to_string(server->BoundPort()));
  } else {
    const int32_t shownId = id > 0 ? id : server->ServerID();
    ConsoleLine("Virtual server " + (shownId > 0 ? std::to_string(shownId) : "(new)") +
                " not started: " + server->StartFailure());
  }
  return server;
}

void StartStoredServers(const TStorageContainer& rows) {
  for (size_t i = 0; i < rows.Count(); ++i) {
    int32_t id = 0;
    try {
      const TStorageRow& row = rows.Row(i);
      id = row.FieldByName("i_server_id").GetAsInteger();
      if (!row.FieldByName("b_server_active").GetAsBoolean()) continue;
      const auto& hosted = Host().hostedServerIds;
      if (!hosted.empty() && std::find(hosted.begin(), hosted.end(), id) == hosted.end()) {
        ConsoleLine("Virtual server " + std::to_string(id) +
                    " left to another process ([DBEXPRESS] VirtualServers)");
        continue;
      }
      StartOneServer(id, 0);
    } catch (const std::exception& e) {
      Log(LMT_ERROR, LMD_ALL,
          "VirtualServer Startup(" + std::to_string(id) + ") Exception: " + ExceptionClassName(e) +
              "." + e.what(),
          kServerCategory);
      ConsoleLine("Virtual server " + std::to_string(id) + " not started: " + e.what());
    }
  }
}

// "1, 3 7": the ids, separated by commas or blanks. False for anything else.
bool ParseServerIds(const std::string& text, std::vector<int32_t>& ids) {
  ids.clear();
  std::string token;
  auto flush = [&] {
    if (token.empty()) return true;
    int64_t id = 0;
    if (!TryParseInt(token, id) || id <= 0 || id > INT32_MAX) return false;
    ids.push_back(static_cast<int32_t>(id));
    token.clear();
    return true;
  };
  for (char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!flush()) return false;
    } else {
      token += c;
    }
  }
  return flush();
}

void CreateDefaultServer() {
  TServerHost& h = Host();
  std::shared_ptr<TServerObject> server = StartOneServer(0, kDefaultServerPort);
  Log(LMT_WARNING, LMD_INFO, "Default VirtualServer created", kServerCategory);
  if (server->ServerID() > 0) {
    CreateFirstStartAccounts(*h.storage, server->ServerID());
  } else {
    // Without a record, "admin" would be stored under id 0 and become a super user.
    StartupError("Start_Server: no default VirtualServer record, no accounts created");
  }
  if (!server->Running()) {
    Log(LMT_WARNING, LMD_INFO, "there is no VirtualServer running!", kServerCategory);
    h.virtualServers->Remove(server.get());
  }
}

// 16 characters of 62: about 95 bits, within the 29 characters a login field holds.
constexpr int kFirstStartPasswordLength = 16;

// Stores one generated account; announces its password only when the account was stored.
bool StoreGeneratedAccount(TClients& accounts, const char* loginName, bool superUser,
                           int32_t serverId, std::string& password) {
  TClientRecord record;
  record.LoginName = loginName;
  record.Password = RandomPassword(kFirstStartPasswordLength);
  record.PlayerPrivileges = superUser ? PP_SUPER_SERVER_ADMIN : PP_SERVER_ADMIN;
  const int32_t result = superUser ? accounts.DBAddSuperUser(&record)
                                   : accounts.DBAddUser(static_cast<uint32_t>(serverId), &record);
  const std::string name = loginName;
  if (result != RC_OK) {
    StartupError("Start_Server: account " + name +
                 " not stored (login name in use or database error, code " +
                 std::to_string(result) + "); its password is unchanged");
    ConsoleLine("First start: account \"" + name +
                "\" not created (login name in use or database error), password unchanged");
    return false;
  }
  password = record.Password.Str();
  // Logged whatever the filter says: without these lines nobody could administer the server.
  LogUnfiltered(LMT_WARNING, LMD_INFO,
                name + " account info: username: " + name + " password: " + password,
                kServerCategory);
  ConsoleLine("First start: login \"" + name + "\" password \"" + password + "\" (" +
              (superUser ? std::string("super admin of every virtual server")
                         : "server admin of virtual server " + std::to_string(serverId)) +
              ")");
  return true;
}

}  // namespace

void ReportStartupFailure(const std::string& message) {
  StartupError(message);
  ConsoleError(message);
}

bool OpenStorageAndTables(TIniFile& ini) {
  TServerHost& h = Host();
  h.hostedServerIds.clear();
  try {
    if (ini.ReadString("DBEXPRESS", "Active", "") != "1") {
      // [Main Config] SQLiteSynchronous: FULL unless the operator trades power-loss safety
      // for write speed (NORMAL); read only, never written back.
      h.storage = std::make_unique<TSQLiteStorage>(
          h.databaseFile, h.sqlDirectory,
          ini.ReadString("Main Config", "SQLiteSynchronous", "FULL"));
      h.dbExpressInUse = false;
    } else {
      // [DBEXPRESS] sqldir wins; otherwise the MariaDB/MySQL scripts beside the program,
      // unless -SQL= chose a directory.
      const std::string sqlDir = ini.ReadString("DBEXPRESS", "sqldir", "");
      if (!sqlDir.empty()) {
        h.sqlDirectory = sqlDir;
      } else if (!h.sqlDirectoryGiven) {
        h.sqlDirectory = h.mysqlSqlDirectory;
      }
      if (!ParseServerIds(ini.ReadString("DBEXPRESS", "VirtualServers", ""), h.hostedServerIds)) {
        ReportStartupFailure("Start_Server: [DBEXPRESS] VirtualServers must list server ids");
        ReportStartupFailure("Start_Server: unable to open database");
        return false;
      }
      // Without these the back-end cannot connect: start-up names what is still to be filled
      // in. Without a Database the back-end first completes the section with its keys.
      std::string missing;
      for (const char* key : {"Database", "User_name"})
        if (Trim(ini.ReadString("DBEXPRESS", key, "")).empty())
          missing += std::string(missing.empty() ? "" : ", ") + key;
      if (!missing.empty()) {
#ifdef VH_HAVE_MYSQL
        if (missing.rfind("Database", 0) == 0)
          TDBExpressStorage writesDefaults(ini, h.sqlDirectory);
#endif
        ReportStartupFailure("Start_Server: [DBEXPRESS] Active=1 but these keys are empty: " +
                             missing + " (in " + h.settingsFile + ")");
        return false;
      }
#ifdef VH_HAVE_MYSQL
      auto storage = std::make_unique<TDBExpressStorage>(ini, h.sqlDirectory);
      ConsoleLine("Database:      MariaDB/MySQL " + storage->Describe());
      h.storage = std::move(storage);
      h.dbExpressInUse = true;
#else
      ReportStartupFailure("DBEXPRESS Active=1: this build has no MariaDB/MySQL back-end");
      ReportStartupFailure("Start_Server: unable to open database");
      return false;
#endif
    }
    if (!CreateTables(h.storage.get())) {
      ReportStartupFailure("Start_Server: unable to create tables");
      h.storage.reset();
      return false;
    }
  } catch (const std::exception&) {
    ReportStartupFailure("Start_Server: unable to open database");
    h.storage.reset();
    return false;
  }
  if (!h.dbExpressInUse && !UpgradeDatabase(h.storage.get())) {
    // The upgrade logs its own failure; the operator still needs to know why nothing runs.
    ConsoleError("Start_Server: the database upgrade failed (see the log)");
    h.storage.reset();
    return false;
  }
  std::string error;
  if (!HashPlainPasswords(h.storage.get(), error)) {
    ReportStartupFailure("Start_Server: hashing the stored passwords failed (" + error +
                         "); the database is unchanged");
    h.storage.reset();
    return false;
  }
  return true;
}

void CloseStorage() {
  Host().storage.reset();
}

TServerListRead ReadServerList(TCustomStorage& storage, std::unique_ptr<TStorageContainer>& rows) {
  rows.reset();
  try {
    TStorageScript q(storage, "read_servers.sql");
    if (!q.Loaded()) return TServerListRead::Failed;
    rows = q.Open();
    if (rows) return TServerListRead::Rows;
    return q.OpenFailed() ? TServerListRead::Failed : TServerListRead::Empty;
  } catch (const std::exception& e) {
    LogException("read_servers", e, kServerCategory);
    return TServerListRead::Failed;
  }
}

void StartVirtualServers() {
  TServerHost& h = Host();
  std::unique_ptr<TStorageContainer> rows;
  switch (ReadServerList(*h.storage, rows)) {
    case TServerListRead::Rows:
      StartStoredServers(*rows);
      break;
    case TServerListRead::Empty:
      CreateDefaultServer();
      break;
    case TServerListRead::Failed:
      StartupError("Start_Server: unable to read the virtual servers, none started");
      break;
  }
  if (h.virtualServers->Count() == 0)
    ConsoleLine("No virtual server is running (see the log for why)");
}

void CreateFirstStartAccounts(TCustomStorage& storage, int32_t serverId) {
  TServerHost& h = Host();
  TClients accounts(static_cast<uint32_t>(serverId), &storage);
  StoreGeneratedAccount(accounts, "admin", /*superUser=*/false, serverId, h.adminPassword);
  StoreGeneratedAccount(accounts, "superadmin", /*superUser=*/true, serverId, h.superAdminPassword);
}

}  // namespace vh
