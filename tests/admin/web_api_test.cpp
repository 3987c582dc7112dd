// The JSON API over real HTTP: tokens made and revoked on the page and their scope, the
// session's rules (token field, permissions of a server admin), the actions reaching the
// listener, escaping; and the pages added beside it (stop confirmation, log viewer, permission
// texts, the server list for a server admin).

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "WebHarness.h"
#include "admin/AccountAdmin.h"
#include "admin/web/PermissionForms.h"
#include "client/ClientPackets.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "model/Channels.h"
#include "model/Clients.h"

namespace vh::test {
namespace {

struct TJsonReply {
  int status = 0;
  std::string body;
  bool setCookie = false;
};

class WebApi : public ::testing::Test {
 protected:
  TWebHarness h;
  TBrowser browser{h.WebPort()};

  TJsonReply Call(const std::string& method, const std::string& path,
                  const httplib::Headers& headers = {}, const httplib::Params& form = {}) {
    httplib::Client c("127.0.0.1", h.WebPort());
    auto r = method == "GET" ? c.Get(path, headers) : c.Post(path, headers, form);
    if (!r) return {};
    return {r->status, r->body, r->has_header("Set-Cookie")};
  }
  httplib::Headers Bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
  }
  // Makes a token through the page as a super server admin; its text as the page showed it.
  std::string MakeToken(const std::string& label, int32_t serverId) {
    EXPECT_TRUE(browser.SuperLogin());
    const TPage made = browser.Post("/create_api_token.vhcmd",
                                    {{"label", label}, {"serverid", std::to_string(serverId)}});
    EXPECT_EQ(made.location, "api_tokens.html");
    std::smatch m;
    const std::string page = browser.Get("/api_tokens.html").body;
    if (!std::regex_search(page, m, std::regex("<pre id=\"newtoken\">(vh_[A-Za-z0-9]+)</pre>")))
      return {};
    return m[1];
  }
  std::string PlayerPath(uint16_t serverId, uint32_t player, const std::string& action) {
    return "/api/v1/servers/" + std::to_string(serverId) + "/players/" + std::to_string(player) +
           "/" + action;
  }
  int32_t AddLobby() {
    TLockGuard registry(h.Server().Clients()->Mutex());
    TLockGuard tree(h.Server().Channels()->Mutex());
    TChannelPtr c = TChannels::NewChannel();
    c->Name = "Lobby";
    c->ParentID = -1;
    c->ParentDBID = -1;
    c->MaxUsers = 8;
    return h.Server().Channels()->AddChannel(std::move(c));
  }
};

bool ToldToLeave(client::TProtocolClient& c) {
  while (auto p = c.WaitForCommand(client::CMD_sc_NotifyPlayerLeftScope, 3s)) {
    auto left = client::ParsePlayerLeft(*p);
    if (left && static_cast<uint32_t>(left->playerId) == c.PlayerId()) return true;
  }
  return false;
}

TEST_F(WebApi, TokenIsShownOnceScopedToItsServerAndRefusedOnceRevoked) {
  const uint16_t secondPort = h.AddServer();
  const int32_t first = h.Server().ServerID();
  const int32_t second = h.Servers().FindVirtualServerByText("2") ? 2 : 0;
  ASSERT_EQ(second, 2) << secondPort;
  auto bob = h.Join("bob", secondPort);
  ASSERT_TRUE(bob);
  const std::string token = MakeToken("deploy script", first);
  ASSERT_FALSE(token.empty());
  EXPECT_EQ(browser.Get("/api_tokens.html").body.find(token), std::string::npos);
  // Only the hash is kept.
  for (const TApiToken& t : h.Web().Tokens().List())
    EXPECT_EQ(t.Hash.find(token), std::string::npos);

  TJsonReply list = Call("GET", "/api/v1/servers", Bearer(token));
  EXPECT_EQ(list.status, 200);
  EXPECT_NE(list.body.find("\"id\":1,"), std::string::npos);
  EXPECT_EQ(list.body.find("\"id\":2,"), std::string::npos);
  EXPECT_EQ(Call("GET", "/api/v1/servers/1/players", Bearer(token)).status, 200);
  TJsonReply other = Call("GET", "/api/v1/servers/2/players", Bearer(token));
  EXPECT_EQ(other.status, 403);
  EXPECT_EQ(other.body, "{\"error\":\"invalid permissions\"}");
  EXPECT_EQ(Call("POST", PlayerPath(2, bob->PlayerId(), "kick"), Bearer(token)).status, 403);
  // Never from the URL, and a wrong one is a failed login.
  TJsonReply inUrl = Call("GET", "/api/v1/servers?access_token=" + token);
  EXPECT_EQ(inUrl.status, 401);
  EXPECT_EQ(inUrl.body, "{\"error\":\"not logged in\"}");
  EXPECT_FALSE(inUrl.setCookie);
  EXPECT_EQ(Call("GET", "/api/v1/servers", Bearer(token + "x")).body,
            "{\"error\":\"invalid login\"}");

  const int32_t id = h.Web().Tokens().List().front().Id;
  EXPECT_EQ(browser.Post("/revoke_api_token.vhcmd", {{"tokenid", std::to_string(id)}}).status, 302);
  EXPECT_EQ(Call("GET", "/api/v1/servers", Bearer(token)).status, 401);
  std::ifstream log(h.LogFile());
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("api token created [Interface: web"), std::string::npos);
  EXPECT_NE(text.find("api token revoked [Interface: web"), std::string::npos);
}

