// The query session over real TCP: greeting, framing, matching, logins with their throttling
// on a driven clock, re-validation, selection, and the limits that keep hostile clients from
// exhausting the server.

#include <gtest/gtest.h>

#include "QueryHarness.h"
#include "admin/AccountAdmin.h"
#include "admin/LoginFailures.h"
#include "common/Log.h"
#include "support/Process.h"

namespace vh::test {
namespace {

using Lines = std::vector<std::string>;
constexpr const char* kThirdFailure =
    "Your password failed 3 consecutive times, please wait 10 minutes before trying again!";
constexpr const char* kRefused =
    "You are still banned or a failed password try caused a 30 second delay!";

class QuerySession : public ::testing::Test {
 protected:
  TQueryHarness h;
};

TEST_F(QuerySession, GreetingEmptyLinesUnknownWordsAndCaseOfCommandWords) {
  auto c = h.Connect();
  EXPECT_EQ(c->ReadLine(), "[VH]");
  c->Send("\r\n\n");
  EXPECT_EQ(c->Command("VeR"), (Lines{"Version Voxhollow v2.0.20.1 Linux", "OK"}));
  EXPECT_EQ(c->Command("bogus"), (Lines{"error"}));
  EXPECT_EQ(c->Command("verx"), (Lines{"error"}));  // the word must end at a blank
  c->Send(std::string("s\0l\xff\r\n", 6));
  EXPECT_EQ(c->ReadLine(), "error");
  EXPECT_EQ(c->Command("SL"), (Lines{std::to_string(h.ServerPort()), "OK"}));
  EXPECT_EQ(c->Final("msg hello"), "ERROR, not logged in");
}

TEST_F(QuerySession, LoginNeedsSelectionAndTwoParametersAndAccessPermission) {
  AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "boss", "bosspw", true);
  AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "joe", "joepw", false);
  auto c = h.Connect();
  c->ReadLine();
  EXPECT_EQ(c->Final("login boss bosspw"), "ERROR, no server selected");
  EXPECT_EQ(c->Final("sel " + std::to_string(h.ServerPort())), "OK");
  EXPECT_EQ(c->Final("login boss"), "ERROR, invalid paramcount");
  EXPECT_EQ(c->Final("login joe joepw"), "ERROR, invalid permissions");  // not a server admin
  EXPECT_EQ(c->Final("login boss bosspw"), "OK");
  // A server admin may use the admin commands of his server but no super commands.
  EXPECT_EQ(c->Final("dbuserlist"), "OK");
  EXPECT_EQ(c->Final("dbsuserlist"), "ERROR, invalid permissions");
  EXPECT_EQ(c->Final("login boss wrong"), "ERROR, invalid login");
  EXPECT_EQ(c->Final("dbuserlist"), "ERROR, not logged in");
}

TEST_F(QuerySession, FailedLoginsCloseAtThreeRefuseAboveThreeAndExpireAfter60Seconds) {
  auto c = h.Connect();
  c->ReadLine();
  EXPECT_EQ(c->Final("slogin root x"), "ERROR, invalid login");
  EXPECT_EQ(c->Final("slogin root y"), "ERROR, invalid login");
  EXPECT_EQ(c->Command("slogin root z"), (Lines{kThirdFailure}));
  EXPECT_TRUE(c->WaitClosed());

  auto d = h.Connect();  // three is not enough to be refused
  EXPECT_EQ(d->ReadLine(), "[VH]");
  EXPECT_EQ(d->Command("slogin root w"), (Lines{kThirdFailure}));
  EXPECT_TRUE(d->WaitClosed());

  auto e = h.Connect();
  EXPECT_EQ(e->ReadLine(), kRefused);
  EXPECT_TRUE(e->WaitClosed());

  h.Clock().Advance(61000);
  auto f = h.Connect();
  EXPECT_EQ(f->ReadLine(), "[VH]");
  EXPECT_EQ(f->Final("slogin root rootpw"), "OK");
  EXPECT_EQ(h.Query().Failures().Count(), 0u);  // a success forgets the address
}

