// The host's side of the administration interfaces: builds what they are handed (storage,
// server list, settings snapshot, the "globalset" action) and starts and stops the TCP query
// interface. Start and stop run on the main thread; the callbacks run on query threads and
// share the host settings under settingsMutex.

#include <memory>
#include <mutex>

#include "admin/AdminContext.h"
#include "admin/tcpquery/TCPQuery.h"
#include "common/Strings.h"
#include "host/HostEnvironment.h"
#include "host/ServerHost.h"
#include "common/Console.h"
#include "host/StartupSteps.h"
#include "host/WebList.h"
#include "transport/PerformanceTime.h"

namespace vh {

namespace {

std::unique_ptr<TTCPQuery> gTCPQuery;
// Guards Host().settings against the administration threads' reads and "globalset" writes
// (the main thread writes them only before the interfaces start).
std::mutex settingsMutex;

TAdminSettings SettingsSnapshot() {
  std::lock_guard lock(settingsMutex);
  const TSettings& s = Host().settings;
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
  return a;
}

// The global settings the administration may change, by lower-case variable name.
bool GlobalSet(const std::string& variable, const std::string& value) {
  TServerHost& h = Host();
  std::lock_guard lock(settingsMutex);
  if (variable == "hoster_gfx_url")
    h.settings.GFXURL = Cut(value, 255);  // not written back: lasts until the process ends
  else if (variable == "allowedclientnamechars")
    h.settings.AllowedClientNameChars = value;
  else if (variable == "disallowedclientnamechars")
    h.settings.DisAllowedClientNameChars = value;
  else
    return false;
  SaveBasicSettings();
  // Running virtual servers apply the new nickname rules and graphic from their next login.
  h.environment.SetPolicy(PolicyFromSettings(h.settings, h.badNames));
  return true;
}

TAdminContext HostAdminContext() {
  TServerHost& h = Host();
  TAdminContext c;
  c.storage = h.storage.get();
  c.servers = h.virtualServers.get();
  c.environment = &h.environment;
  c.logFile = h.logFile;
  c.helpDirectory = h.tcpQueryDocsDirectory;
  c.platformLabel = h.platformLabel;
  c.startTimeSeconds = static_cast<int64_t>(h.startTime);
  c.settings = SettingsSnapshot;
  c.globalSet = GlobalSet;
  return c;
}

}  // namespace

void StartAdministrationInterfaces() {
  TServerHost& h = Host();
  // The web interface and the web-list poster are not built yet.
  if (h.settings.TCPQueryPort > 0 && h.settings.TCPQueryPort <= 0xFFFF) {
    gTCPQuery = std::make_unique<TTCPQuery>(HostAdminContext(), SystemClock());
    if (gTCPQuery->Start(static_cast<uint16_t>(h.settings.TCPQueryPort)))
      ConsoleListening("TCP query", gTCPQuery->BoundPort());
    else
      ConsoleLine("TCP query not started on TCP port " + std::to_string(h.settings.TCPQueryPort) +
                  " (see the log)");
  } else {
    ConsoleLine("TCP query interface off (TCPQueryPort=" +
                std::to_string(h.settings.TCPQueryPort) + ")");
  }
  StartWebList();  // last: after the web interface and the TCP query
}

void StopAdministrationInterfaces() {
  StopWebList();  // after the web interface, before the TCP query
  if (gTCPQuery) gTCPQuery->Stop();
  gTCPQuery.reset();
}

}  // namespace vh
