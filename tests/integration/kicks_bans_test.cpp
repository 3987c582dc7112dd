// Kicks, IP bans and flood control against a real virtual server over UDP on 127.0.0.1.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PlayerWorld.h"
#include "model/BanMatch.h"

namespace vh::test {
namespace {

using client::TProtocolClient;

constexpr double kSecond = 1.0 / 86400.0;

std::string KickPayload(uint32_t target, std::string_view reason) {
  return std::string(std::string_view(TPayload().I32(static_cast<int32_t>(target)).Name29(reason)));
}

// Gives a player `privileges` in `channelId` (his entry there, and his current bits).
void SetChannelRank(TServerObject& server, uint32_t playerId, int32_t channelId,
                    uint16_t privileges) {
  WithModel(server, [&](TClients& registry, TChannels& tree) {
    TClientRecord* p = registry.GetClientByID(playerId);
    ASSERT_TRUE(p);
    p->ChannelPrivileges = privileges;
    tree.SetChannelAttribs(tree.GetChannel(channelId), p);
  });
}

uint16_t ChannelRank(TServerObject& server, uint32_t playerId, int32_t channelId) {
  uint16_t rank = 0;
  WithModel(server, [&](TClients& registry, TChannels& tree) {
    TClientRecord* p = registry.GetClientByID(playerId);
    if (p) rank = tree.GetChannelAttribs(tree.GetChannel(channelId), p);
  });
  return rank;
}

struct TListedBan {
  std::string pattern;
  uint16_t minutes = 0;
  std::string by;
};

// Asks for the ban list and parses the reply; nothing when it did not come or is malformed.
std::optional<std::vector<TListedBan>> BanList(TProtocolClient& c) {
  c.SendCommand(410, {});
  auto reply = WaitFor(c, 411);
  if (!reply || reply->Size() < 28) return std::nullopt;
  std::vector<TListedBan> bans(reply->LongAt(24));
  reply->SetPosition(28);
  for (TListedBan& b : bans)
    if (!reply->ReadCString(b.pattern) || !reply->ReadU16(b.minutes) || !reply->ReadCString(b.by))
      return std::nullopt;
  if (reply->Position() != reply->Size()) return std::nullopt;
  return bans;
}

// Sends the request, then a ban-list request as a barrier: replies come in order, so once the
// list has arrived so has any error reply to the request. Its code, or 0 for none.
int Refused(TProtocolClient& c, uint16_t number, std::string_view payload) {
  const uint32_t sequence = c.SendCommand(number, payload);
  if (!BanList(c)) return 1;  // no barrier: never taken for "no refusal"
  auto e = c.Session().TakeCommandIf([&](const TPacket& q) {
    return client::IsErrorReply(q) && q.Size() >= 30 && q.LongAt(26) == sequence;
  });
  return e ? client::ParseErrorReply(*e)->code : 0;
}

std::optional<client::TPlayerLeft> WaitForLeft(TProtocolClient& c, uint32_t playerId) {
  auto p = WaitFor(c, 101, [&](const TPacket& q) { return q.LongAt(24) == playerId; });
  if (!p) return std::nullopt;
  return client::ParsePlayerLeft(*p);
}

// The text of the next server message (130) that contains `fragment`.
std::string WaitForAdminText(TProtocolClient& c, std::string_view fragment) {
  auto p = WaitFor(c, 130, [&](const TPacket& q) {
    auto m = client::ParseTextMessage(q);
    return m && m->text.find(fragment) != std::string::npos;
  });
  if (!p) return {};
  auto m = client::ParseTextMessage(*p);
  EXPECT_EQ(m->sender, "SERVER");
  EXPECT_EQ(m->value, 255);
  EXPECT_EQ(m->kind, 2);
  return m->text;
}

std::vector<TBanEntry> ServerBans(TServerObject& server) {
  TLockGuard lock(server.BansLock());
  return BanEntriesFrom(server.Bans());
}

void StoreBan(TServerHarness& h, const std::string& pattern, int32_t minutes, TDateTime created) {
  TStorageScript q(h.Storage(), "new_ban.sql");
  q.SetInteger(":iServerID", h.Server().ServerID())
      .SetString(":sBy", "test")
      .SetString(":sIP", pattern)
      .SetDateTime(":dtCreated", created)
      .SetInteger(":iMinutes", minutes);
  ASSERT_TRUE(q.Execute());
}

// A server admin account, logged in and joined.
std::unique_ptr<TProtocolClient> JoinAdmin(TServerHarness& h, const std::string& name,
                                           const std::string& channel = {},
                                           int32_t* dbid = nullptr) {
  const int32_t id = h.AddAccount(name, "pw", PP_SERVER_ADMIN);
  if (dbid) *dbid = id;
  return h.Join(name, name, "pw", channel);
}

TEST(KickFromServer, PermissionsTargetsAndTheKick) {
  TServerHarness h([](THostPolicy& s) { s.LogKickServer = true; });
  int32_t bossId = 0, deputyId = 0;
  auto boss = JoinAdmin(h, "boss", {}, &bossId);
  auto deputy = JoinAdmin(h, "deputy", {}, &deputyId);
  auto al = h.Join("al");
  auto bo = h.Join("bo");
  ASSERT_TRUE(boss && deputy && al && bo);

  EXPECT_EQ(Refused(*al, 301, KickPayload(bo->PlayerId(), "")), -1009);
  EXPECT_EQ(Refused(*boss, 301, KickPayload(999, "")), -100);

  // A channel admin whose group may kick still cannot kick a server admin...
  TServerPermissions sets = h.Server().Permissions();
  sets[ugCA].Include(upKickPlayerFromServer);
  h.Server().SetPermissions(sets);
  const int32_t room = AddChannel(h.Server(), "Room", CF_UNREGISTERED);
  auto ca = h.Join("ca", "", "", "Room");
  ASSERT_TRUE(ca);
  SetChannelRank(h.Server(), ca->PlayerId(), room, CP_CHANNEL_ADMIN);
  EXPECT_EQ(Refused(*ca, 301, KickPayload(deputy->PlayerId(), "")), -1009);
  // ...but can kick anyone else, without a reason.
  EXPECT_EQ(Refused(*ca, 301, KickPayload(al->PlayerId(), "")), 0);
  auto alLeft = WaitForLeft(*al, al->PlayerId());
  ASSERT_TRUE(alLeft);
  EXPECT_EQ(alLeft->reason, 2);
  EXPECT_EQ(alLeft->causeId, static_cast<int32_t>(ca->PlayerId()));
  EXPECT_EQ(WaitForAdminText(*boss, "\"al\""), "Client \"al\" got kicked from Server by \"ca\"");
  // A player already on his way out is no longer there to kick.
  EXPECT_EQ(Refused(*boss, 301, KickPayload(al->PlayerId(), "")), -100);

  // A server admin kicks a server admin.
  EXPECT_EQ(Refused(*boss, 301, KickPayload(deputy->PlayerId(), "bye")), 0);
  auto left = WaitForLeft(*deputy, deputy->PlayerId());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->reason, 2);
  EXPECT_EQ(left->text, "bye");
  EXPECT_EQ(left->causeId, static_cast<int32_t>(boss->PlayerId()));
  ASSERT_TRUE(WaitForLeft(*bo, deputy->PlayerId()));
  EXPECT_EQ(WaitForAdminText(*boss, "\"deputy\""),
            "Client \"deputy\" got kicked from Server by \"boss\", reason \"bye\"");
  ASSERT_TRUE(BanList(*boss));  // the kick has been handled completely
  EXPECT_TRUE(
      h.Log().Contains("[PlayerName: deputy, LoginName: deputy, DBID: " + std::to_string(deputyId) +
                       "] got kicked from server by [PlayerName: boss, LoginName: boss, "
                       "DBID: " +
                       std::to_string(bossId) + "], reason: bye"));
}

TEST(KickFromChannel, RevokesByRankAndLandsInTheDefaultChannel) {
  TServerHarness h([](THostPolicy& s) { s.LogKickChannel = true; });
  const int32_t room = AddChannel(h.Server(), "Room", CF_UNREGISTERED);
  ASSERT_GT(room, 0);
  int32_t lobby = -1;
  WithModel(h.Server(), [&](TClients&, TChannels& tree) { lobby = tree.GetDefaultChannel(); });
  auto boss = JoinAdmin(h, "boss", "Room");
  auto op = h.Join("op", "", "", "Room");
  auto ca1 = h.Join("ca1", "", "", "Room");
  auto ca2 = h.Join("ca2", "", "", "Room");
  ASSERT_TRUE(boss && op && ca1 && ca2);
  SetChannelRank(h.Server(), op->PlayerId(), room, CP_OPERATOR);
  SetChannelRank(h.Server(), ca1->PlayerId(), room, CP_CHANNEL_ADMIN);
  SetChannelRank(h.Server(), ca2->PlayerId(), room, CP_CHANNEL_ADMIN);

  EXPECT_EQ(Refused(*ca2, 302, KickPayload(boss->PlayerId(), "")), -1009);
  EXPECT_EQ(Refused(*ca2, 302, KickPayload(4711, "")), -100);

  // An operator may kick a channel admin out, but cannot take his rank, even where his
  // group may revoke it.
  TServerPermissions sets = h.Server().Permissions();
  sets[ugOP].Include(upPrivilegeRevokeCA);
  h.Server().SetPermissions(sets);
  EXPECT_EQ(Refused(*op, 302, KickPayload(ca1->PlayerId(), "out")), 0);
  auto kicked = WaitFor(*ca1, 102);
  ASSERT_TRUE(kicked);
  auto k = client::ParsePlayerKicked(*kicked);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->playerId, static_cast<int32_t>(ca1->PlayerId()));
  EXPECT_EQ(k->oldChannelId, room);
  EXPECT_EQ(k->newChannelId, lobby);
  EXPECT_EQ(k->text, "out");
  EXPECT_TRUE(WaitFor(*op, 102));
  EXPECT_EQ(ChannelOf(h.Server(), ca1->PlayerId()), lobby);
  EXPECT_TRUE(ChannelRank(h.Server(), ca1->PlayerId(), room) & CP_CHANNEL_ADMIN);
  EXPECT_TRUE(h.Log().Contains("got kicked from channel Room by [PlayerName: op,"));