TEST_F(QuerySession, ConnectionsOpenedBeforeTheRefusalCannotGoOnTrying) {
  std::vector<std::unique_ptr<TQueryConnection>> open;
  for (int i = 0; i < 6; ++i) {
    open.push_back(h.Connect());
    open.back()->ReadLine();
  }
  EXPECT_EQ(open[0]->Final("slogin root a"), "ERROR, invalid login");
  EXPECT_EQ(open[1]->Final("slogin root b"), "ERROR, invalid login");
  EXPECT_EQ(open[2]->Command("slogin root c"), (Lines{kThirdFailure}));
  EXPECT_EQ(open[3]->Command("slogin root d"), (Lines{kThirdFailure}));
  // Refused now: even the right password fails on a connection that was already open.
  EXPECT_EQ(open[4]->Command("slogin root rootpw"), (Lines{kThirdFailure}));
  EXPECT_TRUE(open[4]->WaitClosed());
  EXPECT_EQ(open[5]->Final("ver"), "OK");
  h.Clock().Advance(29000);
  EXPECT_EQ(open[5]->Command("slogin root rootpw"), (Lines{kThirdFailure}));
  h.Clock().Advance(61000);
  auto later = h.Connect();
  EXPECT_EQ(later->ReadLine(), "[VH]");
  EXPECT_EQ(later->Final("slogin root rootpw"), "OK");
}

// An admin of a virtual server who logs in between his guesses at the super admin used to
// clear his address each time and guessed without end.
TEST_F(QuerySession, OwnGoodLoginsDoNotClearTheGuessesAtAnotherAccount) {
  AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "boss", "bosspw", true);
  auto c = h.Connect();
  c->ReadLine();
  EXPECT_EQ(c->Final("sel " + std::to_string(h.ServerPort())), "OK");
  EXPECT_EQ(c->Final("slogin root guess1"), "ERROR, invalid login");
  EXPECT_EQ(c->Final("login boss bosspw"), "OK");
  EXPECT_EQ(c->Final("slogin root guess2"), "ERROR, invalid login");
  EXPECT_EQ(c->Final("login boss bosspw"), "OK");
  EXPECT_EQ(c->Command("slogin root guess3"), (Lines{kThirdFailure}));
  EXPECT_TRUE(c->WaitClosed());
  const std::string log = ReadFile(h.LogFile());
  EXPECT_NE(log.find("Security,\tlogin failed [Interface: tcpquery, IP: 127.0.0.1, Reason: "
                     "invalid_login, LoginName: root]"),
            std::string::npos);
}

// Guesses from several addresses slow the account down for everybody; its owner still gets in,
// and only his own connection waits.
TEST_F(QuerySession, GuessesFromManyAddressesDelayTheAccountNotTheServer) {
  for (int a = 2; a <= 4; ++a) {
    auto c = h.Connect("127.0.0." + std::to_string(a));
    c->ReadLine();
    EXPECT_EQ(c->Final("slogin root guess"), "ERROR, invalid login");
    EXPECT_EQ(c->Final("slogin root guess"), "ERROR, invalid login");
  }
  ASSERT_EQ(h.Query().Failures().AccountDelayMs("0:root"), TLoginFailures::DelayForFailures(6));
  auto owner = h.Connect();
  owner->ReadLine();
  auto other = h.Connect("127.0.0.9");
  other->ReadLine();
  const auto start = std::chrono::steady_clock::now();
  owner->Send("slogin root rootpw\r\n");
  EXPECT_EQ(other->Final("ver"), "OK");  // answered while the login waits
  EXPECT_EQ(owner->ReadLine(0ms), std::nullopt);
  EXPECT_EQ(owner->ReadLine(), "OK");
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(static_cast<int>(TLoginFailures::DelayForFailures(6))));
  EXPECT_EQ(owner->Final("dbsuserlist").substr(0, 2), "OK");
}

// A database that cannot be asked says nothing about a login: the logged-in session stays and
// is checked again once the database answers; logins meanwhile answer the generic error and
// count against nobody.
TEST_F(QuerySession, DatabaseFailureIsNeverAFailedLogin) {
  auto a = h.Admin();
  EXPECT_EQ(a->Final("dbsuseradd other opw opw"), "OK");
  auto b = h.Connect();
  b->ReadLine();
  EXPECT_EQ(b->Final("slogin other opw"), "OK");
  h.FailStorage(true);
  h.Clock().Advance(2100);
  EXPECT_EQ(b->Final("lc"), "OK");
  for (int i = 0; i < 6; ++i) {
    auto c = h.Connect();
    EXPECT_EQ(c->ReadLine(), "[VH]");
    EXPECT_EQ(c->Final("slogin root rootpw"), "ERROR, error");
  }
  EXPECT_EQ(h.Query().Failures().Count(), 0u);
  EXPECT_EQ(h.Query().Failures().AccountFailures("0:root"), 0u);
  h.FailStorage(false);
  EXPECT_EQ(b->Final("lc"), "OK");
  EXPECT_EQ(a->Final("dbsuserchangepw 2 npw npw"), "OK");
  h.Clock().Advance(2100);
  EXPECT_EQ(b->Final("lc"), "ERROR, not logged in");  // checking has resumed
}

