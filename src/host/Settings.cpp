#include "host/Settings.h"

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
  size_t room;   // maximum text length (0: no limit)
  bool trimmed;  // text is trimmed before it is cut
};

// Every key in the order start-up reads it.
const TSettingKey kReadOrder[] = {
    {"Main Config", "HTTPServer Port", &TSettings::HTTPServerPort, 0, false},
    {"Main Config", "HTTPServer Enabled", &TSettings::HTTPServerEnabled, 0, false},
    {"Main Config", "ExternalIPDectection", &TSettings::ExternalIPDetection, 0, false},
    {"Main Config", "DateTimeFormat", &TSettings::DateTimeFormat, 0, false},
    {"Main Config", "TCPQueryPort", &TSettings::TCPQueryPort, 0, false},
    {"WebPost", "AdminEmail", &TSettings::AdminEmail, kTextLength, true},
    {"WebPost", "ISPLinkURL", &TSettings::ISPLinkURL, kTextLength, true},
    {"WebPost", "ISPName", &TSettings::ISPName, kNameLength, true},
    {"WebPost", "ISPCountryNumber", &TSettings::ISPCountryNumber, 0, false},
    {"WebPost", "Enabled", &TSettings::WebPostEnabled, 0, false},
    {"WebPost", "PostURL", &TSettings::PostURL, kTextLength, false},
    {"WebPost", "ListPublic", &TSettings::ListPublic, 0, false},
    {"WebPost", "UserAgent", &TSettings::UserAgent, 0, false},
    {"Main Config", "AllowedClientNameChars", &TSettings::AllowedClientNameChars, 0, false},
    {"Main Config", "DisAllowedClientNameChars", &TSettings::DisAllowedClientNameChars, 0, false},
    {"ISP", "GFX URL", &TSettings::GFXURL, kTextLength, false},
    {"log", "access_r", &TSettings::LogAccessRegistered, 0, false},
    {"log", "access_u", &TSettings::LogAccessUnregistered, 0, false},
    {"log", "channel_registerred", &TSettings::LogChannelRegistered, 0, false},
    {"log", "channel_unregisterred", &TSettings::LogChannelUnregistered, 0, false},
    {"log", "sa", &TSettings::LogServerAdmin, 0, false},
    {"log", "chat", &TSettings::LogChat, 0, false},
    {"log", "kick_channel", &TSettings::LogKickChannel, 0, false},
    {"log", "kick_server", &TSettings::LogKickServer, 0, false},
    {"log", "security", &TSettings::LogSecurity, 0, false},
    {"Spam", "max_commands", &TSettings::SpamMaxCommands, 0, false},
    {"Spam", "in_seconds", &TSettings::SpamInSeconds, 0, false},
    {"Main Config", "TrayIdent", &TSettings::TrayIdent, 0, false},
    {"WebPost", "ListHost", &TSettings::ListHost, kTextLength, true},
    {"WebPost", "ListPort", &TSettings::ListPort, 0, false},
    {"Main Config", "ExternalIPURL", &TSettings::ExternalIPURL, kTextLength, true},
    {"WebPost", "AllowPrivateTargets", &TSettings::WebPostAllowPrivateTargets, 0, false},
    {"Metrics", "Enabled", &TSettings::MetricsEnabled, 0, false},
    {"Metrics", "Port", &TSettings::MetricsPort, 0, false},
    {"Metrics", "Address", &TSettings::MetricsAddress, kTextLength, true},
    {"Main Config", "VoiceMaxQueueMs", &TSettings::VoiceMaxQueueMs, 0, false},
    {"Web", "Address", &TSettings::WebAddress, 255, true},
    {"TCPQuery", "Address", &TSettings::TCPQueryAddress, 255, true},
    {"Web", "HTTPS", &TSettings::WebHTTPS, 0, false},
    {"Web", "Certificate", &TSettings::WebCertificate, 0, true},
    {"Web", "PrivateKey", &TSettings::WebPrivateKey, 0, true},
};

// The keys SaveBasicSettings writes, in its order.
const TSettingKey kWriteOrder[] = {
    {"Main Config", "ExternalIPDectection", &TSettings::ExternalIPDetection, 0, false},
    {"Main Config", "HTTPServer Port", &TSettings::HTTPServerPort, 0, false},
    {"Main Config", "HTTPServer Enabled", &TSettings::HTTPServerEnabled, 0, false},
    {"Main Config", "DateTimeFormat", &TSettings::DateTimeFormat, 0, false},
    {"Main Config", "TCPQueryPort", &TSettings::TCPQueryPort, 0, false},
    {"WebPost", "AdminEmail", &TSettings::AdminEmail, 0, false},
    {"WebPost", "ISPLinkURL", &TSettings::ISPLinkURL, 0, false},
    {"WebPost", "ISPName", &TSettings::ISPName, 0, false},
    {"WebPost", "ISPCountryNumber", &TSettings::ISPCountryNumber, 0, false},
    {"WebPost", "Enabled", &TSettings::WebPostEnabled, 0, false},
    {"WebPost", "PostURL", &TSettings::PostURL, 0, false},
    {"WebPost", "ListPublic", &TSettings::ListPublic, 0, false},
    {"WebPost", "UserAgent", &TSettings::UserAgent, 0, false},
    {"Main Config", "AllowedClientNameChars", &TSettings::AllowedClientNameChars, 0, false},
    {"Main Config", "DisAllowedClientNameChars", &TSettings::DisAllowedClientNameChars, 0, false},
    {"log", "access_r", &TSettings::LogAccessRegistered, 0, false},
    {"log", "access_u", &TSettings::LogAccessUnregistered, 0, false},
    {"log", "channel_registerred", &TSettings::LogChannelRegistered, 0, false},
    {"log", "channel_unregisterred", &TSettings::LogChannelUnregistered, 0, false},
    {"log", "sa", &TSettings::LogServerAdmin, 0, false},
    {"log", "chat", &TSettings::LogChat, 0, false},
    {"log", "kick_server", &TSettings::LogKickServer, 0, false},
    {"log", "kick_channel", &TSettings::LogKickChannel, 0, false},
    {"log", "security", &TSettings::LogSecurity, 0, false},
    {"Spam", "max_commands", &TSettings::SpamMaxCommands, 0, false},
    {"Spam", "in_seconds", &TSettings::SpamInSeconds, 0, false},
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
  std::vector<TIniEdit> edits;
  for (const TSettingKey& k : kWriteOrder) {
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