  // A server admin takes it.
  EXPECT_EQ(Refused(*boss, 302, KickPayload(ca2->PlayerId(), "")), 0);
  EXPECT_EQ(ChannelOf(h.Server(), ca2->PlayerId()), lobby);
  EXPECT_FALSE(ChannelRank(h.Server(), ca2->PlayerId(), room) & CP_CHANNEL_ADMIN);
  // A channel kick does not end the session.
  ASSERT_TRUE(WaitFor(*ca2, 102));
  auto rest = ca2->DrainFor(300ms);
  for (const auto& q : rest.commands) EXPECT_NE(q->CommandNumber(), 101);
}

TEST(IpBans, BanUnbanListAndPermissions) {
  TServerHarness h;
  auto boss = JoinAdmin(h, "boss");
  auto al = h.Join("al");
  ASSERT_TRUE(boss && al);

  EXPECT_EQ(Refused(*al, 324, TPayload().U16(0).Text("10.0.*.*")), -1009);
  EXPECT_EQ(
      Refused(*al, 325, TPayload().I32(static_cast<int32_t>(boss->PlayerId())).U16(0).Name29("")),
      -1009);
  EXPECT_EQ(Refused(*al, 326, TPayload().Text("10.0.*.*")), -1009);
  EXPECT_EQ(h.Server().BanCount(), 0u);

  EXPECT_EQ(Refused(*boss, 324, TPayload().U16(0).Text("10.0.*.*")), 0);
  EXPECT_EQ(WaitForAdminText(*boss, "10.0"), "IP \"10.0.*.*\" got banned from Server by \"boss\"");
  EXPECT_EQ(Refused(*boss, 324, TPayload().U16(30).Text("192.168.1.9")), 0);
  EXPECT_EQ(WaitForAdminText(*boss, "192.168"),
            "IP \"192.168.1.9\" got banned from Server by \"boss\", for 30 Minutes");

  auto list = BanList(*al);  // no permission needed to look
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].pattern, "10.0.*.*");
  EXPECT_EQ((*list)[0].minutes, 0);
  EXPECT_EQ((*list)[0].by, "IP Ban boss[LoginName: boss]");
  EXPECT_EQ((*list)[1].minutes, 30);

  // Every 10.0.x.y is refused for good, nothing else is.
  const auto bans = ServerBans(h.Server());
  for (const char* a : {"10.0.0.1", "10.0.77.200"}) {
    auto v = CheckBan(bans, a, NowDateTime());
    EXPECT_TRUE(v.Banned) << a;
    EXPECT_EQ(v.RemainingSeconds, -1) << a;
  }
  EXPECT_FALSE(CheckBan(bans, "10.1.0.1", NowDateTime()).Banned);
  EXPECT_FALSE(CheckBan(bans, "127.0.0.1", NowDateTime()).Banned);

  EXPECT_EQ(Refused(*boss, 326, TPayload().Text("10.0.*.*")), 0);

  // A connected player: his address is banned and he is removed.
  const auto al32 = static_cast<int32_t>(al->PlayerId());
  EXPECT_EQ(Refused(*boss, 325, TPayload().I32(999).U16(5).Name29("")), -100);
  EXPECT_EQ(Refused(*boss, 325, TPayload().I32(al32).U16(5).Name29("rude")), 0);
  auto left = WaitForLeft(*al, al->PlayerId());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->reason, 2);
  EXPECT_EQ(left->text, "rude");
  EXPECT_EQ(WaitForAdminText(*boss, "\"al\""),
            "Client \"al\" got banned from Server by \"boss\", reason \"rude\"");

  list = BanList(*boss);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 2u);
  EXPECT_EQ((*list)[0].pattern, "192.168.1.9");
  EXPECT_EQ((*list)[1].pattern, "127.0.0.1");
  EXPECT_EQ((*list)[1].minutes, 5);
  EXPECT_EQ((*list)[1].by, "boss[LoginName: boss] banned al[LoginName: ]");
}