TEST_F(QuerySession, ConnectionListHidesPasswordsAndShowsEverySession) {
  auto a = h.Admin();
  auto b = h.Connect();
  b->ReadLine();
  b->Command("sl");
  EXPECT_EQ(a->Final("dbsuseradd second pw2 pw2"), "OK");
  auto lines = a->Command("lc");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "login_name\tserver_id\tssa\tsa\tip\tlast_command");
  EXPECT_EQ(lines[1], "\"root\"\t0\t1\t1\t\"127.0.0.1\"\t\"lc\"");
  // What an anonymous connection typed never shows.
  EXPECT_EQ(lines[2], "\"<not_logged_in>\"\t0\t0\t0\t\"127.0.0.1\"\t\"\"");
  EXPECT_EQ(a->Final("dbsuserchangepw 2 pw3 pw3"), "OK");
  b->Command("slogin second pw3");
  lines = a->Command("lc");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2],
            "\"second\"\t0\t1\t1\t\"127.0.0.1\"\t\"login/slogin username=hidden "
            "password=hidden\"");
  EXPECT_EQ(b->Final("dbsuserchangepw 2 pw4 pw4"), "OK");
  lines = a->Command("lc");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "\"second\"\t0\t1\t1\t\"127.0.0.1\"\t\"dbsuserchangepw 2 hidden hidden\"");
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find("pw3"), std::string::npos) << line;
    EXPECT_EQ(line.find("pw4"), std::string::npos) << line;
  }
}

TEST_F(QuerySession, LoginIsCheckedAgainAfterTwoSecondsWhenItsPasswordChanged) {
  auto a = h.Admin();
  EXPECT_EQ(a->Final("dbsuseradd other opw opw"), "OK");
  auto b = h.Connect();
  b->ReadLine();
  EXPECT_EQ(b->Final("slogin other opw"), "OK");
  EXPECT_EQ(a->Final("dbsuserchangepw 2 npw npw"), "OK");
  h.Clock().Advance(1900);
  EXPECT_EQ(b->Final("dbsuserlist"), "OK");  // not checked again yet
  h.Clock().Advance(200);
  EXPECT_EQ(b->Final("dbsuserlist"), "ERROR, not logged in");
  EXPECT_EQ(b->Final("slogin other npw"), "OK");
}

TEST_F(QuerySession, SelectionByPortRefusesZeroNegativeTextAndUnknownPorts) {
  auto c = h.Connect();
  c->ReadLine();
  EXPECT_EQ(c->Final("sel 0"), "ERROR, invalid id");
  EXPECT_EQ(c->Final("sel -8767"), "ERROR, invalid id");
  EXPECT_EQ(c->Final("sel port"), "ERROR, invalid number format");
  EXPECT_EQ(c->Final("sel 99999999999999999999"), "ERROR, invalid number format");
  EXPECT_EQ(c->Final("sel"), "ERROR, invalid paramcount");
  EXPECT_EQ(c->Final("sel 1"), "ERROR, invalid id");
  EXPECT_EQ(c->Final("pl"), "ERROR, invalid paramcount");  // no selection, no port
  EXPECT_EQ(c->Final("pl " + std::to_string(h.ServerPort())), "OK");
  EXPECT_EQ(c->Final("sel " + std::to_string(h.ServerPort())), "OK");
  EXPECT_EQ(c->Final("sel 0"), "ERROR, invalid id");
  EXPECT_EQ(c->Final("si"), "ERROR, invalid paramcount");  // a failed sel clears the selection
}

TEST_F(QuerySession, ServerStoppedByAnotherSessionIsNeverReached) {
  auto a = h.Admin();
  auto b = h.Admin();
  auto player = h.Join("alice");
  ASSERT_TRUE(player);
  EXPECT_EQ(b->Final("serverstop"), "OK");
  EXPECT_EQ(h.Servers().Count(), 0u);
  for (const char* command : {"si", "pl", "cl", "msg hi", "dccl", "kick 1", "banlist", "rehash"})
    EXPECT_EQ(a->Final(command), "ERROR, invalid id") << command;
  EXPECT_EQ(a->Command("sl"), (Lines{"OK"}));
  EXPECT_EQ(a->Final("sel " + std::to_string(h.ServerPort())), "ERROR, invalid id");
  // Started again it is a new server, which the old session must select anew (it is not in
  // the session's list, which a new connection has).
  EXPECT_EQ(a->Final("serverstart " + std::to_string(h.Server().ServerID())), "OK");
  auto c = h.Admin();
  EXPECT_EQ(c->Final("si"), "OK");
}

