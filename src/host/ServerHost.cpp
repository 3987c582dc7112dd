#include "host/ServerHost.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Console.h"
#include "common/Log.h"
#include "common/Random.h"
#include "common/SecurityLog.h"
#include "common/SocketBinding.h"
#include "common/Strings.h"
#include "host/CommandLine.h"
#include "host/ServiceManager.h"
#include "host/StartupSteps.h"
#include "storage/CustomStorage.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

std::vector<std::string> gProgramArguments;  // set by main before Start_Server

constexpr const char* kServerCategory = "SERVER";

void StartupError(const std::string& message) {
  Log(LMT_ERROR, LMD_ALL, message, kServerCategory);
}

double NowSeconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string JoinPath(const std::string& dir, const char* name) {
  return dir + "/" + name;
}

// A data directory shipped with the program: beside it (a build tree), else where an
// installation puts it relative to the program, else beside it again (for the error message).
std::string DataDirectory(const std::string& programDir, const char* name) {
  const std::string beside = JoinPath(programDir, name);
  std::error_code ec;
  if (std::filesystem::is_directory(beside, ec)) return beside;
  const std::string installed = programDir + "/" VH_INSTALLED_DATA_FROM_PROGRAM "/" + name;
  if (std::filesystem::is_directory(installed, ec)) return installed;
  return beside;
}

void WritePidFile(const std::string& path) {
  if (path.empty()) return;
  std::ofstream out(path, std::ios::trunc);
  if (out) out << ::getpid() << "\n";
}

// Every path the command line left unset gets its default: beside the program in a build
// tree, the system's directories for an installed program (those of the service unit).
void AssignPaths(const TCommandLine& cl) {
  TServerHost& h = Host();
  const std::string dir = ProgramDirectory();
  const TDefaultFiles files = DefaultFiles(dir);
  h.settingsFile = cl.settingsFile.value_or(files.settings);
  h.databaseFile = cl.databaseFile.value_or(files.database);
  h.logFile = cl.logFile.value_or(files.log);
  h.installedDefaults = files.installed && !(cl.settingsFile && cl.databaseFile && cl.logFile);
  h.pidFile = cl.pidFile.value_or("");
  h.sqlDirectory = cl.sqlDirectory.value_or(DataDirectory(dir, "sqlite_sql") + "/");
  h.sqlDirectoryGiven = cl.sqlDirectory.has_value();
  h.mysqlSqlDirectory = DataDirectory(dir, "mysql_sql") + "/";
  h.badNamesFile = cl.badNamesFile.value_or(files.badNames);
  h.httpDocsDirectory = cl.httpDocsDirectory.value_or(DataDirectory(dir, "httpdocs"));
  h.tcpQueryDocsDirectory = cl.tcpQueryDocsDirectory.value_or(DataDirectory(dir, "tcpquerydocs"));
  h.noPasswordDialog = cl.noPasswordDialog;
}

// Creates the log (unless one is installed already), writes the version to it and tells the
// operator which files this run uses.
void OpenLogAndAnnounce() {
  TServerHost& h = Host();
  if (!LogExists()) CreateLog(h.settingsFile, h.logFile);
  Log(LMT_ALL, LMD_INFO, "Server init initialized", "server");
  Log(LMT_ALL, LMD_INFO, "Server version: " + kVersion.Text() + " " + h.platformLabel, "server");
  ConsoleLine(VersionLine());
  if (h.installedDefaults)
    ConsoleLine(std::string("Installed program: files not named by -ini=, -db=, -log= are in ") +
                kInstalledSettingsDirectory + ", " + kInstalledStateDirectory + " and " +
                kInstalledLogDirectory);
  ConsoleLine("Settings file: " + h.settingsFile);
  ConsoleLine("Database file: " + h.databaseFile);
  ConsoleLine("Log file:      " +
              (h.logFile == kStandardErrorLog ? std::string("standard error") : h.logFile));
}

// Interface holders cleared, every setting at its default, no first-start passwords.
void ResetSettingsAndPasswords() {
  TServerHost& h = Host();
  {
    TLockGuard lock(h.settingsMutex);
    h.settings = TSettings{};
  }
  h.adminPassword.clear();
  h.superAdminPassword.clear();
}

