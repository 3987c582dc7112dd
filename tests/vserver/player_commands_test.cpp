// Player commands in the in-process listener world: switching and moving, channel and server
// privileges, registration, chat, information replies and the administration requests on
// players.
#include <gtest/gtest.h>

#include "support/ListenerWorld.h"
#include "support/ServerModel.h"
#include "vserver/Notifier.h"

namespace vh::test {
namespace {

using TPlayer = TWorldPlayer;

void Configure(THostPolicy& s) {
  s.SpamMaxCommands = 1000;  // the tests send requests faster than any player would
  s.LogServerAdmin = true;
  s.LogChat = true;
}

int32_t Id(const TPlayer& c) {
  return static_cast<int32_t>(c.PlayerId());
}

TPayload Privilege(const TPlayer& target, uint8_t action, uint8_t privilege) {
  return std::move(TPayload().I32(Id(target)).U8(action).U8(privilege));
}

// The next 106 or 107 about `playerId` as (action, privilege, changer).
std::tuple<int, int, int> NextChange(TPlayer& c, uint16_t number, uint32_t playerId) {
  auto p = c.WaitFor(number, [&](const TPacket& q) { return q.LongAt(24) == playerId; });
  if (!p) return {-1, -1, -1};
  return {p->ByteAt(28), p->ByteAt(29), static_cast<int>(p->LongAt(30))};
}

using TKind = TListenerRequestKind;

TListenerRequest Request(TListenerWorld& h, TKind type, int32_t target, int32_t argument = 0,
                         uint16_t flags = 0) {
  return h.Request(type, target, argument, flags);
}

bool AccountExists(TListenerWorld& h, const std::string& login, bool* serverAdmin = nullptr) {
  const auto id = static_cast<uint32_t>(h.Server().ServerID());
  TClients accounts(id, &h.Storage());
  const TClientRecordPtr r = accounts.DBLoadUser(id, login);
  if (r && serverAdmin) *serverAdmin = r->IsServerAdmin();
  return r != nullptr;
}

TEST(PlayerCommands, SwitchingPasswordsStickinessAndMoves) {
  TListenerWorld h(Configure);
  const int32_t vault = AddChannel(h.Server(), "Vault", 0, -1, "key");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  ASSERT_TRUE(alice && bob);
  const int32_t lobby = ChannelOf(h.Server(), alice->PlayerId());

  const uint32_t seq = alice->SendCommand(303, TPayload().I32(vault).Name29("nope"));
  auto wrong = alice->WaitForError();
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->code, -111);
  EXPECT_EQ(wrong->command, 303);
  EXPECT_EQ(wrong->sequence, seq);
  EXPECT_EQ(wrong->channelId, vault);  // only the 34-byte form carries it
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(vault).Name29("")), -1009);
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(4242).Name29("key")), -102);
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(vault)), 0);  // too short: ignored
  EXPECT_EQ(ChannelOf(h.Server(), alice->PlayerId()), lobby);

  EXPECT_EQ(alice->Refusal(303, TPayload().I32(vault).Name29("key")), 0);
  auto seen = bob->WaitFor(103);
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->LongAt(24), alice->PlayerId());
  EXPECT_EQ(static_cast<int32_t>(seen->LongAt(32)), vault);

  // A sticky player stays put until an administrator moves him; moving needs the permission.
  EXPECT_EQ(Request(h, TKind::SetPlayerPrivileges, Id(*alice), 0, PP_STICKY).ResultCode, 0);
  EXPECT_EQ(NextChange(*bob, 107, alice->PlayerId()), std::make_tuple(0, 4, 0));
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(lobby).Name29("")), -1009);
  EXPECT_EQ(bob->Refusal(330, TPayload().I32(Id(*alice)).I32(lobby)), -1009);
  EXPECT_EQ(Request(h, TKind::MovePlayer, Id(*alice), 4242).ResultCode, -102);
  EXPECT_EQ(Request(h, TKind::MovePlayer, 999, lobby).ResultCode, -100);
  EXPECT_EQ(Request(h, TKind::MovePlayer, Id(*alice), vault).ResultCode, -119);
  EXPECT_EQ(Request(h, TKind::MovePlayer, Id(*alice), lobby).ResultCode, 0);
  auto moved = bob->WaitFor(109);
  ASSERT_TRUE(moved);
  EXPECT_EQ(static_cast<int32_t>(moved->LongAt(28)), vault);
  EXPECT_EQ(static_cast<int32_t>(moved->LongAt(32)), lobby);
  EXPECT_EQ(moved->LongAt(36), 0u);  // moved by the server
  EXPECT_EQ(ChannelOf(h.Server(), alice->PlayerId()), lobby);
}

