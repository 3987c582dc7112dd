// Player lifecycle on a running virtual server: visibility, time-outs and tear-down, server
// stop, administration requests.
#include <gtest/gtest.h>

#include "ServerHarness.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "support/Process.h"
#include "transport/ConnectionTable.h"
#include "vserver/Notifier.h"

namespace vh::test {
namespace {

// Adds a top-level channel to the running server's tree; returns its id.
int32_t AddTopChannel(TServerObject& server, const std::string& name, uint16_t flags) {
  TModelLock model(*server.Clients(), *server.Channels());
  TChannelPtr c = TChannels::NewChannel();
  c->Name = name;
  c->Flags = flags;
  c->ParentID = -1;
  c->ParentDBID = -1;
  c->MaxUsers = 20;
  c->Codec = 5;
  return server.Channels()->AddChannel(std::move(c));
}

size_t PlayerCount(TServerObject& server) {
  TLockGuard registry(server.Clients()->Mutex());
  return server.Clients()->Count();
}

TEST(Lifecycle, TimedOutPlayerIsAnnouncedOnceAndHisEmptyTemporaryChannelGoes) {
  TManualClock clock;
  TServerHarness h([](THostPolicy& s) { s.LogAccessUnregistered = true; }, &clock);
  const int32_t tmp = AddTopChannel(h.Server(), "tmp", CF_UNREGISTERED);
  ASSERT_GT(tmp, 0);
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  auto bob = h.Join("bob", "", "", "tmp");
  ASSERT_TRUE(bob);
  auto entered = alice->WaitForCommand(CMD_sc_NotifyPlayerEnteredScope, 3s);
  ASSERT_TRUE(entered);
  const uint32_t bobId = entered->LongAt(24);
  EXPECT_EQ(static_cast<int32_t>(entered->LongAt(28)), tmp);

  // Alice keeps talking; Bob falls silent for longer than the 30-second time-out.
  // Bob's last acknowledgement may land just after the first step; 35 s covers it, while
  // Alice's ping keeps her within 15 s.
  h.AdvanceClock(clock, 20000);
  ASSERT_TRUE(alice->WaitForPingReply(alice->SendPing(), 3s));
  h.AdvanceClock(clock, 15000);

  auto left = alice->WaitForCommand(CMD_sc_NotifyPlayerLeftScope, 5s);
  ASSERT_TRUE(left);
  auto parsed = client::ParsePlayerLeft(*left);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(static_cast<uint32_t>(parsed->playerId), bobId);
  EXPECT_EQ(parsed->reason, kLeftQuit);
  auto destroyed = alice->WaitForCommand(CMD_sc_NotifyChannelDestroyed, 3s);
  ASSERT_TRUE(destroyed);
  EXPECT_EQ(destroyed->WordAt(24), static_cast<uint16_t>(tmp));

  auto rest = alice->DrainFor(300ms);
  for (const auto& p : rest.commands)
    EXPECT_NE(p->CommandNumber(), CMD_sc_NotifyPlayerLeftScope) << "left notice sent twice";
  EXPECT_EQ(PlayerCount(h.Server()), 1u);
  EXPECT_EQ(h.Log().Count("client disconnected. [Nick: bob]"), 1u);
  TModelLock model(*h.Server().Clients(), *h.Server().Channels());
  EXPECT_EQ(h.Server().Channels()->GetChannel(tmp), nullptr);
}

TEST(Lifecycle, VanishedLoginLeavesNothingBehindAndIdsRestartAtOne) {
  TManualClock clock;
  TServerHarness h({}, &clock);
  {
    auto c = h.NewClient();
    client::TLoginOptions o;
    o.nickname = "ghost";
    auto reply = c->Login(o, 3s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->playerId, 1u);
  }  // never joins, never answers again
  auto second = h.Join("second");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->PlayerId(), 2u);
  second->Quit(1s);  // the quit lands with the player commands; the time-out covers both
  h.AdvanceClock(clock, 36000);
  ASSERT_TRUE(WaitUntil([&] { return h.Server().PacketBuffer()->ConnectionCount() == 0; }, 5000ms));
  ASSERT_TRUE(WaitUntil([&] { return PlayerCount(h.Server()) == 0; }, 5000ms));
  auto next = h.Join("next");
  ASSERT_TRUE(next);
  EXPECT_EQ(next->PlayerId(), 1u);
}

TEST(Lifecycle, StoppedServerTellsEveryPlayerReason4) {
  TServerHarness h;
  auto a = h.Join("a");
  auto b = h.Join("b");
  ASSERT_TRUE(a && b);
  h.StopServer();
  for (auto* c : {a.get(), b.get()}) {
    std::unique_ptr<TPacket> own;
    for (auto p = c->WaitForCommand(CMD_sc_NotifyPlayerLeftScope, 3s); p;
         p = c->WaitForCommand(CMD_sc_NotifyPlayerLeftScope, 500ms)) {
      if (p->LongAt(24) == c->PlayerId()) own = std::move(p);
    }
    ASSERT_TRUE(own);
    EXPECT_EQ(own->WordAt(28), kLeftServerStopped);
  }
}

TEST(Lifecycle, LivenessRequestAnswers815WhileRunningOnly) {
  TServerHarness h;
  TListenerRequest r;
  r.Type = TListenerRequestKind::CheckAlive;
  EXPECT_EQ(h.Server().ExecuteRequest(r, TServerObject::kLivenessTimeoutMs).ResultCode, 815);
  EXPECT_EQ(h.Server().ExecuteRequest(r, TServerObject::kLivenessTimeoutMs).ResultCode, 815);
  h.StopServer();
  EXPECT_EQ(h.Server().ExecuteRequest(r, 200).ResultCode, -10);
}

TEST(Lifecycle, PublicServerScopeFollowsTheChannelTree) {
  TServerHarness h;
  h.Server().ServerFlags().store(SF_PUBLIC | SF_FREEWARE);
  AddTopChannel(h.Server(), "other", CF_UNREGISTERED);
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  auto bob = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "bob";
  ASSERT_EQ(bob->Login(o, 3s)->result, 1);
  client::TJoinOptions j;
  j.channel = "other";
  auto join = bob->Join(j, 3s);
  ASSERT_TRUE(join.complete);
  ASSERT_EQ(join.players.size(), 1u);  // only himself: alice sits in another tree
  EXPECT_EQ(join.players[0].nickname, "bob");

  auto carol = h.Join("carol");
  ASSERT_TRUE(carol);
  auto seen = alice->DrainFor(300ms);
  std::vector<uint32_t> entered;
  for (const auto& p : seen.commands)
    if (p->CommandNumber() == CMD_sc_NotifyPlayerEnteredScope) entered.push_back(p->LongAt(24));
  EXPECT_EQ(entered, std::vector<uint32_t>{carol->PlayerId()});
}

TEST(Lifecycle, ClanServerShowsEveryone) {
  TServerHarness h;
  AddTopChannel(h.Server(), "other", CF_UNREGISTERED);
  auto alice = h.Join("alice");
  auto bob = h.Join("bob", "", "", "other");
  ASSERT_TRUE(alice && bob);
  auto entered = alice->WaitForCommand(CMD_sc_NotifyPlayerEnteredScope, 3s);
  ASSERT_TRUE(entered);
  EXPECT_EQ(entered->LongAt(24), bob->PlayerId());
}

TEST(Lifecycle, CommandsBeforeTheJoinAndMalformedJoinsAreDropped) {
  TServerHarness h;
  auto c = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "early";
  ASSERT_EQ(c->Login(o, 3s)->result, 1);
  c->SendCommand(201, std::string(40, '\0'));
  c->SendCommand(5, std::string(95, 'x'));  // 119 bytes with the header: not a join
  auto drained = c->DrainFor(300ms);
  EXPECT_TRUE(drained.commands.empty());
  auto join = c->Join({}, 3s);
  EXPECT_TRUE(join.complete);
}

TEST(Lifecycle, ASecondJoinRequestIsIgnored) {
  TServerHarness h;
  AddTopChannel(h.Server(), "other", CF_UNREGISTERED);
  auto c = h.Join("once");
  ASSERT_TRUE(c);
  client::TJoinOptions j;
  j.channel = "other";
  auto again = c->Join(j, 500ms);
  EXPECT_FALSE(again.complete);
  EXPECT_EQ(again.channelPackets, 0);
  EXPECT_EQ(h.Server().LoginCount().load(), 1u);
  TModelLock model(*h.Server().Clients(), *h.Server().Channels());
  TChannel* other = h.Server().Channels()->ExistsChannelName("other", -1);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->Players.Count(), 0u);
}

}  // namespace
}  // namespace vh::test
