// The host's side of the administration interfaces: builds what they are handed (storage,
// server list, settings snapshot, the "globalset" action) and starts and stops the TCP query
// interface and the web interface. Start and stop run on the main thread; the callbacks run on
// query threads and share the host settings under settingsMutex.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>

#include "admin/AdminContext.h"
#include "admin/MetricsEndpoint.h"
#include "admin/StatisticsHistory.h"
#include "admin/TlsCertificate.h"
#include "admin/tcpquery/TCPQuery.h"
#include "admin/web/WebInterface.h"
#include "common/Console.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "host/HostEnvironment.h"
#include "host/ServerHost.h"
#include "host/StartupSteps.h"
#include "host/WebList.h"
#include "storage/CustomStorage.h"
#include "transport/Clocks.h"

namespace vh {

namespace {

std::unique_ptr<TTCPQuery> gTCPQuery;
std::unique_ptr<TWebInterface> gWebInterface;
std::unique_ptr<TMetricsEndpoint> gMetrics;
std::optional<THttpTls> gWebTls;  // set by PrepareWebCertificate with [Web] HTTPS=1
// The web interface's charts: the last hour of every running virtual server.
TStatisticsHistory gStatistics;

TAdminSettings SettingsSnapshot() {
  const TSettings s = SettingsCopy();
  TAdminSettings a;
  a.DateTimeFormat = s.DateTimeFormat;
  a.ISPName = s.ISPName;
  a.ISPLinkURL = s.ISPLinkURL;
  a.AdminEmail = s.AdminEmail;
  a.ISPCountryNumber = s.ISPCountryNumber;
  a.GFXURL = s.GFXURL;
  a.AllowedClientNameChars = s.AllowedClientNameChars;
  a.DisAllowedClientNameChars = s.DisAllowedClientNameChars;
  a.LogServerAdmin = s.LogServerAdmin;
  a.PostURL = s.PostURL;
  a.WebPostEnabled = s.WebPostEnabled;
  a.ListPublic = s.ListPublic;
  a.SpamMaxCommands = s.SpamMaxCommands;
  a.SpamInSeconds = s.SpamInSeconds;
  return a;
}

// The global settings the administration may change, by lower-case variable name.
bool GlobalSet(const std::string& variable, const std::string& value) {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsMutex);
  if (variable == "hoster_gfx_url")
    h.settings.GFXURL = Cut(value, kTextLength);  // not written back: lasts until the process ends
  else if (variable == "allowedclientnamechars")
    h.settings.AllowedClientNameChars = value;
  else if (variable == "disallowedclientnamechars")
    h.settings.DisAllowedClientNameChars = value;
  else
    return false;
  if (variable != "hoster_gfx_url") {
    SaveBasicSettings(h.settings,
                      {variable == "allowedclientnamechars" ? "AllowedClientNameChars"
                                                            : "DisAllowedClientNameChars"});
  }
  // Running virtual servers apply the new nickname rules and graphic from their next login.
  h.environment.SetPolicy(PolicyFromSettings(h.settings, h.badNames));
  return true;
}

// The web interface's basic settings: [WebPost] and [Spam], written back at once.
void BasicSet(const TAdminSettings& basic) {
  TServerHost& h = Host();
  TLockGuard lock(h.settingsMutex);
  h.settings.AdminEmail = basic.AdminEmail;
  h.settings.ISPLinkURL = basic.ISPLinkURL;
  h.settings.ISPName = basic.ISPName;
  h.settings.ISPCountryNumber = basic.ISPCountryNumber;
  h.settings.PostURL = basic.PostURL;
  h.settings.WebPostEnabled = basic.WebPostEnabled;
  h.settings.ListPublic = basic.ListPublic;
  h.settings.SpamMaxCommands = basic.SpamMaxCommands;
  h.settings.SpamInSeconds = basic.SpamInSeconds;
  SaveBasicSettings(h.settings, {"AdminEmail", "ISPLinkURL", "ISPName", "ISPCountryNumber",
                                 "PostURL", "Enabled", "ListPublic", "max_commands", "in_seconds"});
  h.environment.SetPolicy(PolicyFromSettings(h.settings, h.badNames));
}

// Every stored virtual server this process hosts, with its player limit, for the metrics page
// (on a scrape's thread; the storage lock is taken inside each script). Empty on a failure.
std::vector<TStoredServerFigures> ReadStoredServerFigures() {
  TServerHost& h = Host();
  std::vector<TStoredServerFigures> result;
  if (!h.storage) return result;
  std::unique_ptr<TStorageContainer> rows;
  if (ReadServerList(*h.storage, rows) != TServerListRead::Rows) return result;
  try {
    for (size_t i = 0; i < rows->Count(); ++i) {
      const TStorageRow& row = rows->Row(i);
      TStoredServerFigures s;
      s.id = row.FieldByName("i_server_id").GetAsInteger();
      s.port = static_cast<uint16_t>(row.FieldByName("i_server_udpport").GetAsInteger());
      const auto& hosted = h.hostedServerIds;
      if (!hosted.empty() && std::find(hosted.begin(), hosted.end(), s.id) == hosted.end())
        continue;
      TStorageScript q(*h.storage, "read_server.sql");
      q.SetInteger(":iServerID", s.id);
      auto record = q.Open();
      if (record && record->Count() > 0)
        s.maxPlayers = record->Row(0).FieldByName("i_server_maxusers").GetAsInteger();
      result.push_back(s);
    }
  } catch (const std::exception& e) {
    LogException("Metrics stored servers", e, "Metrics");
    result.clear();
  }
  return result;
}

void StartMetrics() {
  TServerHost& h = Host();
  const TSettings s = SettingsCopy();
  if (!s.MetricsEnabled) return;
  if (s.MetricsPort < 0 || s.MetricsPort > 0xFFFF) {
    ConsoleLine("Metrics endpoint not started: [Metrics] Port=" + std::to_string(s.MetricsPort) +
                " is no port");
    return;
  }
  gMetrics = std::make_unique<TMetricsEndpoint>(*h.virtualServers, h.startTime);
  gMetrics->SetStoredServers(ReadStoredServerFigures);
  if (gMetrics->Start(s.MetricsAddress, static_cast<uint16_t>(s.MetricsPort))) {
    ConsoleLine("Metrics endpoint listening on http://" + s.MetricsAddress + ":" +
                std::to_string(gMetrics->BoundPort()) + "/metrics");
  } else {
    ConsoleLine("Metrics endpoint not started: " + gMetrics->StartFailure());
    gMetrics.reset();
  }
}

}  // namespace

