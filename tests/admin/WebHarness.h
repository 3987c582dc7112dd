// The web interface over real sockets on 127.0.0.1, on top of the query harness (its
// database, running virtual server, super server admin "root"/"rootpw" and manual clock), with
// the project's template directory. TBrowser keeps one session cookie, as a browser would.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "QueryHarness.h"
#include "admin/web/WebInterface.h"

namespace vh::test {

class TWebHarness : public TQueryHarness {
 public:
  TWebHarness();
  ~TWebHarness();
  TWebInterface& Web() { return *web_; }
  uint16_t WebPort() const { return web_->BoundPort(); }

 private:
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
  TPage Post(const std::string& path, const httplib::Params& form,
             const httplib::Headers& extra = {});
  // Logs in through the forms; true when the browser lands on "index.html".
  bool SuperLogin(const std::string& user = "root", const std::string& password = "rootpw");
  bool Login(uint16_t serverPort, const std::string& user, const std::string& password);

 private:
  TPage Keep(const httplib::Result& r);
  httplib::Client client_;
  std::string cookie_;
};

}  // namespace vh::test
