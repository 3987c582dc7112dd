#include "model/Permissions.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>
#include <string>

#include "model/Channels.h"
#include "model/ModelFixture.h"

namespace vh::test {
namespace {

TEST(PermissionSets, DefaultBytesAsClientsExpectThem) {
  const std::array<uint8_t, TServerPermissions::kWireSize> expected{
      0x07, 0xFF, 0xFF, 0x0F, 0xFE, 0xFF, 0xFE, 0xFF, 0x03, 0xFE, 0x00,  // server admin
      0x00, 0x00, 0x00, 0x00, 0xE0, 0x7F, 0x7C, 0x3E, 0x00, 0xD4, 0x00,  // channel admin
      0x00, 0x00, 0x00, 0x00, 0x00, 0x6C, 0x50, 0x28, 0x00, 0xD4, 0x00,  // operator
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x94, 0x00,  // voice
      0x04, 0x00, 0x00, 0x00, 0x4E, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00,  // registered
      0x04, 0x00, 0x00, 0x00, 0x4A, 0x00, 0x00, 0x00, 0x00, 0x90, 0x00,  // anonymous
  };
  std::array<uint8_t, TServerPermissions::kWireSize> bytes{};
  DefaultServerPrivileges().WriteTo(bytes.data());
  EXPECT_EQ(bytes, expected);

  // Every number in use has one name; the reserved ranges have none.
  std::set<std::string_view> names;
  for (const TPermissionInfo& p : PermissionTable()) names.insert(p.Name);
  EXPECT_EQ(names.size(), PermissionTable().size());
  EXPECT_EQ(PermissionName(upSendTextToAll), "SendTextToAllPlayers");
  EXPECT_EQ(PermissionName(upAllowChannelCommanderStatus), "AllowChannelCommanderStatus");
  for (int reserved : {3, 7, 28, 32, 48, 66, 72, 80, 87}) EXPECT_EQ(PermissionName(reserved), "");
}

TEST(PermissionSets, GroupsAddUp) {
  const TServerPermissions sets = DefaultServerPrivileges();
  TClientRecord p;
  // A registered player holds the anonymous rights as well as the registered ones.
  p.PlayerPrivileges = PP_REGISTERED;
  EXPECT_TRUE(HasPermission(&p, upChannelCreateRegisterred, sets));
  EXPECT_TRUE(HasPermission(&p, upChannelCreateUnregisterred, sets));
  TServerPermissions anonOnly;
  anonOnly[ugAnonymous].Include(upAdminBanIp);
  EXPECT_TRUE(HasPermission(&p, upAdminBanIp, anonOnly));
  p.PlayerPrivileges = 0;
  EXPECT_FALSE(HasPermission(&p, upChannelCreateRegisterred, sets));

  // Voice may chat to the own channel, not to others.
  p.ChannelPrivileges = CP_VOICE;
  EXPECT_TRUE(HasPermission(&p, upSendTextToOwnChannel, sets));
  EXPECT_FALSE(HasPermission(&p, upSendTextToAllChannel, sets));
  p.ChannelPrivileges = 0;
  EXPECT_FALSE(HasPermission(&p, upSendTextToOwnChannel, sets));

  // The server admin group holds everything in its set; nobody holds numbers outside 0..87.
  p.PlayerPrivileges = PP_SERVER_ADMIN;
  EXPECT_TRUE(HasPermission(&p, upKickPlayerFromServer, sets));
  TServerPermissions full;
  for (int n = 0; n < kPermissionCount; ++n) full[ugAnonymous].Include(n);
  EXPECT_TRUE(HasPermission(&p, 87, full));
  EXPECT_FALSE(HasPermission(&p, 88, full));
  EXPECT_FALSE(HasPermission(&p, -1, full));
  EXPECT_FALSE(HasPermission(nullptr, upSendTextToPlayer, full));

  // A super server admin holds every permission, even with all sets empty.
  const TServerPermissions none;
  p.PlayerPrivileges = PP_SUPER_SERVER_ADMIN;
  EXPECT_TRUE(HasPermission(&p, upKickPlayerFromServer, none));
  EXPECT_TRUE(HasPermission(&p, 88, none));
  EXPECT_TRUE(HasPermission(&p, 200, none));
}

class PermissionStorageTest : public ModelTest {};

TEST_F(PermissionStorageTest, ChannelRightsComeFromTheChannelAsked) {
  const TServerPermissions sets = DefaultServerPrivileges();
  TChannels tree(1, nullptr);
  TChannelPtr topOwned = TChannels::NewChannel();
  TChannel* top = topOwned.get();
  top->ParentID = -1;
  top->Name = "Top";
  top->Flags = CF_UNREGISTERED | CF_HIERARCHICAL;
  ASSERT_GT(tree.AddChannel(std::move(topOwned)), 0);
  TChannelPtr subOwned = TChannels::NewChannel();
  TChannel* sub = subOwned.get();
  sub->ParentID = top->ID;
  sub->Name = "Sub";
  ASSERT_GT(tree.AddChannel(std::move(subOwned)), 0);
  TChannelPtr otherOwned = TChannels::NewChannel();
  TChannel* other = otherOwned.get();
  other->ParentID = -1;
  other->Name = "Other";
  other->Flags = CF_UNREGISTERED;
  ASSERT_GT(tree.AddChannel(std::move(otherOwned)), 0);

  TClientRecord p;
  p.PlayerID = 3;
  p.ChannelPrivileges = CP_CHANNEL_ADMIN;
  tree.SetChannelAttribs(top, &p);
  p.ChannelPrivileges = CP_AUTO_OPERATOR;
  tree.SetChannelAttribs(other, &p);
  p.ChannelPrivileges = 0;  // what he holds where he sits does not matter here

  EXPECT_TRUE(CheckClientChannelPermission(tree, top, &p, upChannelDelete, sets));
  EXPECT_TRUE(CheckClientChannelPermission(tree, sub, &p, upChannelDelete, sets))
      << "channel admin of the parent counts in its sub-channels";
  EXPECT_FALSE(CheckClientChannelPermission(tree, other, &p, upChannelDelete, sets));
  EXPECT_TRUE(CheckClientChannelPermission(tree, other, &p, upChannelEditTopic, sets))
      << "auto-operator brings operator rights";
  EXPECT_FALSE(HasPermission(&p, upChannelCreateSubchannels, sets));
  EXPECT_TRUE(CheckClientCAPermission(&p, upChannelCreateSubchannels, sets));
}

TEST_F(PermissionStorageTest, ReadMissingIsEmptyAndWriteCreatesThenEdits) {
  const std::string group(UserGroupName(ugRegisterred));
  EXPECT_EQ(group, "_ugRegisterred");
  EXPECT_TRUE(ReadServerPrivileges(storage_.get(), 4, group).Empty());

  const TServerPermissions defaults = DefaultServerPrivileges();
  ASSERT_TRUE(WriteServerPrivileges(storage_.get(), 4, group, defaults[ugSA]));
  EXPECT_EQ(ReadServerPrivileges(storage_.get(), 4, group), defaults[ugSA])
      << "every permission in use survives its column";
  ASSERT_TRUE(WriteServerPrivileges(storage_.get(), 4, group, defaults[ugV]));
  EXPECT_EQ(ReadServerPrivileges(storage_.get(), 4, group), defaults[ugV]);
  EXPECT_EQ(CountRows("vh2_server_privileges"), 1u);
  EXPECT_TRUE(ReadServerPrivileges(storage_.get(), 4, UserGroupName(ugSA)).Empty());
  EXPECT_TRUE(ReadServerPrivileges(storage_.get(), 5, group).Empty());

  // Without a storage nothing is read or written.
  EXPECT_TRUE(ReadServerPrivileges(nullptr, 4, group).Empty());
  EXPECT_FALSE(WriteServerPrivileges(nullptr, 4, group, defaults[ugSA]));
}

}  // namespace
}  // namespace vh::test
