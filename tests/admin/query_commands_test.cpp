// The query commands by family over real TCP against running virtual servers: exact lines,
// errors, and what reaches the players and the database.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "QueryHarness.h"
#include "admin/AccountAdmin.h"
#include "client/ClientPackets.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "support/Process.h"

namespace vh::test {
namespace {

using Lines = std::vector<std::string>;

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::optional<client::TTextMessage> NextText(client::TProtocolClient& c) {
  auto p = c.WaitForCommand(client::CMD_sc_NotifyTextMessage, 3s);
  if (!p) return std::nullopt;
  return client::ParseTextMessage(*p);
}

// True once the player has been told that he himself left the server.
bool ToldToLeave(client::TProtocolClient& c) {
  while (auto p = c.WaitForCommand(client::CMD_sc_NotifyPlayerLeftScope, 3s)) {
    auto left = client::ParsePlayerLeft(*p);
    if (left && static_cast<uint32_t>(left->playerId) == c.PlayerId()) return true;
  }
  return false;
}

class QueryCommands : public ::testing::Test {
 protected:
  TQueryHarness h;
  std::unique_ptr<TQueryConnection> q = h.Admin();
};

TEST_F(QueryCommands, ServerSettingsShowInServerInfoAndUnknownVariablesChangeNothing) {
  const char* codecs[] = {"celp51",        "celp63",     "gsm148",     "gsm164",
                          "windowscelp52", "speex2150",  "speex3950",  "speex5950",
                          "speex11000",    "speex15000", "speex18200", "speex24600"};
  for (const char* c : codecs)
    ASSERT_EQ(q->Final(std::string("serverset SERVER_ALLOW_CODEC_") + c + " 0"), "OK") << c;
  EXPECT_EQ(q->Final("serverset server_password secret"), "OK");
  EXPECT_EQ(q->Final("serverset server_name My   Own Server"), "OK");
  EXPECT_EQ(q->Final("serverset server_maxusers lots"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("serverset server_maxusers 70000"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("serverset server_nonsense 1"), "ERROR, error");
  EXPECT_EQ(q->Final("serverset server_name"), "ERROR, invalid paramcount");

  Lines si = q->Command("si");
  EXPECT_TRUE(Has(si, "server_allow_codec_speex8000=-1"));
  for (const char* c : codecs) EXPECT_TRUE(Has(si, std::string("server_allow_codec_") + c + "=0"));
  EXPECT_TRUE(Has(si, "server_password=1"));
  EXPECT_TRUE(Has(si, "server_name=My Own Server"));
  EXPECT_TRUE(Has(si, "server_maxusers=16"));
  EXPECT_TRUE(Has(si, "server_udpport=" + std::to_string(h.ServerPort())));
  EXPECT_TRUE(Has(si, "server_currentchannels=1"));
  EXPECT_EQ(si.back(), "OK");

  EXPECT_EQ(q->Final("serverset server_password #CLEAR#"), "OK");
  EXPECT_TRUE(Has(q->Command("si"), "server_password=0"));
  // What serverset changes is stored: a restart of the server reads it back.
  EXPECT_EQ(q->Final("serverset server_clan_server 0"), "OK");
  EXPECT_EQ(q->Final("serverstop"), "OK");
  EXPECT_EQ(q->Final("serverstart " + std::to_string(h.Server().ServerID())), "OK");
  auto fresh = h.Admin();
  si = fresh->Command("si");
  EXPECT_TRUE(Has(si, "server_name=My Own Server"));
  EXPECT_TRUE(Has(si, "server_clan_server=0"));
  EXPECT_TRUE(Has(si, "server_allow_codec_celp51=0"));
}

TEST_F(QueryCommands, ChannelListPlayerListAndChannelClientList) {
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  Lines cl = q->Command("cl");
  ASSERT_EQ(cl.size(), 3u);
  EXPECT_EQ(cl[0], "id\tcodec\tparent\torder\tmaxusers\tname\tflags\tpassword\ttopic");
  auto f = Fields(cl[1]);
  ASSERT_EQ(f.size(), 9u);
  EXPECT_EQ(f[2], "-1");
  EXPECT_EQ(f[5].front(), '"');
  EXPECT_EQ(f[6], "16");  // the default channel's flag
  Lines pl = q->Command("pl");
  ASSERT_EQ(pl.size(), 3u);
  f = Fields(pl[1]);
  ASSERT_EQ(f.size(), 17u);  // sixteen columns, each followed by a tab
  EXPECT_EQ(f[13], "\"127.0.0.1\"");
  EXPECT_EQ(f[14], "\"alice\"");
  // A session without a login sees a blank address.
  auto anon = h.Connect();
  anon->ReadLine();
  f = Fields(anon->Command("pl " + std::to_string(h.ServerPort()))[1]);
  EXPECT_EQ(f[13], "\"0.0.0.0\"");
  Lines dccl = q->Command("dccl");
  ASSERT_EQ(dccl.size(), 3u);
  EXPECT_EQ(Fields(dccl[1])[2], std::to_string(alice->PlayerId()));
  EXPECT_EQ(Fields(dccl[1])[3], "\"alice\"");
  EXPECT_EQ(q->Command("gapl"), (Lines{"average_packet_loss=0.00%", "OK"}));
}

TEST_F(QueryCommands, MessagesCarryTheSenderUnlessTheyStartWithAt) {
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(q->Command("msg hello   there"), (Lines{"OK"}));
  auto m = NextText(*alice);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, "telnet.root");
  EXPECT_EQ(m->text, "hello there");
  EXPECT_EQ(m->kind, 0);
  EXPECT_EQ(m->value, 255);
  EXPECT_EQ(q->Final("msg @quiet"), "OK");
  m = NextText(*alice);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, "");
  EXPECT_EQ(m->text, "quiet");
  EXPECT_EQ(q->Final("msgu " + std::to_string(alice->PlayerId()) + " just you"), "OK");
  m = NextText(*alice);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->kind, 2);
  EXPECT_EQ(m->text, "just you");
  EXPECT_EQ(q->Final("msgu x hi"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("msgu 999 hi"), "ERROR, invalid id");
  EXPECT_EQ(q->Final("msgu 1"), "ERROR, invalid paramcount");
}

TEST_F(QueryCommands, MessageToAllServersAnswersOneOk) {
  const uint16_t second = h.AddServer();
  auto fresh = h.Admin();  // its server list holds both servers
  auto alice = h.Join("alice");
  auto bob = h.Join("bob", second);
  ASSERT_TRUE(alice && bob);
  EXPECT_EQ(fresh->Command("msgall everyone"), (Lines{"OK"}));
  EXPECT_EQ(NextText(*alice)->text, "everyone");
  EXPECT_EQ(NextText(*bob)->text, "everyone");
  EXPECT_EQ(fresh->Command("sl").size(), 3u);
}

TEST_F(QueryCommands, BansStopAtTwentyAndReplaceTheSameAddress) {
  EXPECT_EQ(q->Final("banlist"), "ERROR, no data available");
  for (int i = 1; i <= 20; ++i)
    ASSERT_EQ(q->Final("banadd 10.0.0." + std::to_string(i) + " 5"), "OK") << i;
  EXPECT_EQ(q->Final("banadd 10.0.1.1"), "ERROR, maximal record count reached");
  Lines list = q->Command("banlist");
  ASSERT_EQ(list.size(), 22u);
  EXPECT_EQ(list[0], "b_id\tip\tcreated\tmins\tby");
  auto f = Fields(list[1]);
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[1], "10.0.0.1");
  EXPECT_EQ(f[3], "5");
  EXPECT_EQ(f[4], "\"root\"");
  EXPECT_EQ(h.Server().BanCount(), 20u);
  EXPECT_EQ(q->Final("bandel " + f[0]), "OK");
  EXPECT_EQ(q->Final("banadd 10.0.0.2 9"), "OK");  // replaces its stored ban
  EXPECT_EQ(q->Command("banlist").size(), 21u);
  EXPECT_EQ(q->Final("banadd 10.0.0.3 soon"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("bandel x"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("banclear"), "OK");
  EXPECT_EQ(h.Server().BanCount(), 0u);
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(q->Final("banplayer 999"), "ERROR, invalid id");
  EXPECT_EQ(q->Final("banplayer " + std::to_string(alice->PlayerId()) + " 1"), "OK");
  EXPECT_EQ(Fields(q->Command("banlist")[1])[1], "127.0.0.1");
}

TEST_F(QueryCommands, KickIdlersNeedBothAPlayerAndAChannelSelection) {
  auto alice = h.Join("alice");
  auto bob = h.Join("bob");
  ASSERT_TRUE(alice && bob);
  EXPECT_EQ(q->Final("ki 5"), "ERROR, invalid paramcount");
  EXPECT_EQ(q->Final("ki five 1"), "ERROR, invalid number format");
  EXPECT_EQ(q->Command("ki 0 1"), (Lines{"kicked=0", "OK"}));   // no channel selection
  EXPECT_EQ(q->Command("ki 0 5"), (Lines{"kicked=0", "OK"}));   // the default channel is registered
  EXPECT_EQ(q->Command("ki 0 10"), (Lines{"kicked=0", "OK"}));  // they are not registered
  EXPECT_EQ(q->Command("ki 10 9 bye"), (Lines{"kicked=0", "OK"}));  // not idle that long
  EXPECT_EQ(q->Command("ki 0 9 bye"), (Lines{"kicked=2", "OK"}));
  EXPECT_TRUE(ToldToLeave(*alice));
  EXPECT_TRUE(ToldToLeave(*bob));
}

TEST_F(QueryCommands, KickMoveAndPrivilegesGoThroughTheListener) {
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  const std::string id = std::to_string(alice->PlayerId());
  EXPECT_EQ(q->Final("mptc " + id + " x"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("mptc " + id + " 777"), "ERROR, ChannelId does not exist");
  EXPECT_EQ(q->Final("sppriv " + id + " privilege_serveradmin 1"), "OK");
  EXPECT_EQ(Fields(q->Command("pi " + id)[1])[5], "1");
  EXPECT_EQ(q->Final("sppriv " + id + " privilege_channelsticky 1"), "ERROR, error");
  EXPECT_EQ(q->Final("sppriv " + id + " privilege_nothing 1"), "ERROR, error");
  EXPECT_EQ(q->Final("sppriv 999 privilege_canregister 1"), "ERROR, invalid id");
  EXPECT_EQ(q->Final("kick x"), "ERROR, invalid id");
  EXPECT_EQ(q->Final("checkserverok"), "OK");
  EXPECT_EQ(q->Final("rehash"), "OK");
  EXPECT_EQ(q->Final("kick " + id + " go away"), "OK");
  EXPECT_TRUE(ToldToLeave(*alice));
}

TEST_F(QueryCommands, MoveChannelSettingRemovalAndSettingsReachTheListener) {
  int32_t lobby = -1;
  {
    TLockGuard registry(h.Server().Clients()->Mutex());
    TLockGuard tree(h.Server().Channels()->Mutex());
    TChannelPtr c = TChannels::NewChannel();
    c->Name = "Lobby";
    c->ParentID = -1;
    c->ParentDBID = -1;
    c->MaxUsers = 8;
    lobby = h.Server().Channels()->AddChannel(std::move(c));
  }
  ASSERT_GT(lobby, 0);
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  const std::string id = std::to_string(alice->PlayerId());
  EXPECT_EQ(q->Final("mptc " + id + " " + std::to_string(lobby)), "OK");
  EXPECT_EQ(Fields(q->Command("pi " + id)[1])[2], std::to_string(lobby));
  EXPECT_EQ(q->Final("channelset " + std::to_string(lobby) + " unregistered"), "OK");
  Lines ci = q->Command("ci " + std::to_string(lobby));
  ASSERT_GE(ci.size(), 5u);
  EXPECT_EQ(Fields(ci[1])[4], "1");  // c_fU
  EXPECT_EQ(Fields(ci[4])[1], "\"alice\"");
  EXPECT_EQ(q->Final("channelset x registered"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("serverset server_name Renamed"), "OK");
  auto p = alice->WaitForCommand(client::CMD_sc_NotifyServerPropertiesChanged, 3s);
  ASSERT_TRUE(p);
  EXPECT_EQ(client::ParseServerProperties(*p)->serverName, "Renamed");
  EXPECT_EQ(q->Final("removeclient " + id), "OK");
  EXPECT_TRUE(ToldToLeave(*alice));
}

TEST_F(QueryCommands, FindAndShowPlayersChannelsAndStoredRecords) {
  int32_t carolId = 0;
  ASSERT_EQ(AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "carol", "cpw",
                       false, &carolId),
            0);
  int32_t channelDbId = 0, channelId = 0;
  {
    TLockGuard registry(h.Server().Clients()->Mutex());
    TLockGuard tree(h.Server().Channels()->Mutex());
    TChannel* c = h.Server().Channels()->GetDefaultChannelAsPointer();
    channelId = c->ID;
    channelDbId = c->DBID;
  }
  {
    TStorageScript s(h.Storage(), "new_channel_privilege.sql");
    s.SetInteger(":iServerID", h.Server().ServerID())
        .SetInteger(":iClientID", carolId)
        .SetInteger(":iChannelID", channelDbId)
        .SetBoolean(":bAdmin", true)
        .SetBoolean(":bAutoOP", false)
        .SetBoolean(":bAutoVoice", true);
    ASSERT_TRUE(s.Execute());
  }
  auto carol = h.Join("Caroline", 0, "carol", "cpw");
  ASSERT_TRUE(carol);
  const std::string pid = std::to_string(carol->PlayerId());

  Lines fp = q->Command("fp CAROL");  // the login name matches too
  ASSERT_EQ(fp.size(), 3u);
  EXPECT_EQ(fp[1], pid + "\t" + std::to_string(carolId) + "\t" + std::to_string(channelId) +
                       "\t\"Caroline\"\t\"carol\"\t\"127.0.0.1\"\t");
  EXPECT_EQ(q->Command("fp nobody").size(), 2u);
  Lines pi = q->Command("pi " + pid);
  ASSERT_EQ(pi.size(), 6u);
  // ca, o, ao, v, av: auto-voice gave her voice on joining.
  EXPECT_EQ(pi[4], std::to_string(channelId) + "\t\"Default\"\t1\t0\t0\t1\t1\t");
  EXPECT_EQ(q->Final("pi x"), "ERROR, invalid id");
  Lines dbpi = q->Command("dbpi " + std::to_string(carolId));
  ASSERT_EQ(dbpi.size(), 6u);
  EXPECT_EQ(Fields(dbpi[1])[1], "carol");
  EXPECT_EQ(dbpi[3], "c_dbid\tc_dbpid\tc_name\tca\tao\tav");
  EXPECT_EQ(Fields(dbpi[4])[0], std::to_string(channelDbId));
  EXPECT_EQ(Fields(dbpi[4])[3], "1");
  EXPECT_EQ(Fields(dbpi[4])[5], "1");
  Lines dbfp = q->Command("dbfp aro");
  ASSERT_EQ(dbfp.size(), 3u);
  EXPECT_EQ(Fields(dbfp[1])[1], "\"carol\"");
  Lines dbci = q->Command("dbci " + std::to_string(channelDbId));
  ASSERT_EQ(dbci.size(), 6u);
  EXPECT_EQ(Fields(dbci[0])[7], "c_fD");
  EXPECT_EQ(Fields(dbci[1])[7], "1");
  EXPECT_EQ(dbci[3], "p_dbid\tloginname\tca\tao\tav");
  EXPECT_EQ(dbci[4], std::to_string(carolId) + "\tcarol\t1\t0\t1\t");
  EXPECT_EQ(q->Final("dbci 999"), "ERROR, invalid id");
  Lines fc = q->Command("fc E");
  ASSERT_EQ(fc.size(), 3u);
  EXPECT_EQ(Fields(fc[1])[0], std::to_string(channelId));
}

TEST_F(QueryCommands, HelpReadsOneFilePerTopicInAnyCase) {
  std::ifstream file(std::string(VH_SOURCE_DIR) + "/tcpquerydocs/sl.txt");
  Lines expected;
  for (std::string line; std::getline(file, line);) expected.push_back(line);
  ASSERT_FALSE(expected.empty());
  expected.push_back("OK");
  EXPECT_EQ(q->Command("help sl"), expected);
  EXPECT_EQ(q->Command("help SL"), expected);
  EXPECT_EQ(q->Final("help nothing"), "ERROR, no data available");
  EXPECT_EQ(q->Final("help ../sqlite_sql/read_bans"), "ERROR, no data available");
  Lines overview = q->Command("help me please");
  ASSERT_EQ(overview.size(), 58u);
  EXPECT_EQ(overview[0], "command overview: ");
  EXPECT_EQ(overview[1], "help                : this helpfile");
  EXPECT_EQ(overview[56], "quit                : close connection");
  // Every command of the table has its help file.
  for (const TQueryCommand& c : QueryCommandTable())
    EXPECT_EQ(q->Command("help " + std::string(c.Name)).back(), "OK") << c.Name;
}

TEST_F(QueryCommands, AccountsOfTheServerAndSuperAdmins) {
  const uint32_t sid = static_cast<uint32_t>(h.Server().ServerID());
  EXPECT_EQ(q->Final("dbuseradd bob pw1 pw2 1"), "ERROR, password dont match");
  EXPECT_EQ(q->Final("dbuseradd bob pw1 pw1 1"), "OK");
  EXPECT_EQ(q->Final("dbuseradd bob pw1 pw1 0"), "ERROR, error");  // the name is taken
  EXPECT_EQ(q->Final("dbuseradd Bob pw pw 0"), "OK");
  // The search matches both names; the answer is the exact one.
  Lines id = q->Command("dbuserid bob");
  ASSERT_EQ(id.size(), 2u);
  EXPECT_EQ(q->Final("dbuserid nobody"), "ERROR, no data available");
  Lines list = q->Command("dbuserlist");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], "id\tsa\tcreated\tlastonline\tname");
  auto f = Fields(list[1]);
  EXPECT_EQ(f[0], id[0]);
  EXPECT_EQ(f[1], "-1");
  EXPECT_EQ(f[3], "never");
  EXPECT_EQ(f[4], "\"bob\"");
  EXPECT_EQ(q->Final("dbuserchangepw " + id[0] + " new new"), "OK");
  EXPECT_EQ(q->Final("dbuserchangepw 999 new new"), "ERROR, invalid id");
  auto bob = h.Connect();
  bob->ReadLine();
  bob->Command("sel " + std::to_string(h.ServerPort()));
  EXPECT_EQ(bob->Final("login bob new"), "OK");
  EXPECT_EQ(q->Final("dbuserchangeattribs " + id[0] + " 0"), "OK");
  EXPECT_EQ(Fields(q->Command("dbuserlist")[1])[1], "0");
  EXPECT_EQ(q->Final("dbuserdel " + id[0]), "OK");
  EXPECT_FALSE(AccountExists(h.Storage(), sid, std::stoi(id[0])));
  EXPECT_EQ(q->Final("dbpi " + id[0]), "ERROR, invalid id");

  EXPECT_EQ(q->Final("dbsuseradd ops o1 o1"), "OK");
  list = q->Command("dbsuserlist");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], "id\tcreated\tlastonline\tname");
  EXPECT_EQ(Fields(list[2])[3], "\"ops\"");
  EXPECT_EQ(q->Final("dbsuserdel " + Fields(list[2])[0]), "OK");
  EXPECT_EQ(q->Command("dbsuserlist").size(), 3u);
}

