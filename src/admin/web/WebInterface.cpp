#include "admin/web/WebInterface.h"

#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "admin/AccountAdmin.h"
#include "admin/DateFormat.h"
#include "admin/HttpBind.h"
#include "admin/web/ConnectionPool.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebCall.h"
#include "common/Countries.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/NetAddress.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"
#include "storage/CustomStorage.h"
#include "transport/Clocks.h"
#include "vserver/VServerEnvironment.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "WEBINTERFACE";
constexpr const char* kCookieName = "VHSESSION";
// The content type of every page made from a template, written as the pages have always been
// served.
constexpr const char* kPageType = "text/HTML";
// The missing-page answer: the status text as its heading, in the site's look.
constexpr const char* kNotFound =
    "<!DOCTYPE html><html><head><title>Error</title><meta name=\"viewport\" "
    "content=\"width=device-width, initial-scale=1\"><link rel=\"stylesheet\" "
    "href=\"/style.css\"><link rel=\"icon\" href=\"/favicon.svg\" "
    "type=\"image/svg+xml\"></head><body><main><div class=\"card narrow error\"><h1>Not "
    "Found</h1><p>There is no such page here.</p><a class=\"button\" href=\"/index.html\">To "
    "the start page</a></div></main></body></html>";
constexpr const char* kAccessDenied =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\rYou do not have "
    "sufficient priviligies to access this document.</body></html>";

std::string Extension(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return LowerCase(path.substr(dot));
}

const char* MimeType(const std::string& ext) {
  static const std::pair<const char*, const char*> kTable[] = {
      {".gif", "image/gif"},  {".jpg", "image/jpeg"},     {".jpeg", "image/jpeg"},
      {".png", "image/png"},  {".ico", "image/x-icon"},   {".svg", "image/svg+xml"},
      {".css", "text/css"},   {".txt", "text/plain"},     {".htm", "text/html"},
      {".html", "text/html"}, {".js", "text/javascript"}, {".json", "application/json"},
  };
  for (const auto& [e, type] : kTable)
    if (ext == e) return type;
  return "application/octet-stream";
}

std::string CookieSession(const httplib::Request& req) {
  const std::string cookies = req.get_header_value("Cookie");
  const std::string key = std::string(kCookieName) + "=";
  size_t at = 0;
  while ((at = cookies.find(key, at)) != std::string::npos) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      const size_t start = at + key.size();
      const size_t end = cookies.find(';', start);
      return cookies.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    at += key.size();
  }
  return {};
}

}  // namespace

// ---- TWebCall -----------------------------------------------------------------------------

std::string TWebCall::Field(const std::string& name) const {
  for (const auto& [key, value] : req.params)
    if (key.size() == name.size() && LowerCase(key) == LowerCase(name))
      return value;  // RefuseOversized capped its length
  return {};
}

bool TWebCall::HasField(const std::string& name) const {
  for (const auto& [key, value] : req.params)
    if (LowerCase(key) == LowerCase(name)) return true;
  return false;
}

std::string TWebCall::Header(const std::string& name) const {
  return req.get_header_value(name);
}
std::string TWebCall::RemoteIP() const {
  // The library gives an IPv4 client of a dual-stack socket in mapped form (::ffff:a.b.c.d).
  return CanonicalAddress(req.remote_addr);
}

void TWebCall::Redirect(const std::string& url) {
  res.status = 302;
  res.set_header("Location", url);
  res.set_header("Connection", "close");
}

void TWebCall::DisplayError(const std::string& title, const std::string& text,
                            const std::string& url) {
  Redirect("error_box.html?error_title=" + UrlEncode(title) + "&error_text=" + UrlEncode(text) +
           "&error_url=" + UrlEncode(url));
}

void TWebCall::DisplayOk(const std::string& title, const std::string& text,
                         const std::string& url) {
  Redirect("ok_box.html?ok_title=" + UrlEncode(title) + "&ok_text=" + UrlEncode(text) +
           "&ok_url=" + UrlEncode(url));
}

void TWebCall::DisplayChoice(const std::string& title, const std::string& text,
                             const std::string& urlYes, const std::string& urlNo,
                             const std::string& yes, const std::string& no) {
  Redirect("choice_box.html?choice_title=" + UrlEncode(title) + "&choice_text=" + UrlEncode(text) +
           "&choice_url_yes=" + UrlEncode(urlYes) + "&choice_url_no=" + UrlEncode(urlNo) +
           "&choice_yes=" + UrlEncode(yes) + "&choice_no=" + UrlEncode(no));
}

