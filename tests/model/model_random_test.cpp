// A randomized run of the channel tree and the client registry against a small reference model:
// channels are created (top-level and sub-channels, clashing names in mixed case), deleted,
// registered and unregistered; players join, move and leave. After every step the tree, the
// registry and the stored channel rows must agree with the model and keep the tree's rules.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "common/ResultCodes.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelFixture.h"
#include "model/ModelLock.h"

namespace vh::test {
namespace {

constexpr uint32_t kServerID = 1;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// What the tree should hold: two levels, names unique among siblings without regard to case,
// one default channel at most, sub-channels following their parent's registration and
// moderation, and every connected player seated in exactly one channel.
struct TReferenceModel {
  struct Channel {
    int32_t parent = -1;
    std::string name;
    bool registered = false;
    bool hierarchical = false;
    bool moderated = false;
    bool isDefault = false;
  };
  std::map<int32_t, Channel> channels;
  std::map<uint32_t, int32_t> seats;  // player id -> channel id

  bool Has(int32_t id) const { return channels.count(id) != 0; }

  // The result AddChannel must give; 0 when the channel is to be added.
  int32_t ExpectAdd(const std::string& name, int32_t parent, bool withPassword) const {
    if (parent != -1 && withPassword) return RC_SUBCHANNEL_PASSWORD;
    for (const auto& [id, c] : channels)
      if (c.parent == parent && Lower(c.name) == Lower(name)) return RC_CHANNEL_ALREADY_EXISTS;
    if (parent == -1) return 0;
    auto p = channels.find(parent);
    if (p == channels.end()) return RC_PARENT_CHANNEL_NOT_FOUND;
    if (p->second.parent != -1) return RC_SUBCHANNEL_CANNOT_NEST;
    if (!p->second.hierarchical) return RC_CHANNEL_NOT_HIERARCHICAL;
    return 0;
  }

  void Add(int32_t id, const std::string& name, int32_t parent, uint16_t flags) {
    Channel c;
    c.parent = parent;
    c.name = name;
    if (parent == -1) {
      c.registered = (flags & CF_UNREGISTERED) == 0;
      c.hierarchical = (flags & CF_HIERARCHICAL) != 0;
      c.moderated = (flags & CF_MODERATED) != 0;
      c.isDefault = (flags & CF_DEFAULT) != 0;
    } else {
      const Channel& p = channels.at(parent);
      // A sub-channel is stored exactly when its parent is: it takes the parent's U.
      c.registered = p.registered;
      c.moderated = (flags & CF_MODERATED) != 0 || p.moderated;
    }
    if (c.isDefault)
      for (auto& [other, o] : channels) o.isDefault = false;
    channels[id] = c;
  }

  // Players in the channel and, for a top-level one, in its sub-channels.
  size_t PlayersInTree(int32_t id) const {
    size_t n = 0;
    for (const auto& [player, seat] : seats)
      if (seat == id ||
          (channels.at(id).parent == -1 && channels.count(seat) && channels.at(seat).parent == id))
        ++n;
    return n;
  }

  int32_t ExpectDelete(int32_t id) const {
    auto c = channels.find(id);
    if (c == channels.end()) return RC_CHANNEL_NOT_FOUND;
    if (c->second.isDefault) return RC_DEFAULT_CHANNEL_UNDELETABLE;
    return RC_OK;
  }

  void Delete(int32_t id) {
    for (auto it = channels.begin(); it != channels.end();)
      it = it->second.parent == id ? channels.erase(it) : std::next(it);
    channels.erase(id);
  }

  // A top-level channel's registration or moderation changed: its sub-channels follow.
  void FollowParent(int32_t id) {
    const Channel& p = channels.at(id);
    for (auto& [sub, c] : channels)
      if (c.parent == id) {
        c.registered = p.registered;
        c.moderated = p.moderated;
      }
  }
};

class ModelRandomTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    registry_ = std::make_unique<TClients>(kServerID, storage_.get());
    tree_ = std::make_unique<TChannels>(kServerID, storage_.get());
  }
  void TearDown() override {
    tree_.reset();
    registry_.reset();
    ModelTest::TearDown();
  }

  // Hands a new channel to the tree, which frees a refused one.
  int32_t AddToTree(const std::string& name, int32_t parent, uint16_t flags, bool withPassword) {
    TChannelPtr c = TChannels::NewChannel();
    c->Name = name;
    c->ParentID = parent;
    c->ParentDBID = -1;
    c->Flags = flags;
    c->Codec = 5;
    if (withPassword) c->Password = "pw";
    return tree_->AddChannel(std::move(c));
  }

