// The web interface over HTTP: pages before and after a login, static files and the template
// directory's boundary, re-validation on the manual clock, escaping, the permission rules of
// the server and account commands, cross-site refusal and login throttling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "WebHarness.h"
#include "admin/AccountAdmin.h"
#include "admin/ServerAdmin.h"
#include "admin/StoredServerSettings.h"
#include "admin/web/PermissionForms.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "vserver/Notifier.h"
#include "vserver/VirtualServerList.h"

namespace vh::test {
namespace {

bool RawSql(const std::string& db, const std::string& sql) {
  sqlite3* handle = nullptr;
  const bool done = sqlite3_open(db.c_str(), &handle) == SQLITE_OK &&
                    sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
                    sqlite3_changes(handle) == 1;
  sqlite3_close(handle);
  return done;
}

class WebInterfaceTest : public ::testing::Test {
 protected:
  TWebHarness h;
  TBrowser browser{h.WebPort()};

  // A server admin account "boss"/"bosspw" on the first server; its id.
  int32_t AddServerAdmin(const std::string& name = "boss", const std::string& pw = "bosspw") {
    int32_t id = 0;
    EXPECT_EQ(
        AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), name, pw, true, &id),
        0);
    return id;
  }
  bool AccountNamed(uint32_t serverId, const std::string& name) {
    TClients accounts(serverId, &h.Storage());
    return accounts.DBLoadUser(serverId, name) != nullptr;
  }
};

TEST_F(WebInterfaceTest, BeforeLoginPagesShowTheLoginFormsAndImagesLoad) {
  const TPage index = browser.Get("/index.html");
  EXPECT_EQ(index.status, 200);
  EXPECT_NE(index.body.find("action=\"login.vhcmd\""), std::string::npos);
  EXPECT_EQ(index.body.find("name=\"superadmin\""), std::string::npos);
  EXPECT_NE(browser.Get("/slogin.html").body.find("name=\"superadmin\""), std::string::npos);
  EXPECT_NE(browser.Get("/server_manager.html").body.find("login.vhcmd"), std::string::npos);
  const TPage image = browser.Get("/gfx/server-run.png");
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(image.body.substr(1, 3), "PNG");
  // A command other than the login does nothing before a login.
  EXPECT_EQ(browser.Post("/delete_server.vhcmd", {}).status, 403);
}

// Two tabs with one cookie: one renews the selected server's cached settings while the other's
// pages read them (the thread-sanitizer build catches a page reading the cache in place).
TEST_F(WebInterfaceTest, TwoTabsOfOneSessionReadAndRenewTheSettingsAtOnce) {
  ASSERT_TRUE(browser.SuperLogin());
  const std::string select =
      "/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID());
  browser.Post(select, {});
  TBrowser tab(h.WebPort());
  tab.SetCookie(browser.Cookie());
  std::thread reader([&] {
    for (int i = 0; i < 20; ++i) tab.Get("/index.html");
  });
  for (int i = 0; i < 20; ++i) browser.Post(select, {});
  reader.join();
  const TPage page = tab.Get("/index.html");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<h1>" + h.Server().Settings().Name + "</h1>"), std::string::npos);
}

TEST_F(WebInterfaceTest, PathsLeavingTheTemplateDirectoryAreRefusedInEveryEncoding) {
  ASSERT_TRUE(browser.SuperLogin());
  // CMakeLists.txt exists one level above the template directory.
  for (const char* path : {"/../CMakeLists.txt", "/%2e%2e/CMakeLists.txt",
                           "/%2E%2E%2FCMakeLists.txt", "/..%5cCMakeLists.txt",
                           "/gfx/..%2f..%2fCMakeLists.txt", "/gfx/%2e%2e\\%2e%2e/CMakeLists.txt"}) {
    const TPage page = browser.Get(path);
    EXPECT_EQ(page.status, 403) << path;
    EXPECT_EQ(page.body.find("cmake_minimum_required"), std::string::npos) << path;
  }
  EXPECT_EQ(browser.Get("/no_such_page.html").status, 404);
  EXPECT_EQ(browser.Get("/style.css").status, 200);
}

TEST_F(WebInterfaceTest, DeletedAccountIsDeniedAtTheFirstRequestElevenSecondsLater) {
  const int32_t id = AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  DeleteAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), id);
  h.Clock().Advance(10900);
  EXPECT_EQ(browser.Get("/index.html").status, 200);
  h.Clock().Advance(200);
  const TPage denied = browser.Get("/index.html");
  EXPECT_EQ(denied.status, 403);
  EXPECT_NE(denied.body.find("Access denied"), std::string::npos);
}

TEST_F(WebInterfaceTest, OwnPasswordChangeKeepsTheSessionAcrossRevalidation) {
  const int32_t id = AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  const TPage edited = browser.Post("/edit_client.vhcmd", {{"CLIENTID", std::to_string(id)},
                                                           {"CLIENT", "boss"},
                                                           {"CLIENTPW1", "newpw"},
                                                           {"CLIENTPW2", "newpw"},
                                                           {"CLIENTSERVERADMIN", "1"}});
  EXPECT_NE(edited.location.find("ok_box.html"), std::string::npos) << edited.location;
  h.Clock().Advance(12000);
  EXPECT_EQ(browser.Get("/index.html").status, 200);
  TBrowser other(h.WebPort());
  EXPECT_TRUE(other.Login(h.ServerPort(), "boss", "newpw"));
}

