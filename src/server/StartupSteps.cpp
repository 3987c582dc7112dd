#include "server/StartupSteps.h"

#include "common/Log.h"
#include "server/ServerHost.h"
#include "storage/SQLiteStorage.h"
#include "storage/Schema.h"

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
  // Virtual servers land with the voice server.
}

void StartAdministrationInterfaces() {
  // The web interface, the TCP query interface and the web-list poster are not built yet.
}

void StopAdministrationInterfaces() {}

}  // namespace vh
