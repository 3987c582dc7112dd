#include "WebHarness.h"

#include <stdexcept>

namespace vh::test {

TWebHarness::TWebHarness() {
  web_ = std::make_unique<TWebInterface>(Context(), Clock());
  if (!web_->Start(0, std::string(VH_SOURCE_DIR) + "/httpdocs", "127.0.0.1"))
    throw std::runtime_error("the web interface did not start");
}

TWebHarness::~TWebHarness() {
  web_->Stop();
}

TBrowser::TBrowser(uint16_t port) : client_("127.0.0.1", port) {
  client_.set_url_encode(false);
  client_.set_connection_timeout(5, 0);
  client_.set_read_timeout(5, 0);
}

TPage TBrowser::Keep(const httplib::Result& r) {
  TPage page;
  if (!r) return page;
  page.status = r->status;
  page.body = r->body;
  page.location = r->get_header_value("Location");
  const std::string set = r->get_header_value("Set-Cookie");
  if (!set.empty()) cookie_ = set.substr(0, set.find(';'));
  return page;
}

TPage TBrowser::Get(const std::string& path, const httplib::Headers& extra) {
  httplib::Headers h = extra;
  if (!cookie_.empty()) h.emplace("Cookie", cookie_);
  return Keep(client_.Get(path, h));
}

TPage TBrowser::Post(const std::string& path, const httplib::Params& form,
                     const httplib::Headers& extra) {
  httplib::Headers h = extra;
  if (!cookie_.empty()) h.emplace("Cookie", cookie_);
  return Keep(client_.Post(path, h, form));
}

bool TBrowser::SuperLogin(const std::string& user, const std::string& password) {
  Get("/slogin.html");
  return Post("/login.vhcmd", {{"superadmin", "1"}, {"username", user}, {"password", password}})
             .location == "index.html";
}

bool TBrowser::Login(uint16_t serverPort, const std::string& user, const std::string& password) {
  Get("/login.html");
  return Post("/login.vhcmd", {{"serverport", std::to_string(serverPort)},
                               {"username", user},
                               {"password", password}})
             .location == "index.html";
}

}  // namespace vh::test