TEST_F(WebInterfaceTest, NamesAreEscapedOnPagesAndEncodedInRedirects) {
  ASSERT_TRUE(browser.SuperLogin());
  const std::string evil = "<script>x()</script>";
  ASSERT_EQ(
      AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), evil, "pw", false), 0);
  TVirtualServerSettings s = h.Server().Settings();
  s.Name = "a<b\"c";
  h.Server().SetSettings(s);
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()), {});
  const TPage accounts = browser.Get("/database_client_manager.html");
  EXPECT_EQ(accounts.body.find(evil), std::string::npos);
  EXPECT_NE(accounts.body.find("&lt;script&gt;x()&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(accounts.body.find("a&lt;b&#34;c"), std::string::npos);
  const TPage box =
      browser.Get("/error_box.html?error_title=%3Cb%3E&error_url=javascript:alert(1)");
  EXPECT_NE(box.body.find("&lt;b&gt;"), std::string::npos);
  EXPECT_EQ(box.body.find("javascript:"), std::string::npos);
  const TPage ask = browser.Post("/ask_delete_client.vhcmd?clientid=1&client=%3Cb%3E%26x%3D1", {});
  // The client decodes the Location header once: the yes-link, encoded by the command and
  // again for the box, still shows its own encoding.
  EXPECT_NE(ask.location.find("choice_url_yes=DELETE_CLIENT.VHCMD?client=%3Cb%3E%26x%3D1&"),
            std::string::npos)
      << ask.location;
}

TEST_F(WebInterfaceTest, ServerAdminMayNotStartStopOthersOrDelete) {
  const uint16_t otherPort = h.AddServer();
  auto other = h.Servers().ListVirtualServers().back().second;
  const int32_t otherId = other->ServerID();
  AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  EXPECT_NE(browser.Post("/stop_server.vhcmd?serverid=" + std::to_string(otherId), {})
                .location.find("invalid permissions"),
            std::string::npos);
  EXPECT_TRUE(other->Running());
  EXPECT_NE(browser.Post("/ask_delete_server.vhcmd?serverid=" + std::to_string(otherId), {})
                .location.find("invalid permissions"),
            std::string::npos);
  // The super server admin stops it; the delete without a confirmation deletes nothing.
  TBrowser root(h.WebPort());
  ASSERT_TRUE(root.SuperLogin());
  EXPECT_NE(root.Post("/stop_server.vhcmd?serverid=" + std::to_string(otherId), {})
                .location.find("server has been stopped"),
            std::string::npos);
  EXPECT_FALSE(h.Servers().FindVirtualServer(otherId));
  EXPECT_NE(root.Post("/delete_server.vhcmd?serverid=" + std::to_string(otherId), {})
                .location.find("ok_box.html"),
            std::string::npos);
  auto stored = ListStoredServers(h.Context());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 2u);
  // A server admin cannot add a server; the super server admin adds one that is not started.
  const std::string port = std::to_string(FreeUdpPort());
  const httplib::Params add = {{"SERVERUDPPORT", port}, {"SERVERNAME", "third"}};
  EXPECT_NE(browser.Post("/add_server.vhcmd", add).location.find("invalid permissions"),
            std::string::npos);
  EXPECT_NE(root.Post("/add_server.vhcmd", add).location.find("ok_box"), std::string::npos);
  EXPECT_NE(root.Post("/add_server.vhcmd", add).location.find("same udpport"), std::string::npos);
  stored = ListStoredServers(h.Context());
  ASSERT_EQ(stored->size(), 3u);
  EXPECT_EQ(stored->back().Name, "third");
  EXPECT_FALSE(stored->back().Running);
  root.Post("/ask_delete_server.vhcmd?serverid=" + std::to_string(stored->back().Id), {});
  root.Post("/delete_server.vhcmd", {});
  // The two-step delete removes it.
  root.Post("/ask_delete_server.vhcmd?serverid=" + std::to_string(otherId), {});
  root.Post("/delete_server.vhcmd", {});
  EXPECT_EQ(ListStoredServers(h.Context())->size(), 1u);
  (void)otherPort;
}

