// The process-wide spine of the server: paths, settings, storage, bad names, the list of
// running virtual servers, start-up and shutdown. Start_Server runs on the main thread (in the
// desktop shell on its start-up thread, joined before anything reads the state) and
// ShutdownServer on the main thread; the administration threads and the desktop shell's GUI
// thread read the state afterwards (settings through SettingsCopy, the virtual-server list
// under its own lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/Random.h"
#include "common/Strings.h"
#include "common/Version.h"
#include "host/HostEnvironment.h"
#include "host/Settings.h"
#include "vserver/VirtualServerList.h"

namespace vh {

class TCustomStorage;
struct TSocketBinding;

struct TServerHost {
  // Paths; set at start-up from the command line or their defaults.
  std::string databaseFile, settingsFile, pidFile, httpDocsDirectory, tcpQueryDocsDirectory,
      sqlDirectory, logFile, badNamesFile;
  double startTime = 0;  // seconds since the epoch, for uptime
  std::string platformLabel;
  bool noPasswordDialog = false;
  std::string mysqlSqlDirectory;   // the MariaDB/MySQL scripts shipped with the program
  bool sqlDirectoryGiven = false;  // -SQL= named it; [DBEXPRESS] does not replace it then
  bool installedDefaults = false;  // an installed program took a system directory's default

  TSettings settings GUARDED_BY(settingsMutex);
  std::unique_ptr<TCustomStorage> storage;
  bool dbExpressInUse = false;
  // [DBEXPRESS] VirtualServers: the ids this process hosts when several processes share one
  // database; empty: every active virtual server. Set at start-up.
  std::vector<int32_t> hostedServerIds;
  std::unique_ptr<TVirtualServerList> virtualServers;
  std::vector<std::string> badNames;
  // What every virtual server is handed: the rules above and the bound addresses.
  THostEnvironment environment;
  std::string boundAddress;
  // The generated passwords of the first start, kept for the desktop shell.
  std::string adminPassword, superAdminPassword;
  // The version or help text a request on the command line asked for; the program shows it.
  std::string exitText;
  // Set by the desktop shell before start-up: it finds the external address itself (for its
  // address menu), so start-up does not run the console's check.
  bool desktopShell = false;

  // Guards `settings` and `badNames` once the administration interfaces run: their threads,
  // the web-list poster and a reload read and change them under it (a reload replaces the
  // whole struct), and every other thread reads them through SettingsCopy.
  TMutex settingsMutex;
  // Serialises SaveBasicSettings writers (administration threads); taken after settingsMutex,
  // never before it.
  TMutex settingsFileMutex ACQUIRED_AFTER(settingsMutex);
};

// The one process-wide instance.
TServerHost& Host();

// A copy of Host().settings taken under settingsMutex: how a thread other than the one running
// start-up or a reload reads them.
TSettings SettingsCopy();

// Sets the arguments (without the program name) that ParseCommandLine examines.
void SetProgramArguments(std::vector<std::string> args);

// What start-up ended with; main() turns it into the process's exit.
enum class TStartOutcome {
  Started,        // serving until a stop signal; ShutdownServer ends it
  ExitRequested,  // a version or help request: the program shows exitText, exit 0
  Failed,         // the reason is in the log and on standard error: shut down, exit 1
};

TStartOutcome Start_Server();
void ShutdownServer();
// Writes the written-back settings named in `keys` (by key name; empty: all of them) into the
// settings file as it is on disk now, under settingsFileMutex: every other line of the file,
// edits made since the last reload included, stays. `onlyMissing` adds only keys the file
// lacks. False (and logged) when the file could not be read or written; a failed write leaves
// the old file as it was. A writer that changed Host().settings under settingsMutex passes
// them while it still holds it, so the file gets what memory holds; the short form writes a
// copy and must not be called with settingsMutex held.
bool SaveBasicSettings(const TSettings& settings, const std::vector<std::string>& keys,
                       bool onlyMissing = false);
bool SaveBasicSettings(const std::vector<std::string>& keys, bool onlyMissing = false);

std::string ProgramDirectory();

// Where an installed program keeps its files unless the command line names them: the
// directories the service unit, sysusers.d and tmpfiles.d set up.
inline constexpr const char* kInstalledSettingsDirectory = "/etc/voxhollow";
inline constexpr const char* kInstalledStateDirectory = "/var/lib/voxhollow";
inline constexpr const char* kInstalledLogDirectory = "/var/log/voxhollow";

// An installed program: no data directories beside it, but where an installation puts them
// (share/voxhollow). A build tree has them beside the program.
bool InstalledLayout(const std::string& programDir);

struct TDefaultFiles {
  bool installed = false;
  std::string settings, database, badNames, log;
};
// The files a program in `programDir` uses by default: beside it in a build tree, the
// system's directories when installed.
TDefaultFiles DefaultFiles(const std::string& programDir);
std::string VersionLine();
// Loads the bad-names list: a missing or empty file is rewritten with "server"; "server" is
// always in the list.
std::vector<std::string> LoadBadNames(const std::string& path);
// Reads the BoundToIp keys, fills `bindings` (unchanged when no address is configured),
// migrates BoundToIp to BoundToIp1 and remembers the bound address.
void ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings);

}  // namespace vh
