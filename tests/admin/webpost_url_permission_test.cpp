// The web-list post URL of a virtual server is where the host itself sends requests: a
// server admin changes it on the web only with the web-list permission.
#include <gtest/gtest.h>

#include "WebHarness.h"
#include "admin/AccountAdmin.h"
#include "model/Permissions.h"

namespace vh::test {
namespace {

TEST(WebPostUrlPermission, ChangingThePostUrlNeedsTheWebListPermission) {
  TWebHarness h;
  ASSERT_EQ(
      AddAccount(h.Storage(), static_cast<uint32_t>(h.Server().ServerID()), "boss", "bosspw", true),
      0);
  TServerPermissions sets = h.Server().Permissions();
  for (TPermissionSet& set : sets.Sets) set.Exclude(upAdminEditServerWebpostUrl);
  h.Server().SetPermissions(sets);

  const TVirtualServerSettings before = h.Server().Settings();
  auto form = [&](const std::string& postUrl) {
    return httplib::Params{{"SERVERNAME", before.Name},
                           {"SERVERWELCOMEMESSAGE", before.WelcomeMessage},
                           {"SERVERPASSWORD", before.Password},
                           {"SERVERTYPE", h.Server().IsClanServer() ? "1" : "2"},
                           {"SERVERWEBPOSTLINKURL", before.WebLinkURL},
                           {"SERVERWEBPOSTPOSTURL", postUrl}};
  };
  {
    TBrowser browser(h.WebPort());
    ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
    const TPage refused =
        browser.Post("/settings_server.vhcmd", form("http://127.0.0.1:1/anything"));
    EXPECT_NE(refused.location.find("invalid permissions"), std::string::npos) << refused.location;
    EXPECT_EQ(h.Server().Settings().WebPostURL, before.WebPostURL);
  }
  sets[ugSA].Include(upAdminEditServerWebpostUrl);
  h.Server().SetPermissions(sets);
  TBrowser browser(h.WebPort());
  ASSERT_TRUE(browser.Login(h.ServerPort(), "boss", "bosspw"));
  const TPage saved = browser.Post("/settings_server.vhcmd", form("http://list.example/post"));
  EXPECT_NE(saved.location.find("server config has been changed"), std::string::npos)
      << saved.location;
  EXPECT_EQ(h.Server().Settings().WebPostURL, "http://list.example/post");
}

}  // namespace
}  // namespace vh::test
