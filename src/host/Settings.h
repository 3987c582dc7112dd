// The process-wide settings read from "server.ini" at start-up and written back by
// SaveBasicSettings. Read at start-up on the main thread; afterwards every thread reads them
// through SettingsCopy, and the administration threads change a few under the host's
// settingsMutex (host/ServerHost.h).
#pragma once

#include <string>
#include <vector>

#include "common/IniFile.h"
#include "vserver/VServerEnvironment.h"

namespace vh {

struct TSettings : TAuditSwitches {
  // [Main Config]
  int HTTPServerPort = 14534;
  bool HTTPServerEnabled = true;
  bool ExternalIPDetection = true;  // key "ExternalIPDectection"
  std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
  int TCPQueryPort = 51234;
  std::string AllowedClientNameChars;
  std::string DisAllowedClientNameChars = "()[]{}";
  std::string TrayIdent;
  // [WebPost]
  std::string AdminEmail = "na";
  std::string ISPLinkURL = "na";
  std::string ISPName = "Private";
  int ISPCountryNumber = 0;
  bool WebPostEnabled = true;
  std::string PostURL;
  bool ListPublic = true;
  std::string UserAgent = "voxhollow";
  // Where the web-list record goes and which page echoes the caller's address; the operator
  // sets them (read only, never written back). No list host: no record; no page: no external
  // address.
  std::string ListHost;
  int ListPort = 45647;
  std::string ExternalIPURL;  // [Main Config]
  // [WebPost] AllowPrivateTargets: web-list posts may go to loopback, private and link-local
  // addresses (read only, never written back; off unless the super admin sets it).
  bool WebPostAllowPrivateTargets = false;
  // [ISP]
  std::string GFXURL;
  // [log]: the audit switches (TAuditSwitches, the base) and:
  // Failed logins, throttling and administrator logins (category "Security"); on unless
  // switched off, whatever the [debug] filter says.
  bool LogSecurity = true;
  // [Spam]
  int SpamMaxCommands = 10;
  int SpamInSeconds = 2;
  // [Metrics]: the monitoring endpoint (read only, never written back; off unless enabled).
  bool MetricsEnabled = false;
  int MetricsPort = 9767;
  std::string MetricsAddress = "127.0.0.1";
  // [Web] and [TCPQuery] Address: the one address each administration interface listens on
  // (read only, never written back); empty: as before, every address (or BoundToIp's).
  std::string WebAddress;
  std::string TCPQueryAddress;
  // [Web] HTTPS, Certificate, PrivateKey: the web interface over TLS only, with these PEM
  // files; with no certificate named, a self-signed one kept beside the database (read only).
  bool WebHTTPS = false;
  std::string WebCertificate;
  std::string WebPrivateKey;
  // [Main Config] VoiceMaxQueueMs: voice that waited longer in a player's queue is dropped
  // when its turn comes (0 = never); read only, never written back.
  int VoiceMaxQueueMs = 300;
};

// Reads every key from HTTPServer Port through TrayIdent, in start-up order; a missing or
// unreadable value yields the default. Texts with a room are cut (and trimmed where noted).
void ReadSettings(const TIniFile& ini, TSettings& settings);
// The written-back keys with their values, in their fixed order (GFX URL, TrayIdent and the
// DBEXPRESS keys are never written).
std::vector<TIniEdit> SettingsEdits(const TSettings& settings);

}  // namespace vh
