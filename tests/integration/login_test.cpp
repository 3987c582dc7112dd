// Login and join against a real virtual server over UDP on 127.0.0.1.
#include <gtest/gtest.h>

#include <set>

#include "ServerHarness.h"
#include "model/Clients.h"
#include "support/Process.h"

namespace vh::test {
namespace {

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