TEST(IpBans, TwentyLongBansReachTheClientWholeAndTheTwentyFirstIsRefused) {
  TServerHarness h;
  auto boss = JoinAdmin(h, "boss");
  auto al = h.Join("al");
  ASSERT_TRUE(boss && al);
  for (int i = 0; i < 20; ++i) {
    const std::string pattern = std::to_string(i) + "." + std::string(400, 'x');
    boss->SendCommand(324, TPayload().U16(static_cast<uint16_t>(i)).Text(pattern));
  }
  auto list = BanList(*boss);
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 20u);
  for (int i = 0; i < 20; ++i) {
    const std::string prefix = std::to_string(i) + ".";
    EXPECT_EQ((*list)[i].pattern, (prefix + std::string(400, 'x')).substr(0, 255));
    EXPECT_EQ((*list)[i].minutes, i);
  }
  EXPECT_EQ(Refused(*boss, 324, TPayload().U16(0).Text("1.2.3.4")), -1900);
  // Banning a player at the limit refuses the ban but still removes him.
  EXPECT_EQ(
      Refused(*boss, 325, TPayload().I32(static_cast<int32_t>(al->PlayerId())).U16(0).Name29("")),
      -1900);
  ASSERT_TRUE(WaitForLeft(*al, al->PlayerId()));
  EXPECT_EQ(h.Server().BanCount(), 20u);
  // No ban was added for him: his address can still log in.
  EXPECT_TRUE(h.Join("again"));
}

