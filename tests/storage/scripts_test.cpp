// Runs every shipped script against a real database and reads back what it wrote, with the
// parameter and column names the other layers use: the SQLite scripts on an SQLite file and the
// MariaDB/MySQL scripts on the suite's MariaDB server, from the same cases.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/Schema.h"
#include "storage/StorageFixture.h"

namespace vh::test {
namespace {

const char* const kPermissions[] = {"AccessWebAdminServer",
                                    "AccessTcpServer",
                                    "AccessVoice",
                                    "AdminRegisterPlayer",
                                    "AdminListDBUsers",
                                    "AdminChangeOwnPassword",
                                    "AdminChangeUserPassword",
                                    "AdminSetServerPermissions",
                                    "AdminListDBServers",
                                    "AdminAddServer",
                                    "AdminDeleteServer",
                                    "AdminEditServerIpPort",
                                    "AdminEditServerWebpostUrl",
                                    "AdminEditServerName",
                                    "AdminEditServerMaxUsers",
                                    "AdminEditServerWelcomeMessage",
                                    "AdminEditServerPassword",
                                    "AdminEditServerType",
                                    "AdminEditServerAllodCodecs",
                                    "AdminBanIp",
                                    "AdminMovePlayer",
                                    "AdminStopServer",
                                    "AdminStartServer",
                                    "ChannelJoinRegisterred",
                                    "ChannelCreateRegisterred",
                                    "ChannelCreateUnregisterred",
                                    "ChannelCreateDefault",
                                    "ChannelCreateSubchannels",
                                    "ChannelCreateModerated",
                                    "ChannelDelete",
                                    "ChannelEditName",
                                    "ChannelEditPassword",
                                    "ChannelEditTopic",
                                    "ChannelEditDescription",
                                    "ChannelEditOrder",
                                    "ChannelEditMaxUsers",
                                    "ChannelEditCodec",
                                    "ChannelJoinChannelWithoutPassword",
                                    "PrivilegeGrantSA",
                                    "PrivilegeGrantCA",
                                    "PrivilegeGrantAutoOp",
                                    "PrivilegeGrantOp",
                                    "PrivilegeGrantAutoV",
                                    "PrivilegeGrantV",
                                    "PrivilegeGrantAllowRegistration",
                                    "PrivilegeRevokeSA",
                                    "PrivilegeRevokeCA",
                                    "PrivilegeRevokeAutoOp",
                                    "PrivilegeRevokeOp",
                                    "PrivilegeRevokeAutoV",
                                    "PrivilegeRevokeV",
                                    "PrivilegeRevokeAllowRegistration",
                                    "PrivilegeAdminPlayerRegister",
                                    "PrivilegePlayerDelete",
                                    "PrivilegeRegisterSelfByDefault",
                                    "SendTextToAllPlayers",
                                    "SendTextToOwnChannel",
                                    "SendTextToAllChannel",
                                    "SendTextToPlayer",
                                    "KickPlayerFromServer",
                                    "KickPlayerFromChannel",
                                    "AllowChannelCommanderStatus"};

std::string PermissionColumn(const std::string& name) {
  return "b_sp_" + (name == "SendTextToAllPlayers" ? std::string("SendTextToAll") : name);
}

const char* const kCodecParams[] = {
    "Celp51",    "Celp63",    "GSM148",     "GSM164",     "Celp52",     "Speex2150", "Speex3950",
    "Speex5950", "Speex8000", "Speex11000", "Speex15000", "Speex18200", "Speex24600"};

TDateTime Day(int day) {
  TDateTimeParts p;
  p.year = 2026, p.month = 3, p.day = day, p.hour = 10, p.minute = 20, p.second = 30;
  p.millisecond = 456;
  return EncodeDateTime(p);
}

// Compares columns by their text form: booleans "-1"/"0", integers in decimal, date-times as
// their 17 digits.
void ExpectRow(const TStorageRow& row,
               std::initializer_list<std::pair<const char*, std::string>> expected) {
  for (const auto& [column, text] : expected)
    EXPECT_EQ(row.FieldByName(column).GetAsString(), text) << column;
}

class ScriptsTest : public TStorageBackendTest {
 protected:
  void SetUp() override {
    TStorageBackendTest::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(CreateTables(storage_.get()));
  }

