// The web-list record and form fields built from fixed facts, the reply splitting of the
// address check and the small HTTP helpers: bytes and texts, no sockets.
#include <gtest/gtest.h>

#include <string>

#include "common/Countries.h"
#include "weblist/HttpFetch.h"
#include "weblist/WebCheck.h"
#include "weblist/WebListRecord.h"

namespace vh {
namespace {

uint64_t LittleEndianAt(const TWebListRecord& r, size_t offset, size_t size) {
  uint64_t v = 0;
  for (size_t i = size; i-- > 0;) v = (v << 8) | r[offset + i];
  return v;
}

std::string ShortStringAt(const TWebListRecord& r, size_t offset) {
  return std::string(reinterpret_cast<const char*>(r.data() + offset + 1), r[offset]);
}

TWebListFacts SampleFacts() {
  TWebListFacts f;
  f.ISPName = std::string(40, 'i');
  f.ISPLinkURL = "http://x/" + std::string(300, 'u');
  f.AdminEmail = "admin@example.org.with.a.long.tail";
  f.ISPCountryNumber = 0x1234;
  f.ListPublic = true;
  f.TCPQueryPort = 51234;
  f.Name = "A name that is longer than twenty-nine";
  f.Platform = "Linux";
  f.LinkURL = "http://clan/";
  f.ClanServer = false;
  f.Freeware = true;
  f.HasPassword = true;
  f.Port = 8767;
  f.MaxPlayers = 0x0102;
  f.Players = 7;
  f.Channels = 0x0A0B;
  f.UptimeSeconds = 0x01020304;
  f.RateSum = 1234.6;
  f.VersionMajor = 2;
  f.VersionMinor = 0;
  f.VersionRelease = 20;
  f.VersionBuild = 1;
  return f;
}

TEST(WebListRecord, FieldsSitAtTheirOffsetsCutToTheirRoom) {
  const TWebListFacts f = SampleFacts();
  const TWebListRecord r = BuildWebListRecord(f);
  ASSERT_EQ(r.size(), 403u);
  EXPECT_EQ(ShortStringAt(r, 0), std::string(29, 'i'));
  EXPECT_EQ(ShortStringAt(r, 30), f.ISPLinkURL.substr(0, 255));
  EXPECT_EQ(ShortStringAt(r, 286), f.AdminEmail.substr(0, 29));
  EXPECT_EQ(ShortStringAt(r, 316), f.Name.substr(0, 29));
  EXPECT_EQ(ShortStringAt(r, 346), "Linux");
  // The rest of a short field stays zero.
  for (size_t i = 346 + 1 + 5; i < 376; ++i) EXPECT_EQ(r[i], 0) << i;
  EXPECT_EQ(r[376], 1 | 4 | 8);
  EXPECT_EQ(r[377], 0x3F);  // 8767 = 0x223F, low byte first
  EXPECT_EQ(r[378], 0x22);
  EXPECT_EQ(LittleEndianAt(r, 379, 2), 0x1234u);
  EXPECT_EQ(LittleEndianAt(r, 381, 2), 0x0102u);
  EXPECT_EQ(LittleEndianAt(r, 383, 2), 7u);
  EXPECT_EQ(LittleEndianAt(r, 385, 2), 0x0A0Bu);
  EXPECT_EQ(LittleEndianAt(r, 387, 4), 0x01020304u);
  EXPECT_EQ(LittleEndianAt(r, 391, 8), 1235u);
  EXPECT_EQ(r[399], 2);
  EXPECT_EQ(r[400], 0);
  EXPECT_EQ(r[401], 20);
  EXPECT_EQ(r[402], 1);
}

TEST(WebListRecord, EachFlagHasItsOwnBit) {
  struct Case {
    bool listPublic, clan, freeware, password;
    uint8_t flags;
  } cases[] = {{false, false, false, false, 0}, {true, false, false, false, 1},
               {false, true, false, false, 2},  {false, false, true, false, 4},
               {false, false, false, true, 8},  {true, true, true, true, 15}};
  for (const Case& c : cases) {
    TWebListFacts f;
    f.ListPublic = c.listPublic;
    f.ClanServer = c.clan;
    f.Freeware = c.freeware;
    f.HasPassword = c.password;
    EXPECT_EQ(BuildWebListRecord(f)[376], c.flags);
  }
  TWebListFacts negative;
  negative.RateSum = -5;  // never sent as a huge unsigned number
  EXPECT_EQ(LittleEndianAt(BuildWebListRecord(negative), 391, 8), 0u);
}

TEST(WebListRecord, UptimeIsRoundedToWholeSeconds) {
  const double second = 1.0 / 86400.0;
  EXPECT_EQ(UptimeSeconds(100.0, 100.0 + 1.4 * second), 1u);
  EXPECT_EQ(UptimeSeconds(100.0, 100.0 + 1.6 * second), 2u);
  EXPECT_EQ(UptimeSeconds(100.0, 100.0 + 3 * 86400 * second), 3u * 86400u);
  EXPECT_EQ(UptimeSeconds(100.0, 99.0), 0u);  // a clock set back gives no negative uptime
}

TEST(WebPostFields, NamesInOrderWithTheirValues) {
  TWebListFacts f = SampleFacts();
  const TFormFields fields = BuildWebPostFields(f);
  const char* names[] = {"server_adminemail",
                         "server_isplinkurl",
                         "server_ispname",
                         "server_ispcountry",
                         "server_platform",
                         "server_version_major",
                         "server_version_minor",
                         "server_version_release",
                         "server_version_build",
                         "server_port",
                         "server_name",
                         "server_uptime",
                         "server_password",
                         "server_type1",
                         "server_type2",
                         "clients_current",
                         "clients_maximum",
                         "channels_current",
                         "server_linkurl",
                         "server_queryport",
                         "public"};
  ASSERT_EQ(fields.size(), std::size(names));
  for (size_t i = 0; i < fields.size(); ++i) EXPECT_EQ(fields[i].first, names[i]);
  auto value = [&](const std::string& name) {
    for (const auto& [n, v] : fields)
      if (n == name) return v;
    return std::string("<missing>");
  };
  // The form carries the texts uncut (only the record has fixed rooms).
  EXPECT_EQ(value("server_name"), f.Name);
  EXPECT_EQ(value("server_ispcountry"), "Unknown");  // 0x1234 is no code of the table
  EXPECT_EQ(value("server_port"), "8767");
  EXPECT_EQ(value("server_uptime"), std::to_string(0x01020304));
  EXPECT_EQ(value("server_password"), "1");
  EXPECT_EQ(value("server_type1"), "public");
  EXPECT_EQ(value("server_type2"), "freeware");
  EXPECT_EQ(value("clients_maximum"), "258");
  EXPECT_EQ(value("channels_current"), "2571");
  EXPECT_EQ(value("server_queryport"), "51234");
  EXPECT_EQ(value("server_version_release"), "20");
  EXPECT_EQ(value("public"), "1");

  f.ClanServer = true;
  f.Freeware = false;
  f.HasPassword = false;
  f.ListPublic = false;
  for (const TCountry& c : Countries())
    if (IsCountry(c.code)) {
      f.ISPCountryNumber = c.code;
      break;
    }
  const TFormFields other = BuildWebPostFields(f);
  EXPECT_EQ(other[3].second, CountryName(f.ISPCountryNumber));
  EXPECT_NE(other[3].second, "Unknown");
  EXPECT_EQ(other[12].second, "0");
  EXPECT_EQ(other[13].second, "clan");
  EXPECT_EQ(other[14].second, "commercial");
  EXPECT_EQ(other[20].second, "0");
}

TEST(ReplyLines, BreakTagsInAnyCaseSplitLines) {
  EXPECT_EQ(SplitReplyLines("IP=1.2.3.4<BR>port=8767<br>x=<bR>"),
            (std::vector<std::string>{"IP=1.2.3.4", "port=8767", "x="}));
  EXPECT_EQ(SplitReplyLines("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitReplyLines("a\r\n\r\nb"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(SplitReplyLines("<br"), (std::vector<std::string>{"<br"}));
  EXPECT_TRUE(SplitReplyLines("").empty());

  EXPECT_EQ(ExternalAddressFromLines({"name=x", "ip=10.0.0.9", "Ip=10.0.0.8", "IP=10.0.0.7"}),
            "10.0.0.7");
  EXPECT_EQ(ExternalAddressFromLines({"IPX=1", "no equals", std::string("\0\1IP", 4)}), "");
}

TEST(HttpHelpers, AddressesSplitAndFormsEncode) {
  std::string base, path;
  ASSERT_TRUE(SplitHttpUrl(" http://list.example:8080/post.php?a=1 ", base, path));
  EXPECT_EQ(base, "http://list.example:8080");
  EXPECT_EQ(path, "/post.php?a=1");
  ASSERT_TRUE(SplitHttpUrl("HTTP://h", base, path));
  EXPECT_EQ(base, "http://h:80");
  EXPECT_EQ(path, "/");
  ASSERT_TRUE(SplitHttpUrl("h.example?x", base, path));
  EXPECT_EQ(path, "/?x");
  for (const char* bad : {"", "ftp://h/", "http://", "http://h:0/", "http://h:65536/",
                          "http://h:8a/", "http://user@h/", "http://h/a b", "http://[::1]/"})
    EXPECT_FALSE(SplitHttpUrl(bad, base, path)) << bad;

  EXPECT_EQ(UrlEncodeForm({{"a b", "x&y=z"}, {"n", "\xE4~"}}), "a+b=x%26y%3Dz&n=%E4~");
}

}  // namespace
}  // namespace vh
