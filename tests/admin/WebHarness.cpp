#include "WebHarness.h"

#include <stdexcept>

namespace vh::test {

TWebHarness::TWebHarness(THttpGuards guards, const THttpTls* tls) {
  TAdminContext context = Context();
  context.settings = [this] { return Basic(); };
  context.basicSet = [this](const TAdminSettings& b) { SetBasic(b); };
  web_ = std::make_unique<TWebInterface>(context, Clock(), guards);
  if (!web_->Start(0, std::string(VH_SOURCE_DIR) + "/httpdocs", "127.0.0.1", tls))
    throw std::runtime_error("the web interface did not start");
}

TWebHarness::~TWebHarness() {
  web_->Stop();
}

TAdminSettings TWebHarness::Basic() const {
  std::lock_guard lock(basicMutex_);
  return basic_;
}

void TWebHarness::SetBasic(const TAdminSettings& basic) {
  std::lock_guard lock(basicMutex_);
  basic_ = basic;
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
  const std::string mark = "name=\"vhtoken\" value=\"";
  if (const size_t at = page.body.find(mark); at != std::string::npos) {
    const size_t start = at + mark.size();
    token_ = page.body.substr(start, page.body.find('"', start) - start);
  }
  return page;
}

TPage TBrowser::Get(const std::string& path, const httplib::Headers& extra) {
  httplib::Headers h = extra;
  if (!cookie_.empty()) h.emplace("Cookie", cookie_);
  return Keep(client_.Get(path, h));
}

TPage TBrowser::Post(const std::string& path, const httplib::Params& form,
                     const httplib::Headers& extra) {
  httplib::Params withToken = form;
  if (path.find(".vhcmd") != std::string::npos && path.find("login.vhcmd") == std::string::npos &&
      !form.count("vhtoken"))
    withToken.emplace("vhtoken", token_);
  return PostWithoutToken(path, withToken, extra);
}

TPage TBrowser::PostWithoutToken(const std::string& path, const httplib::Params& form,
                                 const httplib::Headers& extra) {
  httplib::Headers h = extra;
  if (!cookie_.empty()) h.emplace("Cookie", cookie_);
  return Keep(client_.Post(path, h, form));
}

bool TBrowser::SuperLogin(const std::string& user, const std::string& password) {
  Get("/slogin.html");
  if (Post("/login.vhcmd", {{"superadmin", "1"}, {"username", user}, {"password", password}})
          .location != "index.html")
    return false;
  return Get("/index.html").status == 200;  // the page's forms carry the token
}

bool TBrowser::Login(uint16_t serverPort, const std::string& user, const std::string& password) {
  Get("/login.html");
  if (Post("/login.vhcmd",
           {{"serverport", std::to_string(serverPort)}, {"username", user}, {"password", password}})
          .location != "index.html")
    return false;
  return Get("/index.html").status == 200;
}

}  // namespace vh::test
