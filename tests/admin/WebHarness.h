// The web interface over real sockets on 127.0.0.1, on top of the query harness (its
// database, running virtual server, super server admin "root"/"rootpw" and manual clock), with
// the project's template directory. TBrowser keeps one session cookie and the token its pages
// carry, as a browser would.
#pragma once

#include <httplib.h>

#include <memory>
#include <mutex>
#include <string>

#include "QueryHarness.h"
#include "admin/web/WebInterface.h"

namespace vh::test {

class TWebHarness : public TQueryHarness {
 public:
  // With `tls` the interface serves HTTPS only.
  explicit TWebHarness(THttpGuards guards = TWebInterface::DefaultGuards(),
                       const THttpTls* tls = nullptr);
  ~TWebHarness();
  TWebInterface& Web() { return *web_; }
  uint16_t WebPort() const { return web_->BoundPort(); }
  // The basic settings the interface reads and SETTINGS_BASIC.VHCMD writes.
  TAdminSettings Basic() const;
  void SetBasic(const TAdminSettings& basic);

 private:
  mutable std::mutex basicMutex_;
  TAdminSettings basic_;
  std::unique_ptr<TWebInterface> web_;
};

struct TPage {
  int status = 0;
  std::string body;
  std::string location;
};

class TBrowser {
 public:
  explicit TBrowser(uint16_t port);
  TPage Get(const std::string& path, const httplib::Headers& extra = {});
  // A command (".vhcmd" other than the login) carries the session's token, as the forms of
  // the pages do, unless the form has a "vhtoken" of its own.
  TPage Post(const std::string& path, const httplib::Params& form,
             const httplib::Headers& extra = {});
  TPage PostWithoutToken(const std::string& path, const httplib::Params& form,
                         const httplib::Headers& extra = {});
  const std::string& Token() const { return token_; }
  const std::string& Cookie() const { return cookie_; }
  void SetCookie(const std::string& cookie) { cookie_ = cookie; }
  // Logs in through the forms; true when the browser lands on "index.html".
  bool SuperLogin(const std::string& user = "root", const std::string& password = "rootpw");
  bool Login(uint16_t serverPort, const std::string& user, const std::string& password);

 private:
  TPage Keep(const httplib::Result& r);
  httplib::Client client_;
  std::string cookie_;
  std::string token_;  // from the last page that had a form with one
};

}  // namespace vh::test
