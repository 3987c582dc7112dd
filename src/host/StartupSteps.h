// The start-up and shutdown steps that bring up the subsystems around the host: database,
// virtual servers, first-start accounts, administration interfaces. Called only by
// Start_Server and ShutdownServer (see ServerHost.h for their threads); the desktop shell
// asks WebInterfaceRunning on its GUI thread once start-up has returned.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "admin/AdminContext.h"
#include "common/IniFile.h"

namespace vh {

class TCustomStorage;
class TStorageContainer;

// A failure that stops start-up: logged (kind ERROR, depth All, category "SERVER") and
// written to standard error.
void ReportStartupFailure(const std::string& message);

// Chooses and opens the back-end, creates missing tables and (SQLite) upgrades the schema.
// Reports its own failures; false fails start-up. The MariaDB/MySQL back-end may write its
// [DBEXPRESS] defaults into `ini`, which start-up saves afterwards.
bool OpenStorageAndTables(TIniFile& ini);
void CloseStorage();

// What "read_servers.sql" gave. Only an empty table is a first start: a missing script or an
// SQL error (a locked database) must never create a second default server.
enum class TServerListRead { Rows, Empty, Failed };
TServerListRead ReadServerList(TCustomStorage& storage, std::unique_ptr<TStorageContainer>& rows);

// Starts every active virtual server; on the first start creates the default one and the
// "admin" and "superadmin" accounts. Each server started or not started gets a console line.
void StartVirtualServers();

// Stores the "admin" account of virtual server `serverId` and the "superadmin" super user,
// each with a fresh password. A password is announced (in the log whatever its filter says,
// and on the console) and kept for the desktop shell only when its account was stored.
void CreateFirstStartAccounts(TCustomStorage& storage, int32_t serverId);

// With [Web] HTTPS=1: checks the named certificate and key, or makes the self-signed pair
// beside the database at the first start, and prints its fingerprint. False (the reason
// reported) when the web interface could not serve HTTPS; start-up then stops.
bool PrepareWebCertificate();

// What the administration interfaces are handed: storage, server list, the settings snapshot
// and the actions that change the host's settings ("globalset", the web's basic settings).
TAdminContext HostAdminContext();

// Also the metrics endpoint when [Metrics] Enabled is set.
void StartAdministrationInterfaces();
void StopAdministrationInterfaces();
// The web interface started and serves (it is off when disabled or when its start failed).
bool WebInterfaceRunning();
// The TCP query interface listens (it is off when its port is 0 or when its start failed).
bool TCPQueryRunning();

// Reads the settings file and the bad-names list again and applies what can change while the
// server runs (nickname rules, audit-log switches, flood limits, web-list keys, the log
// filter); ports and the metrics endpoint keep their values until a restart. Shared by the TCP
// query's "rehash" and the reload signal. False (logged) when the file cannot be read.
bool ReloadSettings();

}  // namespace vh
