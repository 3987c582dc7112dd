#include "model/Channels.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ResultCodes.h"
#include "model/Clients.h"
#include "model/ModelFixture.h"

namespace vh::test {
namespace {

using Ids = std::vector<int32_t>;

class ChannelTreeTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelTest::SetUp();
    tree_ = std::make_unique<TChannels>(1, storage_.get());
  }
  void TearDown() override {
    tree_.reset();
    ModelTest::TearDown();
  }

  // Adds a channel; the tree takes it, and frees it when it refuses it.
  int32_t Add(const std::string& name, uint16_t flags, int32_t parent = -1,
              const std::string& password = "", TChannels* tree = nullptr) {
    tree = tree ? tree : tree_.get();
    TChannelPtr c = TChannels::NewChannel();
    c->Name = name;
    c->Flags = flags;
    c->ParentID = parent;
    c->Password = password;
    c->Codec = 3;
    c->ParentDBID = -1;
    return tree->AddChannel(std::move(c));
  }
  TChannel* Get(int32_t id) { return tree_->GetChannel(id); }

  std::unique_ptr<TChannels> tree_;
};

TEST_F(ChannelTreeTest, CreationChecksInOrder) {
  int32_t lobby = Add("Lobby", CF_HIERARCHICAL | CF_MODERATED);
  ASSERT_GT(lobby, 0);
  Get(lobby)->Codec = 7;
  int32_t flat = Add("Flat", CF_UNREGISTERED, -1, "pw");
  ASSERT_GT(flat, 0);
  EXPECT_TRUE(Get(flat)->HasFlag(CF_PASSWORD));

  EXPECT_EQ(Add("LOBBY", 0), RC_CHANNEL_ALREADY_EXISTS);
  int32_t sub = Add("lobby", CF_HIERARCHICAL | CF_DEFAULT | CF_UNREGISTERED, lobby);
  ASSERT_GT(sub, 0) << "a sub-channel may share its parent's name";
  EXPECT_EQ(Add("LOBBY", 0, lobby), RC_CHANNEL_ALREADY_EXISTS);
  EXPECT_EQ(Add("x", 0, lobby, "pw"), RC_SUBCHANNEL_PASSWORD);
  EXPECT_EQ(Add("x", 0, 999), RC_PARENT_CHANNEL_NOT_FOUND);
  EXPECT_EQ(Add("x", 0, sub), RC_SUBCHANNEL_CANNOT_NEST);
  EXPECT_EQ(Add("x", 0, flat), RC_CHANNEL_NOT_HIERARCHICAL);

  // The sub-channel follows its registered, moderated parent.
  TChannel* s = Get(sub);
  EXPECT_EQ(s->Flags, CF_MODERATED);
  EXPECT_EQ(s->Codec, 7);
  EXPECT_EQ(tree_->GetTopChannelId(sub), lobby);
  EXPECT_EQ(tree_->GetMainChannel(sub), Get(lobby));
  EXPECT_TRUE(tree_->SameChannelTree(sub, lobby));
  EXPECT_FALSE(tree_->SameChannelTree(sub, flat));
  EXPECT_EQ(tree_->GetChannelByName("LOBBY", lobby), s);
  EXPECT_EQ(tree_->GetChannelByName("LoBbY", -1), Get(lobby));  // first in list order

  // Registered channels are stored with their parent's row id; temporary ones are not.
  EXPECT_EQ(CountRows("vh2_channels"), 2u);
  EXPECT_EQ(CountRows("vh2_channels", "i_channel_parent_id = " + std::to_string(Get(lobby)->DBID)),
            1u);
}