// Who sits where, as the channel lists say: the channel of `playerId`'s entry, -1 for none.
int32_t ListedIn(TServerObject& server, uint32_t playerId, std::initializer_list<int32_t> ids) {
  int32_t found = -1;
  WithModel(server, [&](TClients&, TChannels& tree) {
    for (int32_t id : ids)
      if (TChannel* c = tree.GetChannel(id);
          c && c->Players.Contains(static_cast<int32_t>(playerId)))
        found = found == -1 ? id : -2;  // -2: listed twice
  });
  return found;
}

bool ChannelExists(TServerObject& server, int32_t id) {
  bool exists = false;
  WithModel(server, [&](TClients&, TChannels& tree) { exists = tree.GetChannel(id) != nullptr; });
  return exists;
}

TEST(PlayerCommands, MovesOnAPublicServerSwapScopesAndClearTheTreeLeftEmpty) {
  TListenerWorld h(Configure);
  h.Server().ServerFlags().store(SF_PUBLIC);
  const int32_t hall = AddChannel(h.Server(), "Hall", CF_UNREGISTERED);
  const int32_t side = AddChannel(h.Server(), "Side", CF_UNREGISTERED);
  auto alice = h.Join("alice", "", "", "Hall");
  auto bob = h.Join("bob");
  ASSERT_TRUE(alice && bob);
  const int32_t lobby = ChannelOf(h.Server(), bob->PlayerId());
  ASSERT_EQ(ListedIn(h.Server(), alice->PlayerId(), {hall, side, lobby}), hall);
  auto isAlice = [&](const TPacket& q) { return q.LongAt(24) == alice->PlayerId(); };

  // Moved by the server into bob's tree: bob sees her enter, she gets bob's block, and the
  // temporary channel she left goes once everybody has heard of the move.
  EXPECT_EQ(Request(h, TKind::MovePlayer, Id(*alice), lobby).ResultCode, 0);
  EXPECT_TRUE(bob->WaitFor(109, isAlice));
  EXPECT_TRUE(bob->WaitFor(100, isAlice));
  auto players = alice->WaitFor(108);
  ASSERT_TRUE(players);
  EXPECT_EQ(players->LongAt(24), 1u);
  EXPECT_EQ(players->LongAt(28), bob->PlayerId());
  auto gone = bob->WaitFor(115);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->WordAt(24), static_cast<uint16_t>(hall));
  EXPECT_FALSE(ChannelExists(h.Server(), hall));
  EXPECT_EQ(ListedIn(h.Server(), alice->PlayerId(), {side, lobby}), lobby);

  // Her own switch out of the tree: bob loses sight of her; back again, the emptied
  // channel goes and bob sees her enter once more.
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(side).Name29("")), 0);
  auto out = bob->WaitFor(101, isAlice);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->WordAt(28), kLeftOutOfSight);
  EXPECT_EQ(ListedIn(h.Server(), alice->PlayerId(), {side, lobby}), side);
  EXPECT_EQ(alice->Refusal(303, TPayload().I32(lobby).Name29("")), 0);
  EXPECT_TRUE(bob->WaitFor(100, isAlice));
  gone = bob->WaitFor(115);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->WordAt(24), static_cast<uint16_t>(side));
  EXPECT_EQ(ListedIn(h.Server(), alice->PlayerId(), {lobby}), lobby);
}