TEST_F(QueryCommands, VirtualServersAreAddedStoppedStartedAndDeleted) {
  const uint16_t port = FreeUdpPort();
  EXPECT_EQ(q->Final("serveradd " + std::to_string(h.ServerPort())), "ERROR, port already in use");
  EXPECT_EQ(q->Final("serveradd x"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("serveradd " + std::to_string(port)), "OK");
  EXPECT_TRUE(Has(q->Command("si"), "server_udpport=" + std::to_string(port)));  // selected
  Lines list = q->Command("dbserverlist");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], "id\tudpport\tname\tstatus");
  const std::string id = Fields(list[2])[0];
  EXPECT_EQ(list[2], id + "\t" + std::to_string(port) + "\t\"Voxhollow Server\"\t1\t");
  EXPECT_EQ(q->Final("serverdel " + id), "ERROR, server is running");
  EXPECT_EQ(q->Final("serverstart " + id), "ERROR, server is running");
  EXPECT_EQ(q->Final("serverstop"), "OK");
  EXPECT_EQ(Fields(q->Command("dbserverlist")[2])[3], "0");
  EXPECT_EQ(q->Final("serverdel"), "ERROR, invalid paramcount");
  EXPECT_EQ(q->Final("serverdel 0" + id), "ERROR, invalid id");
  EXPECT_EQ(q->Final("serverdel " + id), "OK");
  EXPECT_EQ(q->Command("dbserverlist").size(), 3u);
  EXPECT_EQ(q->Final("serverstart " + id), "ERROR, invalid id");
  EXPECT_EQ(q->Final("serverstart abc"), "ERROR, invalid number format");
  // Without a selection, serverstop names its server by port and explains a failure twice.
  auto c = h.Admin();
  c->Command("sel 0");
  EXPECT_EQ(c->Command("serverstop 1"), (Lines{"ERROR, invalid id"}));
  EXPECT_EQ(c->ReadLine(), "ERROR, unable to initialize server");
}

