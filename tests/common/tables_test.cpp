#include <gtest/gtest.h>

#include <set>

#include "common/Countries.h"
#include "common/ResultCodes.h"

namespace vh {
namespace {

TEST(ResultCodes, LookupLeavesTextUnchangedForCodesWithoutMessage) {
  std::string text = "untouched";
  ResultCodeToText(0, text);
  EXPECT_EQ(text, "untouched");
  for (int32_t code : {0, -1002, -122, -123, -1010, 815}) EXPECT_EQ(ResultCodeText(code), "");

  EXPECT_EQ(ResultCodeText(1002), "Need to be a registered player to complete operation");
  EXPECT_EQ(ResultCodeText(-119), "Allready member of channel");
  EXPECT_EQ(ResultCodeText(-17), "This server does not allow anonymous login's");
  EXPECT_EQ(ResultCodeText(-11),
            "No reply from server\r\nMaybe the server is offline\r\nor maybe voxhollow is not "
            "running on it");
  EXPECT_EQ(ResultCodeText(-2000), "Server is blacklisted (banned)");
  EXPECT_EQ(ResultCodeText(-10), "Connection Timed out");
}

TEST(Countries, NamesAndKinds) {
  EXPECT_EQ(CountryName(0), "Unknown");
  EXPECT_EQ(CountryName(9999), "Unknown");
  EXPECT_EQ(CountryName(4000), "Europe");
  EXPECT_FALSE(IsCountry(4000));
  EXPECT_FALSE(IsCountry(4400));
  EXPECT_TRUE(IsCountry(4428));
  EXPECT_EQ(CountryName(4428), "Germany");
  EXPECT_EQ(CountryName(6000), "Antartica");
  EXPECT_EQ(CountryName(1541), "Mali");
  EXPECT_EQ(CountryName(1149), "R\xE9union");  // Latin-1
  EXPECT_EQ(CountryName(3300), "Unknown");
}

TEST(Countries, TableHoldsContinentsRegionsAndCountriesInCodeOrder) {
  auto all = Countries();
  ASSERT_EQ(all.size(), 267u);
  int continents = 0, regions = 0, countries = 0;
  std::set<std::string> names;
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(all[i - 1].code, all[i].code);
    }
    if (all[i].code % 1000 == 0)
      ++continents;
    else if (all[i].code % 100 == 0)
      ++regions;
    else {
      ++countries;
      // No two countries share a name (the region Micronesia and the country may).
      EXPECT_TRUE(names.insert(all[i].name).second) << "duplicate name " << all[i].name;
    }
  }
  EXPECT_EQ(continents, 6);
  EXPECT_EQ(regions, 21);
  EXPECT_EQ(countries, 240);
}

}  // namespace
}  // namespace vh