TEST_F(WebInterfaceTest, CommandsNeedAPostWithTheSessionsTokenWhateverOriginAndRefererSay) {
  ASSERT_TRUE(browser.SuperLogin());
  ASSERT_EQ(browser.Token().size(), 32u);
  const httplib::Params form = {
      {"CLIENTLOGINNAME", "mallory"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"}};
  const std::string self = "http://127.0.0.1:" + std::to_string(h.WebPort());
  // A foreign Origin or Referer is refused even with the token.
  EXPECT_EQ(browser.Post("/add_sclient.vhcmd", form, {{"Origin", "http://evil.example"}}).status,
            403);
  EXPECT_EQ(browser.Post("/add_sclient.vhcmd", form, {{"Referer", "http://evil.example/page.html"}})
                .status,
            403);
  // Without the token (or with another session's), a same-site Origin or none does not help:
  // another port of this host is the same site to the browser.
  EXPECT_EQ(browser.PostWithoutToken("/add_sclient.vhcmd", form).status, 403);
  EXPECT_EQ(browser.PostWithoutToken("/add_sclient.vhcmd", form, {{"Origin", self}}).status, 403);
  TBrowser other(h.WebPort());
  ASSERT_TRUE(other.SuperLogin());
  httplib::Params foreign = form;
  foreign.emplace("vhtoken", other.Token());
  EXPECT_EQ(browser.Post("/add_sclient.vhcmd", foreign).status, 403);
  // A GET with the right token in the URL is refused as well.
  EXPECT_EQ(
      browser
          .Get("/add_sclient.vhcmd?CLIENTLOGINNAME=mallory&CLIENTPW1=pw&CLIENTPW2=pw&vhtoken=" +
               browser.Token())
          .status,
      403);
  EXPECT_FALSE(AccountNamed(kSuperUserServerId, "mallory"));
  // The forms of the pages carry it.
  EXPECT_NE(browser.Get("/database_sclient_manager.html")
                .body.find("action=\"add_sclient.vhcmd\"><input type=\"hidden\" name=\"vhtoken\" "
                           "value=\"" +
                           browser.Token() + "\">"),
            std::string::npos);
  EXPECT_NE(browser.Post("/add_sclient.vhcmd", form, {{"Origin", self}}).location.find("ok_box"),
            std::string::npos);
  EXPECT_TRUE(AccountNamed(kSuperUserServerId, "mallory"));
}

TEST_F(WebInterfaceTest, LoginOnlyByPostAndEverySessionIdIsNewAtLoginAndDeadAfterLogout) {
  // A password in a URL logs nobody in.
  const TPage byGet = browser.Get("/login.vhcmd?superadmin=1&username=root&password=rootpw");
  EXPECT_EQ(byGet.status, 405);
  EXPECT_EQ(h.Web().Sessions().Count(), 0u);
  // An id planted in the browser before the login is not the one it gets.
  browser.SetCookie("VHSESSION=0123456789abcdef0123456789abcdef");
  ASSERT_TRUE(browser.SuperLogin());
  const std::string first = browser.Cookie();
  EXPECT_NE(first, "VHSESSION=0123456789abcdef0123456789abcdef");
  // A second login in the same browser gets yet another id; the first one is dead.
  ASSERT_TRUE(browser.SuperLogin());
  const std::string second = browser.Cookie();
  EXPECT_NE(second, first);
  TBrowser thief(h.WebPort());
  thief.SetCookie(first);
  EXPECT_NE(thief.Get("/server_manager.html").body.find("action=\"login.vhcmd\""),
            std::string::npos);
  // After the logout the id opens nothing either.
  EXPECT_EQ(browser.Post("/logout.vhcmd", {}).location, "login.html");
  thief.SetCookie(second);
  EXPECT_NE(thief.Get("/server_manager.html").body.find("action=\"login.vhcmd\""),
            std::string::npos);
  EXPECT_EQ(h.Web().Sessions().Count(), 0u);
}

TEST_F(WebInterfaceTest, AnonymousRequestsMakeNoSessionAndEvictNone) {
  ASSERT_TRUE(browser.SuperLogin());
  TBrowser stranger(h.WebPort());
  for (int i = 0; i < 300; ++i) {
    stranger.SetCookie("");
    ASSERT_EQ(stranger.Get("/index.html").status, 200);
  }
  EXPECT_FALSE(stranger.SuperLogin("root", "wrong"));
  EXPECT_EQ(h.Web().Sessions().Count(), 1u);
  EXPECT_NE(browser.Get("/server_manager.html").body.find("name=\"SERVERUDPPORT\""),
            std::string::npos);
}

TEST_F(WebInterfaceTest, NamesInLinksAreEncodedAndAFieldGivenTwiceIsRefused) {
  const uint32_t serverId = static_cast<uint32_t>(h.Server().ServerID());
  int32_t victim = 0;
  ASSERT_EQ(AddAccount(h.Storage(), serverId, "victim", "pw", false, &victim), 0);
  // A name made to add the victim's id to the links of the account list.
  const std::string name = "m&CLIENTID=" + std::to_string(victim);
  int32_t evil = 0;
  ASSERT_EQ(AddAccount(h.Storage(), serverId, name, "pw", false, &evil), 0);
  ASSERT_TRUE(browser.SuperLogin());
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(serverId), {});
  const std::string list = browser.Get("/database_client_manager.html").body;
  EXPECT_NE(list.find("client=m%26CLIENTID%3D" + std::to_string(victim) + "\""), std::string::npos);
  EXPECT_EQ(list.find("client=m&CLIENTID"), std::string::npos);
  // The link as it used to be written: the second CLIENTID is refused, not chosen.
  const TPage ask = browser.Post("/ask_delete_client.vhcmd?clientid=" + std::to_string(evil) +
                                     "&client=m&CLIENTID=" + std::to_string(victim),
                                 {});
  EXPECT_EQ(ask.status, 400);
  EXPECT_EQ(browser.Post("/delete_client.vhcmd", {}).location.find("invalid"), std::string::npos);
  EXPECT_TRUE(AccountNamed(serverId, "victim"));
  // Twice in the body, or once in the URL and once in the body, in any letter case.
  EXPECT_EQ(browser.Post("/edit_client.vhcmd?clientid=1", {{"CLIENTID", "2"}}).status, 400);
  EXPECT_EQ(browser.Post("/index.html", {{"a", "1"}, {"A", "2"}}).status, 400);
}

TEST_F(WebInterfaceTest, BoxLinksStayOnThisSiteAndTheHosterLinkIsAWebAddress) {
  ASSERT_TRUE(browser.SuperLogin());
  auto link = [&](const std::string& query, const std::string& before) {
    const std::string body = browser.Get("/" + query).body;
    const size_t at = body.find(before);
    if (at == std::string::npos) return std::string("(none)");
    const size_t start = at + before.size();
    return body.substr(start, body.find('"', start) - start);
  };
  for (const char* bad :
       {"javascript:alert(1)", "data:text/html,x", "%20//evil.example", "%09//evil.example",
        "%0A//evil.example", "java%09script:alert(1)", "//evil.example", "/%5Cevil.example",
        "http://evil.example/", "ok.html%0D%0Ax"}) {
    EXPECT_EQ(link(std::string("error_box.html?error_url=") + bad, "class=\"button\" href=\""),
              "index.html")
        << bad;
    EXPECT_EQ(link(std::string("ok_box.html?ok_url=") + bad, "class=\"button\" href=\""),
              "index.html")
        << bad;
    EXPECT_EQ(link(std::string("choice_box.html?choice_url_no=") + bad, "secondary\" href=\""),
              "index.html")
        << bad;
    EXPECT_EQ(link(std::string("choice_box.html?choice_url_yes=") + bad, "id=\"yes\" action=\""),
              "index.html")
        << bad;
  }
  EXPECT_EQ(link("ok_box.html?ok_url=server_manager.html", "class=\"button\" href=\""),
            "server_manager.html");
  // The yes button posts the token: it may confirm a delete, and start no other command.
  EXPECT_EQ(link("choice_box.html?choice_url_yes=DELETE_CLIENT.VHCMD%3Fclient%3Dx",
                 "id=\"yes\" action=\""),
            "DELETE_CLIENT.VHCMD?client=x");
  EXPECT_EQ(link("choice_box.html?choice_url_yes=stop_server.vhcmd%3Fserverid%3D1",
                 "id=\"yes\" action=\""),
            "index.html");
  // The hoster link: refused by the form unless it is http(s), and never shown otherwise.
  EXPECT_NE(browser
                .Post("/settings_basic.vhcmd",
                      {{"basic_country", "0"}, {"BASIC_ISPLINKURL", "javascript:alert(1)"}})
                .location.find("error_box"),
            std::string::npos);
  EXPECT_NE(h.Basic().ISPLinkURL, "javascript:alert(1)");
  EXPECT_NE(browser
                .Post("/settings_basic.vhcmd",
                      {{"basic_country", "0"}, {"BASIC_ISPLINKURL", "https://hoster.example/"}})
                .location,
            "");
  EXPECT_EQ(h.Basic().ISPLinkURL, "https://hoster.example/");
  EXPECT_EQ(link("index.html", "hosted by <a href=\""), "https://hoster.example/");
  TAdminSettings basic = h.Basic();
  basic.ISPLinkURL = " javascript:alert(1)";  // as a hand-edited server.ini may hold it
  h.SetBasic(basic);
  EXPECT_EQ(link("index.html", "hosted by <a href=\""), "");
}

TEST_F(WebInterfaceTest, SessionPageIsReadOnlyAndForSuperAdminsOnly) {
  AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  EXPECT_EQ(browser.Get("/session?ParamName=superadmin&Param=1").status, 403);
  // Still a server admin: the super admin list is hidden.
  EXPECT_NE(browser.Get("/index.html").body.find("<!--<a href=\"server_manager.html\">Servers"),
            std::string::npos);
  TBrowser root(h.WebPort());
  ASSERT_TRUE(root.SuperLogin());
  const TPage page = root.Get("/session?ParamName=injected&Param=1");
  EXPECT_NE(page.body.find("Session informations"), std::string::npos);
  EXPECT_EQ(page.body.find("injected"), std::string::npos);
}

TEST_F(WebInterfaceTest, FailedLoginsAreThrottledPerAddress) {
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(browser.SuperLogin("root", "wrong"));
  EXPECT_FALSE(browser.SuperLogin("root", "rootpw"));
  h.Clock().Advance(61000);
  EXPECT_TRUE(browser.SuperLogin("root", "rootpw"));
}

// A server admin's own good logins between his guesses at the super admin no longer clear
// his address; the failures and the refusal are logged.
TEST_F(WebInterfaceTest, OwnGoodLoginsDoNotClearTheGuessesAtAnotherAccount) {
  AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "boss", "bosspw", true);
  EXPECT_FALSE(browser.SuperLogin("root", "guess"));
  EXPECT_FALSE(browser.SuperLogin("root", "guess"));
  EXPECT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  EXPECT_FALSE(browser.SuperLogin("root", "guess"));
  EXPECT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  EXPECT_FALSE(browser.SuperLogin("root", "guess"));
  EXPECT_FALSE(browser.Login(h.ServerPort(), "boss", "bosspw"));  // refused: four failures
  const std::string log = ReadFile(h.LogFile());
  EXPECT_NE(log.find("login failed [Interface: web, IP: 127.0.0.1, Reason: invalid_login, "
                     "LoginName: root]"),
            std::string::npos);
  EXPECT_NE(log.find("login failed [Interface: web, IP: 127.0.0.1, Reason: address_refused, "
                     "LoginName: boss]"),
            std::string::npos);
  EXPECT_NE(log.find("address throttled [Interface: web, IP: 127.0.0.1, Failures: 4]"),
            std::string::npos);
  EXPECT_NE(log.find("admin login [Interface: web, IP: 127.0.0.1, Server: " +
                     std::to_string(h.Server().ServerID()) + ", LoginName: boss]"),
            std::string::npos);
}