void TWebCall::AccessDenied() {
  res.status = 403;
  res.set_header("Connection", "close");
  res.set_content(kAccessDenied, "text/html");
}

void TWebCall::MethodNotAllowed() {
  res.status = 405;
  res.set_header("Allow", "POST");
  res.set_header("Connection", "close");
}

std::string TWebCall::RefererBack() const {
  const std::string referer = Header("Referer");
  const std::string host = Header("Host");
  for (const char* scheme : {"http://", "https://"}) {
    const std::string prefix = scheme + host + "/";
    if (!host.empty() && referer.rfind(prefix, 0) == 0) return referer.substr(prefix.size());
  }
  return "index.html";
}

// ---- TWebInterface ------------------------------------------------------------------------

TWebInterface::TWebInterface(TAdminContext context, const TClock& clock, THttpGuards guards)
    : context_(std::move(context)),
      clock_(clock),
      guards_(guards),
      sessions_(clock),
      failures_(clock, std::string(kWebInterface)),
      tokens_(context_.apiTokenFile) {}

TWebInterface::~TWebInterface() {
  Stop();
}

bool TWebInterface::Start(uint16_t port, const std::string& documentRoot,
                          const std::string& address, const THttpTls* tls) {
  try {
    https_ = tls != nullptr;
    std::error_code ec;
    documentRoot_ = std::filesystem::canonical(documentRoot, ec).string();
    if (ec) throw std::runtime_error("template directory " + documentRoot + ": " + ec.message());
    stopping_.store(false);
    // An open connection holds a thread even while it sends nothing, so there is one thread
    // per connection up to kMaxConnections and a few spare for an administrator who comes
    // while that many sit idle; an idle keep-alive connection gives its thread back after
    // kKeepAliveSeconds, a request that dribbles in after the request deadline.
    auto makeServer = [this, tls] {
      auto server = std::make_unique<TGuardedHttpServer>(
          guards_,
          [] {
            return new TConnectionPool(kMaxConnections + kSpareThreads, std::chrono::seconds(30));
          },
          tls);
      if (!server->Valid())
        throw std::runtime_error("cannot load the certificate " + tls->certificateFile +
                                 " or the private key " + tls->privateKeyFile);
      httplib::Server& http = server->Http();
      http.set_keep_alive_max_count(100);
      http.set_keep_alive_timeout(kKeepAliveSeconds);
      http.set_read_timeout(5, 0);
      http.set_write_timeout(5, 0);
      http.set_payload_max_length(kMaxBodyLength);
      http.set_socket_options([](int sock) {
        // SO_REUSEADDR, not the library's SO_REUSEPORT: a second server started on the same
        // port must fail to bind instead of sharing the connections.
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      });
      auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        HandleRequest(req, res);
      };
      http.Get(".*", handler);
      http.Post(".*", handler);
      return server;
    };
    boundPort_ = ListenWithLoopbackTwin(makeServer, address, port, "Web interface", kCategory,
                                        server_, loopbackV6_);
    return true;
  } catch (const std::exception& e) {
    boundPort_ = 0;
    startFailure_ = e.what();
    LogFormat(LMT_ERROR, LMD_ALL, {static_cast<int64_t>(port)},
              std::string("WebInterface startup failed with port %1, Exception:") + e.what(),
              kCategory);
    return false;
  }
}

void TWebInterface::Stop() {
  stopping_.store(true);
  if (loopbackV6_) loopbackV6_->Stop();
  loopbackV6_.reset();
  if (server_) server_->Stop();
  server_.reset();
}

std::string TWebInterface::LoadFile(const std::string& name) const {
  try {
    bool outside = false;
    const std::string file = ResolvePath("/" + name, &outside);
    if (file.empty()) return {};
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  } catch (const std::exception& e) {
    LogException("LoadFile", e, kCategory);
    return {};
  }
}