TEST_F(QueryCommands, LogShowsTheLastLinesAndFindsRemarks) {
  for (int i = 0; i < 40; ++i) Log(LMT_ALL, LMD_INFO, "filler " + std::to_string(i), "test");
  EXPECT_EQ(q->Command("log 0"), (Lines{"OK"}));
  Lines last = q->Command("log");
  ASSERT_EQ(last.size(), 31u);
  EXPECT_NE(last[29].find("filler 39"), std::string::npos);
  EXPECT_EQ(q->Command("log 2").size(), 3u);
  EXPECT_EQ(q->Final("log many"), "ERROR, invalid number format");
  EXPECT_EQ(q->Final("logmark Hello  Marker"), "OK");
  Lines found = q->Command("logfind hello marker");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NE(found[0].find("*remark by root* Hello Marker"), std::string::npos);
  EXPECT_EQ(q->Command("logfind no such text anywhere"), (Lines{"OK"}));
}

TEST_F(QueryCommands, GlobalInformationSumsTheServers) {
  Lines gi = q->Command("gi");
  EXPECT_TRUE(Has(gi, "total_server_version=2.0.20.1"));
  EXPECT_TRUE(Has(gi, "total_servers=1"));
  EXPECT_TRUE(Has(gi, "total_users_maximal=16"));
  EXPECT_TRUE(Has(gi, "isp_ispname=Private"));
  EXPECT_EQ(q->Final("globalset hoster_gfx_url x"), "ERROR, error");  // no host to change it
}

}  // namespace
}  // namespace vh::test
