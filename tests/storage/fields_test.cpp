#include <gtest/gtest.h>

#include <cmath>

#include "storage/CustomStorage.h"
#include "storage/DateTime.h"

namespace vh {
namespace {

TDateTime Make(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTimeParts p;
  p.year = y, p.month = mo, p.day = d, p.hour = h, p.minute = mi, p.second = s;
  p.millisecond = ms;
  return EncodeDateTime(p);
}

TEST(DateTimeText, SeventeenDigitRoundTrip) {
  const TDateTime t = Make(2026, 12, 8, 3, 15, 42, 123);
  EXPECT_EQ(DateTimeToStorageText(t), "08122026031542123");
  EXPECT_NEAR(StorageTextToDateTime("08122026031542123"), t, 1e-9);

  // The day count follows the usual epoch, so values agree with other tools reading them.
  EXPECT_DOUBLE_EQ(Make(1899, 12, 30, 0, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(Make(2000, 1, 1, 12, 0, 0, 0), 36526.5);

  // Before the epoch the fraction counts forward from midnight.
  const TDateTime old = Make(1899, 12, 29, 6, 0, 0, 0);
  EXPECT_DOUBLE_EQ(old, -1.25);
  EXPECT_EQ(DateTimeToStorageText(old), "29121899060000000");

  // Every millisecond of a day survives the trip through the text (no off-by-one rounding).
  for (int ms = 0; ms < 86400000; ms += 86400000 / 997) {
    TDateTimeParts p;
    p.year = 2024, p.month = 2, p.day = 29;
    p.hour = ms / 3600000, p.minute = ms / 60000 % 60, p.second = ms / 1000 % 60;
    p.millisecond = ms % 1000;
    const std::string text = DateTimeToStorageText(EncodeDateTime(p));
    EXPECT_EQ(DateTimeToStorageText(StorageTextToDateTime(text)), text);
    const TDateTimeParts back = DecodeDateTime(StorageTextToDateTime(text));
    ASSERT_EQ(back.millisecond, p.millisecond) << text;
    ASSERT_EQ(back.second, p.second) << text;
  }
}

TEST(DateTimeText, BadTextsAndValues) {
  EXPECT_EQ(StorageTextToDateTime(""), 0.0);
  EXPECT_EQ(StorageTextToDateTime("0812202603154212"), 0.0);                // 16 digits
  EXPECT_EQ(StorageTextToDateTime("081220260315421234"), 0.0);              // 18 digits
  EXPECT_THROW(StorageTextToDateTime("31022026031542123"), EConvertError);  // 31 February
  EXPECT_THROW(StorageTextToDateTime("08122026251542123"), EConvertError);  // hour 25
  EXPECT_THROW(StorageTextToDateTime("08-12-2026 03:154"), EConvertError);
  EXPECT_THROW(StorageTextToDateTime("0812202603154212x"), EConvertError);
  EXPECT_THROW(StorageTextToDateTime("29022025000000000"), EConvertError);  // not a leap year
  EXPECT_NO_THROW(StorageTextToDateTime("29022024000000000"));

  // Values that no calendar date matches still give a well-formed 17-digit text.
  EXPECT_EQ(DateTimeToStorageText(NAN).size(), 17u);
  EXPECT_EQ(DateTimeToStorageText(1e12).size(), 17u);
  EXPECT_EQ(DateTimeToStorageText(0.99999999999), "31121899000000000");  // rounds up a day
}

TEST(StorageFields, BooleanConversions) {
  TBooleanStorageField b("b_x");
  b.SetAsBoolean(true);
  EXPECT_EQ(b.GetAsString(), "-1");
  EXPECT_EQ(b.GetAsInteger(), 1);
  b.SetAsBoolean(false);
  EXPECT_EQ(b.GetAsString(), "0");

  for (const char* t : {"-1", "1", "2", "0.5", "TRUE", "true", "True"}) {
    b.SetAsBoolean(false);
    b.SetAsString(t);
    EXPECT_TRUE(b.GetAsBoolean()) << t;
  }
  for (const char* t : {"0", "0.0", "FALSE", "false"}) {
    b.SetAsBoolean(true);
    b.SetAsString(t);
    EXPECT_FALSE(b.GetAsBoolean()) << t;
  }
  for (const char* t : {"", "yes", "1x", "truefalse"})
    EXPECT_THROW(b.SetAsString(t), EConvertError) << t;

  b.SetAsInteger(256);  // only the low byte counts
  EXPECT_FALSE(b.GetAsBoolean());
  b.SetAsInteger(257);
  EXPECT_TRUE(b.GetAsBoolean());
}

TEST(StorageFields, IntegerAndTypeMismatch) {
  TIntegerStorageField i("i_x");
  i.SetAsString("-2147483648");
  EXPECT_EQ(i.GetAsInteger(), INT32_MIN);
  EXPECT_EQ(i.GetAsString(), "-2147483648");
  for (const char* t : {"", "12a", "2147483648", "1.5"})
    EXPECT_THROW(i.SetAsString(t), EConvertError) << t;

  TStringStorageField s("s_x");
  EXPECT_THROW(s.GetAsInteger(), EAbstractError);
  EXPECT_THROW(s.GetAsDateTime(), EAbstractError);
  EXPECT_THROW(i.SetAsBoolean(true), EAbstractError);
  EXPECT_THROW(i.GetAsBoolean(), EAbstractError);
}

TEST(StorageRowAndContainer, LookupAndCursor) {
  TStorageRow row;
  for (const char* name : {"s_zeta", "i_Alpha", "b_mid"})
    row.Add(std::make_unique<TStringStorageField>(name));
  row.FieldByName("s_zeta").SetAsString("z");
  EXPECT_EQ(row.FieldByName("S_ZETA").GetAsString(), "z");
  EXPECT_EQ(row.FieldByName("i_alpha").Name(), "i_Alpha");
  EXPECT_EQ(row.Field(0).Name(), "b_mid");  // kept sorted, case ignored
  try {
    row.FieldByName("s_missing");
    FAIL() << "no exception";
  } catch (const EInvalidField& e) {
    EXPECT_STREQ(e.what(), "field s_missing not found");
  }

  TStorageContainer c;
  EXPECT_TRUE(c.Eof());  // cursor starts before the first row
  EXPECT_THROW(c.Current(), std::out_of_range);
  c.AddRow().Add(std::make_unique<TIntegerStorageField>("i_n"));
  c.AddRow().Add(std::make_unique<TIntegerStorageField>("i_n"));
  c.Row(1).FieldByName("i_n").SetAsInteger(7);
  int seen = 0, sum = 0;
  for (c.First(); !c.Eof(); c.Next()) {
    ++seen;
    sum += c.Current().FieldByName("i_n").GetAsInteger();
  }
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(sum, 7);
}

}  // namespace
}  // namespace vh