bool ReadSettingsFile(const TIniFile& ini) {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsMutex);
  try {
    ReadSettings(ini, h.settings);
  } catch (const std::exception&) {
    ReportStartupFailure("Start_Server: error in config file");
    return false;
  }
  h.environment.SetPolicy(PolicyFromSettings(h.settings, h.badNames));
  SetSecurityLogEnabled(h.settings.LogSecurity);
  return true;
}

// Adds every written-back key the file lacks, so a missing or partial file is complete
// afterwards; what the file holds already stays as the operator wrote it.
void CompleteSettingsFile() {
  if (!SaveBasicSettings({}, /*onlyMissing=*/true))
    ConsoleError("Could not write " + Host().settingsFile +
                 "; it was left as it was (see the log)");
}

}  // namespace

bool InstalledLayout(const std::string& programDir) {
  std::error_code ec;
  return !std::filesystem::is_directory(JoinPath(programDir, "sqlite_sql"), ec) &&
         std::filesystem::is_directory(
             programDir + "/" VH_INSTALLED_DATA_FROM_PROGRAM "/sqlite_sql", ec);
}

TDefaultFiles DefaultFiles(const std::string& programDir) {
  TDefaultFiles f;
  f.installed = InstalledLayout(programDir);
  const std::string settings = f.installed ? kInstalledSettingsDirectory : programDir;
  const std::string state = f.installed ? kInstalledStateDirectory : programDir;
  const std::string logs = f.installed ? kInstalledLogDirectory : programDir;
  f.settings = JoinPath(settings, "server.ini");
  f.database = JoinPath(state, "server.dbs");
  f.badNames = JoinPath(state, "bad_names.txt");
  f.log = JoinPath(logs, "server.log");
  return f;
}

TServerHost& Host() {
  static TServerHost host;
  return host;
}

TSettings SettingsCopy() {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsMutex);
  return h.settings;
}

void SetProgramArguments(std::vector<std::string> args) {
  gProgramArguments = std::move(args);
}

std::string ProgramDirectory() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash);
  if (dir.empty() || dir.rfind("./", 0) == 0) {
    char cwd[4096];
    dir = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
  }
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

std::string VersionLine() {
  return "Version Voxhollow v" + kVersion.Text() + " " + Host().platformLabel;
}

std::vector<std::string> LoadBadNames(const std::string& path) {
  std::vector<std::string> names;
  {
    std::ifstream in(path);
    std::string line;
    while (in && std::getline(in, line)) {
      while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
      if (!line.empty()) names.push_back(line);
    }
  }
  if (names.empty()) {
    names.push_back("server");
    std::ofstream out(path, std::ios::trunc);  // a failure to save is ignored
    if (out) out << "server\n";
    return names;
  }
  bool hasServer = false;
  for (const std::string& n : names) hasServer = hasServer || EqualsIgnoreCase(n, "server");
  if (!hasServer) names.push_back("server");
  return names;
}

bool SaveBasicSettings(const std::vector<std::string>& keys, bool onlyMissing) {
  return SaveBasicSettings(SettingsCopy(), keys, onlyMissing);
}

bool SaveBasicSettings(const TSettings& settings, const std::vector<std::string>& keys,
                       bool onlyMissing) {
  TServerHost& h = Host();
  std::vector<TIniEdit> edits;
  for (TIniEdit& e : SettingsEdits(settings)) {
    bool wanted = keys.empty();
    for (const std::string& k : keys) wanted = wanted || EqualsIgnoreCase(k, e.key);
    if (!wanted) continue;
    e.onlyIfMissing = onlyMissing;
    edits.push_back(std::move(e));
  }
  TLockGuard lock(h.settingsFileMutex);
  std::string error;
  if (!UpdateIniFile(h.settingsFile, edits, error)) {
    StartupError("SaveBasicSettings: unable to write server config file: " + error);
    return false;
  }
  return true;
}

