// The web interface over HTTP: pages before and after a login, static files and the template
// directory's boundary, re-validation on the manual clock, escaping, the permission rules of
// the server and account commands, cross-site refusal and login throttling.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "WebHarness.h"
#include "admin/AccountAdmin.h"
#include "admin/ServerAdmin.h"
#include "admin/StoredServerSettings.h"
#include "model/Clients.h"
#include "vserver/VirtualServerList.h"

namespace vh::test {
namespace {

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
  EXPECT_NE(browser.Get("/delete_server.vhcmd").location.find("error_box.html"), std::string::npos);
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
  browser.Get("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()));
  const TPage accounts = browser.Get("/database_client_manager.html");
  EXPECT_EQ(accounts.body.find(evil), std::string::npos);
  EXPECT_NE(accounts.body.find("&lt;script&gt;x()&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(accounts.body.find("a&lt;b&#34;c"), std::string::npos);
  const TPage box =
      browser.Get("/error_box.html?error_title=%3Cb%3E&error_url=javascript:alert(1)");
  EXPECT_NE(box.body.find("&lt;b&gt;"), std::string::npos);
  EXPECT_EQ(box.body.find("javascript:"), std::string::npos);
  const TPage ask = browser.Get("/ask_delete_client.vhcmd?clientid=1&client=%3Cb%3E%26x%3D1");
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
  EXPECT_NE(browser.Get("/stop_server.vhcmd?serverid=" + std::to_string(otherId))
                .location.find("invalid permissions"),
            std::string::npos);
  EXPECT_TRUE(other->Running());
  EXPECT_NE(browser.Get("/ask_delete_server.vhcmd?serverid=" + std::to_string(otherId))
                .location.find("invalid permissions"),
            std::string::npos);
  // The super server admin stops it; the delete without a confirmation deletes nothing.
  TBrowser root(h.WebPort());
  ASSERT_TRUE(root.SuperLogin());
  EXPECT_NE(root.Get("/stop_server.vhcmd?serverid=" + std::to_string(otherId))
                .location.find("server has been stopped"),
            std::string::npos);
  EXPECT_FALSE(h.Servers().FindVirtualServer(otherId));
  EXPECT_NE(root.Get("/delete_server.vhcmd?serverid=" + std::to_string(otherId))
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
  root.Get("/ask_delete_server.vhcmd?serverid=" + std::to_string(stored->back().Id));
  root.Get("/delete_server.vhcmd");
  // The two-step delete removes it.
  root.Get("/ask_delete_server.vhcmd?serverid=" + std::to_string(otherId));
  root.Get("/delete_server.vhcmd");
  EXPECT_EQ(ListStoredServers(h.Context())->size(), 1u);
  (void)otherPort;
}

TEST_F(WebInterfaceTest, CommandsFromAnotherSiteAreRefused) {
  ASSERT_TRUE(browser.SuperLogin());
  const httplib::Params form = {
      {"CLIENTLOGINNAME", "mallory"}, {"CLIENTPW1", "pw"}, {"CLIENTPW2", "pw"}};
  EXPECT_EQ(browser.Post("/add_sclient.vhcmd", form, {{"Origin", "http://evil.example"}}).status,
            403);
  EXPECT_EQ(browser.Post("/add_sclient.vhcmd", form, {{"Referer", "http://evil.example/page.html"}})
                .status,
            403);
  EXPECT_FALSE(AccountNamed(kSuperUserServerId, "mallory"));
  const std::string self = "http://127.0.0.1:" + std::to_string(h.WebPort());
  EXPECT_NE(browser.Post("/add_sclient.vhcmd", form, {{"Origin", self}}).location.find("ok_box"),
            std::string::npos);
  EXPECT_TRUE(AccountNamed(kSuperUserServerId, "mallory"));
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
  browser.Get("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()));
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
  EXPECT_NE(browser.Get("/edit_client.vhcmd?CLIENTID=abc&CLIENTPW1=x&CLIENTPW2=x")
                .location.find("error_box"),
            std::string::npos);
  EXPECT_TRUE(AccountNamed(static_cast<uint32_t>(h.Server().ServerID()), "anna"));
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

TEST_F(WebInterfaceTest, PermissionPageHidesReservedRowsAndSavesTheShownGroup) {
  ASSERT_TRUE(browser.SuperLogin());
  browser.Get("/select_server.vhcmd?serverid=" + std::to_string(h.Server().ServerID()));
  const TPage page = browser.Get("/server_permissions_sa.html");
  EXPECT_NE(page.body.find("name=\"ugSA_upAdminBanIp\""), std::string::npos);
  EXPECT_EQ(page.body.find("Reserved"), std::string::npos);
  EXPECT_EQ(page.body.find("ugSA_upAdminAddServer"), std::string::npos);  // not for this group
  ASSERT_TRUE(h.Server().Permissions()[ugSA].Has(upAdminBanIp));
  const TPage saved =
      browser.Post("/permissions_server.vhcmd", {{"ugSA_upAccessWebAdminServer", "1"}});
  EXPECT_NE(saved.location.find("ok_box"), std::string::npos) << saved.location;
  const TServerPermissions now = h.Server().Permissions();
  EXPECT_TRUE(now[ugSA].Has(upAccessWebAdminServer));
  EXPECT_FALSE(now[ugSA].Has(upAdminBanIp));
  EXPECT_EQ(ReadServerPrivileges(&h.Storage(), static_cast<uint32_t>(h.Server().ServerID()),
                                 UserGroupName(ugSA)),
            now[ugSA]);
  // The group is taken from the page last shown: a second post without one changes nothing.
  EXPECT_NE(browser.Post("/permissions_server.vhcmd", {}).location.find("invalid permissions"),
            std::string::npos);
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
  EXPECT_EQ(h.Web().Sessions().Count(), 1u);  // the old one is gone, a new one began
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
  std::vector<int> idle;
  for (size_t i = 0; i < TWebInterface::kMaxConnections; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
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

}  // namespace
}  // namespace vh::test