TEST(PlayerCommands, ChannelPrivilegesGrantRevokeAndRefusals) {
  TListenerWorld h(Configure);
  AddChannel(h.Server(), "Stage", CF_MODERATED);
  const int32_t hall = AddChannel(h.Server(), "Hall", CF_HIERARCHICAL);
  const int32_t nook = AddChannel(h.Server(), "Nook", 0, hall);
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  auto root = h.Join("root", "root", "secret");
  auto alice = h.Join("alice", "", "", "Stage");
  auto bob = h.Join("bob", "", "", "Stage");
  ASSERT_TRUE(root && alice && bob);

  EXPECT_EQ(alice->Refusal(306, Privilege(*alice, 0, 0)), -1009);
  EXPECT_EQ(alice->Refusal(306, Privilege(*root, 0, 1)), -130);  // root's channel: unmoderated
  const std::pair<uint8_t, int> repeats[] = {{1, -1022}, {2, -1023}, {0, -1021}};
  for (auto [privilege, code] : repeats) {
    EXPECT_EQ(root->Refusal(306, Privilege(*alice, 0, privilege)), 0);
    EXPECT_EQ(NextChange(*bob, 106, alice->PlayerId()), std::make_tuple(0, privilege, Id(*root)));
    EXPECT_EQ(root->Refusal(306, Privilege(*alice, 0, privilege)), code);
  }
  // Auto-operator brings operator with it, announced as granted by the server.
  EXPECT_EQ(root->Refusal(306, Privilege(*bob, 0, 3)), 0);
  EXPECT_EQ(NextChange(*alice, 106, bob->PlayerId()), std::make_tuple(0, 3, Id(*root)));
  EXPECT_EQ(NextChange(*alice, 106, bob->PlayerId()), std::make_tuple(1, 1, 0));

  // CA of the parent channel holds in its sub-channel and cannot be revoked there.
  ASSERT_EQ(alice->Refusal(303, TPayload().I32(hall).Name29("")), 0);
  ASSERT_EQ(root->Refusal(306, Privilege(*alice, 0, 0)), 0);
  ASSERT_EQ(alice->Refusal(303, TPayload().I32(nook).Name29("")), 0);
  EXPECT_EQ(root->Refusal(306, Privilege(*alice, 2, 0)), -1036);
  EXPECT_EQ(root->Refusal(306, Privilege(*bob, 2, 1)), 0);
}

TEST(PlayerCommands, ServerPrivilegesCannotBeTakenWithoutPermission) {
  TListenerWorld h(Configure);
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  h.AddAccount("carol", "pw");
  auto root = h.Join("root", "root", "secret");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol", "carol", "pw");
  ASSERT_TRUE(root && alice && bob && carol);

  // Super server admin and registration are never granted this way; the rest needs rights.
  for (uint8_t privilege : {0, 1, 2, 3, 4, 7})
    EXPECT_EQ(alice->Refusal(307, Privilege(*alice, 0, privilege)), -1009) << int(privilege);
  EXPECT_EQ(root->Refusal(307, Privilege(*alice, 0, 3)), -1009);
  EXPECT_EQ(root->Refusal(307, Privilege(*alice, 0, 2)), -1009);
  EXPECT_EQ(root->Refusal(307, Privilege(*alice, 0, 4)), 0);
  EXPECT_EQ(NextChange(*bob, 107, alice->PlayerId()), std::make_tuple(0, 4, Id(*root)));

  // A server admin is never sticky: granting SA drops it first.
  EXPECT_EQ(root->Refusal(307, Privilege(*alice, 0, 0)), 0);
  EXPECT_EQ(NextChange(*bob, 107, alice->PlayerId()), std::make_tuple(2, 4, 0));
  EXPECT_EQ(NextChange(*bob, 107, alice->PlayerId()), std::make_tuple(0, 0, Id(*root)));
  EXPECT_EQ(root->Refusal(307, Privilege(*alice, 0, 4)), -1009);
  EXPECT_TRUE(h.Log().Contains(
      "serveradmin granted by [Nick: root, LoginName: root, DBID: 1] for [Nick: alice, "
      "LoginName: , DBID: 0] "));

  ASSERT_TRUE(AccountExists(h, "carol"));
  EXPECT_EQ(root->Refusal(307, Privilege(*carol, 2, 2)), 0);
  EXPECT_EQ(NextChange(*bob, 107, carol->PlayerId()), std::make_tuple(2, 2, Id(*root)));
  EXPECT_FALSE(AccountExists(h, "carol"));
}

