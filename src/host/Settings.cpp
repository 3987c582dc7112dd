#include "host/Settings.h"

#include <algorithm>
#include <variant>

#include "common/FieldLengths.h"
#include "common/Strings.h"

namespace vh {

namespace {

using TMember = std::variant<int TSettings::*, bool TSettings::*, std::string TSettings::*>;

struct TSettingKey {
  const char* section;
  const char* key;
  TMember member;
  size_t room;    // maximum text length (0: no limit)
  bool trimmed;   // text is trimmed before it is cut
  int writtenAt;  // place among the keys SaveBasicSettings writes back (0: never written)
};

// Every key in the order start-up reads it.
const TSettingKey kReadOrder[] = {
    {"Main Config", "HTTPServer Port", &TSettings::HTTPServerPort, 0, false, 2},
    {"Main Config", "HTTPServer Enabled", &TSettings::HTTPServerEnabled, 0, false, 3},
    {"Main Config", "ExternalIPDectection", &TSettings::ExternalIPDetection, 0, false, 1},
    {"Main Config", "DateTimeFormat", &TSettings::DateTimeFormat, 0, false, 4},
    {"Main Config", "TCPQueryPort", &TSettings::TCPQueryPort, 0, false, 5},
    {"WebPost", "AdminEmail", &TSettings::AdminEmail, kTextLength, true, 6},
    {"WebPost", "ISPLinkURL", &TSettings::ISPLinkURL, kTextLength, true, 7},
    {"WebPost", "ISPName", &TSettings::ISPName, kNameLength, true, 8},
    {"WebPost", "ISPCountryNumber", &TSettings::ISPCountryNumber, 0, false, 9},
    {"WebPost", "Enabled", &TSettings::WebPostEnabled, 0, false, 10},
    {"WebPost", "PostURL", &TSettings::PostURL, kTextLength, false, 11},
    {"WebPost", "ListPublic", &TSettings::ListPublic, 0, false, 12},
    {"WebPost", "UserAgent", &TSettings::UserAgent, 0, false, 13},
    {"Main Config", "AllowedClientNameChars", &TSettings::AllowedClientNameChars, 0, false, 14},
    {"Main Config", "DisAllowedClientNameChars", &TSettings::DisAllowedClientNameChars, 0, false,
     15},
    {"ISP", "GFX URL", &TSettings::GFXURL, kTextLength, false, 0},
    {"log", "access_r", &TSettings::LogAccessRegistered, 0, false, 16},
    {"log", "access_u", &TSettings::LogAccessUnregistered, 0, false, 17},
    {"log", "channel_registerred", &TSettings::LogChannelRegistered, 0, false, 18},
    {"log", "channel_unregisterred", &TSettings::LogChannelUnregistered, 0, false, 19},
    {"log", "sa", &TSettings::LogServerAdmin, 0, false, 20},
    {"log", "chat", &TSettings::LogChat, 0, false, 21},
    {"log", "kick_channel", &TSettings::LogKickChannel, 0, false, 23},
    {"log", "kick_server", &TSettings::LogKickServer, 0, false, 22},
    {"log", "security", &TSettings::LogSecurity, 0, false, 24},
    {"Spam", "max_commands", &TSettings::SpamMaxCommands, 0, false, 25},
    {"Spam", "in_seconds", &TSettings::SpamInSeconds, 0, false, 26},
    {"Main Config", "TrayIdent", &TSettings::TrayIdent, 0, false, 0},
    {"WebPost", "ListHost", &TSettings::ListHost, kTextLength, true, 0},
    {"WebPost", "ListPort", &TSettings::ListPort, 0, false, 0},
    {"Main Config", "ExternalIPURL", &TSettings::ExternalIPURL, kTextLength, true, 0},
    {"WebPost", "AllowPrivateTargets", &TSettings::WebPostAllowPrivateTargets, 0, false, 0},
    {"Metrics", "Enabled", &TSettings::MetricsEnabled, 0, false, 0},
    {"Metrics", "Port", &TSettings::MetricsPort, 0, false, 0},
    {"Metrics", "Address", &TSettings::MetricsAddress, kTextLength, true, 0},
    {"Main Config", "VoiceMaxQueueMs", &TSettings::VoiceMaxQueueMs, 0, false, 0},
    {"Web", "Address", &TSettings::WebAddress, 255, true, 0},
    {"TCPQuery", "Address", &TSettings::TCPQueryAddress, 255, true, 0},
    {"Web", "HTTPS", &TSettings::WebHTTPS, 0, false, 0},
    {"Web", "Certificate", &TSettings::WebCertificate, 0, true, 0},
    {"Web", "PrivateKey", &TSettings::WebPrivateKey, 0, true, 0},
};

}  // namespace

void ReadSettings(const TIniFile& ini, TSettings& s) {
  for (const TSettingKey& k : kReadOrder) {
    if (auto p = std::get_if<int TSettings::*>(&k.member)) {
      s.*(*p) = ini.ReadInteger(k.section, k.key, s.*(*p));
    } else if (auto p = std::get_if<bool TSettings::*>(&k.member)) {
      s.*(*p) = ini.ReadBool(k.section, k.key, s.*(*p));
    } else if (auto p = std::get_if<std::string TSettings::*>(&k.member)) {
      std::string v = ini.ReadString(k.section, k.key, s.*(*p));
      if (k.trimmed) v = Trim(v);
      if (k.room) v = Cut(v, k.room);
      s.*(*p) = std::move(v);
    }
  }
}

std::vector<TIniEdit> SettingsEdits(const TSettings& s) {
  std::vector<const TSettingKey*> written;
  for (const TSettingKey& k : kReadOrder)
    if (k.writtenAt > 0) written.push_back(&k);
  std::sort(written.begin(), written.end(),
            [](const TSettingKey* a, const TSettingKey* b) { return a->writtenAt < b->writtenAt; });
  std::vector<TIniEdit> edits;
  for (const TSettingKey* key : written) {
    const TSettingKey& k = *key;
    std::string value;
    if (auto p = std::get_if<int TSettings::*>(&k.member)) {
      value = std::to_string(s.*(*p));
    } else if (auto p = std::get_if<bool TSettings::*>(&k.member)) {
      value.assign(1, s.*(*p) ? '1' : '0');
    } else if (auto p = std::get_if<std::string TSettings::*>(&k.member)) {
      value = s.*(*p);
    }
    edits.push_back(TIniEdit{k.section, k.key, std::move(value)});
  }
  return edits;
}

}  // namespace vh
