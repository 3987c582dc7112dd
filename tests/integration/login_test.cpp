// Login and join against a real virtual server over UDP on 127.0.0.1.
#include <gtest/gtest.h>

#include <future>
#include <set>

#include "ServerHarness.h"
#include "common/PasswordCheckPool.h"
#include "common/ResultCodes.h"
#include "model/Clients.h"
#include "support/Process.h"
#include "transport/ConnectionTable.h"

namespace vh::test {
namespace {

using client::CMD_cs_LoginStep3;
using client::CMD_sc_LoginStep6;
using client::TLoginOptions;
using client::TProtocolClient;

std::optional<client::TLoginReply> LoginAs(TProtocolClient& c, const std::string& nick,
                                           std::function<void(TLoginOptions&)> edit = {}) {
  TLoginOptions o;
  o.nickname = nick;
  if (edit) edit(o);
  return c.Login(o, 3s);
}

TEST(Login, AcceptedLoginJoinsTheDefaultChannelAndIsAnnounced) {
  TServerHarness h;
  auto first = h.Join("alice");
  ASSERT_TRUE(first);

  auto second = h.NewClient();
  auto reply = LoginAs(*second, "bob");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  EXPECT_EQ(reply->size, 436);
  EXPECT_EQ(reply->serverName, "Voxhollow Server");
  EXPECT_EQ(reply->platform, "Linux");
  EXPECT_EQ(reply->serverVersion, (std::array<uint16_t, 4>{2, 0, 20, 1}));
  EXPECT_EQ(reply->codecs, 0x1FFFu);
  EXPECT_EQ(reply->serverFlags, 1 | 4);
  EXPECT_EQ(reply->maxPlayers, 16);
  EXPECT_NE(reply->connectionId, 0u);
  EXPECT_EQ(reply->playerId, 2u);
  EXPECT_EQ(reply->text.rfind("[Welcome to Voxhollow", 0), 0u);

  client::TJoinOptions j;
  j.channel = "no such channel";
  auto join = second->Join(j, 3s);
  ASSERT_TRUE(join.complete);
  ASSERT_EQ(join.channels.size(), 1u);
  EXPECT_EQ(join.channels[0].name, "Default");
  ASSERT_EQ(join.players.size(), 2u);  // both players, himself included
  for (const auto& p : join.players) EXPECT_EQ(p.channelId, join.channels[0].id);

  auto entered = first->WaitForCommand(100, 3s);
  ASSERT_TRUE(entered);
  EXPECT_EQ(entered->Size(), 68);
  EXPECT_EQ(entered->LongAt(24), reply->playerId);
  // The listener counts the login just after queuing the announcement, so the count may trail
  // the packet that alice already has.
  EXPECT_TRUE(WaitUntil([&] { return h.Server().LoginCount().load() == 2u; }, 3000ms))
      << h.Server().LoginCount().load();
}

TEST(Login, RefusalsOfTheLoginRequest) {
  TServerHarness h([](THostPolicy& s) { s.LogAccessUnregistered = true; });
  {  // a request of the wrong size answers -5 and closes
    auto c = h.NewClient();
    auto request = NewConnectionPacket(kConnLoginRequest, 0, 0, 1);
    request->SetSize(179);
    request->SetCRC();
    c->SendRaw(request->Bytes());
    auto r = c->WaitForLoginReply(3s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, -5);
  }
  auto version = [&](std::array<uint16_t, 4> v) {
    auto c = h.NewClient();
    auto r = LoginAs(*c, "v" + std::to_string(v[2]) + "_" + std::to_string(v[3]),
                     [&](TLoginOptions& o) { o.version = v; });
    return r ? r->result : 0;
  };
  EXPECT_EQ(version({2, 0, 27, 39}), -5);
  EXPECT_EQ(version({2, 0, 28, 0}), 1);
  EXPECT_EQ(version({2, 0, 1, 40}), 1);

  auto c = h.NewClient();
  auto bad = LoginAs(*c, "a(b)c)");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->result, -1);
  EXPECT_EQ(bad->text, "Your nickname contains the following invalid characters \"()\".");
  for (const char* nick : {"Server", "SERVER", "  server "}) {
    auto s = h.NewClient();
    auto r = LoginAs(*s, nick);
    ASSERT_TRUE(r) << nick;
    EXPECT_EQ(r->result, -1) << nick;
  }
  auto empty = h.NewClient();
  EXPECT_EQ(LoginAs(*empty, "  ")->result, -1);
}

TEST(Login, NicknamesInUseAndGuestNumbering) {
  TServerHarness h;
  auto first = h.Join("carol");
  ASSERT_TRUE(first);
  auto dup = h.NewClient();
  EXPECT_EQ(LoginAs(*dup, "carol")->result, -4);

  auto renamed = h.NewClient();
  ASSERT_EQ(LoginAs(*renamed, "carol", [](TLoginOptions& o) { o.rename = true; })->result, 1);
  auto join = renamed->Join({}, 3s);
  ASSERT_TRUE(join.complete);
  bool found = false;
  for (const auto& p : join.players) found = found || p.nickname == "carol1";
  EXPECT_TRUE(found);

  auto guest = h.NewClient();
  ASSERT_EQ(LoginAs(*guest, "", [](TLoginOptions& o) { o.rename = true; })->result, 1);
  ASSERT_TRUE(guest->Join({}, 3s).complete);
  auto guest2 = h.NewClient();
  ASSERT_EQ(LoginAs(*guest2, "", [](TLoginOptions& o) { o.rename = true; })->result, 1);
  auto j2 = guest2->Join({}, 3s);
  ASSERT_TRUE(j2.complete);
  std::set<std::string> nicks;
  for (const auto& p : j2.players) nicks.insert(p.nickname);
  EXPECT_TRUE(nicks.count("Guest1"));
  EXPECT_TRUE(nicks.count("Guest2"));
}

TEST(Login, FullServerAnswersMinus2ButMinus4ForATakenNickname) {
  TServerHarness h;
  h.EditSettings([](TVirtualServerSettings& s) { s.MaxUsers = 1; });
  auto only = h.Join("dave");
  ASSERT_TRUE(only);
  auto full = h.NewClient();
  EXPECT_EQ(LoginAs(*full, "erin")->result, -2);
  auto taken = h.NewClient();
  EXPECT_EQ(LoginAs(*taken, "dave")->result, -4);
}

TEST(Login, ServerPasswordForAnonymousPlayers) {
  TServerHarness h;
  h.EditSettings([](TVirtualServerSettings& s) { s.Password = "Secret"; });
  auto wrong = h.NewClient();
  EXPECT_EQ(LoginAs(*wrong, "f", [](TLoginOptions& o) { o.password = "secret"; })->result, -1);
  auto right = h.NewClient();
  EXPECT_EQ(LoginAs(*right, "g", [](TLoginOptions& o) { o.password = "Secret"; })->result, 1);
}

// A one-thread check pool whose thread is held until Open: every login check queued meanwhile
// waits, as a slow check would.
class TCheckGate {
 public:
  TCheckGate() {
    pool.Submit([opened = opened_] { opened.wait(); });
  }
  ~TCheckGate() { Open(); }
  void Open() {
    if (!open_) open_.emplace(), promise_.set_value();
  }
  // Returns once every check queued before has run.
  void Drain() {
    std::promise<void> ran;
    pool.Submit([&ran] { ran.set_value(); });
    ran.get_future().wait();
  }