TEST_F(WebApi, ServerAdminSessionNeedsTheFormTokenAndEachActionsPermission) {
  ASSERT_EQ(
      AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "boss", "bosspw", true),
      0);
  TServerPermissions sets = h.Server().Permissions();
  for (TPermissionSet& set : sets.Sets) {
    set.Exclude(upKickPlayerFromServer);
    set.Exclude(upAdminMovePlayer);
  }
  h.Server().SetPermissions(sets);
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  const httplib::Headers cookie = {{"Cookie", browser.Cookie()}};
  const std::string players = "/api/v1/servers/1/players";
  TJsonReply read = Call("GET", players, cookie);
  EXPECT_EQ(read.status, 200);
  EXPECT_NE(read.body.find("\"address\":\"127.0.0.1\""), std::string::npos);
  for (const char* action : {"kick", "move", "ban", "privilege"}) {
    const httplib::Params form = {{"vhtoken", browser.Token()},
                                  {"channel", "1"},
                                  {"privilege", "privilege_canregister"},
                                  {"value", "1"}};
    TJsonReply refused = Call("POST", PlayerPath(1, alice->PlayerId(), action), cookie, form);
    EXPECT_EQ(refused.status, 403) << action;
    EXPECT_EQ(refused.body, "{\"error\":\"invalid permissions\"}") << action;
    TJsonReply noToken = Call("POST", PlayerPath(1, alice->PlayerId(), action), cookie);
    EXPECT_EQ(noToken.body, "{\"error\":\"access denied\"}") << action;
  }
  // With the permission back, the same session kicks.
  sets[ugSA].Include(upKickPlayerFromServer);
  h.Server().SetPermissions(sets);
  EXPECT_EQ(
      Call("POST", PlayerPath(1, alice->PlayerId(), "kick"), cookie, {{"vhtoken", browser.Token()}})
          .status,
      200);
  EXPECT_TRUE(ToldToLeave(*alice));
  EXPECT_EQ(Call("GET", "/api/v1/servers/2/players", cookie).status, 403);
}

