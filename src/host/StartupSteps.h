// The start-up and shutdown steps that bring up the subsystems around the host: database,
// virtual servers, administration interfaces. Called only by Start_Server and ShutdownServer
// on the main thread.
#pragma once

#include "common/IniFile.h"

namespace vh {

// Chooses and opens the back-end, creates missing tables and (SQLite) upgrades the schema.
// Logs its own failure messages; false fails start-up.
bool OpenStorageAndTables(const TIniFile& ini);
void CloseStorage();
// Starts every active virtual server; on the first start creates the default one and the
// "admin" and "superadmin" accounts.
void StartVirtualServers();
void StartAdministrationInterfaces();
void StopAdministrationInterfaces();

}  // namespace vh
