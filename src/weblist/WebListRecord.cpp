#include "weblist/WebListRecord.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "common/Countries.h"
#include "common/FieldLengths.h"
#include "common/Mutex.h"
#include "common/Version.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "transport/ConnectionTable.h"
#include "vserver/Notifier.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

void PutShortString(TWebListRecord& r, size_t offset, const std::string& text, size_t room) {
  const size_t n = std::min(text.size(), room);
  r[offset] = static_cast<uint8_t>(n);
  std::memcpy(r.data() + offset + 1, text.data(), n);
}

void PutLittleEndian(TWebListRecord& r, size_t offset, uint64_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) r[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string CountryText(uint16_t code) {
  try {
    return CountryName(code);
  } catch (const std::exception&) {
    return "unknown";
  }
}

}  // namespace

uint32_t UptimeSeconds(TDateTime start, TDateTime now) {
  const double ms = (now - start) * 86400000.0;
  const double seconds = std::round(ms / 1000.0);
  if (!(seconds > 0)) return 0;
  if (seconds >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
    return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(seconds);
}

TWebListRecord BuildWebListRecord(const TWebListFacts& f) {
  TWebListRecord r{};
  PutShortString(r, 0, f.ISPName, kNameLength);
  PutShortString(r, 30, f.ISPLinkURL, kTextLength);
  PutShortString(r, 286, f.AdminEmail, kNameLength);
  PutShortString(r, 316, f.Name, kNameLength);
  PutShortString(r, 346, f.Platform, kNameLength);
  r[376] = static_cast<uint8_t>((f.ListPublic ? 1 : 0) | (f.ClanServer ? 2 : 0) |
                                (f.Freeware ? 4 : 0) | (f.HasPassword ? 8 : 0));
  PutLittleEndian(r, 377, f.Port, 2);
  PutLittleEndian(r, 379, f.ISPCountryNumber, 2);
  PutLittleEndian(r, 381, f.MaxPlayers, 2);
  PutLittleEndian(r, 383, f.Players, 2);
  PutLittleEndian(r, 385, f.Channels, 2);
  PutLittleEndian(r, 387, f.UptimeSeconds, 4);
  // A rate is never negative or beyond 64 bits; clamp rather than trust the arithmetic.
  double rate = std::round(f.RateSum);
  if (!(rate > 0)) rate = 0;
  if (rate > 9.0e18) rate = 9.0e18;
  PutLittleEndian(r, 391, static_cast<uint64_t>(static_cast<int64_t>(rate)), 8);
  r[399] = f.VersionMajor;
  r[400] = f.VersionMinor;
  r[401] = f.VersionRelease;
  r[402] = f.VersionBuild;
  return r;
}

TFormFields BuildWebPostFields(const TWebListFacts& f) {
  return {
      {"server_adminemail", f.AdminEmail},
      {"server_isplinkurl", f.ISPLinkURL},
      {"server_ispname", f.ISPName},
      {"server_ispcountry", CountryText(f.ISPCountryNumber)},
      {"server_platform", f.Platform},
      {"server_version_major", std::to_string(f.VersionMajor)},
      {"server_version_minor", std::to_string(f.VersionMinor)},
      {"server_version_release", std::to_string(f.VersionRelease)},
      {"server_version_build", std::to_string(f.VersionBuild)},
      {"server_port", std::to_string(f.Port)},
      {"server_name", f.Name},
      {"server_uptime", std::to_string(f.UptimeSeconds)},
      {"server_password", f.HasPassword ? "1" : "0"},
      {"server_type1", f.ClanServer ? "clan" : "public"},
      {"server_type2", f.Freeware ? "freeware" : "commercial"},
      {"clients_current", std::to_string(f.Players)},
      {"clients_maximum", std::to_string(f.MaxPlayers)},
      {"channels_current", std::to_string(f.Channels)},
      {"server_linkurl", f.LinkURL},
      {"server_queryport", std::to_string(f.TCPQueryPort)},
      {"public", f.ListPublic ? "1" : "0"},
  };
}

TWebListFacts ReadWebListFacts(TServerObject& server, const TWebPostSettings& settings,
                               TDateTime now) {
  TWebListFacts f;
  f.ISPName = settings.ISPName;
  f.ISPLinkURL = settings.ISPLinkURL;
  f.AdminEmail = settings.AdminEmail;
  f.ISPCountryNumber = static_cast<uint16_t>(settings.ISPCountryNumber);
  f.ListPublic = settings.ListPublic;
  f.TCPQueryPort = settings.TCPQueryPort;

  const TVirtualServerSettings s = server.Settings();
  f.Name = s.Name;
  f.Platform = server.PlatformLabel();
  f.LinkURL = s.WebLinkURL;
  f.HasPassword = !s.Password.empty();
  const uint16_t flags = server.ServerFlags().load();
  f.ClanServer = (flags & SF_CLAN) != 0;
  f.Freeware = (flags & SF_FREEWARE) != 0;
  f.Port = server.BoundPort();
  f.MaxPlayers = s.MaxUsers;
  if (TClients* clients = server.Clients()) {
    TLockGuard registry(clients->Mutex());
    f.Players = static_cast<uint16_t>(std::min<size_t>(clients->Count(), UINT16_MAX));
    if (TChannels* channels = server.Channels()) {
      TLockGuard tree(channels->Mutex());
      f.Channels = static_cast<uint16_t>(std::min<size_t>(channels->Count(), UINT16_MAX));
    }
  }
  if (TCustomPacketBuffer* table = server.PacketBuffer()) {
    const TServerStats stats = table->GetServerStats();
    f.RateSum = stats.inLastMinute + stats.outLastMinute;
  }
  f.UptimeSeconds = UptimeSeconds(server.StartTime(), now);
  f.VersionMajor = static_cast<uint8_t>(kVersion.Major);
  f.VersionMinor = static_cast<uint8_t>(kVersion.Minor);
  f.VersionRelease = static_cast<uint8_t>(kVersion.Release);
  f.VersionBuild = static_cast<uint8_t>(kVersion.Build);
  return f;
}

}  // namespace vh