std::string TWebInterface::ResolvePath(const std::string& path, bool* outside) const {
  namespace fs = std::filesystem;
  *outside = false;
  std::string relative = path;
  for (char& c : relative)
    if (c == '\\') c = '/';
  if (relative.find('\0') != std::string::npos) return {};
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  std::error_code ec;
  fs::path candidate = fs::weakly_canonical(fs::path(documentRoot_) / relative, ec);
  if (ec) return {};
  if (fs::is_directory(candidate, ec)) candidate /= "index.html";
  const std::string full = candidate.string();
  const std::string root = documentRoot_ + "/";
  if (full.compare(0, root.size(), root) != 0) {
    *outside = fs::exists(candidate, ec);
    return {};
  }
  if (!fs::is_regular_file(candidate, ec)) return {};
  return full;
}

// The library caps the request line and each header line; the number of headers, the path
// and every form field are capped here, before any session is looked at. A field name given
// twice is refused too: the handlers read one value per name, and a value smuggled in by a
// second copy (from a name put into a link, say) must not decide which one that is.
bool TWebInterface::RefuseMalformed(const httplib::Request& req, httplib::Response& res) {
  auto refuse = [&](int status, const char* what) {
    Log(LMT_WARNING, LMD_INFO,
        std::string("request refused from ") + CanonicalAddress(req.remote_addr) + ": " + what +
            ": " + PrintableSample(req.path),
        kCategory);
    res.status = status;
    res.set_header("Connection", "close");
    return true;
  };
  if (req.path.size() > kMaxPathLength) return refuse(414, "path too long");
  size_t headerBytes = 0;
  for (const auto& [name, value] : req.headers) headerBytes += name.size() + value.size() + 4;
  if (req.headers.size() > kMaxHeaders || headerBytes > kMaxHeaderBytes)
    return refuse(431, "headers too long");
  std::set<std::string> names;
  for (const auto& [name, value] : req.params) {
    if (name.size() > kMaxFieldLength || value.size() > kMaxFieldLength)
      return refuse(400, "form field too long");
    if (!names.insert(LowerCase(name)).second) return refuse(400, "form field given twice");
  }
  return false;
}

void TWebInterface::HandleRequest(const httplib::Request& req, httplib::Response& res) {
  // Once a browser has seen the interface over HTTPS it never tries plain HTTP for a year.
  if (https_) res.set_header("Strict-Transport-Security", "max-age=31536000");
  try {
    if (RefuseMalformed(req, res)) return;
    std::shared_ptr<TWebSession> session = sessions_.Find(CookieSession(req));
    if (!session) session = TWebSessions::Transient();
    session->Set("NumViews", std::to_string(std::atoi(session->Get("NumViews").c_str()) + 1));
    TWebCall call{*this, req, res, session};
    Route(call);
  } catch (const std::exception& e) {
    LogException("HandleRequest", e, kCategory);
    res.status = 500;
  }
}

void TWebInterface::StartSession(TWebCall& call, std::shared_ptr<TWebSession> fresh) {
  sessions_.End(call.session->Id());
  sessions_.Add(fresh);
  call.res.set_header("Set-Cookie", std::string(kCookieName) + "=" + fresh->Id() +
                                        "; Path=/; HttpOnly; SameSite=Strict" + CookieSecurity());
  call.session = std::move(fresh);
}

