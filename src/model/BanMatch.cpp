#include "model/BanMatch.h"

#include <algorithm>
#include <cmath>

#include "common/NetAddress.h"
#include "storage/CustomStorage.h"

namespace vh {

std::vector<TBanEntry> BanEntriesFrom(const TStorageContainer* rows) {
  std::vector<TBanEntry> bans;
  if (!rows) return bans;
  bans.reserve(rows->Count());
  for (size_t i = 0; i < rows->Count(); ++i) {
    const TStorageRow& row = rows->Row(i);
    TBanEntry b;
    if (TCustomStorageField* id = row.FindField("i_ban_id")) b.Id = id->GetAsInteger();
    b.Pattern = row.FieldByName("s_ban_ip").GetAsString();
    b.Minutes = row.FieldByName("i_ban_minutes").GetAsInteger();
    b.Created = row.FieldByName("dt_ban_created").GetAsDateTime();
    if (TCustomStorageField* by = row.FindField("s_ban_by")) b.By = by->GetAsString();
    bans.push_back(std::move(b));
  }
  return bans;
}

TAddressParts SplitAddress(std::string_view text) {
  TAddressParts out;
  out.Parts.fill("*");
  if (text.empty()) return out;
  size_t pos = 0;
  for (size_t part = 0; part < 4; ++part) {
    if (pos >= text.size()) break;  // nothing left: this part and the rest stay wildcards
    size_t dot = text.find('.', pos);
    if (dot == std::string_view::npos) {
      out.Parts[part] = std::string(text.substr(pos));
      pos = text.size();
    } else {
      out.Parts[part] = std::string(text.substr(pos, dot - pos));
      pos = dot + 1;
    }
  }
  // A fifth part: not an address pattern at all.
  out.Valid = pos >= text.size();
  return out;
}

bool PatternMatches(std::string_view pattern, std::string_view address) {
  if (IsIPv6Text(pattern)) {
    const std::optional<TIPv6Prefix> prefix = ParseIPv6Prefix(pattern);
    const std::optional<TIpAddress> ip = ParseIpAddress(address);
    return prefix && ip && PrefixContains(*prefix, *ip);
  }
  if (IsIPv6Text(address)) {
    // Dotted parts say nothing about an IPv6 address; only "match everything" applies.
    const TAddressParts p = SplitAddress(pattern);
    return p.Valid && std::all_of(p.Parts.begin(), p.Parts.end(),
                                  [](const std::string& part) { return part == "*"; });
  }
  const TAddressParts p = SplitAddress(pattern);
  const TAddressParts a = SplitAddress(address);
  if (!p.Valid || !a.Valid) return false;
  for (size_t i = 0; i < 4; ++i)
    if (p.Parts[i] != "*" && p.Parts[i] != a.Parts[i]) return false;
  return true;
}

std::optional<std::string> BanPatternFrom(std::string_view text) {
  if (!IsIPv6Text(text)) return std::string(text.substr(0, kMaxBanPatternLength));
  const std::optional<TIPv6Prefix> prefix = ParseIPv6Prefix(text);
  if (!prefix) return std::nullopt;
  return PrefixText(*prefix);
}

std::string PlayerBanPattern(std::string_view address) {
  return SourceKey(address);
}

int64_t WholeSecondsBetween(TDateTime from, TDateTime to) {
  const double ms = std::round((to - from) * 86400000.0);
  return static_cast<int64_t>(std::llround(ms / 1000.0));
}

bool BanExpired(const TBanEntry& ban, TDateTime now) {
  if (ban.Minutes < 1) return false;
  return static_cast<double>(WholeSecondsBetween(ban.Created, now)) / 60.0 >= ban.Minutes;
}

TBanVerdict CheckBan(const std::vector<TBanEntry>& bans, std::string_view address, TDateTime now) {
  TBanVerdict v;
  for (const TBanEntry& b : bans) {
    if (!PatternMatches(b.Pattern, address)) continue;
    // A ban that has run out refuses nobody, even before the clean-up deletes it.
    if (BanExpired(b, now)) continue;
    v.Banned = true;
    if (b.Minutes >= 1)
      v.RemainingSeconds =
          60 * static_cast<int64_t>(b.Minutes) - WholeSecondsBetween(b.Created, now) + 5;
    return v;
  }
  return v;
}

void AppendCut(std::string& text, std::string_view piece, size_t limit) {
  text.append(piece);
  if (text.size() > limit) text.resize(limit);
}

}  // namespace vh
