// The ban rules on their own: address patterns, expiry and the remaining time of a time ban.
#include <gtest/gtest.h>

#include "host/ServerHost.h"
#include "model/BanMatch.h"

namespace vh {
namespace {

constexpr double kSecond = 1.0 / 86400.0;
const TDateTime kNow = 45000.5;  // any fixed moment

TBanEntry Ban(std::string pattern, int32_t minutes, double ageSeconds = 0) {
  TBanEntry b;
  b.Pattern = std::move(pattern);
  b.Minutes = minutes;
  b.Created = kNow - ageSeconds * kSecond;
  return b;
}

TEST(BanPattern, WildcardsAndShortPatterns) {
  EXPECT_TRUE(PatternMatches("10.0.*.*", "10.0.3.4"));
  EXPECT_TRUE(PatternMatches("10.0.*.*", "10.0.255.0"));
  EXPECT_FALSE(PatternMatches("10.0.*.*", "10.1.3.4"));
  EXPECT_TRUE(PatternMatches("*.*.*.9", "1.2.3.9"));
  EXPECT_FALSE(PatternMatches("*.*.*.9", "1.2.3.90"));
  EXPECT_TRUE(PatternMatches("192.168.1.20", "192.168.1.20"));
  // Missing parts are wildcards, not repeats of the last part.
  EXPECT_TRUE(PatternMatches("10.0.1", "10.0.1.7"));
  EXPECT_FALSE(PatternMatches("10.0.1", "10.0.2.1"));
  EXPECT_TRUE(PatternMatches("10.0.1.", "10.0.1.200"));
  EXPECT_TRUE(PatternMatches("10", "10.99.98.97"));
}

TEST(BanPattern, IPv6AddressesAndPrefixes) {
  EXPECT_TRUE(PatternMatches("2001:db8::/48", "2001:db8:0:ffff::1"));
  EXPECT_FALSE(PatternMatches("2001:db8::/48", "2001:db8:1::1"));
  EXPECT_TRUE(PatternMatches("2001:db8::7", "2001:DB8:0::7"));  // any spelling of the address
  EXPECT_FALSE(PatternMatches("2001:db8::7", "2001:db8::8"));
  // Dotted patterns are IPv4 rules; only the all-wildcard one reaches IPv6 players.
  EXPECT_FALSE(PatternMatches("2001", "2001:db8::7"));
  EXPECT_FALSE(PatternMatches("*.*.*.1", "::1"));
  EXPECT_TRUE(PatternMatches("*", "2001:db8::7"));
  EXPECT_FALSE(PatternMatches("::/0", "10.0.0.1"));
  EXPECT_FALSE(PatternMatches("2001:db8::/48x", "2001:db8::1"));

  EXPECT_EQ(BanPatternFrom("2001:DB8:0:0::1:0/112"), "2001:db8::1:0/112");
  EXPECT_EQ(BanPatternFrom("10.0.*.*"), "10.0.*.*");  // dotted patterns stay as given
  EXPECT_FALSE(BanPatternFrom("2001:db8::g"));
  EXPECT_FALSE(BanPatternFrom("2001:db8::/200"));
  EXPECT_EQ(PlayerBanPattern("2001:db8:5:6:7:8:9:a"), "2001:db8:5:6::/64");
  EXPECT_EQ(PlayerBanPattern("198.51.100.4"), "198.51.100.4");
}

TEST(BanPattern, HostilePatternsNeverMatchByAccident) {
  const std::string address = "10.0.0.1";
  EXPECT_FALSE(PatternMatches("", address));
  EXPECT_FALSE(PatternMatches("10.0.0.1.5", address));  // a fifth part
  EXPECT_FALSE(PatternMatches("10.0.0.1.*", address));
  EXPECT_FALSE(PatternMatches("...", address));  // empty parts equal nothing
  EXPECT_FALSE(PatternMatches("10..0.1", address));
  EXPECT_FALSE(PatternMatches("10.0.0.01", address));  // exact text, not numbers
  EXPECT_FALSE(PatternMatches("1*.0.0.1", address));   // only a whole "*" is a wildcard
  EXPECT_FALSE(PatternMatches("ten.zero.zero.one", address));
  EXPECT_FALSE(PatternMatches(std::string(300, '1'), address));
  EXPECT_FALSE(PatternMatches(std::string(40, '.'), address));
  EXPECT_FALSE(PatternMatches(std::string("10\0.0.0.1", 9), address));
  // An address that is not four parts is never banned by a pattern with numbers in it.
  EXPECT_FALSE(PatternMatches("10.0.0.1", ""));
  EXPECT_FALSE(PatternMatches("10.0.0.1", "10.0.0.1.1"));
}

TEST(BanCheck, PermanentAndTimeBans) {
  // 0 or fewer minutes: permanent, no remaining time, however old.
  for (int32_t minutes : {0, -5}) {
    auto v = CheckBan({Ban("10.0.*.*", minutes, 1e7)}, "10.0.3.4", kNow);
    EXPECT_TRUE(v.Banned) << minutes;
    EXPECT_EQ(v.RemainingSeconds, -1) << minutes;
  }
  // 10 minutes, 4 minutes old: 600 - 240 + 5 seconds.
  auto v = CheckBan({Ban("127.0.0.1", 10, 240)}, "127.0.0.1", kNow);
  EXPECT_TRUE(v.Banned);
  EXPECT_EQ(v.RemainingSeconds, 365);
  EXPECT_EQ(FormatUptime(v.RemainingSeconds), "00:06:05");
  // Whole seconds round to the nearest.
  EXPECT_EQ(CheckBan({Ban("1.2.3.4", 10, 240.4)}, "1.2.3.4", kNow).RemainingSeconds, 365);
  EXPECT_EQ(CheckBan({Ban("1.2.3.4", 10, 240.6)}, "1.2.3.4", kNow).RemainingSeconds, 364);
  // The largest wire value is a long ban, not a short one.
  EXPECT_EQ(CheckBan({Ban("1.2.3.4", 65535, 0)}, "1.2.3.4", kNow).RemainingSeconds, 65535 * 60 + 5);
  EXPECT_FALSE(CheckBan({}, "1.2.3.4", kNow).Banned);
  EXPECT_FALSE(CheckBan({Ban("1.2.3.5", 0)}, "1.2.3.4", kNow).Banned);
}

TEST(BanCheck, ExpiredBansRefuseNobodyAndTheFirstLiveMatchDecides) {
  EXPECT_FALSE(BanExpired(Ban("a", 2, 119.4), kNow));
  EXPECT_TRUE(BanExpired(Ban("a", 2, 120), kNow));
  EXPECT_FALSE(BanExpired(Ban("a", 0, 1e7), kNow));

  EXPECT_FALSE(CheckBan({Ban("10.0.0.1", 2, 180)}, "10.0.0.1", kNow).Banned);
  // An expired row does not hide a later live one.
  auto v = CheckBan({Ban("10.0.0.1", 2, 180), Ban("10.0.*.*", 0)}, "10.0.0.1", kNow);
  EXPECT_TRUE(v.Banned);
  EXPECT_EQ(v.RemainingSeconds, -1);
  // Of two live matches the first in list order gives the answer.
  v = CheckBan({Ban("10.0.0.1", 10, 0), Ban("10.0.*.*", 0)}, "10.0.0.1", kNow);
  EXPECT_EQ(v.RemainingSeconds, 605);
}

}  // namespace
}  // namespace vh
