// Channel commands end to end: players over UDP on 127.0.0.1 against a real virtual server,
// with the stored rows read back from its database.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "ServerHarness.h"
#include "model/Channels.h"

namespace vh::test {
namespace {

using client::TProtocolClient;

struct TPayload {
  std::string bytes;
  TPayload& U16(uint16_t v) {
    bytes += {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    return *this;
  }
  TPayload& I32(int32_t v) {
    for (int i = 0; i < 4; ++i)
      bytes += static_cast<char>((static_cast<uint32_t>(v) >> 8 * i) & 0xFF);
    return *this;
  }
  TPayload& Text(std::string_view s) {
    bytes.append(s).push_back('\0');
    return *this;
  }
  TPayload& SS29(std::string_view s) {
    bytes += static_cast<char>(s.size());
    bytes.append(s).append(29 - s.size(), '\0');
    return *this;
  }
};

struct TNew {
  TNew(std::string n, uint16_t f = 0, int32_t p = -1, uint16_t c = 1, std::string pw = {})
      : name(std::move(n)), flags(f), parent(p), codec(c), password(std::move(pw)) {}
  std::string name;
  uint16_t flags;
  int32_t parent;
  uint16_t codec;
  std::string password;
};

std::string CreatePayload(const TNew& n) {
  return TPayload()
      .I32(0)
      .U16(n.flags)
      .U16(n.codec)
      .I32(n.parent)
      .U16(7)
      .U16(20)
      .Text(n.name)
      .Text("topic")
      .Text("about")
      .Text(n.password)
      .bytes;
}

// Sends the request, then a request every server refuses; the refusals arrive in order, so
// the second one proves the first was handled. Returns its error code, or 0 when not refused.
int Send(TProtocolClient& c, uint16_t command, const std::string& payload) {
  const uint32_t request = c.SendCommand(command, payload);
  const uint32_t barrier = c.SendCommand(209, TPayload().I32(0x7FFFFFF0).bytes);
  int code = 0;
  while (auto e = c.WaitForError(3s)) {
    if (e->sequence == request) code = e->code;
    if (e->sequence == barrier) return code;
  }
  ADD_FAILURE() << "no answer to command " << command;
  return 1;
}

// Everything the server sent `c` up to the answer to a request sent now.
std::vector<std::unique_ptr<TPacket>> Settle(TProtocolClient& c) {
  Send(c, 209, TPayload().I32(0x7FFFFFF0).bytes);
  return c.DrainFor(0ms).commands;
}

size_t CountOf(const std::vector<std::unique_ptr<TPacket>>& packets, uint16_t command) {
  size_t n = 0;
  for (const auto& p : packets) n += p->CommandNumber() == command;
  return n;
}

// Creates a channel; its id, or the refusal code.
int32_t Create(TProtocolClient& c, const TNew& n) {
  if (int code = Send(c, 201, CreatePayload(n))) return code;
  while (auto p = c.WaitForCommand(110, 3s)) {
    auto created = client::ParseChannelCreated(*p);
    if (created && created->creatorId == static_cast<int32_t>(c.PlayerId()) &&
        created->channel.name == n.name)
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
std::map<std::string, TRow> Stored(TServerHarness& h) {
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

int32_t ChannelDBID(TServerHarness& h, int32_t id) {
  std::lock_guard tree(*h.Server().Channels());
  TChannel* c = h.Server().Channels()->GetChannel(id);
  return c ? c->DBID : -1;
}

// The stored flags (admin, auto-op, auto-voice) of an account in a channel; empty: no row.
std::string StoredPrivileges(TServerHarness& h, int32_t account, int32_t channelId) {
  TStorageScript q(h.Storage(), "read_channel_privilege.sql");
  q.SetInteger(":iServerID", h.Server().ServerID()).SetInteger(":iClientID", account);
  q.SetInteger(":iChannelID", ChannelDBID(h, channelId));
  auto r = q.Open();
  if (!r || r->Count() == 0) return "";
  std::string flags;
  for (const char* f : {"b_cp_flag_admin", "b_cp_flag_autoop", "b_cp_flag_autovoice"})
    flags += r->Row(0).FieldByName(f).GetAsBoolean() ? '1' : '0';
  return flags;
}

class ChannelCommands : public ::testing::Test {
 protected:
  TServerHarness h{[](TSettings& s) { s.LogChannelRegistered = s.LogChannelUnregistered = true; }};
  int32_t adminAccount = h.AddAccount("sam", "pw", PP_SERVER_ADMIN);
  std::unique_ptr<TProtocolClient> sam = h.Join("sam", "sam", "pw");
  int32_t Def() {
    std::lock_guard tree(*h.Server().Channels());
    return h.Server().Channels()->GetDefaultChannel();
  }
};

TEST_F(ChannelCommands, CreatorsBecomeChannelAdmins) {
  const int32_t rita = h.AddAccount("rita", "pw");
  auto r = h.Join("rita", "rita", "pw");
  auto anna = h.Join("anna");
  ASSERT_TRUE(sam && r && anna);

  const int32_t tmp = Create(*anna, {"Tmp", CF_UNREGISTERED});
  ASSERT_GT(tmp, 0);
  auto moved = client::ParsePlayerSwitched(*r->WaitForCommand(103, 3s));
  EXPECT_EQ(moved->playerId, static_cast<int32_t>(anna->PlayerId()));
  EXPECT_EQ(moved->newChannelId, tmp);
  EXPECT_EQ(moved->channelPrivileges, CP_CHANNEL_ADMIN);

  // A registered creator of a registered channel stays, and his CA entry is stored.
  const int32_t hall = Create(*r, {"Hall"});
  ASSERT_GT(hall, 0);
  EXPECT_EQ(CountOf(Settle(*r), 103), 0u);
  EXPECT_EQ(StoredPrivileges(h, rita, hall), "100");
  EXPECT_EQ(Stored(h).count("Hall"), 1u);
  EXPECT_EQ(Send(*r, 206, TPayload().I32(hall).Text("Great Hall").bytes), 0);
  EXPECT_EQ(Send(*anna, 206, TPayload().I32(hall).Text("Mine").bytes), -1009);
  EXPECT_EQ(Stored(h).count("Great Hall"), 1u);

  // The temporary channel lives while its creator sits in it.
  ASSERT_TRUE(anna->Quit(3s));
  auto destroyed = client::ParseChannelDestroyed(*r->WaitForCommand(115, 3s));
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
  const int32_t top = Create(*sam, {"Top", CF_HIERARCHICAL, -1, 4});
  const int32_t flat = Create(*sam, {"Flat"});
  ASSERT_GT(top, 0);
  ASSERT_GT(flat, 0);
  const int32_t sub = Create(*sam, {"Sub", 0, top, 9});
  ASSERT_GT(sub, 0);
  {
    std::lock_guard tree(*h.Server().Channels());
    EXPECT_EQ(h.Server().Channels()->GetChannel(sub)->Codec, 4);
  }
  EXPECT_EQ(Stored(h)["Sub"].parent, ChannelDBID(h, top));
  EXPECT_EQ(Create(*sam, {"Deeper", 0, sub}), -122);
  EXPECT_EQ(Create(*sam, {"Locked", 0, top, 1, "x"}), -120);
  EXPECT_EQ(Create(*sam, {"Under", 0, flat}), -115);
  EXPECT_EQ(Create(*sam, {"TOP"}), -114);
  EXPECT_GT(Create(*sam, {"flat", 0, top}), 0);
  EXPECT_EQ(Create(*sam, {"X", 0, 9999}), -102);
  EXPECT_EQ(Create(*sam, {"X", 0, -1, 13}), -104);
  h.EditSettings([](TVirtualServerSettings& s) { s.CodecPermits[7] = false; });
  EXPECT_EQ(Create(*sam, {"X", 0, -1, 7}), -108);
  EXPECT_EQ(Create(*ann, {"X", 0, top}), -1009);
  EXPECT_EQ(Create(*ann, {"X"}), -1009);  // registered needs a registered creator

  // A top-level name clashes with any channel, a sub-channel's only with its siblings.
  EXPECT_EQ(Send(*sam, 206, TPayload().I32(top).Text("sub").bytes), -114);
  EXPECT_EQ(Send(*sam, 206, TPayload().I32(sub).Text("FLAT").bytes), -114);
  EXPECT_EQ(Send(*sam, 206, TPayload().I32(sub).Text("Top").bytes), 0);
  EXPECT_EQ(Send(*sam, 206, TPayload().I32(sub).Text("TOP").bytes), 0);
  EXPECT_EQ(Send(*ann, 207, TPayload().I32(top).Text("t").bytes), -1009);
  EXPECT_EQ(Send(*sam, 210, TPayload().I32(4242).U16(1).bytes), -102);
  // Too short: ignored. A text without its zero ends with the packet.
  EXPECT_EQ(Send(*sam, 212, TPayload().I32(top).bytes), 0);
  EXPECT_EQ(Send(*sam, 207, TPayload().I32(top).bytes + "no end"), 0);
  const auto seen = Settle(*ann);
  EXPECT_EQ(CountOf(seen, 117), 0u);
  ASSERT_EQ(CountOf(seen, 112), 1u);
  auto topic = client::ParseChannelText(**std::find_if(
      seen.begin(), seen.end(), [](const auto& p) { return p->CommandNumber() == 112; }));
  EXPECT_EQ(topic->text, "no end");
  EXPECT_EQ(topic->changerId, static_cast<int32_t>(sam->PlayerId()));
}

TEST_F(ChannelCommands, DefaultChannelAndDeletion) {
  auto al = h.Join("al");
  ASSERT_TRUE(sam && al);
  const int32_t oldDefault = Def();
  const int32_t def = Create(*sam, {"Lobby", CF_DEFAULT | CF_UNREGISTERED});
  ASSERT_GT(def, 0);
  auto lost = client::ParseChannelProperties(*al->WaitForCommand(113, 3s));
  EXPECT_EQ(lost->channelId, oldDefault);
  EXPECT_EQ(lost->flags & CF_DEFAULT, 0);
  EXPECT_EQ(Def(), def);
  EXPECT_TRUE(Stored(h)["Lobby"].isDefault);  // a default channel is never temporary
  EXPECT_FALSE(Stored(h)["Default"].isDefault);
  EXPECT_EQ(Send(*sam, 209, TPayload().I32(def).bytes), -117);
  EXPECT_EQ(Send(*sam, 205, TPayload().I32(def).U16(0).U16(1).bytes), -117);

  const int32_t busy = Create(*al, {"Busy", CF_UNREGISTERED});
  EXPECT_EQ(Send(*sam, 209, TPayload().I32(busy).bytes), -109);
  const int32_t tree = Create(*sam, {"Tree", CF_HIERARCHICAL});
  const int32_t leaf = Create(*sam, {"Leaf", 0, tree});
  EXPECT_EQ(Send(*al, 209, TPayload().I32(leaf).bytes), -1009);
  EXPECT_EQ(Send(*sam, 209, TPayload().I32(tree).bytes), 0);
  std::set<int> gone;
  for (const auto& p : Settle(*al))
    if (p->CommandNumber() == 115) gone.insert(client::ParseChannelDestroyed(*p)->channelId);
  EXPECT_EQ(gone, (std::set<int>{tree, leaf}));
  EXPECT_EQ(Stored(h).count("Tree") + Stored(h).count("Leaf"), 0u);
  EXPECT_TRUE(h.Log().Contains("registerred channel destroyed [ChannelName: Tree"));
}

TEST_F(ChannelCommands, ModerationOffClearsEachModeratedPrivilegeOnce) {
  const int32_t op = h.AddAccount("op", "pw");
  const int32_t stage = Create(*sam, {"Stage", CF_MODERATED});
  ASSERT_GT(stage, 0);
  {
    TStorageScript q(h.Storage(), "new_channel_privilege.sql");
    q.SetInteger(":iServerID", h.Server().ServerID()).SetInteger(":iClientID", op);
    q.SetInteger(":iChannelID", ChannelDBID(h, stage)).SetBoolean(":bAdmin", false);
    ASSERT_TRUE(q.SetBoolean(":bAutoOP", true).SetBoolean(":bAutoVoice", true).Execute());
  }
  auto o = h.Join("op", "op", "pw", "Stage");
  ASSERT_TRUE(o);
  EXPECT_EQ(Send(*sam, 205, TPayload().I32(stage).U16(0).U16(1).bytes), 0);
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
  const int32_t keep = Create(*sam, {"Keep", CF_HIERARCHICAL});
  const int32_t room = Create(*sam, {"Room", 0, keep});
  const int32_t gone = Create(*sam, {"Gone"});
  auto vic = h.Join("vic", "", "", "Keep");
  ASSERT_TRUE(vic && keep > 0 && room > 0 && gone > 0);
  auto flags = [&](int32_t id, uint16_t f) { return TPayload().I32(id).U16(f).U16(1).bytes; };

  // Temporary while somebody sits in it: both rows go; registered again: both come back.
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_UNREGISTERED | CF_HIERARCHICAL)), 0);
  EXPECT_EQ(Stored(h).count("Keep") + Stored(h).count("Room"), 0u);
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_HIERARCHICAL)), 0);
  EXPECT_EQ(Stored(h)["Room"].parent, ChannelDBID(h, keep));
  // Nobody inside: it goes at once.
  EXPECT_EQ(Send(*sam, 205, flags(gone, CF_UNREGISTERED)), 0);
  EXPECT_EQ(client::ParseChannelDestroyed(*vic->WaitForCommand(115, 3s))->channelId, gone);
  EXPECT_EQ(Stored(h).count("Gone"), 0u);

