// What the web list learns about one virtual server: the facts read from the server and the
// settings, the 403-byte UDP record and the form fields of the HTTP post built from them.
// The builders are pure functions of the facts (no sockets, no clock); ReadWebListFacts reads
// a running server and is called by the poster thread with the server-list lock held.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "storage/DateTime.h"

namespace vh {

class TServerObject;

// The process-wide settings the poster reads at the moment of posting.
struct TWebPostSettings {
  std::string AdminEmail = "na";
  std::string ISPLinkURL = "na";
  std::string ISPName = "Private";
  int ISPCountryNumber = 0;
  bool Enabled = true;
  std::string PostURL;
  bool ListPublic = true;
  std::string UserAgent = "voxhollow";
  int TCPQueryPort = 51234;
  // Where the UDP record goes; an empty host sends no record.
  std::string ListHost;
  int ListPort = 45647;
  // The local address HTTP posts leave from; empty: whatever the route chooses.
  std::string BoundAddress;
  // Posts to loopback, private and link-local destinations are refused unless the super
  // admin allows them ([WebPost] AllowPrivateTargets).
  bool AllowPrivateTargets = false;
};

// One virtual server as the web list sees it, together with the settings of the moment.
struct TWebListFacts {
  // From the settings.
  std::string ISPName, ISPLinkURL, AdminEmail;
  uint16_t ISPCountryNumber = 0;
  bool ListPublic = true;
  int TCPQueryPort = 0;
  // From the virtual server.
  std::string Name, Platform, LinkURL;
  bool ClanServer = false, Freeware = false, HasPassword = false;
  uint16_t Port = 0, MaxPlayers = 0, Players = 0, Channels = 0;
  uint32_t UptimeSeconds = 0;
  double RateSum = 0;  // received plus sent one-minute average, bytes per second
  uint8_t VersionMajor = 0, VersionMinor = 0, VersionRelease = 0, VersionBuild = 0;
};

constexpr size_t kWebListRecordSize = 403;
using TWebListRecord = std::array<uint8_t, kWebListRecordSize>;
using TFormFields = std::vector<std::pair<std::string, std::string>>;

// Whole seconds between two date-times, to the nearest second (0 when `now` is earlier).
uint32_t UptimeSeconds(TDateTime start, TDateTime now);

// The UDP record: zero-filled, little-endian numbers, short strings cut to their room.
TWebListRecord BuildWebListRecord(const TWebListFacts& facts);
// The name/value list of the form post, in its fixed order.
TFormFields BuildWebPostFields(const TWebListFacts& facts);

// Reads a running server's facts. The caller keeps the server from being stopped meanwhile
// (holds the virtual-server list lock); takes the registry and channel tree locks briefly.
TWebListFacts ReadWebListFacts(TServerObject& server, const TWebPostSettings& settings,
                               TDateTime now);

}  // namespace vh