TEST_F(QuerySession, MoreThan256ConnectionsAreRefusedAndSpaceIsReused) {
  std::vector<std::unique_ptr<TQueryConnection>> open;
  int greeted = 0, refused = 0;
  for (int i = 0; i < 300; ++i) {
    // Seven from each address, under the cap of one address.
    open.push_back(h.Connect("127.0.1." + std::to_string(i / 7 + 1)));
    auto first = open.back()->ReadLine();
    if (first == "[VH]") ++greeted;
    if (first == "ERROR, too many connections") {
      ++refused;
      EXPECT_TRUE(open.back()->WaitClosed());
    }
  }
  EXPECT_EQ(greeted, 256);
  EXPECT_EQ(refused, 44);
  EXPECT_EQ(open.front()->Final("ver"), "OK");
  open.front()->Command("quit");
  EXPECT_TRUE(open.front()->WaitClosed());
  ASSERT_TRUE(WaitUntil([&] { return h.Query().ConnectionCount() == 255; }, 5s));
  auto next = h.Connect();
  EXPECT_EQ(next->ReadLine(), "[VH]");
}

// One address at its worst: as many connections as it may hold, talking without logging in.
// They end 30 s after they opened; an administrator from another address gets in meanwhile,
// and his logged-in connection keeps the 10-minute idle limit.
TEST_F(QuerySession, OneAddressCannotKeepTheAdministratorOut) {
  std::vector<std::unique_ptr<TQueryConnection>> attacker;
  for (int i = 0; i < 8; ++i) {
    attacker.push_back(h.Connect("127.0.0.2"));
    EXPECT_EQ(attacker.back()->ReadLine(), "[VH]");
  }
  auto ninth = h.Connect("127.0.0.2");
  EXPECT_EQ(ninth->ReadLine(), "ERROR, too many connections");
  EXPECT_TRUE(ninth->WaitClosed());

  auto admin = h.Connect();
  EXPECT_EQ(admin->ReadLine(), "[VH]");
  EXPECT_EQ(admin->Final("slogin root rootpw"), "OK");

  h.Clock().Advance(29000);
  for (auto& c : attacker) EXPECT_EQ(c->Final("ver"), "OK");  // traffic does not extend it
  h.Clock().Advance(1000);
  for (auto& c : attacker) EXPECT_TRUE(c->WaitClosed());
  EXPECT_EQ(admin->Final("ver"), "OK");
  ASSERT_TRUE(WaitUntil([&] { return h.Query().ConnectionCount() == 1; }, 5s));
  auto again = h.Connect("127.0.0.2");
  EXPECT_EQ(again->ReadLine(), "[VH]");

  h.Clock().Advance(9 * 60 * 1000.0);
  EXPECT_EQ(admin->Final("ver"), "OK");
  EXPECT_TRUE(again->WaitClosed());
}

TEST_F(QuerySession, MegabyteLineAnswersErrorAndTheConnectionGoesOn) {
  auto c = h.Connect();
  c->ReadLine();
  const std::string chunk(65536, 'A');
  for (int i = 0; i < 16; ++i) c->Send(chunk);
  c->Send("\r\n");
  EXPECT_EQ(c->ReadLine(), "error");
  EXPECT_EQ(c->Final("ver"), "OK");
}

TEST_F(QuerySession, SilentConnectionIsClosedAfterTenMinutes) {
  auto c = h.Admin();
  auto d = h.Admin();
  h.Clock().Advance(9 * 60 * 1000.0);
  EXPECT_EQ(d->Final("ver"), "OK");  // traffic restarts d's idle time
  h.Clock().Advance(60 * 1000.0 + 1);
  EXPECT_TRUE(c->WaitClosed());
  EXPECT_EQ(d->Final("ver"), "OK");
}

TEST_F(QuerySession, PeerLeavingInTheMiddleOfALongAnswerEndsOnlyItsSession) {
  for (int i = 0; i < 2000; ++i) Log(LMT_ALL, LMD_INFO, std::string(200, 'x'), "filler");
  auto a = h.Admin();
  auto b = h.Admin();
  a->Send("log 2000\r\n");
  a.reset();  // closes before reading the answer
  EXPECT_EQ(b->Final("ver"), "OK");
  EXPECT_EQ(b->Command("log 5").size(), 6u);
}

}  // namespace
}  // namespace vh::test