void ApplyBoundAddresses(uint16_t port, std::vector<TSocketBinding>& bindings) {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsFileMutex);
  TIniFile ini;
  if (!ini.Load(h.settingsFile)) {
    StartupError("Start_Server: unable to open server config file: " + h.settingsFile + " ");
    return;
  }
  std::string single = Trim(ini.ReadString("Main Config", "BoundToIp", ""));
  if (!single.empty()) {
    bindings.assign(1, TSocketBinding{single, port});
    h.boundAddress = single;
  } else {
    std::vector<std::string> addresses;
    for (int i = 1;; ++i) {
      std::string a = Trim(ini.ReadString("Main Config", "BoundToIp" + std::to_string(i), ""));
      if (a.empty()) break;
      addresses.push_back(a);
    }
    if (!addresses.empty()) {
      bindings.clear();
      for (const std::string& a : addresses) bindings.push_back(TSocketBinding{a, port});
      h.boundAddress = addresses.front();
    }
  }
  // Every virtual server's socket comes here at start: the file is written only when it
  // changes, so that a thousand servers do not rewrite (and flush) it a thousand times.
  const char* const absent = "\x01";
  const bool migrate = ini.ReadString("Main Config", "BoundToIp", absent) != absent;
  if (!migrate && ini.ReadString("Main Config", "BoundToIp1", absent) == h.boundAddress) return;
  std::string error;
  if (!UpdateIniFile(h.settingsFile,
                     {TIniEdit{"Main Config", "BoundToIp", std::nullopt},
                      TIniEdit{"Main Config", "BoundToIp1", h.boundAddress}},
                     error))
    StartupError("ApplyBoundAddresses: unable to write server config file: " + error);
}

TStartOutcome Start_Server() {
  TServerHost& h = Host();
  h.startTime = NowSeconds();  // the random source needs no seed
  h.platformLabel = UnscramblePlatformLabel(kScrambledPlatformLabel);
  TCommandLine cl = ParseCommandLine(gProgramArguments, VersionLine());
  if (cl.exitText) {
    h.exitText = *cl.exitText;
    return TStartOutcome::ExitRequested;
  }
  AssignPaths(cl);
  WritePidFile(h.pidFile);
  OpenLogAndAnnounce();
  ResetSettingsAndPasswords();
  h.badNames = LoadBadNames(h.badNamesFile);
  TIniFile ini;
  if (!ini.Load(h.settingsFile)) {
    ReportStartupFailure("Start_Server: unable to open server config file: " + h.settingsFile +
                         " ");
    return TStartOutcome::Failed;
  }
  if (!OpenStorageAndTables(ini)) return TStartOutcome::Failed;
  if (!ReadSettingsFile(ini)) return TStartOutcome::Failed;
  CompleteSettingsFile();
  if (!PrepareWebCertificate()) return TStartOutcome::Failed;
  h.virtualServers = std::make_unique<TVirtualServerList>();
  StartVirtualServers();
  StartAdministrationInterfaces();
  if (h.virtualServers->Count() == 0 && !WebInterfaceRunning() && !TCPQueryRunning()) {
    // A process that serves nothing must not look healthy: the service manager restarts it.
    ReportStartupFailure(
        "Start_Server: nothing to serve: no virtual server is running and no administration "
        "interface is listening");
    return TStartOutcome::Failed;
  }
  // The settings file is not written again here: it was completed above, and this copy
  // predates what the sockets' ApplyBoundAddresses wrote since (the BoundToIp migration).
  Log(LMT_ALL, LMD_INFO, "Server init finished", "server");
  NotifyServiceManager("READY=1");
  return TStartOutcome::Started;
}

void ShutdownServer() {
  TServerHost& h = Host();
  NotifyServiceManager("STOPPING=1");
  Log(LMT_ALL, LMD_INFO, "Server shutdown initialized", "server");
  if (h.virtualServers) h.virtualServers->StopVirtualServers(0);
  StopAdministrationInterfaces();
  h.virtualServers.reset();
  CloseStorage();
  h.badNames.clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  Log(LMT_ALL, LMD_INFO, "Server shutdown finished", "server");
  if (!h.pidFile.empty()) std::remove(h.pidFile.c_str());
  DestroyLog();
  ConsoleLine("Server stopped");
}

}  // namespace vh