TEST(IpBans, LoginRefusalsAndExpiry) {
  TServerHarness h;
  const TDateTime now = NowDateTime();
  // 10 minutes, 4 minutes old (a little less, so the login's own delay rounds to 240 s).
  StoreBan(h, "127.0.0.1", 10, now - (240 - 0.3) * kSecond);
  h.Server().LoadBans();
  auto c = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "al";
  auto reply = c->Login(o, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, -6);
  const std::string prefix = "You have been timebanned from this server, you may connect in ";
  ASSERT_EQ(reply->text.rfind(prefix, 0), 0u);
  const std::string left = reply->text.substr(prefix.size());
  EXPECT_TRUE(left == "00:06:05" || left == "00:06:04") << left;

  // A permanent wildcard ban gives no remaining time.
  {
    TStorageScript q(h.Storage(), "remove_bans.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", h.Server().ServerID()).Execute());
  }
  StoreBan(h, "127.0.*.*", 0, now);
  h.Server().LoadBans();
  auto d = h.NewClient();
  reply = d->Login(o, 3s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->result, -6);
  EXPECT_EQ(reply->text, "");
}

TEST(IpBans, ExpiredBansAreDeletedByTheNextLoginAndRefuseNobody) {
  TServerHarness h;
  const TDateTime threeMinutesAgo = NowDateTime() - 180 * kSecond;
  StoreBan(h, "127.0.0.1", 2, threeMinutesAgo);
  StoreBan(h, "10.9.9.9", 2, threeMinutesAgo);
  StoreBan(h, "10.9.9.9", 0, threeMinutesAgo);  // permanent: survives its expired twin
  h.Server().LoadBans();
  ASSERT_EQ(h.Server().BanCount(), 3u);

  ASSERT_TRUE(h.Join("al"));
  auto bans = ServerBans(h.Server());
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].Pattern, "10.9.9.9");
  EXPECT_EQ(bans[0].Minutes, 0);

  // Within 4 seconds of a clean-up there is none, yet the expired ban still refuses nobody.
  StoreBan(h, "127.0.0.1", 2, threeMinutesAgo);
  h.Server().LoadBans();
  ASSERT_TRUE(h.Join("bo"));
  EXPECT_EQ(h.Server().BanCount(), 2u);
}