  int64_t NewServer(int port) {
    TStorageScript q(*storage_, "new_server.sql");
    EXPECT_TRUE(
        q.SetInteger(":iServerPort", port).SetDateTime(":dtServerCreated", Day(1)).Execute());
    return q.LastInsertId();
  }

  int64_t NewClient(int64_t server, const std::string& name, const std::string& password,
                    bool admin = false) {
    TStorageScript q(*storage_, "new_client.sql");
    EXPECT_TRUE(q.SetString(":sName", name)
                    .SetString(":sPassword", password)
                    .SetInteger(":iServerID", server)
                    .SetDateTime(":dtCreated", Day(2))
                    .SetBoolean(":bServerAdmin", admin)
                    .Execute());
    return q.LastInsertId();
  }

  int64_t NewChannel(int64_t server, int64_t parent, const std::string& name) {
    TStorageScript q(*storage_, "new_channel.sql");
    EXPECT_TRUE(q.SetInteger(":iParentID", parent)
                    .SetDateTime(":dtCreated", Day(3))
                    .SetInteger(":iServerID", server)
                    .SetString(":sPassword", parent < 0 ? "secret" : "")
                    .SetString(":sName", name)
                    .SetString(":sTopic", "topic of " + name)
                    .SetString(":sDescription", "about " + name)
                    .SetInteger(":iMaxUsers", 20)
                    .SetInteger(":iOrder", 4)
                    .SetInteger(":iCodec", 9)
                    .SetBoolean(":bModerated", true)
                    .SetBoolean(":bHierarchical", parent < 0)
                    .SetBoolean(":bDefault", false)
                    .Execute());
    return q.LastInsertId();
  }

  void SetChannelPrivilege(const char* script, int64_t server, int64_t client, int64_t channel,
                           bool admin, bool autoOp, bool autoVoice) {
    TStorageScript q(*storage_, script);
    EXPECT_TRUE(q.SetInteger(":iServerID", server)
                    .SetInteger(":iClientID", client)
                    .SetInteger(":iChannelID", channel)
                    .SetBoolean(":bAdmin", admin)
                    .SetBoolean(":bAutoOP", autoOp)
                    .SetBoolean(":bAutoVoice", autoVoice)
                    .Execute());
  }

  std::unique_ptr<TStorageContainer> ChannelPrivilege(int64_t server, int64_t client,
                                                      int64_t channel) {
    TStorageScript q(*storage_, "read_channel_privilege.sql");
    return q.SetInteger(":iServerID", server)
        .SetInteger(":iClientID", client)
        .SetInteger(":iChannelID", channel)
        .Open();
  }

  int64_t NewBan(int64_t server, const std::string& ip, int minutes) {
    TStorageScript q(*storage_, "new_ban.sql");
    EXPECT_TRUE(q.SetInteger(":iServerID", server)
                    .SetString(":sBy", "by Server, reason: Excess flood")
                    .SetString(":sIP", ip)
                    .SetDateTime(":dtCreated", Day(4))
                    .SetInteger(":iMinutes", minutes)
                    .Execute());
    return q.LastInsertId();
  }

