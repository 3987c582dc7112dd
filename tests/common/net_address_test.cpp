// Address texts of both families: the forms shown and stored, source keys and IPv6 prefixes.
#include <gtest/gtest.h>

#include "common/NetAddress.h"

namespace vh {
namespace {

std::string Canonical(const char* text) {
  const std::optional<TIpAddress> ip = ParseIpAddress(text);
  return ip ? IpAddressText(*ip) : "(none)";
}

TEST(NetAddress, TextsAreDottedForIPv4AndCompressedForIPv6) {
  EXPECT_EQ(Canonical("10.1.2.3"), "10.1.2.3");
  // A mapped address is the IPv4 player he is, never "::ffff:".
  EXPECT_EQ(Canonical("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(Canonical("[::1]"), "::1");
  // Lowercase, leading zeros dropped, the longest run of zero groups compressed (the first
  // of equal runs), a lone zero group kept.
  EXPECT_EQ(Canonical("2001:0DB8:0000:0000:0001:0000:0000:0001"), "2001:db8::1:0:0:1");
  EXPECT_EQ(Canonical("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
  for (const char* bad : {"", "1.2.3", "1.2.3.256", "2001:db8::1::2", "::1 ", "[::1", "host"})
    EXPECT_FALSE(ParseIpAddress(bad)) << bad;

  TSockAddr a{};
  socklen_t length = 0;
  ASSERT_TRUE(MakeSockAddr("192.0.2.7", 8767, AF_INET6, a, length));
  EXPECT_EQ(length, sizeof(sockaddr_in6));
  EXPECT_EQ(SockAddrText(&a.any), "192.0.2.7");
  EXPECT_EQ(SockAddrPort(&a.any), 8767);
  EXPECT_FALSE(MakeSockAddr("::1", 1, AF_INET, a, length));  // no IPv6 through an IPv4 socket
}

TEST(NetAddress, SourcesCountIPv6ByTheirSlash64) {
  EXPECT_EQ(SourceKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_EQ(SourceKey("2001:db8:1:2:ffff:ffff:ffff:ffff"), "2001:db8:1:2::/64");
  EXPECT_NE(SourceKey("2001:db8:1:3::1"), SourceKey("2001:db8:1:2::1"));
  EXPECT_EQ(SourceKey("203.0.113.9"), "203.0.113.9");
  EXPECT_EQ(SourceKey("::ffff:203.0.113.9"), "203.0.113.9");
  EXPECT_TRUE(IsLoopbackText("::1"));
  EXPECT_TRUE(IsLoopbackText("127.9.9.9"));
  EXPECT_FALSE(IsLoopbackText("::2"));
}

TEST(NetAddress, PrefixesParseMaskAndContain) {
  const auto p = ParseIPv6Prefix("2001:DB8:12:3456::/44");
  ASSERT_TRUE(p);
  EXPECT_EQ(PrefixText(*p), "2001:db8:10::/44");  // host bits cleared
  EXPECT_TRUE(PrefixContains(*p, *ParseIpAddress("2001:db8:1f:ffff::9")));
  EXPECT_FALSE(PrefixContains(*p, *ParseIpAddress("2001:db8:20::")));
  EXPECT_FALSE(PrefixContains(*p, *ParseIpAddress("32.1.13.184")));  // IPv4 is never inside

  const auto one = ParseIPv6Prefix("2001:db8::7");
  ASSERT_TRUE(one);
  EXPECT_EQ(PrefixText(*one), "2001:db8::7");
  EXPECT_FALSE(PrefixContains(*one, *ParseIpAddress("2001:db8::8")));
  EXPECT_TRUE(PrefixContains(*ParseIPv6Prefix("::/0"), *ParseIpAddress("2a00::1")));

  for (const char* bad : {"2001:db8::/129", "2001:db8::/", "2001:db8::/4x", "2001:db8::/-1",
                          "10.0.0.0/8", "2001:db8:::/48", "/64", "::ffff:1.2.3.4/120"})
    EXPECT_FALSE(ParseIPv6Prefix(bad)) << bad;
}

TEST(NetAddress, CutFieldsEndInAMark) {
  EXPECT_EQ(CutWithMark("2001:db8:aaaa:bbbb:cccc:dddd:eeee:1", 29),
            "2001:db8:aaaa:bbbb:cccc:dddd*");
  EXPECT_EQ(CutWithMark("2001:db8:aaaa:bbbb:cccc:dddd:eeee:1", 29).size(), 29u);
  EXPECT_EQ(CutWithMark("2001:db8::1", 29), "2001:db8::1");
  EXPECT_EQ(CutWithMark("255.255.255.255", 15), "255.255.255.255");
}

}  // namespace
}  // namespace vh
