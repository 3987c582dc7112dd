#include "host/StartupSteps.h"

#include "common/Log.h"
#include "host/ServerHost.h"
#include "model/Clients.h"
#include "storage/Schema.h"
#include "storage/sqlite/SQLiteStorage.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {
void StartupError(const std::string& message) {
  Log(LMT_ERROR, LMD_ALL, message, "SERVER");
}
}  // namespace

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
      Log(LMT_ERROR, LMD_ALL, "DBEXPRESS Active=1 selects a database back-end this build lacks",
          "SERVER");
      StartupError("Start_Server: unable to open database");
      return false;
    }
    if (!CreateTables(h.storage.get())) {
      StartupError("Start_Server: unable to create tables");
      h.storage.reset();
      return false;
    }
  } catch (const std::exception&) {
    StartupError("Start_Server: unable to open database");
    h.storage.reset();
    return false;
  }
  if (!h.dbExpressInUse && !UpgradeDatabase(h.storage.get())) {
    h.storage.reset();
    return false;
  }
  return true;
}

void CloseStorage() {
  Host().storage.reset();
}

void StartVirtualServers() {
  TServerHost& h = Host();
  std::unique_ptr<TStorageContainer> rows;
  try {
    TStorageScript q(*h.storage, "read_servers.sql");
    rows = q.Open();
  } catch (const std::exception& e) {
    LogException("read_servers", e, "SERVER");
  }
  if (rows) {
    for (size_t i = 0; i < rows->Count(); ++i) {
      int32_t id = 0;
      try {
        const TStorageRow& row = rows->Row(i);
        id = row.FieldByName("i_server_id").GetAsInteger();
        if (!row.FieldByName("b_server_active").GetAsBoolean()) continue;
        auto server = std::make_shared<TServerObject>(h.storage.get(), h.virtualServers.get(),
                                                      &h.environment);
        server->Start(id, 0);  // a failed start leaves the server out of the list
      } catch (const std::exception& e) {
        Log(LMT_ERROR, LMD_ALL,
            "VirtualServer Startup(" + std::to_string(id) +
                ") Exception: " + ExceptionClassName(e) + "." + e.what(),
            "SERVER");
      }
    }
    return;
  }
  // The very first start: a default virtual server and the two administrator accounts.
  auto server =
      std::make_shared<TServerObject>(h.storage.get(), h.virtualServers.get(), &h.environment);
  server->Start(0, kDefaultServerPort);
  Log(LMT_WARNING, LMD_INFO, "Default VirtualServer created", "SERVER");
  TClients accounts(static_cast<uint32_t>(server->ServerID()), h.storage.get());
  TClientRecord admin;
  admin.LoginName = "admin";
  admin.Password = RandomPassword(6);
  admin.PlayerPrivileges = PP_SERVER_ADMIN;
  accounts.DBAddUser(static_cast<uint32_t>(server->ServerID()), &admin);
  h.adminPassword = admin.Password.Str();
  Log(LMT_WARNING, LMD_INFO, "admin account info: username: admin password: " + h.adminPassword,
      "SERVER");
  TClientRecord superAdmin;
  superAdmin.LoginName = "superadmin";
  superAdmin.Password = RandomPassword(6);
  superAdmin.PlayerPrivileges = PP_SUPER_SERVER_ADMIN;
  accounts.DBAddSuperUser(&superAdmin);
  h.superAdminPassword = superAdmin.Password.Str();
  Log(LMT_WARNING, LMD_INFO,
      "superadmin account info: username: superadmin password: " + h.superAdminPassword, "SERVER");
  if (!server->Running()) {
    Log(LMT_WARNING, LMD_INFO, "there is no VirtualServer running!", "SERVER");
    h.virtualServers->Remove(server.get());
  }
}

}  // namespace vh