TEST_F(WebInterfaceTest, DatabaseFailureKeepsTheSessionAndIsNoFailedLogin) {
  ASSERT_TRUE(browser.SuperLogin());
  h.FailStorage(true);
  h.Clock().Advance(TWebInterface::kRecheckMs + 1000);
  EXPECT_EQ(browser.Get("/index.html").status, 200);  // not denied
  TBrowser other(h.WebPort());
  for (int i = 0; i < 5; ++i) {
    const TPage page = other.Post(
        "/login.vhcmd", {{"superadmin", "1"}, {"username", "root"}, {"password", "rootpw"}});
    EXPECT_EQ(page.location.rfind("error_box.html", 0), 0u) << page.location;
  }
  EXPECT_EQ(h.Web().Failures().Count(), 0u);
  h.FailStorage(false);
  EXPECT_TRUE(other.SuperLogin());
  EXPECT_EQ(browser.Get("/index.html").status, 200);
}

TEST_F(WebInterfaceTest, AddAndEditAccountsCheckTheirFields) {
  ASSERT_TRUE(browser.SuperLogin());
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()), {});
  auto add = [&](const std::string& name, const std::string& p1, const std::string& p2) {
    return browser
        .Post("/add_client.vhcmd",
              {{"CLIENTLOGINNAME", name}, {"CLIENTPW1", p1}, {"CLIENTPW2", p2}})
        .location;
  };
  EXPECT_NE(add("anna", " ", " ").find("empty password"), std::string::npos);
  EXPECT_NE(add("anna", "a", "b").find("the passwords dont match"), std::string::npos);
  EXPECT_NE(add("anna", "a", "a").find("ok_box"), std::string::npos);
  EXPECT_NE(add("anna", "a", "a").find("a user with name already exists"), std::string::npos);
  EXPECT_NE(add("m\r\nx", "a", "a").find("empty username"), std::string::npos);
  EXPECT_NE(add("esc\x1b[2J", "a", "a").find("empty username"), std::string::npos);
  EXPECT_NE(browser.Post("/edit_client.vhcmd?CLIENTID=abc&CLIENTPW1=x&CLIENTPW2=x", {})
                .location.find("error_box"),
            std::string::npos);
  EXPECT_TRUE(AccountNamed(static_cast<uint32_t>(h.Server().ServerID()), "anna"));
}