  TPasswordCheckPool pool{1};

 private:
  std::promise<void> promise_;
  std::shared_future<void> opened_ = promise_.get_future().share();
  std::optional<bool> open_;
};

TLoginOptions AccountLogin(const std::string& nick, const std::string& password) {
  TLoginOptions o;
  o.nickname = nick;
  o.registered = true;
  o.loginName = "henry";
  o.password = password;
  return o;
}

// The listener has handled every event taken before this call.
void WaitForListener(TServerHarness& h) {
  TListenerRequest alive;
  alive.Type = TListenerRequestKind::CheckAlive;
  ASSERT_EQ(h.Server().ExecuteRequest(alive).ResultCode, RC_ALIVE);
}

TEST(LoginPasswordCheck, OtherLoginsGoOnWhileChecksWaitAndTheirVerdictsComeLater) {
  TCheckGate gate;
  TServerHarness h({}, nullptr, {"127.0.0.1"}, &gate.pool);
  h.AddAccount("henry", "pw1");
  auto first = h.NewClient(), second = h.NewClient(), wrong = h.NewClient();
  first->SendLogin(AccountLogin("henry", "pw1"));
  second->SendLogin(AccountLogin("henry2", "pw1"));
  wrong->SendLogin(AccountLogin("henry3", "nope"));
  ASSERT_TRUE(WaitUntil([&] { return h.Server().PacketBuffer()->ConnectionCount() == 3; }, 3s));

  // An anonymous login and join completes while the three checks wait.
  auto guest = h.Join("guest");
  ASSERT_TRUE(guest);
  EXPECT_FALSE(first->WaitForLoginReply(0ms));

  gate.Open();
  auto r1 = first->WaitForLoginReply(3s), r2 = second->WaitForLoginReply(3s),
       r3 = wrong->WaitForLoginReply(3s);
  ASSERT_TRUE(r1 && r2 && r3);
  // Both right passwords were checked at once: the one seated first keeps the name.
  EXPECT_EQ(r1->result, 1);
  EXPECT_EQ(r2->result, -7);
  EXPECT_EQ(r3->result, -21);
  EXPECT_TRUE(h.Log().Contains(
      "login failed [Interface: voice, IP: 127.0.0.1, Reason: invalid_login, LoginName: henry]"));
}

TEST(LoginPasswordCheck, PacketsSentBeforeTheAnswerAreHandledAfterItInOrder) {
  TCheckGate gate;
  TServerHarness h({}, nullptr, {"127.0.0.1"}, &gate.pool);
  h.AddAccount("henry", "pw1");
  auto henry = h.NewClient();
  henry->SendLogin(AccountLogin("henry", "pw1"));
  ASSERT_TRUE(WaitUntil([&] { return h.Server().PacketBuffer()->ConnectionCount() == 1; }, 3s));
  WaitForListener(h);
  // The join request goes out on the connection before its login is answered.
  const uint32_t playerId = 1;
  TCustomPacketBuffer& table = *h.Server().PacketBuffer();
  henry->Session().SetIdentity(table.GetConnectionStats(playerId).connectionId, playerId);
  henry->SendCommand(CMD_cs_LoginStep3, client::BuildJoinPayload({}));
  ASSERT_TRUE(
      WaitUntil([&] { return table.GetConnectionStats(playerId).packetsReceived >= 1; }, 3s));
  ASSERT_TRUE(h.Join("guest"));  // its login is taken after henry's join request
  gate.Open();
  auto reply = henry->WaitForLoginReply(3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, 1);
  EXPECT_TRUE(henry->WaitForCommand(CMD_sc_LoginStep6, 3s));
}

TEST(LoginPasswordCheck, APlayerWhoseConnectionGoesWhileHisCheckWaitsIsNotSeated) {
  TCheckGate gate;
  TManualClock clock;
  TServerHarness h({}, &clock, {"127.0.0.1"}, &gate.pool);
  h.AddAccount("henry", "pw1");
  auto henry = h.NewClient();
  henry->SendLogin(AccountLogin("henry", "pw1"));
  TCustomPacketBuffer& table = *h.Server().PacketBuffer();
  ASSERT_TRUE(WaitUntil([&] { return table.ConnectionCount() == 1; }, 3s));
  WaitForListener(h);
  h.AdvanceClock(clock, 35000);  // past the connection's time-out
  ASSERT_TRUE(WaitUntil([&] { return table.ConnectionCount() == 0; }, 3s));
  gate.Open();
  gate.Drain();
  WaitForListener(h);  // it has taken the check's wake-up
  {
    TLockGuard registry(h.Server().Clients()->Mutex());
    EXPECT_EQ(h.Server().Clients()->Count(), 0u);
  }
  EXPECT_EQ(table.ConnectionCount(), 0u);
  EXPECT_FALSE(henry->WaitForLoginReply(0ms));
}

TEST(Login, AccountsWrongPasswordAndSecondLogin) {
  TServerHarness h([](THostPolicy& s) { s.LogAccessRegistered = true; });
  h.AddAccount("henry", "pw1");
  auto wrong = h.NewClient();
  auto r = LoginAs(*wrong, "henry", [](TLoginOptions& o) {
    o.registered = true;
    o.loginName = "henry";
    o.password = "nope";
  });
  EXPECT_EQ(r->result, -21);
  auto first = h.Join("henry", "henry", "pw1");
  ASSERT_TRUE(first);
  EXPECT_TRUE(h.Log().Contains("client connected [IP: 127.0.0.1, Nick: henry, LoginName: henry"));
  auto second = h.NewClient();
  auto r2 = LoginAs(*second, "henry2", [](TLoginOptions& o) {
    o.registered = true;
    o.loginName = "henry";
    o.password = "pw1";
  });
  EXPECT_EQ(r2->result, -7);
  EXPECT_TRUE(h.Log().Contains("client disconnected, reason LoginName in use [IP: 127.0.0.1"));
}

}  // namespace
}  // namespace vh::test