  void CheckAgainst(const TReferenceModel& model) {
    ASSERT_EQ(tree_->Count(), model.channels.size());
    size_t defaults = 0;
    size_t registered = 0;
    for (size_t i = 0; i < tree_->Count(); ++i) {
      const TChannel* c = tree_->Items(i);
      ASSERT_EQ(tree_->GetChannel(c->ID), c) << "index and list disagree on " << c->ID;
      ASSERT_TRUE(model.Has(c->ID)) << "unexpected channel " << c->ID;
      const TReferenceModel::Channel& m = model.channels.at(c->ID);
      EXPECT_EQ(c->ParentID, m.parent) << c->ID;
      EXPECT_EQ(c->Name, m.name) << c->ID;
      EXPECT_EQ(c->IsRegistered(), m.registered) << c->ID;
      EXPECT_EQ(c->HasFlag(CF_MODERATED), m.moderated) << c->ID;
      EXPECT_EQ(c->HasFlag(CF_DEFAULT), m.isDefault) << c->ID;
      EXPECT_EQ(c->DBID > 0, c->IsRegistered()) << "stored row of channel " << c->ID;
      if (!c->IsTopLevel()) {
        const TChannel* parent = tree_->GetChannel(c->ParentID);
        ASSERT_TRUE(parent) << "orphan " << c->ID;
        EXPECT_TRUE(parent->IsTopLevel()) << "third level under " << c->ID;
        EXPECT_FALSE(c->HasFlag(CF_HIERARCHICAL) || c->HasFlag(CF_DEFAULT)) << c->ID;
        EXPECT_EQ(tree_->GetTopChannelId(c->ID), parent->ID);
      } else {
        EXPECT_EQ(tree_->GetPlayersInChannelTree(c), model.PlayersInTree(c->ID)) << c->ID;
      }
      for (size_t j = i + 1; j < tree_->Count(); ++j) {
        const TChannel* d = tree_->Items(j);
        EXPECT_FALSE(d->ParentID == c->ParentID && Lower(d->Name) == Lower(c->Name))
            << "siblings " << c->ID << " and " << d->ID << " share a name";
      }
      for (size_t j = 0; j < c->Players.Count(); ++j) {
        const TClientRecord* p = c->Players.Items(j);
        EXPECT_EQ(c->Players.Get(static_cast<int32_t>(p->PlayerID)), p);
        EXPECT_EQ(p->ChannelID, c->ID) << "player " << p->PlayerID << " listed in " << c->ID;
      }
      if (c->HasFlag(CF_DEFAULT)) ++defaults;
      if (c->IsRegistered()) ++registered;
    }
    EXPECT_LE(defaults, 1u);
    EXPECT_EQ(CountRows("vh2_channels"), registered);

    ASSERT_EQ(registry_->Count(), model.seats.size());
    for (size_t i = 0; i < registry_->Count(); ++i) {
      const TClientRecord* p = registry_->Items(i);
      EXPECT_EQ(registry_->GetClientByID(p->PlayerID), p);
      ASSERT_TRUE(model.seats.count(p->PlayerID)) << "unexpected player " << p->PlayerID;
      EXPECT_EQ(p->ChannelID, model.seats.at(p->PlayerID));
      size_t lists = 0;
      for (size_t j = 0; j < tree_->Count(); ++j)
        if (tree_->Items(j)->Players.Contains(static_cast<int32_t>(p->PlayerID))) ++lists;
      EXPECT_EQ(lists, 1u) << "player " << p->PlayerID << " in " << lists << " channel lists";
    }
  }

  std::unique_ptr<TClients> registry_;
  std::unique_ptr<TChannels> tree_;
};

