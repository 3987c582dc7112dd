// The query protocol's pieces without sockets: line framing, error lines, the failed-login
// records on a driven clock, and the command text "lc" may show.

#include <gtest/gtest.h>

#include "admin/DateFormat.h"
#include "admin/tcpquery/QueryCommands.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "admin/tcpquery/QueryLineReader.h"
#include "transport/Clocks.h"

namespace vh {
namespace {

std::vector<TQueryLine> FeedAll(TQueryLineReader& r,
                                std::initializer_list<std::string_view> parts) {
  std::vector<TQueryLine> lines;
  for (std::string_view p : parts) r.Feed(p, lines);
  return lines;
}

TEST(QueryLineReader, SplitsAtLineFeedDropsOneCarriageReturnAndJoinsChunks) {
  TQueryLineReader r;
  auto lines = FeedAll(r, {"sl\r\nse", "l 8767\n\r\n", "a\r\r\n", "partial"});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].Text, "sl");
  EXPECT_EQ(lines[1].Text, "sel 8767");
  EXPECT_EQ(lines[2].Text, "");     // an empty line stays empty: the interpreter ignores it
  EXPECT_EQ(lines[3].Text, "a\r");  // only the CR right before the LF goes
  EXPECT_EQ(r.Pending(), 7u);
}

TEST(QueryLineReader, OverlongLineIsReportedOnceAndDiscardedUpToItsLineFeed) {
  TQueryLineReader r;
  std::vector<TQueryLine> lines;
  const std::string chunk(65536, 'x');
  for (int i = 0; i < 16; ++i) {  // 1 MB without a line feed
    r.Feed(chunk, lines);
    EXPECT_LE(r.Pending(), TQueryLineReader::kMaxLineLength + 1);
  }
  r.Feed("tail\nver\n", lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].TooLong);
  EXPECT_EQ(lines[1].Text, "ver");

  // Exactly the room, with or without CR, is still a line; one byte more is not.
  lines.clear();
  r.Feed(std::string(4096, 'a') + "\r\n" + std::string(4096, 'b') + "\n" + std::string(4097, 'c') +
             "\r\n",
         lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Text.size(), 4096u);
  EXPECT_EQ(lines[1].Text.size(), 4096u);
  EXPECT_TRUE(lines[2].TooLong);
}

TEST(QueryOutput, ErrorTextsAreCutTo29Characters) {
  TQueryOutput out;
  out.Error("Need server admin rights to complete operation");
  out.Error("invalid id");
  EXPECT_EQ(out.Text(), "ERROR, Need server admin rights to c\r\nERROR, invalid id\r\n");
}

TEST(DateFormat, ConfiguredAndChannelFormats) {
  const TDateTime t = EncodeDateTime(TDateTimeParts{2026, 3, 7, 9, 5, 2, 41});
  EXPECT_EQ(FormatDateTime("dd-mm-yyyy hh:nn:ss", t), "07-03-2026 09:05:02");
  EXPECT_EQ(FormatDateTime("dd-mm-yy hh:nn:ss", t), "07-03-26 09:05:02");
  EXPECT_EQ(FormatDateTime("YYYY/M/D h.n.s.zzz", t), "2026/3/7 9.5.2.041");
}

TEST(QueryLastCommand, PasswordsNeverShow) {
  auto shown = [](const std::string& line) {
    const size_t blank = line.find(' ');
    return HiddenCommandLine(line, FindQueryCommand(line.substr(0, blank)));
  };
  const std::string hidden = "login/slogin username=hidden password=hidden";
  EXPECT_EQ(shown("slogin root secret"), hidden);
  EXPECT_EQ(shown("LOGIN admin secret"), hidden);
  EXPECT_EQ(shown("dbuseradd bob pw1 pw1 1"), "dbuseradd bob hidden hidden 1");
  EXPECT_EQ(shown("DBSUSERCHANGEPW 4  new  new"), "DBSUSERCHANGEPW 4 hidden hidden");
  EXPECT_EQ(shown("dbuserchangepw 3 x"), "dbuserchangepw 3 hidden");
  EXPECT_EQ(shown(std::string(300, 'k')).size(), 255u);
}

}  // namespace
}  // namespace vh