TAdminContext HostAdminContext() {
  TServerHost& h = Host();
  TAdminContext c;
  c.storage = h.storage.get();
  c.servers = h.virtualServers.get();
  c.environment = &h.environment;
  c.logFile = h.logFile;
  c.apiTokenFile =
      (std::filesystem::path(h.settingsFile).parent_path() / "api_tokens.txt").string();
  c.statistics = &gStatistics;
  c.helpDirectory = h.tcpQueryDocsDirectory;
  c.platformLabel = h.platformLabel;
  c.startTimeSeconds = static_cast<int64_t>(h.startTime);
  c.settings = SettingsSnapshot;
  c.globalSet = GlobalSet;
  c.basicSet = BasicSet;
  c.reloadSettings = ReloadSettings;
  return c;
}

bool ReloadSettings() {
  TServerHost& h = Host();
  TIniFile ini;
  bool loaded = false;
  {
    // A file that went missing would read as all defaults: keep the running settings instead.
    TLockGuard fileLock(h.settingsFileMutex);
    std::error_code ec;
    loaded = std::filesystem::is_regular_file(h.settingsFile, ec) && ini.Load(h.settingsFile);
    // Under the same lock: the filter may complete its keys in the file.
    if (loaded) ReloadLogFilter(h.settingsFile);
  }
  if (!loaded) {
    Log(LMT_ERROR, LMD_ALL, "Reload: unable to open server config file: " + h.settingsFile + " ",
        "SERVER");
    return false;
  }
  TSettings fresh;
  try {
    ReadSettings(ini, fresh);
  } catch (const std::exception& e) {
    LogException("Reload", e, "SERVER");
    return false;
  }
  std::vector<std::string> badNames = LoadBadNames(h.badNamesFile);
  bool restartNeeded = false;
  {
    TLockGuard lock(h.settingsMutex);
    TSettings& s = h.settings;
    // What the listening sockets and start-up threads were built from stays until a restart.
    restartNeeded =
        fresh.HTTPServerPort != s.HTTPServerPort || fresh.TCPQueryPort != s.TCPQueryPort ||
        fresh.WebAddress != s.WebAddress || fresh.TCPQueryAddress != s.TCPQueryAddress ||
        fresh.WebHTTPS != s.WebHTTPS || fresh.WebCertificate != s.WebCertificate ||
        fresh.WebPrivateKey != s.WebPrivateKey || fresh.MetricsEnabled != s.MetricsEnabled ||
        fresh.MetricsPort != s.MetricsPort || fresh.MetricsAddress != s.MetricsAddress;
    fresh.HTTPServerPort = s.HTTPServerPort;
    fresh.HTTPServerEnabled = s.HTTPServerEnabled;
    fresh.TCPQueryPort = s.TCPQueryPort;
    fresh.WebAddress = s.WebAddress;
    fresh.TCPQueryAddress = s.TCPQueryAddress;
    fresh.WebHTTPS = s.WebHTTPS;
    fresh.WebCertificate = s.WebCertificate;
    fresh.WebPrivateKey = s.WebPrivateKey;
    fresh.ExternalIPDetection = s.ExternalIPDetection;
    fresh.ExternalIPURL = s.ExternalIPURL;
    fresh.MetricsEnabled = s.MetricsEnabled;
    fresh.MetricsPort = s.MetricsPort;
    fresh.MetricsAddress = s.MetricsAddress;
    s = std::move(fresh);
    h.badNames = std::move(badNames);
    h.environment.SetPolicy(PolicyFromSettings(s, h.badNames));
    SetSecurityLogEnabled(s.LogSecurity);
  }
  Log(LMT_ALL, LMD_INFO, "Settings reloaded from " + h.settingsFile, "server");
  if (restartNeeded)
    Log(LMT_WARNING, LMD_INFO,
        "Reload: changed ports, addresses, [Web] HTTPS and the [Metrics] section take effect "
        "at the next start",
        "server");
  return true;
}