  size_t Rows(const char* script, int64_t server) {
    TStorageScript q(*storage_, script);
    auto rows = q.SetInteger(":iServerID", server).Open();
    return rows ? rows->Count() : 0;
  }
};

TEST_P(ScriptsTest, VirtualServers) {
  const int64_t id = NewServer(8767);
  ASSERT_GT(id, 0);
  {
    TStorageScript q(*storage_, "edit_server.sql");
    q.SetInteger(":iServerID", id)
        .SetInteger(":iMaxUser", 24)
        .SetInteger(":iServerPort", 9000)
        .SetBoolean(":bActive", true)
        .SetBoolean(":bClanServer", true);
    for (size_t i = 0; i < std::size(kCodecParams); ++i)
      q.SetBoolean(std::string(":b") + kCodecParams[i], i % 2 == 0);
    q.SetString(":sName", "Ünïcode 'name'")
        .SetString(":sWelcome", "hello")
        .SetString(":sPassword", "pw")
        .SetString(":sWebPostURL", "http://post.example/")
        .SetString(":sWebLinkURL", "http://link.example/");
    ASSERT_TRUE(q.Execute());
  }
  {
    TStorageScript q(*storage_, "read_server.sql");
    auto rows = q.SetInteger(":iServerID", id).Open();
    ASSERT_TRUE(rows);
    const TStorageRow& r = rows->Row(0);
    ExpectRow(r, {{"s_server_name", "Ünïcode 'name'"},
                  {"s_server_welcomemessage", "hello"},
                  {"i_server_maxusers", "24"},
                  {"i_server_udpport", "9000"},
                  {"s_server_password", "pw"},
                  {"b_server_clan_server", "-1"},
                  {"s_server_weblinkurl", "http://link.example/"},
                  {"s_server_webposturl", "http://post.example/"}});
    const char* columns[] = {"celp51",     "celp63",     "gsm148",    "gsm164",    "celp52",
                             "speex2150",  "speex3950",  "speex5950", "speex8000", "speex11000",
                             "speex15000", "speex18200", "speex24600"};
    for (size_t i = 0; i < std::size(columns); ++i)
      EXPECT_EQ(r.FieldByName(std::string("b_server_allow_codec_") + columns[i]).GetAsBoolean(),
                i % 2 == 0)
          << columns[i];
  }
  const int64_t second = NewServer(8767);
  {
    TStorageScript q(*storage_, "read_servers.sql");
    auto rows = q.Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 2u);
    ExpectRow(rows->Row(0), {{"i_server_id", std::to_string(id)}, {"b_server_active", "-1"}});
    ExpectRow(rows->Row(1), {{"s_server_name", "Voxhollow Server"}, {"i_server_udpport", "8767"}});
  }
  {
    TStorageScript q(*storage_, "read_server_port.sql");
    auto rows = q.SetInteger(":iPort", 8767).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 1u);
    EXPECT_EQ(rows->Row(0).FieldByName("i_server_id").GetAsInteger(), second);
  }
  {
    TStorageScript q(*storage_, "read_server.sql");
    EXPECT_FALSE(q.SetInteger(":iServerID", second + 100).Open());
  }
}

TEST_P(ScriptsTest, ServerPermissionGroups) {
  auto write = [&](const char* script, const char* group, int pattern) {
    TStorageScript q(*storage_, script);
    q.SetInteger(":iServerID", 1).SetString(":sGroup", group);
    for (size_t i = 0; i < std::size(kPermissions); ++i)
      q.SetBoolean(std::string(":b") + kPermissions[i], (i + pattern) % 3 == 0);
    ASSERT_TRUE(q.Execute());
  };
  auto check = [&](const char* group, int pattern) {
    TStorageScript q(*storage_, "read_server_privilege.sql");
    auto rows = q.SetInteger(":iServerID", 1).SetString(":sGroup", group).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 1u);
    EXPECT_EQ(rows->Row(0).Count(), std::size(kPermissions));
    for (size_t i = 0; i < std::size(kPermissions); ++i)
      EXPECT_EQ(rows->Row(0).FieldByName(PermissionColumn(kPermissions[i])).GetAsBoolean(),
                (i + pattern) % 3 == 0)
          << group << " " << kPermissions[i];
  };
  write("new_server_privilege.sql", "_ugSA", 0);
  write("new_server_privilege.sql", "_ugAnonymous", 1);
  check("_ugSA", 0);
  check("_ugAnonymous", 1);
  write("edit_server_privilege.sql", "_ugSA", 2);
  check("_ugSA", 2);
  check("_ugAnonymous", 1);

  TStorageScript q(*storage_, "read_server_privilege.sql");
  EXPECT_FALSE(q.SetInteger(":iServerID", 1).SetString(":sGroup", "_ugCA").Open());
}