void TWebInterface::EndSession(TWebCall& call) {
  sessions_.End(call.session->Id());
  call.res.set_header("Set-Cookie", std::string(kCookieName) +
                                        "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                        CookieSecurity());
}

void TWebInterface::Route(TWebCall& call) {
  const std::string& path = call.req.path;
  const std::string lower = LowerCase(path);
  const std::string ext = Extension(lower);
  const bool image = ext == ".gif" || ext == ".jpg" || ext == ".png" || ext == ".css" ||
                     ext == ".ico" || ext == ".svg";
  if (!image) {
    if (!call.LoggedIn()) {
      if (lower.rfind("/api/", 0) == 0) return ProgressApi(call);
      if (lower.find(".vhcmd") != std::string::npos) return ProgressCommand(call);
      if (path == "/login_error.html") return ProgressFile(call, "login_error.html");
      if (path == "/slogin.html") return ProgressFile(call, "slogin.html");
      return ProgressFile(call, "login.html");
    }
    const double now = clock_.NowMs();
    if (now - call.session->LastCheckMs() >= kRecheckMs) {
      const TWebLogin check =
          CheckLogin(call, call.session->Get("username"), call.session->Get("password"),
                     call.session->Get("serverport"));
      // A database that cannot be asked keeps the session; the next request checks again.
      if (check != TWebLogin::Valid && check != TWebLogin::StorageFailed)
        return call.AccessDenied();
      if (check == TWebLogin::Valid) call.session->SetLastCheckMs(now);
    }
  }
  if (lower.rfind("/api/", 0) == 0) return ProgressApi(call);
  if (lower.rfind("/session", 0) == 0) return ServeVirtualFolder(call);
  if (lower.find(".vhcmd") != std::string::npos) return ProgressCommand(call);
  bool outside = false;
  const std::string file = ResolvePath(path, &outside);
  if (outside) return call.AccessDenied();
  if (!file.empty() && LowerCase(file).find(".htm") != std::string::npos)
    return ProgressFile(call, file.substr(documentRoot_.size() + 1));
  if (!file.empty()) return ServeStatic(call, file);
  Log(LMT_ERROR, LMD_ALL, "FileNotFound: \"" + documentRoot_ + path + "\"", kCategory);
  call.res.status = 404;
  call.res.set_content(kNotFound, "text/html");
}

void TWebInterface::ServeStatic(TWebCall& call, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream body;
  body << in.rdbuf();
  call.res.set_content(body.str(), MimeType(Extension(file)));
}

void TWebInterface::ProgressFile(TWebCall& call, const std::string& name) {
  std::string page = LoadFile(name);
  if (page.empty()) {
    Log(LMT_WARNING, LMD_INFO, "File not found: " + name, kCategory);
    call.res.status = 404;
    call.res.set_content(kNotFound, "text/html");
    return;
  }
  try {
    if (!ExpandIncludes(page, [this](const std::string& n) { return LoadFile(n); }))
      Log(LMT_ERROR, LMD_ALL,
          "ParseCommands Exception: includes nested deeper than " +
              std::to_string(kMaxIncludeDepth) + " in " + name,
          kCategory);
    SetVariables(call, page);
    InsertFormToken(page, call.session->Token());
  } catch (const std::exception& e) {
    LogException("Progress_FILE", e, kCategory);
  }
  if (call.res.status == 302) return;  // a missing row template became an error box
  call.res.set_content(page, kPageType);
}

void TWebInterface::ServeVirtualFolder(TWebCall& call) {
  // Read-only, and for super server admins only: the page never sets a session value.
  if (!call.SuperAdmin()) return call.AccessDenied();
  std::string body = "<html><head><title>Virtual folder</title></head><body>";
  if (call.Field("action") == "close") {
    sessions_.End(call.session->Id());
    body += "<h1>Session cleared</h1><p><a href=\"/sessions\">Back</a></p>";
  } else {
    body += "<h1>Session informations</h1><table><tr><td>SessionID</td><td>" +
            HtmlEscape(call.session->Id()) +
            "</td></tr><tr><td>Number of page requested during this session</td><td>" +
            HtmlEscape(call.session->Get("NumViews")) +
            "</td></tr><tr><td>Session data (raw)</td><td><pre>";
    for (const auto& [name, value] : call.session->Values())
      if (name != "password") body += HtmlEscape(name + "=" + value) + "\n";
    body += "</pre></td></tr></table><p><a href=\"?action=close\">Close current session</a></p>";
  }
  body += "</body></html>";
  call.res.set_content(body, kPageType);
}

bool TWebInterface::HasWebPermission(TWebCall& call, int permission,
                                     const TServerPermissions& sets) {
  if (call.SuperAdmin()) return true;
  uint16_t privileges = PP_REGISTERED;
  if (call.session->Get("admin") == "1") privileges |= PP_SERVER_ADMIN;
  return HasPermission(privileges, 0, permission, sets);
}

std::optional<TWorkingSettings> TWebInterface::GetCachedSettings(TWebCall& call,
                                                                 const std::string& serverId) {
  int64_t id = 0;
  if (!TryParseInt(Trim(serverId), id) || id <= 0 || id > INT32_MAX) return std::nullopt;
  const double now = clock_.NowMs();
  if (auto cached = call.session->CachedSettings(static_cast<int32_t>(id), now, kSettingsCacheMs))
    return cached;
  TWorkingSettings w;
  w.ServerId = static_cast<int32_t>(id);
  if (auto running = context_.servers->FindVirtualServer(w.ServerId)) {
    w.Server = running->Settings();
    w.ClanServer = running->IsClanServer();
    w.Permissions = running->Permissions();
  } else if (auto stored = ReadStoredServerSettings(*context_.storage, w.ServerId)) {
    w = std::move(*stored);
  } else {
    return std::nullopt;
  }
  call.session->CacheSettings(w, now);
  return w;
}

void TWebInterface::WaitToAnswer(double ms) const {
  WaitLoginDelay(ms, stopping_);
}

TWebLogin TWebInterface::CheckLogin(TWebCall& call, const std::string& userText,
                                    const std::string& passwordText, const std::string& portText) {
  const std::string user = Cut(userText, kNameLength);
  const std::string password = Cut(passwordText, kNameLength);
  const std::string port = Cut(portText, kNameLength);
  TWebSession& s = *call.session;
  // A database that cannot be asked leaves the session's login values as they were.
  const std::string adminBefore = s.Get("admin"), serverIdBefore = s.Get("serverid");
  auto storageFailed = [&] {
    s.Set("admin", adminBefore);
    s.Set("serverid", serverIdBefore);
    return TWebLogin::StorageFailed;
  };
  s.Set("admin", "");
  const bool logSA = context_.Settings().LogServerAdmin;
  if (call.Field("superadmin") == "1" || s.Get("superadmin") == "1") {
    TClients accounts(kSuperUserServerId, context_.storage);
    bool failed = false;
    TClientRecordPtr found = accounts.DBValidLogin(user, password, &failed);
    if (failed) return storageFailed();
    if (!found) {
      s.Set("superadmin", "");
      s.Set("serverid", "");
      return TWebLogin::Invalid;
    }
    // The last-online time is best effort: a failed write is logged and the login stands.
    static_cast<void>(accounts.DBUpdateLastOnline(found->DBID));
    s.Set("superadmin", "1");
    s.Set("clientdbid", std::to_string(found->DBID));
    if (logSA)
      LogFormat(LMT_ALL, LMD_INFO, {call.RemoteIP(), user},
                "web : superserveradmin connected [IP: %1, LoginName: %2]", "SALog");
    return TWebLogin::Valid;
  }
  s.Set("serverid", "");
  int64_t portNumber = 0;
  if (!TryParseInt(Trim(port), portNumber) || portNumber <= 0 || portNumber > 0xFFFF)
    return TWebLogin::Invalid;
  int64_t serverId = 0;
  try {
    TStorageScript q(*context_.storage, "read_server_port.sql");
    q.SetInteger(":iPort", portNumber);
    auto rows = q.Open();
    if (!rows && q.OpenFailed()) return storageFailed();
    if (!rows || rows->Count() == 0) return TWebLogin::Invalid;
    serverId = rows->Row(0).FieldByName("i_server_id").GetAsInteger();
  } catch (const std::exception& e) {
    LogException("WebInterface CheckLogin", e, kCategory);
    return storageFailed();
  }
  call.session->ForgetSettings();
  const std::optional<TWorkingSettings> settings =
      GetCachedSettings(call, std::to_string(serverId));
  if (!settings) return TWebLogin::Invalid;
  TClients accounts(static_cast<uint32_t>(serverId), context_.storage);
  bool failed = false;
  TClientRecordPtr found = accounts.DBValidLogin(user, password, &failed);
  if (failed) return storageFailed();
  if (!found) return TWebLogin::Invalid;
  s.Set("admin", found->IsServerAdmin() ? "1" : "");
  s.Set("serverid", std::to_string(serverId));
  s.Set("clientdbid", std::to_string(found->DBID));
  if (!HasWebPermission(call, upAccessWebAdminServer, settings->Permissions)) {
    s.Set("admin", "0");
    s.Set("serverid", "");
    return TWebLogin::NoPermission;
  }
  static_cast<void>(accounts.DBUpdateLastOnline(found->DBID));  // best effort, as above
  if (logSA)
    LogFormat(LMT_ALL, LMD_INFO, {call.RemoteIP(), user, port},
              "web : serveradmin connected [IP: %1, LoginName: %2, ServerPort: %3]", "SALog");
  return TWebLogin::Valid;
}

}  // namespace vh