TEST(FloodControl, TheEleventhQuickCommandBansForFiveMinutesButAdminsAreExempt) {
  TServerHarness h;
  auto boss = JoinAdmin(h, "boss");
  ASSERT_TRUE(boss);
  for (int i = 0; i < 30; ++i) boss->SendCommand(410, {});
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(WaitFor(*boss, 411)) << i;

  auto spam = h.Join("spam");  // the join request is the first command of the run
  ASSERT_TRUE(spam);
  for (int i = 0; i < 10; ++i) spam->SendCommand(410, {});
  auto left = WaitForLeft(*spam, spam->PlayerId());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->reason, 2);
  EXPECT_EQ(left->text, "Excess flood");
  EXPECT_EQ(left->causeId, 0);
  int answered = 0;
  while (spam->Session().TakeCommand(411)) ++answered;
  EXPECT_EQ(answered, 9);

  EXPECT_EQ(WaitForAdminText(*boss, "spam"),
            "Client \"spam\" got banned from Server for 5 minutes, reason \"Excess flood\"");
  auto bans = ServerBans(h.Server());
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].Pattern, "127.0.0.1");
  EXPECT_EQ(bans[0].Minutes, 5);
  EXPECT_EQ(bans[0].By, "by Server, reason: Excess flood");
}

TEST(AdministrationKicks, WithAndWithoutAMessageToTheAdmins) {
  TServerHarness h;
  auto boss = JoinAdmin(h, "boss");
  auto al = h.Join("al");
  auto bo = h.Join("bo");
  ASSERT_TRUE(boss && al && bo);

  TListenerRequest r;
  r.Type = TListenerRequestKind::KickWithReason;
  r.RequestTarget = 999;
  EXPECT_EQ(h.Server().ExecuteRequest(r).ResultCode, -100);

  r.RequestTarget = static_cast<int32_t>(al->PlayerId());
  r.RequestText = "idle";
  r.RequestIssuer = "webadmin";
  EXPECT_EQ(h.Server().ExecuteRequest(r).ResultCode, 0);
  auto left = WaitForLeft(*al, al->PlayerId());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->reason, 2);
  EXPECT_EQ(left->text, "idle");
  EXPECT_EQ(left->causeId, 0);
  EXPECT_EQ(WaitForAdminText(*boss, "\"al\""),
            "Client \"al\" got kicked from Server by \"webadmin\", reason \"idle\"");

  r.Type = TListenerRequestKind::RemoveWithText;
  r.RequestTarget = static_cast<int32_t>(bo->PlayerId());
  r.RequestText = "gone";
  EXPECT_EQ(h.Server().ExecuteRequest(r).ResultCode, 0);
  left = WaitForLeft(*bo, bo->PlayerId());
  ASSERT_TRUE(left);
  EXPECT_EQ(left->reason, 1);
  EXPECT_EQ(left->text, "gone");
  ASSERT_TRUE(WaitForLeft(*boss, bo->PlayerId()));
  EXPECT_FALSE(boss->Session().TakeCommandIf([](const TPacket& q) {
    auto m = client::ParseTextMessage(q);
    return m && m->text.find("\"bo\"") != std::string::npos;
  }));
}

}  // namespace
}  // namespace vh::test