// A registered player whose group may use the web interface only for his own password: the
// self rule lets him change it, and nothing else.
TEST_F(WebInterfaceTest, OwnPasswordRightGivesNoAccountsAndNoPermissions) {
  const uint32_t serverId = static_cast<uint32_t>(h.Server().ServerID());
  int32_t own = 0;
  ASSERT_EQ(AddAccount(h.Storage(), serverId, "player", "playerpw", false, &own), 0);
  TServerPermissions sets = h.Server().Permissions();
  sets[ugRegisterred] = TPermissionSet();
  sets[ugRegisterred].Include(upAccessWebAdminServer);
  sets[ugRegisterred].Include(upAdminChangeOwnPassword);
  h.Server().SetPermissions(sets);
  ASSERT_TRUE(browser.Login(h.ServerPort(), "player", "playerpw"));
  const std::string self = std::to_string(own);
  EXPECT_NE(browser
                .Post("/add_client.vhcmd", {{"CLIENTID", self},
                                            {"CLIENT", "player"},
                                            {"CLIENTLOGINNAME", "sidekick"},
                                            {"CLIENTPW1", "pw"},
                                            {"CLIENTPW2", "pw"},
                                            {"CLIENTSERVERADMIN", "1"}})
                .location.find("invalid permissions"),
            std::string::npos);
  EXPECT_FALSE(AccountNamed(serverId, "sidekick"));
  browser.Get("/server_permissions_r.html");
  httplib::Params all = {{"CLIENTID", self}, {"CLIENT", "player"}};
  for (int n = 0; n < 81; ++n) all.emplace("ugRegisterred_" + WebPermissionName(n), "1");
  EXPECT_NE(browser.Post("/permissions_server.vhcmd", all).location.find("invalid permissions"),
            std::string::npos);
  EXPECT_EQ(h.Server().Permissions(), sets);
  // What the rule is for still works.
  EXPECT_NE(browser
                .Post("/edit_client.vhcmd", {{"CLIENTID", self},
                                             {"CLIENT", "player"},
                                             {"CLIENTPW1", "newpw"},
                                             {"CLIENTPW2", "newpw"}})
                .location.find("ok_box"),
            std::string::npos);
  TBrowser again(h.WebPort());
  EXPECT_TRUE(again.Login(h.ServerPort(), "player", "newpw"));
}