  auto request = [&](int32_t id, std::string text) {
    TListenerRequest r;
    r.Type = 11;
    r.RequestTarget = id;
    r.RequestText = std::move(text);
    return h.Server().ExecuteRequest(r).ResultCode;
  };
  EXPECT_EQ(request(keep, "UNREGISTERED"), 0);
  EXPECT_EQ(Stored(h).count("Room"), 0u);
  EXPECT_EQ(request(keep, "registered"), 0);
  EXPECT_EQ(Stored(h).count("Room"), 1u);
  EXPECT_EQ(request(keep, "permanent"), -107);
  EXPECT_EQ(request(Def(), "registered"), -107);
  EXPECT_EQ(request(room, "registered"), -123);
  EXPECT_EQ(request(9999, "registered"), -102);

  EXPECT_EQ(Send(*sam, 203, TPayload().I32(keep).SS29("pw").bytes), 0);
  auto changed = sam->WaitForCommand(204, 3s);
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->Size(), 28);
  EXPECT_EQ(changed->LongAt(24), static_cast<uint32_t>(keep));
  EXPECT_EQ(Stored(h)["Keep"].password, "pw");
  EXPECT_EQ(Send(*sam, 203, TPayload().I32(room).SS29("x").bytes), -120);
  EXPECT_EQ(Send(*sam, 205, flags(keep, CF_HIERARCHICAL)), 0);  // P cleared
  EXPECT_EQ(Stored(h)["Keep"].password, "");
}

