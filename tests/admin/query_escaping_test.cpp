// Values the model or the database already holds (older databases, other front ends) reach the
// query answers escaped: a text with CR, LF, tab, quote or backslash keeps its row and its
// column, and the answer after it is not forged.

#include <gtest/gtest.h>

#include <algorithm>

#include "QueryHarness.h"
#include "common/Mutex.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"

namespace vh::test {
namespace {

using Lines = std::vector<std::string>;

// A text that would end a line, a column and a quoted value if written raw.
const std::string kHostile = "x\r\nOK\t\"\\";
const std::string kEscaped = "x\\r\\nOK\\t\\\"\\\\";

// The columns of a row; the tab that ends many rows opens no column of its own.
size_t Columns(std::string line) {
  if (!line.empty() && line.back() == '\t') line.pop_back();
  return static_cast<size_t>(std::count(line.begin(), line.end(), '\t')) + 1;
}

class QueryEscaping : public ::testing::Test {
 protected:
  TQueryHarness h;
  std::unique_ptr<TQueryConnection> q = h.Admin();

  // The answer, and proof that nothing of it is left over for the next command.
  Lines Answer(const std::string& line) {
    Lines answer = q->Command(line);
    EXPECT_EQ(q->Command("ver").size(), 2u) << line << " left lines behind";
    return answer;
  }
};

TEST_F(QueryEscaping, PlayerAndChannelTextsKeepTheirRowAndColumn) {
  auto player = h.Join("plain");
  ASSERT_TRUE(player);
  int32_t channelId = 0;
  {
    TModelLock model(*h.Server().Clients(), *h.Server().Channels());
    TClientRecord* p = h.Server().Clients()->GetClientByID(player->PlayerId());
    ASSERT_NE(p, nullptr);
    p->NickName = kHostile;
    p->LoginName = kHostile;
    TChannel* c = h.Server().Channels()->GetDefaultChannelAsPointer();
    channelId = c->ID;
    c->Name = kHostile;
    c->Topic = kHostile;
    c->Description = kHostile;
  }
  const std::string quoted = "\"" + kEscaped + "\"";
  const std::string pid = std::to_string(player->PlayerId());
  for (const std::string& command :
       Lines{"pl", "cl", "fp x", "pi " + pid, "ci " + std::to_string(channelId), "dccl"}) {
    SCOPED_TRACE(command);
    const Lines answer = Answer(command);
    ASSERT_GE(answer.size(), 3u);
    EXPECT_EQ(answer.back(), "OK");
    EXPECT_EQ(Columns(answer[1]), Columns(answer[0]));
    EXPECT_NE(answer[1].find(quoted), std::string::npos) << answer[1];
  }
}

TEST_F(QueryEscaping, ServerTextsInServerInfoAndTheStoredList) {
  // A CR inside a query line stays in the value; only the one before the LF is dropped.
  ASSERT_EQ(q->Final("serverset server_name n\rOK\t\"\\"), "OK");
  ASSERT_EQ(q->Final("serverset server_welcomemessage w\rOK"), "OK");
  const Lines si = Answer("si");
  EXPECT_NE(std::find(si.begin(), si.end(), "server_name=n\\rOK\\t\\\"\\\\"), si.end());
  EXPECT_NE(std::find(si.begin(), si.end(), "server_welcomemessage=w\\rOK"), si.end());
  EXPECT_EQ(std::count(si.begin(), si.end(), "OK"), 1);
  const Lines list = Answer("dbserverlist");
  ASSERT_GE(list.size(), 3u);
  EXPECT_EQ(Columns(list[1]), Columns(list[0]));
  EXPECT_NE(list[1].find("\"n\\rOK\\t\\\"\\\\\""), std::string::npos) << list[1];
}

TEST_F(QueryEscaping, ConnectionListShowsOnlyLoggedInCommandsWithPasswordsHidden) {
  auto anon = h.Connect();
  anon->ReadLine();
  // An anonymous line never shows, whatever it holds.
  anon->Send("x\r\"\tOK\r\n");
  anon->ReadLine();
  auto other = h.Admin();
  // Leading blanks make the line unknown, and its passwords stay hidden all the same.
  EXPECT_EQ(other->Final("   dbsuseradd eve secret1 secret1"), "error");
  const Lines lc = Answer("lc");
  ASSERT_EQ(lc.size(), 5u);
  for (size_t i = 1; i + 1 < lc.size(); ++i) {
    EXPECT_EQ(Columns(lc[i]), Columns(lc[0])) << lc[i];
    EXPECT_EQ(lc[i].find("secret1"), std::string::npos) << lc[i];
  }
  EXPECT_EQ(lc[2], "\"<not_logged_in>\"\t0\t0\t0\t\"127.0.0.1\"\t\"\"");
  EXPECT_EQ(lc[3], "\"root\"\t0\t1\t1\t\"127.0.0.1\"\t\"dbsuseradd eve hidden hidden\"");
  EXPECT_EQ(other->Final("\tslogin root rootpw"), "error");
  EXPECT_EQ(Answer("lc")[3], "\"root\"\t0\t1\t1\t\"127.0.0.1\"\t\"" +
                                 std::string("login/slogin username=hidden password=hidden") +
                                 "\"");
}

TEST_F(QueryEscaping, LogAnswerAndSettingsNeverCarryControlBytes) {
  ASSERT_EQ(q->Final("logmark bell\ainside esc\x1b[2J typed\\n cr\rend"), "OK");
  const Lines log = Answer("logfind typed");
  ASSERT_EQ(log.size(), 2u);
  EXPECT_NE(log[0].find("bell\\x07inside esc\\x1B[2J typed\\\\n cr\\rend"), std::string::npos)
      << log[0];
  EXPECT_FALSE(HasControlChars(log[0].substr(log[0].find('\t') + 1))) << log[0];
  // A CR would become a new key or section of server.ini.
  EXPECT_EQ(q->Final("globalset hoster_gfx_url http://a\r[Main Config]"),
            "ERROR, control character in value");
  EXPECT_EQ(q->Final("globalset allowedclientnamechars ab\tc"),
            "ERROR, control character in value");
  EXPECT_EQ(q->Final("dbuseradd bad\x1bname pw pw 0"), "ERROR, error");
  EXPECT_EQ(q->Final("dbsuseradd bad\x07name pw pw"), "ERROR, error");
  EXPECT_EQ(q->Command("dbsuserlist").size(), 3u);  // root alone
}

}  // namespace
}  // namespace vh::test