TEST_F(ChannelTreeTest, DefaultMovesAndTreesDelete) {
  int32_t a = Add("A", CF_DEFAULT | CF_HIERARCHICAL);
  int32_t a1 = Add("A1", 0, a);
  int32_t b = Add("B", CF_DEFAULT | CF_UNREGISTERED);
  EXPECT_EQ(tree_->ChangedIDs(), Ids{a});
  EXPECT_FALSE(Get(a)->HasFlag(CF_DEFAULT));
  EXPECT_EQ(tree_->GetDefaultChannel(), b);

  EXPECT_EQ(tree_->DeleteChannelTree(b), RC_DEFAULT_CHANNEL_UNDELETABLE);
  EXPECT_EQ(tree_->DeleteChannelTree(999), RC_CHANNEL_NOT_FOUND);
  EXPECT_EQ(tree_->DeleteChannelTree(a), RC_OK);
  EXPECT_EQ(tree_->ChangedIDs(), (Ids{a1, a}));
  EXPECT_EQ(tree_->Count(), 1u);
  EXPECT_EQ(CountRows("vh2_channels"), 0u);

  // Ids are never reused, and an id an administrator chose is skipped later on.
  const int32_t chosenId = tree_->LastID() + 1;
  TChannelPtr chosen = TChannels::NewChannel();
  chosen->ID = chosenId;
  chosen->ParentID = -1;
  chosen->Name = "Chosen";
  EXPECT_EQ(tree_->AddChannelID(std::move(chosen)), chosenId);
  TChannelPtr zero = TChannels::NewChannel();
  zero->ParentID = -1;
  EXPECT_EQ(tree_->AddChannelID(std::move(zero)), RC_BAD_ARGUMENT);
  TChannelPtr twin = TChannels::NewChannel();
  twin->ParentID = -1;
  twin->ID = chosenId;
  twin->Name = "Other";
  EXPECT_EQ(tree_->AddChannelID(std::move(twin)), RC_CHANNEL_ALREADY_EXISTS);
  EXPECT_EQ(tree_->GetChannel(chosenId)->Name, "Chosen");
  int32_t c = Add("C", CF_UNREGISTERED);
  EXPECT_GT(c, chosenId);
  EXPECT_EQ(CountRows("vh2_channels"), 0u) << "channels added with an id are not stored";

  // Told apart by id alone: two nameless administrative channels may both exist.
  for (int32_t id : {c + 10, c + 11}) {
    TChannelPtr blank = TChannels::NewChannel();
    blank->ID = id;
    blank->ParentID = -1;
    EXPECT_EQ(tree_->AddChannelID(std::move(blank)), id);
  }
}

TEST_F(ChannelTreeTest, FailedStoreLeavesTreeAsItWas) {
  int32_t a = Add("A", CF_DEFAULT);
  Exec("DROP TABLE vh2_channels;");
  EXPECT_EQ(Add("B", CF_DEFAULT), RC_INTERNAL_ERROR);
  EXPECT_EQ(tree_->Count(), 1u);
  EXPECT_EQ(tree_->GetDefaultChannel(), a);
  EXPECT_TRUE(log_->Contains("SID: 1 AddChannel Exception: EChannelStorage."));
}

TEST_F(ChannelTreeTest, LoadsStoredTreeAndSkipsOddRows) {
  Exec(
      "INSERT INTO vh2_channels (i_channel_id, i_channel_server_id, i_channel_parent_id,"
      " dt_channel_created, s_channel_password, i_channel_maxusers, i_channel_order,"
      " s_channel_name, i_channel_codec, b_channel_flag_moderated, b_channel_flag_hierarchical,"
      " b_channel_flag_default) VALUES"
      " (10, 1, -1, '01022020101010000', '  " +
      std::string(40, 'p') +
      "  ', 20, 2, 'Main', 5, -1, -1, 0),"
      " (11, 1, 10, '', 'ignored', 8, 1, 'Sub', 1, 0, -1, -1),"
      " (12, 1, 11, '', '', 8, 1, 'Deep', 1, 0, 0, 0),"
      " (13, 1, 99, '', '', 8, 1, 'Orphan', 1, 0, 0, 0),"
      " (14, 1, -7, '', '', 8, 1, 'Odd', 1, 0, 0, 0),"
      " (15, 1, -1, '', '', 8, 1, 'main', 1, 0, 0, 0),"
      " (16, 2, -1, '', '', 8, 1, 'Elsewhere', 1, 0, 0, 0),"
      " (17, 1, -1, '', '', 8, 1, 'It''s \xC3\xA9\xFF', 1, 0, 0, 0);");
  ASSERT_TRUE(tree_->LoadChannels());
  ASSERT_EQ(tree_->Count(), 3u);
  TChannel* main = tree_->GetChannelByName("MAIN", -1);
  TChannel* sub = tree_->GetChannelByName("sub", -1);
  ASSERT_TRUE(main && sub);
  EXPECT_EQ(main->DBID, 10);
  EXPECT_EQ(main->Flags, CF_MODERATED | CF_HIERARCHICAL | CF_PASSWORD);
  EXPECT_EQ(main->Password, std::string(29, 'p'));
  EXPECT_EQ(main->MaxUsers, 20);
  EXPECT_EQ(DateTimeToStorageText(main->Created), "01022020101010000");  // kept from the row
  EXPECT_EQ(sub->ParentID, main->ID);
  EXPECT_EQ(sub->ParentDBID, 10);
  EXPECT_EQ(sub->Codec, 5);
  EXPECT_EQ(sub->Flags, CF_MODERATED);
  EXPECT_TRUE(sub->Password.Empty());
  EXPECT_EQ(tree_->GetChannelByName("It's \xC3\xA9\xFF", -1)->DBID, 17);
  // No stored default: lookups say so, and loading wrote nothing but the removal of the two
  // sub-channel rows whose parent row does not exist (99, -7); Deep's parent row exists.
  EXPECT_EQ(tree_->GetDefaultChannel(), -1);
  EXPECT_EQ(tree_->GetDefaultChannelAsPointer(), nullptr);
  EXPECT_EQ(CountRows("vh2_channels"), 6u);
  EXPECT_EQ(CountRows("vh2_channels", "i_channel_id IN (13, 14)"), 0u);
  EXPECT_TRUE(log_->Contains("SID: 1 removed 2 stored subchannels without a parent channel"));

  // Any bytes in a name are stored, reloaded and compared whole.
  const std::string odd("a\0b'\xFF", 5);
  ASSERT_GT(Add(odd, 0), 0);
  TChannels reloaded(1, storage_.get());
  ASSERT_TRUE(reloaded.LoadChannels());
  ASSERT_NE(reloaded.GetChannelByName(odd, -1), nullptr);
  EXPECT_EQ(reloaded.GetChannelByName("a", -1), nullptr);
}