TEST(PlayerCommands, RegistrationBySelfAndByAdministrator) {
  TListenerWorld h(Configure);
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  auto root = h.Join("root", "root", "secret");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  ASSERT_TRUE(root && alice && bob);
  const auto credentials = [](const char* login) {
    return std::move(TPayload().Name29(login).Name29("pw"));
  };

  EXPECT_EQ(alice->Refusal(308, credentials("alice")), -140);
  EXPECT_EQ(
      Request(h, TKind::SetPlayerPrivileges, Id(*alice), 0, PP_ALLOWED_TO_REGISTER).ResultCode, 0);
  EXPECT_EQ(Request(h, TKind::SetPlayerPrivileges, Id(*bob), 0, PP_ALLOWED_TO_REGISTER).ResultCode,
            0);
  EXPECT_EQ(alice->Refusal(308, credentials("alice")), 0);
  EXPECT_EQ(NextChange(*root, 107, alice->PlayerId()), std::make_tuple(0, 1, 0));  // request 10
  EXPECT_EQ(NextChange(*root, 107, alice->PlayerId()), std::make_tuple(1, 2, 0));
  EXPECT_TRUE(AccountExists(h, "alice"));
  EXPECT_EQ(alice->Refusal(308, credentials("other")), -143);
  EXPECT_EQ(bob->Refusal(308, credentials("alice")), -141);
  EXPECT_EQ(bob->Refusal(308, credentials("")), -141);
  EditPlayer(h.Server(), bob->PlayerId(), [](TClientRecord& p) {
    EXPECT_TRUE(p.LoginName.Empty());
    EXPECT_FALSE(p.IsRegistered());
  });

  EXPECT_EQ(bob->Refusal(310, TPayload().Name29("newbie").Name29("pw").U8(1)), -1009);
  root->SendCommand(310, TPayload().Name29("newbie").Name29("pw").U8(1));
  auto ok = root->WaitFor(311);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->Size(), 24);
  bool admin = false;
  EXPECT_TRUE(AccountExists(h, "newbie", &admin));
  EXPECT_TRUE(admin);
  EXPECT_EQ(root->Refusal(310, TPayload().Name29("newbie").Name29("x").U8(0)), -141);
}

TEST(PlayerCommands, ChatKindsPermissionsAndInformationReplies) {
  TListenerWorld h(Configure);
  AddChannel(h.Server(), "Side");
  h.AddAccount("root", "secret", PP_SERVER_ADMIN);
  auto root = h.Join("root", "root", "secret");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol", "", "", "Side");
  ASSERT_TRUE(root && alice && bob && carol);
  const int32_t lobby = ChannelOf(h.Server(), alice->PlayerId());
  auto text = [](int32_t value, uint8_t kind, int32_t target, const char* message) {
    return std::move(TPayload().I32(value).U8(kind).I32(target).Text(message));
  };
  auto message = [](TPlayer& c) {
    auto p = c.WaitFor(130);
    return p ? client::ParseTextMessage(*p) : std::nullopt;
  };

  EXPECT_EQ(alice->Refusal(430, text(1, 1, lobby, "x")), -1009);
  EXPECT_EQ(alice->Refusal(430, text(1, 0, 0, "x")), -1009);
  TServerPermissions sets = h.Server().Permissions();
  sets[ugAnonymous].Include(upSendTextToOwnChannel);
  h.Server().SetPermissions(sets);
  ASSERT_EQ(alice->Refusal(430, text(77, 1, lobby, "hi")), 0);
  for (TPlayer* c : {alice, bob}) {  // the sender hears himself too
    auto m = message(*c);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->value, 77);
    EXPECT_EQ(m->kind, 1);
    EXPECT_EQ(m->sender, "alice");
    EXPECT_EQ(m->text, "hi");
  }
  ASSERT_EQ(alice->Refusal(430, text(5, 2, Id(*carol), "direct")), 0);
  EXPECT_EQ(message(*carol)->text, "direct");  // the channel text never reached her
  ASSERT_EQ(root->Refusal(430, text(0, 0, 0, "all")), 0);
  EXPECT_EQ(message(*carol)->text, "all");
  EXPECT_TRUE(h.Log().Contains("[to channel: Default, from alice] hi"));
  EXPECT_TRUE(h.Log().Contains("[to all, from root] all"));

  // Connection info: the address only for a server admin.
  auto info = [&](TPlayer& asker, int32_t about) {
    asker.SendCommand(400, TPayload().I32(about));
    return asker.WaitFor(404);
  };
  auto plain = info(*alice, Id(*bob));
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->Size(), 164);
  EXPECT_EQ(plain->LongAt(24), bob->PlayerId());
  EXPECT_EQ(plain->ByteAt(64), 0);
  EXPECT_EQ(plain->WordAt(94), 0);
  EXPECT_EQ(static_cast<int32_t>(plain->LongAt(126)), lobby);
  EXPECT_GT(plain->LongAt(56), 0u);  // packets received from bob
  auto full = info(*root, Id(*bob));
  ASSERT_TRUE(full);
  EXPECT_EQ(TName29::ReadFrom(full->Memory() + 64).Str(), "127.0.0.1");
  EXPECT_EQ(full->WordAt(94), bob->LocalPort());
  EXPECT_EQ(alice->Refusal(400, TPayload().I32(999)), -100);

  alice->SendCommand(405, {});
  auto server = alice->WaitFor(406);
  ASSERT_TRUE(server);
  EXPECT_EQ(server->Size(), 100);
  EXPECT_EQ(server->WordAt(36), 20);  // version 2.0.20.1
  EXPECT_EQ(server->LongAt(40), 4u);
  EXPECT_GT(server->LongAt(44), 0u);
  EXPECT_EQ(server->LongAt(48), 0u);  // packet counts are 32-bit values widened
  EXPECT_EQ(server->LongAt(64), 0u);
  EXPECT_EQ(server->LongAt(92), 4u);  // logins
}