TEST_F(WebInterfaceTest, ServerAdminSettingsIgnorePortAndPlayerLimit) {
  AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  const TVirtualServerSettings before = h.Server().Settings();
  const TPage saved =
      browser.Post("/settings_server.vhcmd", {{"SERVERNAME", before.Name},
                                              {"SERVERWELCOMEMESSAGE", "hello <all>"},
                                              {"SERVERPASSWORD", before.Password},
                                              {"SERVERTYPE", h.Server().IsClanServer() ? "1" : "2"},
                                              {"SERVERUDPPORT", "1234"},
                                              {"SERVERMAXUSERS", "99"}});
  EXPECT_NE(saved.location.find("server config has been changed"), std::string::npos)
      << saved.location;
  const TVirtualServerSettings after = h.Server().Settings();
  EXPECT_EQ(after.WelcomeMessage, "hello <all>");
  EXPECT_EQ(after.Port, before.Port);
  EXPECT_EQ(after.MaxUsers, before.MaxUsers);
  auto stored = ReadStoredServerSettings(h.Storage(), h.Server().ServerID());
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->Server.WelcomeMessage, "hello <all>");
  EXPECT_NE(browser.Get("/server_settings.html").body.find("hello &lt;all&gt;"), std::string::npos);
}

// The page and the query's "serverset server_clan_server" make one edit: the type word is 5
// or 6 whatever stray bits it held, and the players are brought up to date at once.
TEST_F(WebInterfaceTest, ServerTypeFromThePageIsTheQuerysTypeWord) {
  ASSERT_TRUE(browser.SuperLogin());
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()), {});
  const TVirtualServerSettings s = h.Server().Settings();
  for (const bool clan : {false, true}) {
    h.Server().ServerFlags().store(static_cast<uint16_t>((clan ? SF_PUBLIC : SF_CLAN) | 8));
    const TPage saved =
        browser.Post("/settings_server.vhcmd", {{"SERVERNAME", s.Name},
                                                {"SERVERWELCOMEMESSAGE", s.WelcomeMessage},
                                                {"SERVERPASSWORD", s.Password},
                                                {"SERVERTYPE", clan ? "1" : "2"},
                                                {"SERVERUDPPORT", std::to_string(s.Port)},
                                                {"SERVERMAXUSERS", std::to_string(s.MaxUsers)}});
    EXPECT_NE(saved.location.find("server config has been changed"), std::string::npos);
    EXPECT_EQ(h.Server().ServerFlags().load(), clan ? 5 : 6);
    EXPECT_FALSE(h.Server().TypeChanged().load());  // request 8 has run and cleared it
  }
}

TEST_F(WebInterfaceTest, PermissionPageHidesReservedRowsAndSavesTheShownGroup) {
  ASSERT_TRUE(browser.SuperLogin());
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()), {});
  const TPage page = browser.Get("/server_permissions_sa.html");
  EXPECT_NE(page.body.find("name=\"ugSA_upAdminBanIp\""), std::string::npos);
  EXPECT_EQ(page.body.find("Reserved"), std::string::npos);
  EXPECT_EQ(page.body.find("ugSA_upAdminAddServer"), std::string::npos);  // not for this group
  ASSERT_TRUE(h.Server().Permissions()[ugSA].Has(upAdminBanIp));
  EXPECT_NE(page.body.find("name=\"permissiongroup\" value=\"ugSA\""), std::string::npos);
  // Another group's page opened since (a second tab) does not change what the SA form saves.
  browser.Get("/server_permissions_ca.html");
  const TPermissionSet ca = h.Server().Permissions()[ugCA];
  const TPage saved =
      browser.Post("/permissions_server.vhcmd",
                   {{"permissiongroup", "ugSA"}, {"ugSA_upAccessWebAdminServer", "1"}});
  EXPECT_NE(saved.location.find("ok_box"), std::string::npos) << saved.location;
  EXPECT_EQ(h.Server().Permissions()[ugCA], ca);
  const TServerPermissions now = h.Server().Permissions();
  EXPECT_TRUE(now[ugSA].Has(upAccessWebAdminServer));
  EXPECT_FALSE(now[ugSA].Has(upAdminBanIp));
  EXPECT_EQ(ReadServerPrivileges(&h.Storage(), static_cast<uint32_t>(h.Server().ServerID()),
                                 UserGroupName(ugSA)),
            now[ugSA]);
  // A form without its group, or with fields of another group than it names, changes nothing.
  EXPECT_NE(browser.Post("/permissions_server.vhcmd", {{"ugSA_upAdminBanIp", "1"}})
                .location.find("invalid permissions"),
            std::string::npos);
  EXPECT_NE(browser
                .Post("/permissions_server.vhcmd", {{"permissiongroup", "ugSA"},
                                                    {"ugSA_upAdminBanIp", "1"},
                                                    {"ugCA_upChannelDelete", "1"}})
                .location.find("invalid permissions"),
            std::string::npos);
  EXPECT_FALSE(h.Server().Permissions()[ugSA].Has(upAdminBanIp));
}

TEST_F(WebInterfaceTest, SendTextToAllIsNamedAsTheFormsPostIt) {
  ASSERT_TRUE(browser.SuperLogin());
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()), {});
  EXPECT_NE(
      browser.Get("/server_permissions_r.html").body.find("name=\"ugRegisterred_upSendTextToAll\""),
      std::string::npos);
  TServerPermissions sets = h.Server().Permissions();
  sets[ugRegisterred].Exclude(upSendTextToAll);
  h.Server().SetPermissions(sets);
  EXPECT_NE(browser
                .Post("/permissions_server.vhcmd", {{"permissiongroup", "ugRegisterred"},
                                                    {"ugRegisterred_upSendTextToAll", "1"}})
                .location.find("ok_box"),
            std::string::npos);
  EXPECT_TRUE(h.Server().Permissions()[ugRegisterred].Has(upSendTextToAll));
}