TEST_F(ModelRandomTest, TreeAndRegistryFollowTheReferenceModel) {
  TModelLock lock(*registry_, *tree_);
  TReferenceModel model;
  std::mt19937 rng(20261208);
  auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::vector<std::string> names = {"Lobby", "lobby", "LOBBY", "Games", "gAmes",
                                          "Music", "Quiet", "a",     "A",     "Zz"};
  auto anyChannel = [&]() -> int32_t {
    if (model.channels.empty() || pick(10) == 0) return 1000 + static_cast<int32_t>(pick(5));
    auto it = model.channels.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(pick(model.channels.size())));
    return it->first;
  };
  auto anyPlayer = [&]() -> TClientRecord* {
    if (model.seats.empty()) return nullptr;
    auto it = model.seats.begin();
    std::advance(it, static_cast<std::ptrdiff_t>(pick(model.seats.size())));
    return registry_->GetClientByID(it->first);
  };

  int added = 0, refused = 0, deleted = 0, moved = 0;
  for (int step = 0; step < 1200; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const size_t op = pick(100);
    if (op < 30) {
      // Create a channel, top-level or under any id (some of them absent).
      const std::string name = pick(2) ? names[pick(names.size())]
                                       : (pick(2) ? "Room" : "ROOM") + std::to_string(pick(30));
      const int32_t parent = pick(2) ? -1 : anyChannel();
      uint16_t flags = 0;
      if (pick(2)) flags |= CF_UNREGISTERED;
      if (pick(2)) flags |= CF_HIERARCHICAL;
      if (pick(4) == 0) flags |= CF_MODERATED;
      if (pick(8) == 0) flags |= CF_DEFAULT;
      const bool withPassword = pick(10) == 0;
      const int32_t expected = model.ExpectAdd(name, parent, withPassword);
      const int32_t result = AddToTree(name, parent, flags, withPassword);
      if (expected == 0) {
        ASSERT_GT(result, 0) << "adding " << name << " under " << parent;
        ASSERT_FALSE(model.Has(result)) << "id " << result << " given twice";
        model.Add(result, name, parent, flags);
        ++added;
      } else {
        ASSERT_EQ(result, expected) << "adding " << name << " under " << parent;
        ++refused;
      }
    } else if (op < 45) {
      // Delete a channel the way the listener does: only a tree without players.
      const int32_t id = anyChannel();
      TChannel* c = tree_->GetChannel(id);
      const bool occupied = model.Has(id) && model.PlayersInTree(id) > 0;
      EXPECT_EQ(tree_->CheckChannelTreeForPlayers(c), occupied ? RC_CHANNEL_NOT_EMPTY : RC_OK);
      if (occupied) continue;
      const int32_t expected = model.ExpectDelete(id);
      ASSERT_EQ(tree_->DeleteChannelTree(id), expected) << "deleting " << id;
      if (expected == RC_OK) {
        model.Delete(id);
        ++deleted;
      }
    } else if (op < 55) {
      // Register or unregister a top-level channel, or switch its moderation; the
      // sub-channels follow.
      const int32_t id = anyChannel();
      TChannel* c = tree_->GetChannel(id);
      if (!c || !c->IsTopLevel()) continue;
      if (pick(2)) {
        c->Flags ^= CF_UNREGISTERED;
        if (c->IsRegistered())
          tree_->SaveChannel(c);
        else
          tree_->DeleteStoredChannel(c);
        model.channels.at(id).registered = c->IsRegistered();
      } else {
        c->Flags ^= CF_MODERATED;
        tree_->SaveChannel(c);
        model.channels.at(id).moderated = c->HasFlag(CF_MODERATED);
      }
      tree_->UpdateSubChannels(c);
      model.FollowParent(id);
    } else if (op < 75) {
      // A player logs in and sits down; now and then a record with a taken id is refused.
      const int32_t seat = anyChannel();
      TChannel* c = tree_->GetChannel(seat);
      if (!c) continue;
      TClientRecordPtr record = TClients::NewClient();
      TClientRecord* p = record.get();
      p->NickName = names[pick(names.size())];
      const bool duplicate = !model.seats.empty() && pick(10) == 0;
      const uint32_t playerId = duplicate ? anyPlayer()->PlayerID : registry_->GetNewPlayerID();
      p->PlayerID = playerId;
      if (!registry_->AddClient(std::move(record))) {
        EXPECT_TRUE(duplicate) << "player " << playerId << " refused";
        continue;
      }
      ASSERT_FALSE(duplicate) << "player id " << p->PlayerID << " registered twice";
      p->ChannelID = c->ID;
      tree_->ClientJoinedChannel(c, p);
      model.seats[p->PlayerID] = c->ID;
    } else if (op < 90) {
      // A player switches channel.
      TClientRecord* p = anyPlayer();
      TChannel* to = tree_->GetChannel(anyChannel());
      if (!p || !to) continue;
      tree_->ClientLeftChannel(tree_->GetChannel(p->ChannelID), p);
      p->ChannelID = to->ID;
      tree_->ClientJoinedChannel(to, p);
      model.seats[p->PlayerID] = to->ID;
      ++moved;
    } else {
      // A player leaves: out of his channel, every list and the registry.
      TClientRecord* p = anyPlayer();
      if (!p) continue;
      const uint32_t id = p->PlayerID;
      tree_->ClientLeftChannel(tree_->GetChannel(p->ChannelID), p);
      tree_->ClearChannelClientLists(id);
      registry_->DeleteClient(p);
      model.seats.erase(id);
    }
    CheckAgainst(model);
    if (HasFailure()) return;
  }
  // The run must have exercised every kind of step, not idled on refusals.
  EXPECT_GT(added, 80);
  EXPECT_GT(refused, 50);
  EXPECT_GT(deleted, 30);
  EXPECT_GT(moved, 80);
}

}  // namespace
}  // namespace vh::test
