// IP ban rules without threads or storage: splitting addresses and patterns into four parts,
// matching, the age and remaining time of a ban, and the "by" texts. Pure functions; the
// listener copies the virtual server's ban list (under its bans lock) before using them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/DateTime.h"

namespace vh {

class TStorageContainer;

// At most this many bans per virtual server; further bans are refused with -1900.
constexpr size_t kMaxBans = 20;
// Patterns are stored cut to this length, so a ban-list reply stays a bounded message.
constexpr size_t kMaxBanPatternLength = 255;

// One row of the ban list as "read_bans.sql" returns it.
struct TBanEntry {
  int32_t Id = -1;      // i_ban_id; -1 when the list does not carry it
  std::string Pattern;  // s_ban_ip
  int32_t Minutes = 0;  // i_ban_minutes; 0 or less: permanent
  TDateTime Created = 0;
  std::string By;
};

// The rows of a ban list in list order; empty for none. Raises EInvalidField for a row
// without one of the columns.
std::vector<TBanEntry> BanEntriesFrom(const TStorageContainer* rows);

// Four dot-separated parts. Parts after the end of the text are "*", so "10.0.1" stands for
// 10.0.1.*. `valid` is false for a text that cannot name an address: empty, or more than
// four parts; such a pattern matches nothing.
struct TAddressParts {
  std::array<std::string, 4> Parts;
  bool Valid = false;
};
TAddressParts SplitAddress(std::string_view text);

// A dotted pattern (IPv4): each pattern part is "*" or exactly the address part; it matches
// an IPv6 address only when every part is "*". A pattern with a colon (IPv6) is an address or
// a prefix ("2001:db8::/48") and matches the IPv6 addresses inside it.
bool PatternMatches(std::string_view pattern, std::string_view address);

// The pattern to store for a ban given as text: dotted patterns as they are, an IPv6 address
// or prefix in its compressed form; none for a malformed IPv6 pattern (refused, since it
// would match nothing and only take one of the kMaxBans rows).
std::optional<std::string> BanPatternFrom(std::string_view text);
// What banning a player bans: his IPv4 address, or the /64 of his IPv6 address (one host
// picks any address of its /64).
std::string PlayerBanPattern(std::string_view address);

// Whole seconds from `from` to `to`: milliseconds rounded, then seconds rounded.
int64_t WholeSecondsBetween(TDateTime from, TDateTime to);

// A time ban whose minutes have passed (never true for a permanent ban).
bool BanExpired(const TBanEntry& ban, TDateTime now);

// The login's ban test. The first row that matches and has not run out decides; a time ban
// gives its remaining seconds (with five seconds' grace), a permanent one -1.
struct TBanVerdict {
  bool Banned = false;
  int64_t RemainingSeconds = -1;
};
TBanVerdict CheckBan(const std::vector<TBanEntry>& bans, std::string_view address, TDateTime now);

// Appends `piece` to `text` and cuts the result to `limit` characters.
void AppendCut(std::string& text, std::string_view piece, size_t limit);

}  // namespace vh