TEST_P(ScriptsTest, ChannelsAndTheirPrivileges) {
  const int64_t top = NewChannel(1, -1, "Lobby");
  const int64_t sub = NewChannel(1, top, "Corner");
  const int64_t other = NewChannel(2, -1, "Elsewhere");
  {
    TStorageScript q(*storage_, "read_channels.sql");
    auto rows = q.SetInteger(":iServerID", 1).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 2u);
    ExpectRow(rows->Row(0), {{"i_channel_id", std::to_string(top)},
                             {"i_channel_parent_id", "-1"},
                             {"dt_channel_created", DateTimeToStorageText(Day(3))},
                             {"s_channel_password", "secret"},
                             {"i_channel_maxusers", "20"},
                             {"i_channel_order", "4"},
                             {"s_channel_description", "about Lobby"},
                             {"s_channel_topic", "topic of Lobby"},
                             {"s_channel_name", "Lobby"},
                             {"i_channel_codec", "9"},
                             {"b_channel_flag_moderated", "-1"},
                             {"b_channel_flag_hierarchical", "-1"},
                             {"b_channel_flag_default", "0"}});
    EXPECT_EQ(rows->Row(1).FieldByName("i_channel_parent_id").GetAsInteger(), top);
  }
  {
    TStorageScript q(*storage_, "edit_channel.sql");
    ASSERT_TRUE(q.SetInteger(":iChannelID", top)
                    .SetInteger(":iServerID", 1)
                    .SetString(":sPassword", "")
                    .SetString(":sName", "Hall")
                    .SetString(":sTopic", "t")
                    .SetString(":sDescription", "d")
                    .SetInteger(":iMaxUsers", 5)
                    .SetInteger(":iOrder", 1)
                    .SetInteger(":iCodec", 6)
                    .SetBoolean(":bModerated", false)
                    .SetBoolean(":bHierarchical", true)
                    .SetBoolean(":bDefault", true)
                    .Execute());
  }
  {
    TStorageScript q(*storage_, "read_channel.sql");
    auto rows = q.SetInteger(":iServerID", 1).SetInteger(":iChannelID", top).Open();
    ASSERT_TRUE(rows);
    ExpectRow(rows->Row(0), {{"s_channel_name", "Hall"},
                             {"i_channel_codec", "6"},
                             {"b_channel_flag_default", "-1"},
                             {"b_channel_flag_moderated", "0"}});
    // Another server's channel is out of reach with this server's id.
    TStorageScript q2(*storage_, "read_channel.sql");
    EXPECT_FALSE(q2.SetInteger(":iServerID", 1).SetInteger(":iChannelID", other).Open());
  }

  const int64_t anna = NewClient(1, "anna", "pw");
  const int64_t bert = NewClient(1, "bert", "pw");
  SetChannelPrivilege("new_channel_privilege.sql", 1, anna, top, true, false, true);
  SetChannelPrivilege("new_channel_privilege.sql", 1, anna, sub, false, true, true);
  SetChannelPrivilege("new_channel_privilege.sql", 1, bert, sub, false, true, false);
  {
    auto rows = ChannelPrivilege(1, anna, top);
    ASSERT_TRUE(rows);
    ExpectRow(
        rows->Row(0),
        {{"b_cp_flag_admin", "-1"}, {"b_cp_flag_autoop", "0"}, {"b_cp_flag_autovoice", "-1"}});
  }
  SetChannelPrivilege("edit_channel_privilege.sql", 1, anna, top, false, true, false);
  {
    auto rows = ChannelPrivilege(1, anna, top);
    ASSERT_TRUE(rows);
    ExpectRow(rows->Row(0), {{"b_cp_flag_admin", "0"}, {"b_cp_flag_autoop", "-1"}});
  }
  {
    TStorageScript q(*storage_, "read_channel_privileges.sql");
    auto rows = q.SetInteger(":iServerID", 1).SetInteger(":iChannelID", sub).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 2u);
    ExpectRow(rows->Row(0), {{"i_cp_client_id", std::to_string(anna)}, {"s_client_name", "anna"}});
    ExpectRow(rows->Row(1), {{"s_client_name", "bert"}, {"b_cp_flag_autoop", "-1"}});
  }
  {
    TStorageScript q(*storage_, "read_client_channels_privileges.sql");
    auto rows = q.SetInteger(":iServerID", 1).SetInteger(":iClientID", anna).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 2u);
    ExpectRow(rows->Row(1), {{"i_cp_channel_id", std::to_string(sub)},
                             {"i_channel_parent_id", std::to_string(top)},
                             {"s_channel_name", "Corner"},
                             {"b_cp_flag_autovoice", "-1"}});
  }
  // Leaving moderation drops auto-op and auto-voice; an entry left with nothing goes.
  SetChannelPrivilege("edit_channel_privilege.sql", 1, anna, sub, true, true, true);
  {
    TStorageScript q(*storage_, "remove_moderatedattribs.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).SetInteger(":iChannelID", sub).Execute());
  }
  {
    auto rows = ChannelPrivilege(1, anna, sub);
    ASSERT_TRUE(rows);
    ExpectRow(rows->Row(0),
              {{"b_cp_flag_admin", "-1"}, {"b_cp_flag_autoop", "0"}, {"b_cp_flag_autovoice", "0"}});
    EXPECT_FALSE(ChannelPrivilege(1, bert, sub));
  }
  {
    TStorageScript q(*storage_, "delete_channel_privilege.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1)
                    .SetInteger(":iClientID", anna)
                    .SetInteger(":iChannelID", sub)
                    .Execute());
    EXPECT_FALSE(ChannelPrivilege(1, anna, sub));
    EXPECT_TRUE(ChannelPrivilege(1, anna, top));
  }
  // Deleting a top-level channel takes its sub-channels and all their privileges along.
  SetChannelPrivilege("new_channel_privilege.sql", 1, bert, sub, true, false, false);
  {
    TStorageScript q(*storage_, "delete_channel.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).SetInteger(":iChannelID", top).Execute());
  }
  EXPECT_EQ(Rows("read_channels.sql", 1), 0u);
  EXPECT_EQ(Rows("read_channels.sql", 2), 1u);
  EXPECT_FALSE(ChannelPrivilege(1, anna, top));
  EXPECT_FALSE(ChannelPrivilege(1, bert, sub));
}

TEST_P(ScriptsTest, RegisteredAccounts) {
  const int64_t admin = NewClient(1, "admin", "O'Pass", true);
  const int64_t joe = NewClient(1, "joe", "joepw");
  const int64_t super = NewClient(0, "admin", "super");  // same name, no virtual server
  {
    // One name per virtual server.
    TStorageScript q(*storage_, "new_client.sql");
    EXPECT_FALSE(q.SetString(":sName", "joe")
                     .SetString(":sPassword", "x")
                     .SetInteger(":iServerID", 1)
                     .SetDateTime(":dtCreated", Day(2))
                     .SetBoolean(":bServerAdmin", true)
                     .Execute());
  }
  // The login reads by name; the program checks the stored password.
  auto login = [&](const std::string& name, int64_t server) {
    TStorageScript q(*storage_, "read_client_login.sql");
    return q.SetString(":sName", name).SetInteger(":iServerID", server).Open();
  };
  {
    auto rows = login("admin", 1);
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 1u);
    ExpectRow(rows->Row(0), {{"i_client_id", std::to_string(admin)},
                             {"s_client_password", "O'Pass"},
                             {"b_client_privilege_serveradmin", "-1"},
                             {"dt_client_created", DateTimeToStorageText(Day(2))}});
    EXPECT_FALSE(login("Admin", 1));  // names compare exactly
    EXPECT_FALSE(login("admin' OR '1'='1", 1));
    auto su = login("admin", 0);
    ASSERT_TRUE(su);
    EXPECT_EQ(su->Row(0).FieldByName("i_client_id").GetAsInteger(), super);
  }
  {
    TStorageScript q(*storage_, "read_clients_name.sql");
    auto rows = q.SetString(":sName", "joe").SetInteger(":iServerID", 1).Open();
    ASSERT_TRUE(rows);
    ExpectRow(rows->Row(0), {{"i_client_id", std::to_string(joe)},
                             {"s_client_name", "joe"},
                             {"s_client_password", "joepw"},
                             {"b_client_privilege_serveradmin", "0"},
                             {"dt_client_created", DateTimeToStorageText(Day(2))}});
  }
  {
    // Name and flag only; the password has its own script.
    TStorageScript q(*storage_, "edit_client.sql");
    ASSERT_TRUE(q.SetInteger(":iClientId", joe)
                    .SetString(":sName", "joseph")
                    .SetBoolean(":bServerAdmin", true)
                    .SetInteger(":iServerID", 1)
                    .Execute());
    q.Load("edit_client_password.sql");
    ASSERT_TRUE(q.SetString(":sPassword", "new")
                    .SetInteger(":iClientID", joe)
                    .SetInteger(":iServerID", 2)  // another server's id changes nothing
                    .Execute());
    EXPECT_EQ(login("joseph", 1)->Row(0).FieldByName("s_client_password").GetAsString(), "joepw");
    q.Load("edit_client_password.sql");
    ASSERT_TRUE(q.SetString(":sPassword", "new")
                    .SetInteger(":iClientID", joe)
                    .SetInteger(":iServerID", 1)
                    .Execute());
    EXPECT_EQ(login("joseph", 1)->Row(0).FieldByName("s_client_password").GetAsString(), "new");
    // The replacement of a stored value happens only while the value is still the one read.
    auto rehash = [&](const std::string& old, const std::string& replacement) {
      q.Load("rehash_client_password.sql");
      return q.SetString(":sPassword", replacement)
          .SetInteger(":iClientID", joe)
          .SetString(":sOldPassword", old)
          .Execute();
    };
    ASSERT_TRUE(rehash("stale", "lost"));
    EXPECT_EQ(login("joseph", 1)->Row(0).FieldByName("s_client_password").GetAsString(), "new");
    ASSERT_TRUE(rehash("new", "newer"));
    EXPECT_EQ(login("joseph", 1)->Row(0).FieldByName("s_client_password").GetAsString(), "newer");
    q.Load("read_client_passwords.sql");
    auto all = q.Open();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->Count(), 3u);
    EXPECT_EQ(all->Row(0).FieldByName("i_client_id").GetAsInteger(), admin);
    EXPECT_EQ(all->Row(0).FieldByName("s_client_password").GetAsString(), "O'Pass");
  }
  {
    TStorageScript q(*storage_, "edit_client_lastonline.sql");
    ASSERT_TRUE(q.SetInteger(":iClientID", joe).SetDateTime(":dtLastOnline", Day(9)).Execute());
  }
  {
    TStorageScript q(*storage_, "read_clients_id.sql");
    auto rows = q.SetInteger(":iClientID", joe).SetInteger(":iServerID", 1).Open();
    ASSERT_TRUE(rows);
    ExpectRow(rows->Row(0), {{"i_client_id", std::to_string(joe)},
                             {"s_client_name", "joseph"},
                             {"s_client_password", "newer"},
                             {"b_client_privilege_serveradmin", "-1"},
                             {"dt_client_created", DateTimeToStorageText(Day(2))},
                             {"dt_client_lastonline", DateTimeToStorageText(Day(9))}});
    TStorageScript q2(*storage_, "read_clients_id.sql");
    EXPECT_FALSE(q2.SetInteger(":iClientID", joe).SetInteger(":iServerID", 0).Open());
  }
  {
    TStorageScript q(*storage_, "read_clients.sql");
    auto rows = q.SetInteger(":iServerID", 1).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 2u);
    // Never online: the empty value reads as the zero date-time.
    EXPECT_EQ(rows->Row(0).FieldByName("dt_client_lastonline").GetAsDateTime(), 0.0);
    ExpectRow(rows->Row(1), {{"s_client_name", "joseph"},
                             {"dt_client_created", DateTimeToStorageText(Day(2))},
                             {"b_client_privilege_serveradmin", "-1"}});
  }
  {
    TStorageScript q(*storage_, "search_client.sql");
    auto rows = q.SetInteger(":iServerID", 1).SetString(":sName", "%OSE%").Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 1u);
    ExpectRow(rows->Row(0), {{"i_client_id", std::to_string(joe)},
                             {"s_client_name", "joseph"},
                             {"b_client_privilege_serveradmin", "-1"},
                             {"dt_client_created", DateTimeToStorageText(Day(2))},
                             {"dt_client_lastonline", DateTimeToStorageText(Day(9))}});
  }
  // Deleting an account removes its stored channel privileges too.
  SetChannelPrivilege("new_channel_privilege.sql", 1, joe, 77, true, false, false);
  {
    TStorageScript q(*storage_, "delete_client.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).SetInteger(":iClientID", joe).Execute());
  }
  EXPECT_EQ(Rows("read_clients.sql", 1), 1u);
  EXPECT_FALSE(ChannelPrivilege(1, joe, 77));
}