TEST_F(WebInterfaceTest, AddServerTakesOnlyTheFieldsGivenOverTheStoredDefaults) {
  ASSERT_TRUE(browser.SuperLogin());
  auto add = [&](const httplib::Params& form) -> std::optional<TStoredServerSettings> {
    if (browser.Post("/add_server.vhcmd", form).location.find("ok_box") == std::string::npos)
      return std::nullopt;
    auto list = ListStoredServers(h.Context());
    return ReadStoredServerSettings(h.Storage(), list->back().Id);
  };
  // A partial form: no codec is allowed, the name is empty, the type is the stored default.
  auto partial = add({{"SERVERUDPPORT", std::to_string(FreeUdpPort())}, {"SERVERTYPE", "7"}});
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->Server.Name, "");
  EXPECT_FALSE(partial->ClanServer);
  for (bool allowed : partial->Server.CodecPermits) EXPECT_FALSE(allowed);
  auto full = add({{"SERVERUDPPORT", std::to_string(FreeUdpPort())},
                   {"SERVERNAME", "clan"},
                   {"SERVERTYPE", "1"},
                   {"CODECSPEEX8000", "1"},
                   {"CODECGSM148", "yes"}});
  ASSERT_TRUE(full);
  EXPECT_EQ(full->Server.Name, "clan");
  EXPECT_TRUE(full->ClanServer);
  for (int i = 0; i < kCodecCount; ++i)
    EXPECT_EQ(full->Server.CodecPermits[static_cast<size_t>(i)], i == 8) << i;  // SPEEX8000
}

TEST_F(WebInterfaceTest, UnknownCommandsAndServerSelectionByAServerAdminAnswerNothing) {
  AddServerAdmin();
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  const uint16_t otherPort = h.AddServer();
  (void)otherPort;
  const int32_t other = h.Servers().ListVirtualServers().back().second->ServerID();
  for (const std::string& path : {std::string("/no_such_command.vhcmd"),
                                  "/select_server.vhcmd?serverid=" + std::to_string(other)}) {
    const TPage page = browser.Post(path, {});
    EXPECT_EQ(page.status, 200) << path;
    EXPECT_EQ(page.body, "") << path;
    EXPECT_EQ(page.location, "") << path;
  }
  // Still on his own server.
  EXPECT_NE(browser.Get("/index.html").body.find("UDP port " + std::to_string(h.ServerPort())),
            std::string::npos);
}

TEST_F(WebInterfaceTest, PagesAreTextHTMLAndErrorsAreLoggedWithTheExceptionClass) {
  ASSERT_TRUE(browser.SuperLogin());
  httplib::Client raw("127.0.0.1", h.WebPort());
  auto login = raw.Get("/login.html");
  ASSERT_TRUE(login);
  EXPECT_EQ(login->get_header_value("Content-Type"), "text/HTML");
  // An account row the storage cannot read: the account list fails, and the log says how.
  const uint32_t serverId = static_cast<uint32_t>(h.Server().ServerID());
  int32_t id = 0;
  ASSERT_EQ(AddAccount(h.Storage(), serverId, "broken", "pw", false, &id), 0);
  ASSERT_TRUE(RawSql(h.Dir().File("server.dbs"),
                     "UPDATE vh2_clients SET b_client_privilege_serveradmin = 'x' WHERE "
                     "i_client_id = " +
                         std::to_string(id)));
  browser.Post("/select_server.vhcmd?serverid=" + std::to_string(serverId), {});
  EXPECT_EQ(browser.Get("/database_client_manager.html").status, 200);
  const std::string log = ReadFile(h.LogFile());
  EXPECT_NE(log.find("SetVariables Exception: EDB.'x' is not a valid boolean value"),
            std::string::npos)
      << log;
}

TEST_F(WebInterfaceTest, BasicSettingsOfferTheCountriesAndRefuseANonNumericCountry) {
  ASSERT_TRUE(browser.SuperLogin());
  const TPage page = browser.Get("/basic_settings.html");
  size_t options = 0;
  for (size_t at = 0; (at = page.body.find("<option value=", at)) != std::string::npos; ++at)
    ++options;
  EXPECT_GT(options, 100u);
  EXPECT_NE(
      browser.Post("/settings_basic.vhcmd", {{"basic_country", "abc"}}).location.find("error_box"),
      std::string::npos);
  // A line break would add keys and sections to server.ini.
  const TPage refused = browser.Post(
      "/settings_basic.vhcmd", {{"basic_country", "0"}, {"BASIC_ISPNAME", "x\r\n[Evil]\r\nk=v"}});
  EXPECT_NE(refused.location.find("control"), std::string::npos) << refused.location;
  EXPECT_EQ(h.Context().Settings().ISPName.find("Evil"), std::string::npos);
}

TEST_F(WebInterfaceTest, OversizedRequestsAreRefusedWith4xx) {
  auto refused = [](const TPage& page) { return page.status >= 400 && page.status < 500; };
  const std::string big(5000, 'x');
  EXPECT_EQ(browser.Get("/" + std::string(2000, 'a') + ".html").status, 414);
  EXPECT_TRUE(refused(browser.Get("/" + std::string(10000, 'a') + ".html")));  // request line
  EXPECT_EQ(browser.Get("/index.html?username=" + big).status, 400);
  EXPECT_EQ(browser.Get("/index.html?" + big + "=1").status, 400);
  EXPECT_TRUE(refused(browser.Get("/index.html", {{"X-Big", std::string(10000, 'h')}})));
  httplib::Headers many;
  for (int i = 0; i < 100; ++i) many.emplace("X-H" + std::to_string(i), "v");
  EXPECT_EQ(browser.Get("/index.html", many).status, 431);
  EXPECT_TRUE(refused(browser.Post("/login.vhcmd", {{"username", big}, {"password", "x"}})));
  EXPECT_TRUE(refused(
      browser.Post("/login.vhcmd", {{"username", std::string(100000, 'x')}, {"password", "x"}})));
  // None of them made a session; the interface still serves.
  EXPECT_EQ(h.Web().Sessions().Count(), 0u);
  EXPECT_TRUE(browser.SuperLogin());
}

