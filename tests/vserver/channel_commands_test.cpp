// Channel commands in the in-process listener world, with the stored rows read back from the
// server's database.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>

#include "model/Channels.h"
#include "support/ListenerWorld.h"

namespace vh::test {
namespace {

using TPlayer = TWorldPlayer;

// Request fields, little-endian; Z is a zero-terminated text.
std::string U16(uint16_t v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
std::string I32(int32_t v) {
  return U16(static_cast<uint16_t>(v & 0xFFFF)) + U16(static_cast<uint16_t>((v >> 16) & 0xFFFF));
}
std::string Z(std::string_view s) {
  return std::string(s) + '\0';
}
std::string SS29(std::string_view s) {
  return static_cast<char>(s.size()) + std::string(s) + std::string(29 - s.size(), '\0');
}

// Sends the request and lets the world settle: its error code, or 0 when not refused.
int Send(TPlayer& c, uint16_t command, const std::string& payload) {
  return c.Refusal(command, payload);
}

// Everything the server sent `c` so far.
std::vector<std::unique_ptr<TPacket>> Settle(TPlayer& c) {
  return c.TakeAll();
}

size_t CountOf(const std::vector<std::unique_ptr<TPacket>>& packets, uint16_t command) {
  size_t n = 0;
  for (const auto& p : packets) n += p->CommandNumber() == command;
  return n;
}

// Creates a channel; its id, or the refusal code.
int32_t Create(TPlayer& c, const std::string& name, uint16_t flags = 0, int32_t parent = -1,
               uint16_t codec = 1, const std::string& password = {}) {
  const std::string payload = I32(0) + U16(flags) + U16(codec) + I32(parent) + U16(7) + U16(20) +
                              Z(name) + Z("topic") + Z("about") + Z(password);
  if (int code = Send(c, 201, payload)) return code;
  while (auto p = c.WaitFor(110)) {
    auto created = client::ParseChannelCreated(*p);
    if (created && created->creatorId == static_cast<int32_t>(c.PlayerId()) &&
        created->channel.name == name)
      return created->channel.id;
  }
  return 0;
}

// Stored channels by name.
struct TRow {
  int32_t parent = 0;  // the parent's row id, -1 top-level
  std::string password;
  bool isDefault = false;
};
std::map<std::string, TRow> Stored(TListenerWorld& h) {
  TStorageScript q(h.Storage(), "read_channels.sql");
  q.SetInteger(":iServerID", h.Server().ServerID());
  std::map<std::string, TRow> rows;
  if (auto r = q.Open())
    for (size_t i = 0; i < r->Count(); ++i) {
      const TStorageRow& row = r->Row(i);
      rows[row.FieldByName("s_channel_name").GetAsString()] = {
          row.FieldByName("i_channel_parent_id").GetAsInteger(),
          row.FieldByName("s_channel_password").GetAsString(),
          row.FieldByName("b_channel_flag_default").GetAsBoolean()};
    }
  return rows;
}

int32_t ChannelDBID(TListenerWorld& h, int32_t id) {
  TLockGuard tree(h.Server().Channels()->Mutex());
  TChannel* c = h.Server().Channels()->GetChannel(id);
  return c ? c->DBID : -1;
}

// The stored flags (admin, auto-op, auto-voice) of an account in a channel; empty: no row.
std::string StoredPrivileges(TListenerWorld& h, int32_t account, int32_t channelId) {
  // The tree lock comes before the storage lock, as everywhere else.
  const int32_t channelDBID = ChannelDBID(h, channelId);
  TStorageScript q(h.Storage(), "read_channel_privilege.sql");
  q.SetInteger(":iServerID", h.Server().ServerID()).SetInteger(":iClientID", account);
  q.SetInteger(":iChannelID", channelDBID);
  auto r = q.Open();
  if (!r || r->Count() == 0) return "";
  std::string flags;
  for (const char* f : {"b_cp_flag_admin", "b_cp_flag_autoop", "b_cp_flag_autovoice"})
    flags += r->Row(0).FieldByName(f).GetAsBoolean() ? '1' : '0';
  return flags;
}

class ChannelCommands : public ::testing::Test {
 protected:
  TListenerWorld h{
      [](THostPolicy& s) { s.LogChannelRegistered = s.LogChannelUnregistered = true; }};
  TPlayer* sam = (h.AddAccount("sam", "pw", PP_SERVER_ADMIN), h.Join("sam", "sam", "pw"));
  // An administration request carried out by the listener; its result code.
  using TKind = TListenerRequestKind;
  int32_t Request(TKind type, int32_t target, int32_t argument = 0, std::string text = {}) {
    return h.Request(type, target, argument, 0, std::move(text)).ResultCode;
  }
  int32_t Def() {
    TLockGuard tree(h.Server().Channels()->Mutex());
    return h.Server().Channels()->GetDefaultChannel();
  }
};

TEST_F(ChannelCommands, CreatorsBecomeChannelAdmins) {
  const int32_t rita = h.AddAccount("rita", "pw");
  auto r = h.Join("rita", "rita", "pw");
  auto anna = h.Join("anna");
  ASSERT_TRUE(sam && r && anna);

  const int32_t tmp = Create(*anna, "Tmp", CF_UNREGISTERED);
  ASSERT_GT(tmp, 0);
  auto moved = client::ParsePlayerSwitched(*r->WaitFor(103));
  EXPECT_EQ(moved->playerId, static_cast<int32_t>(anna->PlayerId()));
  EXPECT_EQ(moved->newChannelId, tmp);
  EXPECT_EQ(moved->channelPrivileges, CP_CHANNEL_ADMIN);

  // A registered creator of a registered channel stays, and his CA entry is stored.
  const int32_t hall = Create(*r, "Hall");
  ASSERT_GT(hall, 0);
  EXPECT_EQ(CountOf(Settle(*r), 103), 0u);
  EXPECT_EQ(StoredPrivileges(h, rita, hall), "100");
  EXPECT_EQ(Stored(h).count("Hall"), 1u);
  EXPECT_EQ(Send(*r, 206, I32(hall) + Z("Great Hall")), 0);
  EXPECT_EQ(Send(*anna, 206, I32(hall) + Z("Mine")), -1009);
  EXPECT_EQ(Stored(h).count("Great Hall"), 1u);

  // The temporary channel lives while its creator sits in it.
  ASSERT_TRUE(anna->Quit());
  auto destroyed = client::ParseChannelDestroyed(*r->WaitFor(115));
  EXPECT_EQ(destroyed->channelId, tmp);
  EXPECT_TRUE(
      h.Log().Contains("unregisterred channel created [ChannelName: Tmp, ClientNickName: "
                       "anna, ClientLoginName: ]"));
  EXPECT_TRUE(
      h.Log().Contains("registerred channel created [ChannelName: Hall, ClientNickName: "
                       "rita, ClientLoginName: rita]"));
}

TEST_F(ChannelCommands, SubChannelNameAndCodecRules) {
  auto ann = h.Join("ann");
  ASSERT_TRUE(sam && ann);
  const int32_t top = Create(*sam, "Top", CF_HIERARCHICAL, -1, 4);
  const int32_t flat = Create(*sam, "Flat");
  ASSERT_GT(top, 0);
  ASSERT_GT(flat, 0);
  const int32_t sub = Create(*sam, "Sub", 0, top, 9);
  ASSERT_GT(sub, 0);
  {
    TLockGuard tree(h.Server().Channels()->Mutex());
    EXPECT_EQ(h.Server().Channels()->GetChannel(sub)->Codec, 4);
  }
  EXPECT_EQ(Stored(h)["Sub"].parent, ChannelDBID(h, top));
  EXPECT_EQ(Create(*sam, "Deeper", 0, sub), -122);
  EXPECT_EQ(Create(*sam, "Locked", 0, top, 1, "x"), -120);
  EXPECT_EQ(Create(*sam, "Under", 0, flat), -115);
  EXPECT_EQ(Create(*sam, "TOP"), -114);
  EXPECT_GT(Create(*sam, "flat", 0, top), 0);
  EXPECT_EQ(Create(*sam, "X", 0, -1, 13), -104);
  h.EditSettings([](TVirtualServerSettings& s) { s.CodecPermits[7] = false; });
  EXPECT_EQ(Create(*sam, "X", 0, -1, 7), -108);
  EXPECT_EQ(Create(*ann, "X", 0, top), -1009);
  EXPECT_EQ(Create(*ann, "X"), -1009);  // registered needs a registered creator

  // A top-level name clashes with any channel, a sub-channel's only with its siblings.
  EXPECT_EQ(Send(*sam, 206, I32(top) + Z("sub")), -114);
  EXPECT_EQ(Send(*sam, 206, I32(sub) + Z("FLAT")), -114);
  EXPECT_EQ(Send(*sam, 206, I32(sub) + Z("Top")), 0);
  EXPECT_EQ(Send(*sam, 206, I32(sub) + Z("TOP")), 0);
  EXPECT_EQ(Send(*ann, 207, I32(top) + Z("t")), -1009);
  EXPECT_EQ(Send(*sam, 210, I32(4242) + U16(1)), -102);
  // Too short: ignored. A text without its zero ends with the packet.
  EXPECT_EQ(Send(*sam, 212, I32(top)), 0);
  EXPECT_EQ(CountOf(Settle(*ann), 117), 0u);
  EXPECT_EQ(Send(*sam, 207, I32(top) + "no end"), 0);
  auto topic = client::ParseChannelText(*ann->WaitFor(112));
  EXPECT_EQ(topic->text, "no end");
  EXPECT_EQ(topic->changerId, static_cast<int32_t>(sam->PlayerId()));
}

TEST_F(ChannelCommands, DefaultChannelAndDeletion) {
  auto al = h.Join("al");
  ASSERT_TRUE(sam && al);
  const int32_t oldDefault = Def();
  const int32_t def = Create(*sam, "Lobby", CF_DEFAULT | CF_UNREGISTERED);
  ASSERT_GT(def, 0);
  auto lost = client::ParseChannelProperties(*al->WaitFor(113));
  EXPECT_EQ(lost->channelId, oldDefault);
  EXPECT_EQ(lost->flags & CF_DEFAULT, 0);
  EXPECT_EQ(Def(), def);
  EXPECT_TRUE(Stored(h)["Lobby"].isDefault);  // a default channel is never temporary
  EXPECT_FALSE(Stored(h)["Default"].isDefault);
  EXPECT_EQ(Send(*sam, 209, I32(def)), -117);
  EXPECT_EQ(Send(*sam, 205, I32(def) + U16(0) + U16(1)), -117);

  const int32_t busy = Create(*al, "Busy", CF_UNREGISTERED);
  EXPECT_EQ(Send(*sam, 209, I32(busy)), -109);
  const int32_t tree = Create(*sam, "Tree", CF_HIERARCHICAL);
  const int32_t leaf = Create(*sam, "Leaf", 0, tree);
  EXPECT_EQ(Send(*al, 209, I32(leaf)), -1009);
  EXPECT_EQ(Send(*sam, 209, I32(tree)), 0);
  std::set<int> gone;
  for (const auto& p : Settle(*al))
    if (p->CommandNumber() == 115) gone.insert(client::ParseChannelDestroyed(*p)->channelId);
  EXPECT_EQ(gone, (std::set<int>{tree, leaf}));
  EXPECT_EQ(Stored(h).count("Tree") + Stored(h).count("Leaf"), 0u);
  EXPECT_TRUE(h.Log().Contains("registerred channel destroyed [ChannelName: Tree"));
}

TEST_F(ChannelCommands, ModerationOffClearsEachModeratedPrivilegeOnce) {
  const int32_t op = h.AddAccount("op", "pw");
  const int32_t stage = Create(*sam, "Stage", CF_MODERATED);
  ASSERT_GT(stage, 0);
  {
    const int32_t stageDBID = ChannelDBID(h, stage);  // tree lock before the storage lock
    TStorageScript q(h.Storage(), "new_channel_privilege.sql");
    q.SetInteger(":iServerID", h.Server().ServerID()).SetInteger(":iClientID", op);
    q.SetInteger(":iChannelID", stageDBID).SetBoolean(":bAdmin", false);
    ASSERT_TRUE(q.SetBoolean(":bAutoOP", true).SetBoolean(":bAutoVoice", true).Execute());
  }
  auto o = h.Join("op", "op", "pw", "Stage");
  ASSERT_TRUE(o);
  EXPECT_EQ(Send(*sam, 205, I32(stage) + U16(0) + U16(1)), 0);
  std::vector<int> revoked;
  for (auto& p : Settle(*o)) {
    if (p->CommandNumber() != 106) continue;
    auto c = client::ParsePrivilegeChange(*p);
    EXPECT_EQ(c->playerId, static_cast<int32_t>(o->PlayerId()));
    EXPECT_EQ(c->action, 3);
    revoked.push_back(c->privilege);
  }
  EXPECT_EQ(revoked, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(StoredPrivileges(h, op, stage), "");  // nothing left to store: the row goes
}

TEST_F(ChannelCommands, RegistrationFollowsTheDatabase) {
  const int32_t keep = Create(*sam, "Keep", CF_HIERARCHICAL);
  const int32_t room = Create(*sam, "Room", 0, keep);
  const int32_t gone = Create(*sam, "Gone");
  auto vic = h.Join("vic", "", "", "Keep");
  ASSERT_TRUE(vic && keep > 0 && room > 0 && gone > 0);
  auto flags = [&](int32_t id, uint16_t f) { return I32(id) + U16(f) + U16(1); };

  // Temporary while somebody sits in it: both rows go; registered again: both come back.
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_UNREGISTERED | CF_HIERARCHICAL)), 0);
  EXPECT_EQ(Stored(h).count("Keep") + Stored(h).count("Room"), 0u);
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_HIERARCHICAL)), 0);
  EXPECT_EQ(Stored(h)["Room"].parent, ChannelDBID(h, keep));
  // Nobody inside: it goes at once.
  EXPECT_EQ(Send(*sam, 205, flags(gone, CF_UNREGISTERED)), 0);
  EXPECT_EQ(client::ParseChannelDestroyed(*vic->WaitFor(115))->channelId, gone);
  EXPECT_EQ(Stored(h).count("Gone"), 0u);

  EXPECT_EQ(Request(TKind::SetChannelRegistered, keep, 0, "UNREGISTERED"), 0);
  EXPECT_EQ(Stored(h).count("Room"), 0u);
  EXPECT_EQ(Request(TKind::SetChannelRegistered, keep, 0, "registered"), 0);
  EXPECT_EQ(Stored(h).count("Room"), 1u);
  EXPECT_EQ(Request(TKind::SetChannelRegistered, keep, 0, "permanent"), -107);
  EXPECT_EQ(Request(TKind::SetChannelRegistered, Def(), 0, "registered"), -107);
  EXPECT_EQ(Request(TKind::SetChannelRegistered, room, 0, "registered"), -123);
  EXPECT_EQ(Request(TKind::SetChannelRegistered, 9999, 0, "registered"), -102);

  EXPECT_EQ(Send(*sam, 203, I32(keep) + SS29("pw")), 0);
  auto changed = sam->WaitFor(204);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->Size(), 28);
  EXPECT_EQ(changed->LongAt(24), static_cast<uint32_t>(keep));
  EXPECT_EQ(Stored(h)["Keep"].password, "pw");
  EXPECT_EQ(Send(*sam, 203, I32(room) + SS29("x")), -120);
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_HIERARCHICAL)), 0);  // P cleared
  EXPECT_EQ(Stored(h)["Keep"].password, "");
}

TEST_F(ChannelCommands, AdministrationAddsAndDeletesChannels) {
  ASSERT_TRUE(sam);
  EXPECT_EQ(Request(TKind::AddChannel, 500, 3), 500);
  auto created = client::ParseChannelCreated(*sam->WaitFor(110));
  EXPECT_EQ(created->channel.id, 500);
  EXPECT_EQ(created->channel.maxUsers, 64000);
  h.EditSettings([](TVirtualServerSettings& s) { s.CodecPermits[2] = false; });
  EXPECT_EQ(Request(TKind::AddChannel, 501, 2), -108);
  EXPECT_EQ(Request(TKind::DeleteChannel, 9999), -102);
  EXPECT_EQ(Request(TKind::DeleteChannel, Def()), -109);
  EXPECT_EQ(Request(TKind::DeleteChannel, 500), 0);
  EXPECT_EQ(client::ParseChannelDestroyed(*sam->WaitFor(115))->channelId, 500);
}

}  // namespace
}  // namespace vh::test