TEST_P(ScriptsTest, Bans) {
  const int64_t first = NewBan(1, "10.0.0.*", 5);
  NewBan(1, "10.0.0.*", 0);
  NewBan(1, "192.168.1.1", 60);
  NewBan(2, "10.0.0.*", 5);
  {
    TStorageScript q(*storage_, "read_bans.sql");
    auto rows = q.SetInteger(":iServerID", 1).Open();
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->Count(), 3u);
    ExpectRow(rows->Row(0), {{"i_ban_id", std::to_string(first)},
                             {"s_ban_ip", "10.0.0.*"},
                             {"dt_ban_created", DateTimeToStorageText(Day(4))},
                             {"i_ban_minutes", "5"},
                             {"s_ban_by", "by Server, reason: Excess flood"}});
  }
  {
    TStorageScript q(*storage_, "delete_ban.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 2).SetInteger(":iBanID", first).Execute());
  }
  EXPECT_EQ(Rows("read_bans.sql", 1), 3u);  // another server's id deletes nothing
  {
    TStorageScript q(*storage_, "delete_ban.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).SetInteger(":iBanID", first).Execute());
  }
  EXPECT_EQ(Rows("read_bans.sql", 1), 2u);
  NewBan(1, "10.0.0.*", 1);
  {
    TStorageScript q(*storage_, "delete_ban_ip.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).SetString(":sIP", "10.0.0.*").Execute());
  }
  EXPECT_EQ(Rows("read_bans.sql", 1), 1u);
  EXPECT_EQ(Rows("read_bans.sql", 2), 1u);
  {
    TStorageScript q(*storage_, "remove_bans.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", 1).Execute());
  }
  EXPECT_EQ(Rows("read_bans.sql", 1), 0u);
  EXPECT_EQ(Rows("read_bans.sql", 2), 1u);
}

TEST_P(ScriptsTest, DeletingAServerRemovesEverythingItOwned) {
  const int64_t gone = NewServer(8767);
  const int64_t kept = NewServer(8768);
  for (int64_t server : {gone, kept}) {
    const int64_t channel = NewChannel(server, -1, "c");
    const int64_t client = NewClient(server, "u", "p");
    SetChannelPrivilege("new_channel_privilege.sql", server, client, channel, true, false, false);
    NewBan(server, "1.2.3.4", 0);
    TStorageScript q(*storage_, "new_server_privilege.sql");
    q.SetInteger(":iServerID", server).SetString(":sGroup", "_ugSA");
    for (const char* p : kPermissions) q.SetBoolean(std::string(":b") + p, true);
    ASSERT_TRUE(q.Execute());
  }
  NewClient(0, "superadmin", "s");
  for (int64_t id : {int64_t{0}, gone}) {
    TStorageScript q(*storage_, "delete_server.sql");
    ASSERT_TRUE(q.SetInteger(":iServerID", id).Execute());
  }
  auto count = [&](int64_t server) {
    TStorageScript q(*storage_, "read_server_privilege.sql");
    const size_t groups =
        q.SetInteger(":iServerID", server).SetString(":sGroup", "_ugSA").Open() ? 1 : 0;
    return Rows("read_channels.sql", server) + Rows("read_clients.sql", server) +
           Rows("read_bans.sql", server) + groups;
  };
  EXPECT_EQ(count(gone), 0u);
  EXPECT_EQ(count(kept), 4u);
  EXPECT_EQ(Query("SELECT i_cp_id FROM vh2_channel_privileges;")->Count(), 1u);
  EXPECT_EQ(Rows("read_clients.sql", 0), 1u);  // the super users belong to no server
  TStorageScript q(*storage_, "read_servers.sql");
  auto servers = q.Open();
  ASSERT_TRUE(servers);
  ASSERT_EQ(servers->Count(), 1u);
  EXPECT_EQ(servers->Row(0).FieldByName("i_server_id").GetAsInteger(), kept);
}

INSTANTIATE_TEST_SUITE_P(Backends, ScriptsTest,
                         ::testing::Values(TBackend::SQLite, TBackend::MariaDB), BackendName);

}  // namespace
}  // namespace vh::test
