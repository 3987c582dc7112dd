// What a player with an ordinary client and a script must not be able to do to others: each
// case plays the hostile action over UDP against a real virtual server, then checks what the
// victim sees (his channel, his login, his database rows, his voice).
#include <gtest/gtest.h>

#include <map>

#include "PlayerWorld.h"
#include "common/ResultCodes.h"
#include "support/TempDir.h"

namespace vh::test {
namespace {

using client::TProtocolClient;
using client::TWhisperTarget;

void Configure(THostPolicy& s) {
  s.SpamMaxCommands = 1000;  // the tests send requests faster than any player would
  s.LogChannelUnregistered = true;
}

// 201: the refusal code, or 0 once the channel exists.
int CreateChannel(TProtocolClient& c, const std::string& name, uint16_t flags, int32_t parent = -1,
                  const std::string& description = "about") {
  return Refusal(c, 201,
                 TPayload()
                     .I32(0)
                     .U16(flags)
                     .U16(1)
                     .I32(parent)
                     .U16(0)
                     .U16(20)
                     .Text(name)
                     .Text("topic")
                     .Text(description)
                     .Text(""));
}

int32_t ChannelId(TServerObject& server, const std::string& name) {
  int32_t id = -1;
  WithModel(server, [&](TClients&, TChannels& tree) {
    if (TChannel* c = tree.GetChannelByName(name, -1)) id = c->ID;
  });
  return id;
}

// Flags of a channel, or -1 when it is gone.
int ChannelFlags(TServerObject& server, int32_t id) {
  int flags = -1;
  WithModel(server, [&](TClients&, TChannels& tree) {
    if (TChannel* c = tree.GetChannel(id)) flags = c->Flags;
  });
  return flags;
}

// Stored channel rows of the virtual server: name to parent row id.
std::map<std::string, int32_t> StoredChannels(TServerHarness& h) {
  TStorageScript q(h.Storage(), "read_channels.sql");
  q.SetInteger(":iServerID", h.Server().ServerID());
  std::map<std::string, int32_t> rows;
  if (auto r = q.Open())
    for (size_t i = 0; i < r->Count(); ++i)
      rows[r->Row(i).FieldByName("s_channel_name").GetAsString()] =
          r->Row(i).FieldByName("i_channel_parent_id").GetAsInteger();
  return rows;
}

// Runs SQL of the test's own on the server's database (as a disk or an operator would).
bool RunSql(TServerHarness& h, const std::string& sql) {
  const std::string file = h.Dir().File("adhoc.sql");
  WriteFile(file, sql);
  TStorageLock lock(h.Storage().Mutex());
  return h.Storage().LoadScript(file) && h.Storage().Execute();
}

std::string NextVoiceData(TProtocolClient& c) {
  auto v = c.WaitForVoice(3s);
  return v ? v->data : "<none>";
}

std::string PropertiesPayload(int32_t channel, uint16_t flags, uint16_t codec) {
  return std::string(TPayload().I32(channel).U16(flags).U16(codec));
}

TEST(HostilePlayers, OnlyChannelAdminsAndServerAdminsChangeRegistrationAndModeration) {
  TServerHarness h(Configure);
  h.AddAccount("sam", "pw", PP_SERVER_ADMIN);
  h.AddAccount("reggie", "pw");
  auto sam = h.Join("sam", "sam", "pw");
  auto mallory = h.Join("mallory");
  auto reggie = h.Join("reggie", "reggie", "pw");
  ASSERT_TRUE(sam && mallory && reggie);
  const int32_t def = ChannelId(h.Server(), "Default");
  const int32_t hall = AddChannel(h.Server(), "Hall", CF_HIERARCHICAL);
  ASSERT_GT(hall, 0);
  const uint16_t codec = 0;

  // An anonymous player moderates the default channel and the admin's registered channel;
  // a registered one turns the admin's empty channel temporary, which would drop it.
  EXPECT_EQ(Refusal(*mallory, 205, PropertiesPayload(def, CF_DEFAULT | CF_MODERATED, codec)),
            RC_INSUFFICIENT_PERMISSION);
  EXPECT_EQ(Refusal(*mallory, 205, PropertiesPayload(hall, CF_HIERARCHICAL | CF_MODERATED, codec)),
            RC_INSUFFICIENT_PERMISSION);
  EXPECT_EQ(
      Refusal(*reggie, 205, PropertiesPayload(hall, CF_HIERARCHICAL | CF_UNREGISTERED, codec)),
      RC_INSUFFICIENT_PERMISSION);
  EXPECT_EQ(Refusal(*reggie, 205, PropertiesPayload(hall, 0, codec)), RC_INSUFFICIENT_PERMISSION);
  EXPECT_EQ(ChannelFlags(h.Server(), def), CF_DEFAULT);
  EXPECT_EQ(ChannelFlags(h.Server(), hall), CF_HIERARCHICAL);
  EXPECT_EQ(StoredChannels(h).count("Hall"), 1u);

  // A codec the server does not allow is refused as at creation.
  h.EditSettings([](TVirtualServerSettings& s) { s.CodecPermits[3] = false; });
  EXPECT_EQ(Refusal(*sam, 205, PropertiesPayload(hall, CF_HIERARCHICAL, 3)), RC_CODEC_DISABLED);

  // The server admin and the channel admin of a channel still change it.
  EXPECT_EQ(Refusal(*sam, 205, PropertiesPayload(hall, CF_HIERARCHICAL | CF_MODERATED, 2)), 0);
  EXPECT_EQ(ChannelFlags(h.Server(), hall), CF_HIERARCHICAL | CF_MODERATED);
  ASSERT_EQ(CreateChannel(*mallory, "Den", CF_UNREGISTERED), 0);
  const int32_t den = ChannelId(h.Server(), "Den");
  ASSERT_EQ(ChannelOf(h.Server(), mallory->PlayerId()), den);
  EXPECT_EQ(Refusal(*mallory, 205, PropertiesPayload(den, CF_UNREGISTERED | CF_MODERATED, 1)), 0);
  EXPECT_EQ(ChannelFlags(h.Server(), den), CF_UNREGISTERED | CF_MODERATED);
}

TEST(HostilePlayers, AnAnonymousLoginTakesNoAccountsLoginName) {
  TServerHarness h(Configure);
  h.AddAccount("admin", "pw", PP_SERVER_ADMIN);
  auto mallory = h.NewClient();
  client::TLoginOptions o;
  o.nickname = "mallory";
  o.loginName = "admin";  // typed, but the login is anonymous
  auto reply = mallory->Login(o, 3s);
  ASSERT_TRUE(reply && reply->result == 1);
  ASSERT_TRUE(mallory->Join({}, 3s).complete);

  auto admin = h.Join("boss", "admin", "pw");
  ASSERT_TRUE(admin) << "the real account is locked out";
  // Neither the player info nor the audit lines show the name he typed.
  admin->SendCommand(400, TPayload().I32(static_cast<int32_t>(mallory->PlayerId())));
  auto info = WaitFor(*admin, 404);
  ASSERT_TRUE(info && info->Size() >= 126);
  EXPECT_EQ(info->Memory()[96], 0) << "login name length";
  ASSERT_EQ(CreateChannel(*mallory, "Den", CF_UNREGISTERED), 0);
  EXPECT_TRUE(h.Log().Contains("ClientNickName: mallory, ClientLoginName: ]"));
  EXPECT_FALSE(h.Log().Contains("ClientLoginName: admin"));
}

TEST(HostilePlayers, SubChannelsOfTemporaryChannelsLeaveNoRows) {
  TServerHarness h(Configure);
  auto mallory = h.Join("mallory");
  ASSERT_TRUE(mallory);
  ASSERT_EQ(CreateChannel(*mallory, "Tmp", CF_UNREGISTERED | CF_HIERARCHICAL), 0);
  const int32_t tmp = ChannelId(h.Server(), "Tmp");
  ASSERT_EQ(CreateChannel(*mallory, "Sub", 0, tmp), 0);  // asks for a registered one
  const int32_t sub = ChannelId(h.Server(), "Sub");
  ASSERT_GT(sub, 0);
  EXPECT_TRUE(ChannelFlags(h.Server(), sub) & CF_UNREGISTERED);
  EXPECT_EQ(StoredChannels(h).count("Sub"), 0u);

  // Rows an older server left behind (parent row 0, or a parent row since deleted) go at the
  // next start; a sub-channel under a stored parent stays.
  const int32_t hall = AddChannel(h.Server(), "Hall", CF_HIERARCHICAL);
  ASSERT_GT(AddChannel(h.Server(), "Nook", 0, hall), 0);
  auto orphan = [](const std::string& name, int32_t parentRow) {
    // A copy of Nook's row with another name and parent row.
    return "INSERT INTO vh2_channels (i_channel_server_id, i_channel_parent_id, s_channel_name, "
           "s_channel_topic, s_channel_description, s_channel_password, i_channel_codec, "
           "i_channel_maxusers, i_channel_order, b_channel_flag_moderated, "
           "b_channel_flag_hierarchical, b_channel_flag_default, dt_channel_created) SELECT "
           "i_channel_server_id, " +
           std::to_string(parentRow) + ", '" + name +
           "', s_channel_topic, s_channel_description, s_channel_password, i_channel_codec, "
           "i_channel_maxusers, i_channel_order, b_channel_flag_moderated, "
           "b_channel_flag_hierarchical, b_channel_flag_default, dt_channel_created FROM "
           "vh2_channels WHERE s_channel_name = 'Nook';";
  };
  ASSERT_TRUE(RunSql(h, orphan("Orphan0", 0) + orphan("Orphan1", 99999)));
  ASSERT_EQ(StoredChannels(h).count("Orphan1"), 1u);
  mallory.reset();
  h.Restart();
  const auto rows = StoredChannels(h);
  EXPECT_EQ(rows.count("Orphan0") + rows.count("Orphan1"), 0u);
  EXPECT_EQ(rows.count("Nook"), 1u);
  EXPECT_TRUE(h.Log().Contains("removed 2 stored subchannels without a parent channel"));
}

TEST(HostilePlayers, AWhisperReachesEachPlayerOnce) {
  TServerHarness h(Configure);
  const int32_t side = AddChannel(h.Server(), "Side");
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  auto carol = h.Join("carol", "", "", "Side");
  ASSERT_TRUE(alice && bob && carol);
  auto whisper = [&](const std::vector<TWhisperTarget>& targets, std::string_view data) {
    alice->SendVoice(1, 0, alice->NextVoiceCounter(), 0,
                     client::BuildWhisperPayload(targets, data));
  };
  // One datagram naming the victim 255 times, then his channel and him by name.
  whisper(std::vector<TWhisperTarget>(255, {1, bob->PlayerId()}), "flood");
  whisper({{0, static_cast<uint32_t>(side)}, {1, carol->PlayerId()}}, "both");
  // Targets past the 64th are not looked at.
  std::vector<TWhisperTarget> long_list(64, {1, bob->PlayerId()});
  long_list.push_back({1, carol->PlayerId()});
  whisper(long_list, "cut");
  whisper({{1, bob->PlayerId()}, {1, carol->PlayerId()}}, "end");

  auto heard = [](TProtocolClient& c) {
    std::vector<std::string> got;
    while (got.empty() || got.back() != "end") {
      auto v = c.WaitForVoice(3s);
      if (!v) break;
      got.push_back(v->data);
    }
    return got;
  };
  EXPECT_EQ(heard(*bob), (std::vector<std::string>{"flood", "cut", "end"}));
  auto c = carol->WaitForVoice(3s);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->data, "both");
  EXPECT_EQ(c->selector, 0) << "reached through the first target that names her";
  EXPECT_EQ(NextVoiceData(*carol), "end");
}

TEST(HostilePlayers, AFailedDatabaseWriteSaysSo) {
  TServerHarness h(Configure);
  h.AddAccount("sam", "pw", PP_SERVER_ADMIN);
  auto sam = h.Join("sam", "sam", "pw");
  ASSERT_TRUE(sam);
  ASSERT_TRUE(RunSql(h,
                     "CREATE TRIGGER full_disk_channels BEFORE INSERT ON vh2_channels BEGIN "
                     "SELECT RAISE(ABORT, 'database or disk is full'); END;"
                     "CREATE TRIGGER full_disk_clients BEFORE INSERT ON vh2_clients BEGIN "
                     "SELECT RAISE(ABORT, 'database or disk is full'); END;"));

  EXPECT_EQ(CreateChannel(*sam, "Kept", 0), RC_INTERNAL_ERROR);
  EXPECT_EQ(ChannelId(h.Server(), "Kept"), -1);
  EXPECT_TRUE(h.Log().Contains("AddChannel Exception: "));
  EXPECT_EQ(Refusal(*sam, 310, TPayload().Name29("newbie").Name29("pw").U8(0)), RC_INTERNAL_ERROR);
  EXPECT_TRUE(h.Log().Contains("unable to store account newbie"));
  ASSERT_TRUE(RunSql(h,
                     "CREATE TRIGGER full_disk_bans BEFORE INSERT ON vh2_bans BEGIN "
                     "SELECT RAISE(ABORT, 'database or disk is full'); END;"));
  EXPECT_EQ(Refusal(*sam, 324, TPayload().U16(0).Text("10.9.8.7")), RC_INTERNAL_ERROR);
  EXPECT_EQ(h.Server().BanCount(), 0u);

  // Once the disk has room again, all three work and a taken name is still -141.
  ASSERT_TRUE(RunSql(h,
                     "DROP TRIGGER full_disk_channels; DROP TRIGGER full_disk_clients; "
                     "DROP TRIGGER full_disk_bans;"));
  EXPECT_EQ(Refusal(*sam, 324, TPayload().U16(0).Text("10.9.8.7")), 0);
  EXPECT_EQ(h.Server().BanCount(), 1u);
  EXPECT_EQ(CreateChannel(*sam, "Kept", 0), 0);
  EXPECT_EQ(StoredChannels(h).count("Kept"), 1u);
  EXPECT_EQ(Refusal(*sam, 310, TPayload().Name29("newbie").Name29("pw").U8(0)), 0);
  EXPECT_EQ(Refusal(*sam, 310, TPayload().Name29("newbie").Name29("pw").U8(0)),
            RC_LOGIN_NAME_IN_USE);
}

TEST(HostilePlayers, ChannelTextsAreBoundOnlyByTheDatagram) {
  TServerHarness h(Configure);
  h.AddAccount("sam", "pw", PP_SERVER_ADMIN);
  auto sam = h.Join("sam", "sam", "pw");
  auto bob = h.Join("bob");
  ASSERT_TRUE(sam && bob);
  const std::string description(4000, 'd');
  const std::string name(600, 'n');
  ASSERT_EQ(CreateChannel(*sam, name, 0, -1, description), 0);
  const int32_t id = ChannelId(h.Server(), name);
  ASSERT_GT(id, 0);
  const std::string topic(2000, 't');
  ASSERT_EQ(Refusal(*sam, 207, TPayload().I32(id).Text(topic)), 0);

  // Another player hears the whole texts, and a restart reads them back whole.
  auto created = WaitFor(*bob, 110);
  ASSERT_TRUE(created);
  auto parsed = client::ParseChannelCreated(*created);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->channel.name, name);
  EXPECT_EQ(parsed->channel.description, description);
  sam.reset();
  bob.reset();
  h.Restart();
  WithModel(h.Server(), [&](TClients&, TChannels& tree) {
    TChannel* c = tree.GetChannelByName(name, -1);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->Topic, topic);
    EXPECT_EQ(c->Description, description);
  });
}

}  // namespace
}  // namespace vh::test