TEST_F(ChannelTreeTest, EmptyDatabaseGetsStoredDefault) {
  tree_->DefaultCodec = 6;
  ASSERT_TRUE(tree_->LoadChannels());
  TChannel* d = tree_->GetDefaultChannelAsPointer();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Name, "Default");
  EXPECT_EQ(d->MaxUsers, 32000);
  EXPECT_EQ(d->Codec, 6);
  EXPECT_GT(d->DBID, 0);
  tree_->SetDefaultChannelMaxUsers(50);
  EXPECT_EQ(d->MaxUsers, 50);

  TChannels again(1, storage_.get());
  ASSERT_TRUE(again.LoadChannels());
  EXPECT_EQ(again.Count(), 1u);
  EXPECT_EQ(again.GetDefaultChannelAsPointer()->DBID, d->DBID);
}

TEST_F(ChannelTreeTest, RegistrationChangesFollowToSubChannelRows) {
  int32_t top = Add("Top", CF_HIERARCHICAL | CF_MODERATED);
  int32_t sub = Add("Sub", 0, top);
  ASSERT_EQ(CountRows("vh2_channels"), 2u);

  // Registered -> unregistered: the sub-channel's row goes, then the parent's.
  Get(top)->Flags |= CF_UNREGISTERED;
  tree_->UpdateSubChannels(Get(top));
  EXPECT_EQ(tree_->ChangedIDs(), Ids{sub});
  EXPECT_EQ(Get(sub)->Flags, CF_UNREGISTERED | CF_MODERATED);
  EXPECT_EQ(Get(sub)->DBID, 0);
  tree_->DeleteStoredChannel(Get(top));
  EXPECT_EQ(Get(top)->DBID, 0);
  EXPECT_EQ(CountRows("vh2_channels"), 0u);

  // Back to registered (parent saved first, as the property change does): both rows return,
  // the sub-channel's pointing at the parent's new row.
  Get(top)->Flags = CF_HIERARCHICAL;
  tree_->SaveChannel(Get(top));
  tree_->UpdateSubChannels(Get(top));
  EXPECT_EQ(Get(sub)->Flags, 0);
  ASSERT_GT(Get(sub)->DBID, 0);
  EXPECT_EQ(Get(sub)->ParentDBID, Get(top)->DBID);

  TChannels reloaded(1, storage_.get());
  ASSERT_TRUE(reloaded.LoadChannels());
  TChannel* s = reloaded.GetChannelByName("Sub", -1);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(reloaded.GetChannel(s->ParentID)->Name, "Top");
}

class ChannelPrivilegeTest : public ChannelTreeTest {
 protected:
  void SetUp() override {
    ChannelTreeTest::SetUp();
    clients_ = std::make_unique<TClients>(1, storage_.get());
    TClientRecordPtr player = TClients::NewClient();
    player_ = player.get();
    player_->PlayerID = 4;
    player_->LoginName = "reg";
    player_->PlayerPrivileges = PP_REGISTERED;
    ASSERT_EQ(clients_->DBAddUser(1, player_), RC_OK);
    clients_->AddClient(std::move(player));
    top_ = Get(Add("Top", CF_HIERARCHICAL | CF_MODERATED));
    sub_ = Get(Add("Sub", 0, top_->ID));
  }
  void TearDown() override {
    clients_.reset();
    ChannelTreeTest::TearDown();
  }
  std::string Row(TChannel* c) {
    return "i_cp_channel_id = " + std::to_string(c->DBID) +
           " AND i_cp_client_id = " + std::to_string(player_->DBID);
  }
  std::unique_ptr<TClients> clients_;
  TClientRecord* player_ = nullptr;
  TChannel* top_ = nullptr;
  TChannel* sub_ = nullptr;
};