TEST_F(WebApi, ActionsRunAsTheQuerysDoAndValuesAreEscaped) {
  const int32_t lobby = AddLobby();
  ASSERT_GT(lobby, 0);
  auto alice = h.Join("x</script>\"");
  ASSERT_TRUE(alice);
  const std::string token = MakeToken("all", 0);
  const auto auth = Bearer(token);
  TJsonReply listed = Call("GET", "/api/v1/servers/1/players", auth);
  EXPECT_NE(listed.body.find("\"nickname\":\"x\\u003c/script\\u003e\\\"\""), std::string::npos)
      << listed.body;
  EXPECT_EQ(Call("GET", PlayerPath(1, alice->PlayerId(), "move"), auth).status, 405);
  EXPECT_EQ(Call("POST", PlayerPath(1, alice->PlayerId(), "move"), auth, {{"channel", "x"}}).body,
            "{\"error\":\"invalid number format\"}");
  EXPECT_EQ(Call("POST", PlayerPath(1, alice->PlayerId(), "move"), auth, {{"channel", "777"}}).body,
            "{\"error\":\"ChannelId does not exist\"}");
  EXPECT_EQ(Call("POST", PlayerPath(1, alice->PlayerId(), "move"), auth,
                 {{"channel", std::to_string(lobby)}})
                .status,
            200);
  {
    TLockGuard registry(h.Server().Clients()->Mutex());
    EXPECT_EQ(h.Server().Clients()->GetClientByID(alice->PlayerId())->ChannelID, lobby);
  }
  EXPECT_EQ(Call("POST", PlayerPath(1, 999, "kick"), auth).body, "{\"error\":\"invalid id\"}");
  EXPECT_EQ(Call("POST", PlayerPath(1, alice->PlayerId(), "ban"), auth, {{"minutes", "5"}}).status,
            200);
  EXPECT_EQ(h.Server().BanCount(), 1u);
  EXPECT_EQ(
      Call("POST", PlayerPath(1, alice->PlayerId(), "kick"), auth, {{"reason", "bye"}}).status,
      200);
  EXPECT_TRUE(ToldToLeave(*alice));
}

// Kick from a channel and the channel privileges: what a voice client sees, the log line, the
// listener's refusal and the caller's own permissions.
TEST_F(WebApi, ChannelKickAndChannelPrivilegesReachTheClient) {
  THostPolicy policy;
  policy.LogKickChannel = true;
  h.Environment().SetPolicy(policy);
  const int32_t lobby = AddLobby();
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  const auto auth = Bearer(MakeToken("ops", 1));
  const uint32_t id = alice->PlayerId();
  ASSERT_EQ(
      Call("POST", PlayerPath(1, id, "move"), auth, {{"channel", std::to_string(lobby)}}).status,
      200);
  const httplib::Params grantCA = {{"privilege", "channelAdmin"}, {"value", "1"}};
  EXPECT_EQ(Call("POST", PlayerPath(1, id, "channel-privilege"), auth, grantCA).status, 200);
  auto changed = alice->WaitForCommand(client::CMD_sc_NotifyPlayerChannelPrivilegeChanged, 3s);
  ASSERT_TRUE(changed);
  auto change = client::ParsePrivilegeChange(*changed);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->privilege, 0);
  EXPECT_EQ(change->action, 0);
  TJsonReply again = Call("POST", PlayerPath(1, id, "channel-privilege"), auth, grantCA);
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.body, "{\"error\":\"Already channel admin\"}");
  // Operator needs a moderated channel, as the voice command does.
  EXPECT_EQ(Call("POST", PlayerPath(1, id, "channel-privilege"), auth,
                 {{"privilege", "operator"}, {"value", "1"}})
                .body,
            "{\"error\":\"Command not valid in unmodera\"}");

  EXPECT_EQ(Call("POST", PlayerPath(1, id, "kick-from-channel"), auth, {{"reason", "out"}}).status,
            200);
  auto kicked = alice->WaitForCommand(client::CMD_sc_NotifyPlayerKickedFromChannel, 3s);
  ASSERT_TRUE(kicked);
  auto k = client::ParsePlayerKicked(*kicked);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->oldChannelId, lobby);
  EXPECT_EQ(k->text, "out");
  {
    TLockGuard registry(h.Server().Clients()->Mutex());
    TLockGuard tree(h.Server().Channels()->Mutex());
    TClientRecord* p = h.Server().Clients()->GetClientByID(id);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->ChannelID, k->newChannelId);
    EXPECT_EQ(
        h.Server().Channels()->GetChannelAttribs(h.Server().Channels()->GetChannel(lobby), p) &
            CP_CHANNEL_ADMIN,
        0);
  }
  std::ifstream log(h.LogFile());
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find("got kicked from channel Lobby by [PlayerName: token ops, LoginName: token "
                      "ops, DBID: 0], reason: out"),
            std::string::npos);

  // A server admin without the permissions is refused before the listener sees anything.
  ASSERT_EQ(AddAccount(h.Storage(), 1, "boss", "bosspw", true), 0);
  TServerPermissions sets = h.Server().Permissions();
  for (TPermissionSet& set : sets.Sets) {
    set.Exclude(upKickPlayerFromChannel);
    set.Exclude(upPrivilegeGrantCA);
  }
  h.Server().SetPermissions(sets);
  TBrowser admin(h.WebPort());
  ASSERT_TRUE(admin.Login(h.ServerPort(), "boss", "bosspw"));
  const httplib::Headers cookie = {{"Cookie", admin.Cookie()}};
  for (const char* action : {"kick-from-channel", "channel-privilege"}) {
    TJsonReply refused =
        Call("POST", PlayerPath(1, id, action), cookie,
             {{"vhtoken", admin.Token()}, {"privilege", "channeladmin"}, {"value", "1"}});
    EXPECT_EQ(refused.status, 403) << action;
    EXPECT_EQ(refused.body, "{\"error\":\"invalid permissions\"}") << action;
  }
}