bool PrepareWebCertificate() {
  TServerHost& h = Host();
  gWebTls.reset();
  const TSettings s = SettingsCopy();
  if (!s.WebHTTPS || !s.HTTPServerEnabled) return true;
  THttpTls tls{s.WebCertificate, s.WebPrivateKey};
  try {
    if (tls.certificateFile.empty()) {
      // No certificate named: the server's own, beside the database.
      const std::filesystem::path dir = std::filesystem::path(h.databaseFile).parent_path();
      tls.certificateFile = (dir / "web-certificate.pem").string();
      tls.privateKeyFile = (dir / "web-private-key.pem").string();
      const std::string hostName = CertificateHostName();
      if (EnsureSelfSignedCertificate({tls.certificateFile, tls.privateKeyFile}, hostName))
        Log(LMT_ALL, LMD_INFO,
            "Web interface: made a self-signed certificate for " + hostName + " in " +
                tls.certificateFile,
            "server");
    } else if (tls.privateKeyFile.empty()) {
      throw std::runtime_error("[Web] Certificate is set but [Web] PrivateKey is not");
    }
    CheckCertificateFiles({tls.certificateFile, tls.privateKeyFile});
    const std::string line = "Web interface certificate " + tls.certificateFile +
                             ", SHA-256 fingerprint " + CertificateFingerprint(tls.certificateFile);
    ConsoleLine(line);
    Log(LMT_ALL, LMD_INFO, line, "server");
  } catch (const std::exception& e) {
    ReportStartupFailure(std::string("Start_Server: [Web] HTTPS=1 but ") + e.what());
    return false;
  }
  gWebTls = std::move(tls);
  return true;
}

void StartAdministrationInterfaces() {
  TServerHost& h = Host();
  gStatistics.Start(*h.virtualServers);
  // The listening addresses stay as read at start-up (a reload keeps them), but a reload may
  // run on the web thread as soon as it is up: read through a copy.
  const TSettings s = SettingsCopy();
  if (s.HTTPServerEnabled && s.HTTPServerPort > 0 && s.HTTPServerPort <= 0xFFFF) {
    const auto port = static_cast<uint16_t>(s.HTTPServerPort);
    std::string address = s.WebAddress;
    if (address.empty()) {
      std::vector<TSocketBinding> bindings;
      h.environment.ApplyBoundAddresses(port, bindings);
      address = bindings.empty() ? "::" : bindings.front().address;
    }
    gWebInterface = std::make_unique<TWebInterface>(HostAdminContext(), SystemClock());
    if (gWebInterface->Start(port, h.httpDocsDirectory, address, gWebTls ? &*gWebTls : nullptr)) {
      ConsoleListening("Web interface", gWebInterface->BoundPort());
    } else {
      ConsoleLine("Web interface not started: " + gWebInterface->StartFailure());
      gWebInterface.reset();  // off for the rest of the run
    }
  }
  if (s.TCPQueryPort > 0 && s.TCPQueryPort <= 0xFFFF) {
    gTCPQuery = std::make_unique<TTCPQuery>(HostAdminContext(), SystemClock());
    if (gTCPQuery->Start(static_cast<uint16_t>(s.TCPQueryPort), s.TCPQueryAddress)) {
      ConsoleListening("TCP query", gTCPQuery->BoundPort());
    } else {
      ConsoleLine("TCP query not started: " + gTCPQuery->StartFailure());
      gTCPQuery.reset();  // off for the rest of the run
    }
  } else {
    ConsoleLine("TCP query interface off (TCPQueryPort=" + std::to_string(s.TCPQueryPort) + ")");
  }
  StartWebList();  // after the web interface and the TCP query
  StartMetrics();
}

bool WebInterfaceRunning() {
  return gWebInterface != nullptr;
}

bool TCPQueryRunning() {
  return gTCPQuery != nullptr;
}

void StopAdministrationInterfaces() {
  if (gMetrics) gMetrics->Stop();
  gMetrics.reset();
  if (gWebInterface) gWebInterface->Stop();
  gWebInterface.reset();
  gStatistics.Stop();
  StopWebList();  // after the web interface, before the TCP query
  if (gTCPQuery) gTCPQuery->Stop();
  gTCPQuery.reset();
}

}  // namespace vh