TEST_F(WebInterfaceTest, SessionEndsAfterFifteenMinutesWithoutARequest) {
  ASSERT_TRUE(browser.SuperLogin());
  const std::string managerForm = "name=\"SERVERUDPPORT\"";
  h.Clock().Advance(TWebSessions::kTimeoutMs - 1000);
  EXPECT_NE(browser.Get("/server_manager.html").body.find(managerForm), std::string::npos);
  // Each request starts the fifteen minutes again.
  h.Clock().Advance(TWebSessions::kTimeoutMs - 1000);
  EXPECT_NE(browser.Get("/server_manager.html").body.find(managerForm), std::string::npos);
  h.Clock().Advance(TWebSessions::kTimeoutMs);
  const TPage after = browser.Get("/server_manager.html");
  EXPECT_EQ(after.body.find(managerForm), std::string::npos);
  EXPECT_NE(after.body.find("action=\"login.vhcmd\""), std::string::npos);
  EXPECT_EQ(h.Web().Sessions().Count(), 0u);  // the old one is gone; none is made before a login
}

// ThreadSanitizer slows the 500 connection threads' polling enough to matter here.
#if defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 2;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kSanitizerSlowdown = 2;
#else
constexpr int kSanitizerSlowdown = 1;
#endif
#else
constexpr int kSanitizerSlowdown = 1;
#endif

TEST_F(WebInterfaceTest, FiveHundredIdleConnectionsDoNotKeepAnAdministratorOut) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(h.WebPort());
  // From many addresses (all of 127/8 is loopback), each within the per-address cap.
  constexpr size_t kPerAddress = TWebInterface::kMaxConnectionsPerAddress - 2;
  std::vector<int> idle;
  for (size_t i = 0; i < TWebInterface::kMaxConnections; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK + 10 + static_cast<uint32_t>(i / kPerAddress));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0) << i;
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << i;
  }
  const auto start = std::chrono::steady_clock::now();
  TBrowser admin(h.WebPort());
  EXPECT_TRUE(admin.SuperLogin());
  // Well below the time idle connections hold their threads for (with one thread per idle
  // connection queued behind them it took ten seconds and more).
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  EXPECT_LT(ms, 1000 * TWebInterface::kKeepAliveSeconds * kSanitizerSlowdown);
  for (int fd : idle) ::close(fd);
}

// One HTTP/1.1 answer read off a raw connection: status, headers and a body of Content-Length.
struct TRawAnswer {
  int status = 0;
  std::string headers;
  std::string body;
};

std::optional<TRawAnswer> ReadAnswer(int fd, std::string& buffer) {
  auto fill = [&]() {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    char chunk[16384];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(n));
    return true;
  };
  size_t end;
  while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
    if (!fill()) return std::nullopt;
  TRawAnswer a;
  a.headers = buffer.substr(0, end + 2);
  buffer.erase(0, end + 4);
  if (a.headers.rfind("HTTP/1.1 ", 0) != 0) return std::nullopt;
  a.status = std::stoi(a.headers.substr(9, 3));
  const std::string lower = LowerCase(a.headers);
  const size_t at = lower.find("\r\ncontent-length: ");
  if (at == std::string::npos) return std::nullopt;
  const size_t length = std::stoul(lower.substr(at + 18));
  while (buffer.size() < length)
    if (!fill()) return std::nullopt;
  a.body = buffer.substr(0, length);
  buffer.erase(0, length);
  return a;
}

TEST_F(WebInterfaceTest, TenKeepAliveRequestsOnOneConnectionAreAllAnsweredInFull) {
  // Files, not pages: a page may differ from one request to the next.
  const std::vector<std::string> paths = {"/gfx/server-run.png", "/style.css",
                                          "/gfx/server-stop.png"};
  std::vector<std::string> expected;
  for (const std::string& path : paths) {
    const TPage page = TBrowser(h.WebPort()).Get(path);
    ASSERT_EQ(page.status, 200) << path;
    expected.push_back(page.body);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(h.WebPort());
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  std::string buffer;
  for (size_t i = 0; i < 10; ++i) {
    const size_t which = i % paths.size();
    const std::string request =
        "GET " + paths[which] + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()))
        << i;
    const std::optional<TRawAnswer> answer = ReadAnswer(fd, buffer);
    ASSERT_TRUE(answer) << "request " << i << " got no complete answer";
    EXPECT_EQ(answer->status, 200) << i;
    EXPECT_EQ(LowerCase(answer->headers).find("connection: close"), std::string::npos) << i;
    EXPECT_EQ(answer->body, expected[which]) << i << " " << paths[which];
  }
  EXPECT_TRUE(buffer.empty());
  ::close(fd);
}

}  // namespace
}  // namespace vh::test