TEST_F(WebApi, StopAsksWithNameAndPlayersAndServerAdminsSeeNoRawMarker) {
  auto alice = h.Join("alice");
  ASSERT_TRUE(alice);
  ASSERT_TRUE(browser.SuperLogin());
  const TPage ask = browser.Post("/ask_stop_server.vhcmd", {{"serverid", "1"}});
  ASSERT_EQ(ask.status, 302);
  EXPECT_NE(ask.location.find("choice_box.html"), std::string::npos);
  EXPECT_NE(ask.location.find("with 1 player online"), std::string::npos) << ask.location;
  EXPECT_NE(h.Servers().FindVirtualServer(1), nullptr);  // asking stops nothing
  EXPECT_NE(browser.Get("/server_manager.html").body.find("<td>1</td>"), std::string::npos);

  TBrowser admin(h.WebPort());
  ASSERT_EQ(AddAccount(h.Storage(), 1, "boss", "bosspw", true), 0);
  ASSERT_TRUE(admin.Login(h.ServerPort(), "boss", "bosspw"));
  const std::string page = admin.Get("/server_manager.html").body;
  EXPECT_EQ(page.find("%!"), std::string::npos);
  EXPECT_EQ(admin.Get("/log_viewer.html").body.find("<td class=\"logtext\">"), std::string::npos);
  // The yes-link stops the server the session asked about, once.
  EXPECT_NE(browser.Post("/confirm_stop_server.vhcmd", {}).location.find("ok_box.html"),
            std::string::npos);
  EXPECT_EQ(h.Servers().FindVirtualServer(1), nullptr);
  EXPECT_NE(browser.Post("/confirm_stop_server.vhcmd", {}).location.find("error_box.html"),
            std::string::npos);
}

TEST_F(WebApi, LogViewerFiltersAndEscapes) {
  Log(LMT_ERROR, LMD_ALL, "viewer <script>alert(1)</script> one", "VIEWERTEST");
  Log(LMT_ALL, LMD_INFO, "viewer plain two", "VIEWERTEST");
  ASSERT_TRUE(browser.SuperLogin());
  const std::string all = browser.Get("/log_viewer.html?category=VIEWERTEST").body;
  EXPECT_NE(all.find("viewer &lt;script&gt;alert(1)&lt;/script&gt; one"), std::string::npos);
  EXPECT_EQ(all.find("<script>alert"), std::string::npos);
  EXPECT_NE(all.find("viewer plain two"), std::string::npos);
  const std::string errors = browser.Get("/log_viewer.html?category=VIEWERTEST&level=ERROR").body;
  EXPECT_EQ(errors.find("viewer plain two"), std::string::npos);
  const std::string found = browser.Get("/log_viewer.html?search=PLAIN%20TWO").body;
  EXPECT_NE(found.find("viewer plain two"), std::string::npos);
  EXPECT_EQ(found.find("alert(1)"), std::string::npos);
}

TEST(PermissionTexts, EveryShownPermissionHasALabelInAKnownSection) {
  for (int n = 0; n < kWebPermissionCount; ++n) {
    const bool reserved = WebPermissionName(n).find("Reserved") != std::string::npos;
    const TPermissionText& t = WebPermissionText(n);
    EXPECT_EQ(std::string(t.Label).empty(), reserved) << WebPermissionName(n);
    if (reserved) continue;
    bool known = false;
    for (const char* s : kPermissionSections) known = known || std::string(s) == t.Section;
    EXPECT_TRUE(known) << WebPermissionName(n);
  }
}

}  // namespace
}  // namespace vh::test
