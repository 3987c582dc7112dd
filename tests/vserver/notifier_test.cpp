// The watchers walk of the notifier on a driven connection table: who hears of a player on a
// public and on a clan server, the left notice, and a move between trees.
#include "vserver/Notifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <vector>

#include "model/Channels.h"
#include "model/Clients.h"
#include "transport/ConnectionTable.h"

namespace vh {
namespace {

// Tree A (with sub-channel A1) and tree B; players 1 in A, 2 in A1, 3 in B, 4 in a channel
// that no longer exists.
class WatchersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    a_ = AddChannel("A", -1, CF_HIERARCHICAL);
    a1_ = AddChannel("A1", a_, 0);
    b_ = AddChannel("B", -1, 0);
    AddPlayer(1, a_);
    AddPlayer(2, a1_);
    AddPlayer(3, b_);
    AddPlayer(4, 999);
  }

  int32_t AddChannel(const char* name, int32_t parent, uint16_t flags) {
    TChannelPtr c = TChannels::NewChannel();
    c->Name = name;
    c->ParentID = parent;
    c->Flags = flags | CF_UNREGISTERED;
    c->MaxUsers = 10;
    const int32_t id = tree_.AddChannel(std::move(c));
    EXPECT_GT(id, 0) << name;
    return id;
  }
  void AddPlayer(uint32_t id, int32_t channel) {
    TClientRecordPtr p = TClients::NewClient();
    p->PlayerID = id;
    p->ConnectionID = 100 + id;
    p->ChannelID = channel;
    p->LoggedIn = 1;
    if (TChannel* c = tree_.GetChannel(channel)) tree_.ClientJoinedChannel(c, p.get());
    ASSERT_TRUE(clients_.AddClient(std::move(p)));
    table_.AddConnection(id, 100 + id, "127.0.0.1", 1, static_cast<uint16_t>(5000 + id),
                         "10.0.0.1");
  }
  TClientRecord& Player(uint32_t id) { return *clients_.GetClientByID(id); }

  // The commands queued since the last call, by addressee, in the order each will get them.
  std::map<uint32_t, std::vector<uint16_t>> Sent() {
    std::map<uint32_t, std::vector<uint16_t>> sent;
    while (auto p = table_.NextOutgoingPacket(0))
      if (p->IsCommandPacket()) sent[p->PacketPlayerId()].push_back(p->CommandNumber());
    return sent;
  }
  using TSent = std::map<uint32_t, std::vector<uint16_t>>;

  TManualClock clock_;
  TCustomPacketBuffer table_{kServerConnectionFlags, clock_};
  TClients clients_{1, nullptr};
  TChannels tree_{1, nullptr};
  std::atomic<uint16_t> flags_{SF_PUBLIC};
  TNotifier notifier_{clients_, tree_, table_, flags_, 1};
  int32_t a_ = 0, a1_ = 0, b_ = 0;
};

TEST_F(WatchersTest, PublicServerTellsTheTreeAndTheSubjectByTheRule) {
  notifier_.NotifyPlayerFlagsChanged(1);
  EXPECT_EQ(Sent(), (TSent{{1, {104}}, {2, {104}}}));
  notifier_.NotifyPlayerPrivilegesChanged(2, 1, kActionGrant, 0);
  EXPECT_EQ(Sent(), (TSent{{1, {107}}, {2, {107}}}));

  notifier_.NotifyPlayerEnteredScope(3);
  EXPECT_EQ(Sent(), TSent{}) << "nobody else is in tree B, and he is not told of himself";
  notifier_.NotifyPlayerRequestedVoice(4, "hello");
  EXPECT_EQ(Sent(), TSent{}) << "a player whose channel is gone is seen by nobody";

  // The left notice reaches his tree and, as the last packet of his connection, himself;
  // afterwards he is out of everybody's sight.
  notifier_.NotifyPlayerLeftScope(2, kLeftQuit, "", 0);
  EXPECT_EQ(Sent(), (TSent{{1, {101}}, {2, {101}}}));
  notifier_.NotifyPlayerLeftScope(2, kLeftQuit, "", 0);
  notifier_.NotifyPlayerChannelPrivilegeChanged(2, 0, kActionRevokedAuto, 1);
  EXPECT_EQ(Sent(), TSent{});
}

TEST_F(WatchersTest, ClanServerTellsEverybody) {
  flags_.store(SF_CLAN);
  notifier_.NotifyPlayerFlagsChanged(3);
  EXPECT_EQ(Sent(), (TSent{{1, {104}}, {2, {104}}, {3, {104}}, {4, {104}}}));
  notifier_.NotifyPlayerEnteredScope(3);
  EXPECT_EQ(Sent(), (TSent{{1, {100}}, {2, {100}}, {4, {100}}}));
}

TEST_F(WatchersTest, MoveBetweenTreesSwapsTheScopes) {
  // Player 2 is moved from A1 to B by the server, as the listener does it: seat first.
  TClientRecord& moved = Player(2);
  tree_.ClientLeftChannel(tree_.GetChannel(a1_), &moved);
  moved.ChannelID = b_;
  tree_.ClientJoinedChannel(tree_.GetChannel(b_), &moved);
  notifier_.NotifyPlayerMovedToChannel(2, 0, 0, b_, a1_);
  EXPECT_EQ(Sent(), (TSent{{1, {101}}, {2, {109, 108}}, {3, {109, 100}}}))
      << "the old tree loses sight of him, the new one hears of the move and sees him enter, "
         "and he gets the players of his new tree";

  // Within one tree nobody's scope changes.
  moved.ChannelID = a_;
  notifier_.NotifyPlayerMovedToChannel(2, 1, 0, a_, a1_);
  Sent();
  moved.ChannelID = a1_;
  notifier_.NotifyPlayerMovedToChannel(2, 1, 0, a1_, a_);
  EXPECT_EQ(Sent(), (TSent{{1, {109}}, {2, {109}}}));
}

}  // namespace
}  // namespace vh