TEST_F(ChannelCommands, AdministrationAddsAndDeletesChannels) {
  ASSERT_TRUE(sam);
  auto run = [&](uint8_t type, int32_t target, int32_t argument = 0) {
    TListenerRequest r;
    r.Type = type;
    r.RequestTarget = target;
    r.RequestArgument = argument;
    return h.Server().ExecuteRequest(r).ResultCode;
  };
  EXPECT_EQ(run(6, 500, 3), 500);
  auto created = client::ParseChannelCreated(*sam->WaitForCommand(110, 3s));
  EXPECT_EQ(created->channel.id, 500);
  EXPECT_EQ(created->channel.maxUsers, 64000);
  EXPECT_EQ(run(6, 500, 3), -114);
  EXPECT_EQ(run(6, 0, 3), -107);
  h.EditSettings([](TVirtualServerSettings& s) { s.CodecPermits[2] = false; });
  EXPECT_EQ(run(6, 501, 2), -108);
  EXPECT_EQ(run(7, 9999), -102);
  EXPECT_EQ(run(7, Def()), -109);
  EXPECT_EQ(run(7, 500), 0);
  EXPECT_EQ(client::ParseChannelDestroyed(*sam->WaitForCommand(115, 3s))->channelId, 500);
}

}  // namespace
}  // namespace vh::test