TEST(PlayerCommands, AdministrationRequestsAndQuit) {
  TListenerWorld h(Configure);
  const int32_t side = AddChannel(h.Server(), "Side");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol", "", "", "Side");
  ASSERT_TRUE(alice && bob && carol);

  EXPECT_EQ(Request(h, TKind::AddPlayer, 77, 4242).ResultCode, -102);
  EXPECT_EQ(Request(h, TKind::AddPlayer, 0, side).ResultCode, -107);
  EXPECT_EQ(Request(h, TKind::AddPlayer, Id(*bob), side).ResultCode, -116);
  const TListenerRequest added = Request(h, TKind::AddPlayer, 77, side);
  EXPECT_EQ(added.ResultCode, 0);
  EXPECT_EQ(added.ResultValue, 1);
  EXPECT_EQ(ChannelOf(h.Server(), 77), side);
  Request(h, TKind::RemovePlayer, 77);
  EXPECT_EQ(ChannelOf(h.Server(), 77), -1);  // gone from the registry
  EXPECT_EQ(Request(h, TKind::RemovePlayer, 77).ResultCode, -100);

  // The type changes to public: each player loses sight of those outside his tree.
  h.Server().ServerFlags().store(SF_PUBLIC);
  h.Server().TypeChanged().store(true);
  EXPECT_EQ(Request(h, TKind::ServerPropertiesChanged, 0).ResultCode, 0);
  for (TPlayer* c : {alice, bob, carol}) EXPECT_TRUE(c->WaitFor(140)) << c->PlayerId();
  auto gone = alice->WaitFor(101);
  ASSERT_TRUE(gone);
  EXPECT_EQ(gone->LongAt(24), carol->PlayerId());
  EXPECT_EQ(gone->WordAt(28), kLeftOutOfSight);
  EXPECT_FALSE(h.Server().TypeChanged().load());

  ASSERT_TRUE(bob->Quit());
  auto left = alice->WaitFor(101);
  ASSERT_TRUE(left);
  EXPECT_EQ(left->LongAt(24), bob->PlayerId());
  EXPECT_EQ(left->WordAt(28), kLeftQuit);
  EXPECT_EQ(Request(h, TKind::RemovePlayer, Id(*carol)).ResultCode, 0);
  EXPECT_EQ(ChannelOf(h.Server(), carol->PlayerId()), -1);
}

}  // namespace
}  // namespace vh::test
