#include "host/StartupSteps.h"

#include "common/Console.h"
#include "common/Log.h"
#include "common/Random.h"
#include "common/ResultCodes.h"
#include "host/ServerHost.h"
#include "host/WebList.h"
#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
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

// Stores one generated account; announces its password only when the account was stored.
bool StoreGeneratedAccount(TClients& accounts, const char* loginName, bool superUser,
                           int32_t serverId, std::string& password) {
  TClientRecord record;
  record.LoginName = loginName;
  record.Password = RandomPassword(6);
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

bool OpenStorageAndTables(const TIniFile& ini) {
  TServerHost& h = Host();
  try {
    if (ini.ReadString("DBEXPRESS", "Active", "") != "1") {
      h.storage = std::make_unique<TSQLiteStorage>(h.databaseFile, h.sqlDirectory);
      h.dbExpressInUse = false;
    } else {
      // The MySQL back-end is not part of this build yet: refuse rather than silently
      // falling back to another database.
      std::string sqlDir = ini.ReadString("DBEXPRESS", "sqldir", "");
      if (!sqlDir.empty()) h.sqlDirectory = sqlDir;
      ReportStartupFailure("DBEXPRESS Active=1 selects a database back-end this build lacks");
      ReportStartupFailure("Start_Server: unable to open database");
      return false;
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

void StartAdministrationInterfaces() {
  // The web interface and the TCP query interface are not built yet; each reports its port
  // through ConsoleListening once it serves.
  ConsoleLine("No administration interface in this build (TCP query and web come later)");
  StartWebList();  // last: after the web interface and the TCP query
}

void StopAdministrationInterfaces() {
  StopWebList();  // after the web interface, before the TCP query
}

}  // namespace vh