TEST_F(ChannelPrivilegeTest, StoredPartReadsBackWithImpliedBits) {
  player_->ChannelPrivileges = CP_CHANNEL_ADMIN | CP_AUTO_OPERATOR | CP_VOICE;
  tree_->SetChannelAttribs(top_, player_);
  EXPECT_EQ(CountRows("vh2_channel_privileges",
                      Row(top_) + " AND b_cp_flag_admin <> 0 AND b_cp_flag_autoop <> 0"
                                  " AND b_cp_flag_autovoice = 0"),
            1u);
  player_->ChannelPrivileges = CP_AUTO_VOICE;
  tree_->SetChannelAttribs(sub_, player_);

  // Disconnect: entries go; the stored part comes back with O for AO and V for AV.
  tree_->ClearChannelAttribs(player_->PlayerID);
  EXPECT_EQ(tree_->GetChannelAttribs(top_, player_),
            CP_CHANNEL_ADMIN | CP_AUTO_OPERATOR | CP_OPERATOR);
  EXPECT_EQ(tree_->GetChannelAttribs(sub_, player_), CP_AUTO_VOICE | CP_VOICE);

  // Only O or V left: nothing to store, the row goes.
  player_->ChannelPrivileges = CP_OPERATOR;
  tree_->SetChannelAttribs(top_, player_);
  EXPECT_EQ(CountRows("vh2_channel_privileges", Row(top_)), 0u);
  EXPECT_EQ(tree_->GetChannelAttribs(top_, player_), CP_OPERATOR);

  // Anonymous players and temporary channels keep their entries in memory only.
  TClientRecord guest;
  guest.PlayerID = 9;
  guest.ChannelPrivileges = CP_CHANNEL_ADMIN;
  tree_->SetChannelAttribs(top_, &guest);
  int32_t temp = Add("Temp", CF_UNREGISTERED);
  player_->ChannelPrivileges = CP_CHANNEL_ADMIN;
  tree_->SetChannelAttribs(Get(temp), player_);
  EXPECT_EQ(CountRows("vh2_channel_privileges"), 1u);  // the AV row of Sub
  EXPECT_EQ(tree_->GetChannelAttribs(Get(temp), player_), CP_CHANNEL_ADMIN);

  // A player who registers later gets the entries he holds stored.
  guest.PlayerPrivileges = PP_REGISTERED;
  guest.DBID = player_->DBID + 100;
  tree_->UpdatePlayerChannelAttribs(&guest);
  EXPECT_EQ(CountRows("vh2_channel_privileges", "i_cp_client_id = " + std::to_string(guest.DBID) +
                                                    " AND b_cp_flag_admin <> 0"),
            1u);
}

TEST_F(ChannelPrivilegeTest, EndOfModerationKeepsOnlyChannelAdmin) {
  player_->ChannelPrivileges = CP_CHANNEL_ADMIN | CP_AUTO_OPERATOR | CP_AUTO_VOICE | CP_OPERATOR;
  tree_->SetChannelAttribs(top_, player_);
  player_->ChannelPrivileges = CP_AUTO_VOICE | CP_VOICE;
  tree_->SetChannelAttribs(sub_, player_);
  top_->Flags &= static_cast<uint16_t>(~CF_MODERATED);
  tree_->ClearModeratedChannelAttribs(top_);
  EXPECT_EQ(tree_->GetChannelAttribs(top_, player_), CP_CHANNEL_ADMIN);
  EXPECT_EQ(tree_->GetChannelAttribs(sub_, player_), 0);
  EXPECT_EQ(CountRows("vh2_channel_privileges"), 1u);
  EXPECT_EQ(CountRows("vh2_channel_privileges",
                      Row(top_) + " AND b_cp_flag_admin <> 0 AND "
                                  "b_cp_flag_autoop = 0 AND b_cp_flag_autovoice = 0"),
            1u);
}

TEST_F(ChannelPrivilegeTest, PlayerListsAndTreeOccupancy) {
  tree_->ClientJoinedChannel(sub_, player_);
  tree_->ClientJoinedChannel(sub_, player_);
  EXPECT_EQ(sub_->Players.Count(), 1u);
  EXPECT_EQ(tree_->CheckChannelTreeForPlayers(top_), RC_CHANNEL_NOT_EMPTY);
  EXPECT_EQ(tree_->GetPlayersInChannelTree(top_), 1u);
  tree_->ClearChannelClientLists(player_->PlayerID);
  EXPECT_EQ(tree_->CheckChannelTreeForPlayers(top_), RC_OK);
  EXPECT_EQ(tree_->DeleteChannelTree(top_->ID), RC_OK);
  EXPECT_EQ(tree_->Count(), 0u);
  EXPECT_EQ(clients_->GetClientByID(4), player_) << "deleting channels leaves players alone";
}

}  // namespace
}  // namespace vh::test
