// The command URLs (".vhcmd"): one table of names and handlers, by family: login, super
// server admin accounts, virtual servers, accounts of the selected server. Each handler runs
// on the HTTP connection thread of its request and answers with a redirect.

#include <httplib.h>

#include <cstdlib>
#include <functional>
#include <optional>

#include "admin/AccountAdmin.h"
#include "admin/ServerAdmin.h"
#include "admin/StoredServerSettings.h"
#include "admin/web/PermissionForms.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebCall.h"
#include "admin/web/WebInterface.h"
#include "common/FieldLengths.h"
#include "common/IniFile.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "common/ResultCodes.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"
#include "storage/CustomStorage.h"
#include "transport/Clocks.h"
#include "vserver/CodecTable.h"
#include "vserver/Notifier.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "WEBINTERFACE";

}  // namespace

// A command from another site's page (its Origin or Referer names another host) is refused:
// a foreign page cannot make an administrator's browser change the server.
bool FromThisSite(const TWebCall& call) {
  const std::string host = call.Header("Host");
  auto sameHost = [&](const std::string& url, bool prefixOnly) {
    for (const char* scheme : {"http://", "https://"}) {
      const std::string base = scheme + host;
      if (url == base || (prefixOnly && url.rfind(base + "/", 0) == 0)) return true;
    }
    return false;
  };
  const std::string origin = call.Header("Origin");
  if (!origin.empty() && !sameHost(origin, false)) return false;
  const std::string referer = call.Header("Referer");
  if (!referer.empty() && !sameHost(referer, true)) return false;
  return true;
}

namespace {

bool ParseId(const std::string& text, int32_t& id) {
  int64_t v = 0;
  if (!TryParseInt(Trim(text), v) || v < INT32_MIN || v > INT32_MAX) return false;
  id = static_cast<int32_t>(v);
  return true;
}

// The account acted on is the session's own (by id, not by the name a form carries). It lets a
// user change his own password and delete himself; adding accounts and changing permissions
// always need the permission itself, or a player allowed only his own password could make
// himself a server admin.
bool SelfRule(TWebCall& call) {
  const std::string own = call.session->Get("clientdbid");
  return !own.empty() && Trim(call.Field("CLIENTID")) == own;
}

// ---- login ------------------------------------------------------------------------------

// The account a login form names, as the failure table counts it: the super server admin's
// or the login name at a UDP port (the port as a number, so that spellings of it are one key).
std::string LoginAccountKey(TWebCall& call, const std::string& user) {
  if (call.Field("superadmin") == "1") return "0:" + Cut(user, kNameLength);
  int64_t port = 0;
  if (!TryParseInt(Trim(call.Field("serverport")), port) || port <= 0 || port > 0xFFFF) port = 0;
  return "port " + std::to_string(port) + ":" + Cut(user, kNameLength);
}

void CmdLogin(TWebCall& call) {
  // A password never travels in a URL.
  if (call.req.method != "POST") return call.MethodNotAllowed();
  TWebSession& s = *call.session;
  {
    TLockGuard lock(s.Lock());
    s.Set("password", "");
    s.Set("username", "");
    s.Set("serverport", "0");
    s.Set("loggedin", "0");
  }
  TLoginFailures& failures = call.web.Failures();
  const std::string ip = call.RemoteIP();
  const std::string user = call.Field("username"), password = call.Field("password"),
                    port = call.Field("serverport");
  TLoginAttempt attempt = failures.Begin(ip, LoginAccountKey(call, user));
  // The answer waits the account's delay whatever comes of the attempt, so that its timing
  // tells nothing; only this request's connection waits.
  const double answerAt = call.web.Clock().NowMs() + attempt.DelayMs();
  auto answer = [&](const std::function<void()>& respond) {
    call.web.WaitToAnswer(answerAt - call.web.Clock().NowMs());
    respond();
  };
  if (attempt.Refused()) {
    LogLoginFailure(kWebInterface, ip, kReasonRefused, user);
    failures.Finish(attempt, TLoginOutcome::Failure);
    return answer([&] { call.Redirect("login_error.html"); });
  }
  // The login works on a new session: whatever id the browser brought is not the one it
  // keeps.
  std::shared_ptr<TWebSession> fresh = TWebSessions::NewSession();
  call.session.swap(fresh);
  const TWebLogin check = call.web.CheckLogin(call, user, password, port);
  call.session.swap(fresh);
  if (check == TWebLogin::StorageFailed) {
    failures.Finish(attempt, TLoginOutcome::NotChecked);
    Log(LMT_ERROR, LMD_ALL,
        "web login not checked, the database failed (see the error before) [IP: " + ip + "]",
        kCategory);
    return answer([&] {
      call.DisplayError("error occured", "the database is not available, please try again later",
                        "login.html");
    });
  }
  if (check != TWebLogin::Valid) {
    call.web.EndSession(call);
    LogLoginFailure(kWebInterface, ip,
                    check == TWebLogin::NoPermission ? kReasonNoPermission : kReasonInvalidLogin,
                    user);
    failures.Finish(attempt, TLoginOutcome::Failure);
    return answer([&] { call.Redirect("login_error.html"); });
  }
  failures.Finish(attempt, TLoginOutcome::Success);
  call.web.StartSession(call, fresh);
  TWebSession& now = *call.session;
  LogAdminLogin(kWebInterface, ip,
                now.Get("superadmin") == "1" ? 0 : std::atoll(now.Get("serverid").c_str()), user);
  {
    TLockGuard lock(now.Lock());
    now.Set("username", Cut(user, kNameLength));
    now.Set("password", Cut(password, kNameLength));
    now.Set("serverport", Cut(port, kNameLength));
    now.Set("loggedin", "1");
  }
  now.SetLastCheckMs(call.web.Clock().NowMs());
  answer([&] { call.Redirect("index.html"); });
}

void CmdLogout(TWebCall& call) {
  TWebSession& s = *call.session;
  {
    TLockGuard lock(s.Lock());
    for (const char* name : {"password", "username", "serverport", "serverid", "loggedin", "admin",
                             "superadmin", "clientdbid"})
      s.Set(name, "");
  }
  call.web.EndSession(call);
  call.Redirect("login.html");
}

// ---- super server admin accounts ---------------------------------------------------------

void CmdSelectServer(TWebCall& call) {
  call.session->Set("serverid", Trim(call.Field("serverid")));
  call.session->ForgetSettings();
  call.Redirect("index.html");
}

void CmdAskDeleteSClient(TWebCall& call) {
  call.session->Set("CLIENT_TO_DELETE", Trim(call.Field("CLIENTID")));
  call.DisplayChoice("please choose", "you really want do delete " + call.Field("CLIENT"),
                     "DELETE_SCLIENT.VHCMD?client=" + UrlEncode(call.Field("CLIENT")), "index.html",
                     "yes", "no");
}

void CmdDeleteSClient(TWebCall& call) {
  int32_t id = 0;
  if (ParseId(call.session->Get("CLIENT_TO_DELETE"), id) && id > 0)
    DeleteAccount(*call.web.Context().storage, kSuperUserServerId, id);
  call.session->Set("CLIENT_TO_DELETE", "");
  call.OkBox("user deleted", "index.html");
}

void CmdAddSClient(TWebCall& call) {
  const std::string name = call.Field("CLIENTLOGINNAME"), pw1 = call.Field("CLIENTPW1");
  std::string error;
  if (pw1 != call.Field("CLIENTPW2")) error = "the passwords dont match";
  if (Trim(pw1).empty()) error = "empty password";
  // A name with a control character is no usable name either.
  if (Trim(name).empty() || HasControlChars(name)) error = "empty username";
  TClients accounts(kSuperUserServerId, call.web.Context().storage);
  if (!Trim(name).empty() && accounts.DBLoadUser(kSuperUserServerId, Cut(name, kNameLength)))
    error = "a user with name already exists";
  if (!error.empty()) return call.ErrorBox(error);
  if (AddSuperAccount(*call.web.Context().storage, name, pw1) != 0)
    return call.ErrorBox("a user with name already exists");
  if (call.web.Context().Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session->Get("username"), name},
              "web : superserveradmin created by [LoginName: %1] for [LoginName: %2]", "SALog");
  call.OkBox("the user " + name + " was added to server", "index.html");
}

void ChangePassword(TWebCall& call, uint32_t serverId, int32_t id, const std::string& pw) {
  TClients accounts(serverId, call.web.Context().storage);
  TClientRecordPtr a = accounts._DBLoadUser(serverId, id);
  if (!a) return;
  ChangeAccountPassword(*call.web.Context().storage, serverId, id, pw);
  if (std::to_string(id) == call.session->Get("clientdbid") &&
      call.session->Get(serverId == kSuperUserServerId ? "superadmin" : "admin") != "" &&
      a->LoginName.Str() == call.session->Get("username")) {
    TLockGuard lock(call.session->Lock());
    call.session->Set("password", Cut(pw, kNameLength));
  }
}

void CmdEditSClient(TWebCall& call) {
  const std::string pw1 = call.Field("CLIENTPW1");
  if (Trim(pw1).empty()) return call.ErrorBox("empty password");
  if (pw1 != call.Field("CLIENTPW2")) return call.ErrorBox("the passwords dont match");
  int32_t id = 0;
  if (!ParseId(call.Field("CLIENTID"), id)) return call.ErrorBox("invalid number");
  ChangePassword(call, kSuperUserServerId, id, pw1);
  call.OkBox("the user " + call.Field("CLIENT") + " was edited", "index.html");
}

void CmdSettingsBasic(TWebCall& call) {
  const TAdminContext& context = call.web.Context();
  TAdminSettings b = context.Settings();
  int64_t country = 0;
  if (!TryParseInt(Trim(call.Field("basic_country")), country) || country < 0 || country > 0xFFFF)
    return call.ErrorBox("invalid number");
  // The hoster's link is shown on every page, the login pages included: a web address only.
  const std::string link = Trim(call.Field("BASIC_ISPLINKURL"));
  if (!link.empty() && !IsHttpLink(link)) return call.ErrorBox("invalid url");
  b.AdminEmail = Cut(call.Field("BASIC_ADMINEMAIL"), kTextLength);
  b.ISPLinkURL = Cut(link, kTextLength);
  b.ISPName = Cut(call.Field("BASIC_ISPNAME"), kNameLength);
  b.ISPCountryNumber = static_cast<int>(country);
  b.PostURL = Cut(call.Field("WEBPOST_POSTURL"), kTextLength);
  b.WebPostEnabled = call.Field("WEBPOST_ENABLED") == "1";
  b.ListPublic = call.Field("BASIC_LISTPUBLIC") == "1";
  for (const std::string* text : {&b.AdminEmail, &b.ISPLinkURL, &b.ISPName, &b.PostURL})
    if (!IsIniValue(*text)) return call.ErrorBox("a setting may not contain control characters");
  int64_t v = 0;
  if (TryParseInt(Trim(call.Field("SPAM_MAXCOMMANDS")), v) && v >= 0 && v <= INT32_MAX)
    b.SpamMaxCommands = static_cast<int>(v);
  if (TryParseInt(Trim(call.Field("SPAM_INSECONDS")), v) && v >= 0 && v <= INT32_MAX)
    b.SpamInSeconds = static_cast<int>(v);
  if (context.basicSet) context.basicSet(b);
  call.Redirect("index.html");
}

// ---- virtual servers ----------------------------------------------------------------------

// A super server admin may act on every server; a server admin only on his own one, with
// the given permission.
bool MayControlServer(TWebCall& call, int32_t id, int permission) {
  if (call.SuperAdmin()) return true;
  if (permission < 0 || call.session->Get("serverid") != std::to_string(id)) return false;
  const std::optional<TWorkingSettings> w = call.web.GetCachedSettings(call, std::to_string(id));
  return w && call.web.HasWebPermission(call, permission, w->Permissions);
}

void CmdStartServer(TWebCall& call) {
  int32_t id = 0;
  if (!ParseId(call.Field("serverid"), id)) return call.ErrorBox("server has been NOT started");
  if (!MayControlServer(call, id, upAdminStartServer)) return call.ErrorBox("invalid permissions");
  if (StartStoredServer(call.web.Context(), std::to_string(id)) != TServerOpResult::Done)
    return call.ErrorBox("server has been NOT started");
  call.session->Set("serverid", std::to_string(id));
  call.session->ForgetSettings();
  call.OkBox("server has been started", call.RefererBack());
}

void CmdStopServer(TWebCall& call) {
  int32_t id = 0;
  if (!ParseId(call.Field("serverid"), id)) return call.ErrorBox("server has been NOT stopped");
  if (!MayControlServer(call, id, upAdminStopServer)) return call.ErrorBox("invalid permissions");
  if (id == 0 || !call.web.Context().servers->FindVirtualServer(id))
    return call.ErrorBox("server has been NOT stopped");
  StopServer(call.web.Context(), id);
  call.OkBox("server has been stopped", call.RefererBack());
}

// Stopping a server throws its players off: the choice box names the server and how many
// players it has before the stop runs.
void CmdAskStopServer(TWebCall& call) {
  int32_t id = 0;
  if (!ParseId(call.Field("serverid"), id)) return call.ErrorBox("server has been NOT stopped");
  if (!MayControlServer(call, id, upAdminStopServer)) return call.ErrorBox("invalid permissions");
  auto running = id > 0 ? call.web.Context().servers->FindVirtualServer(id) : nullptr;
  const std::optional<size_t> players =
      running ? RunningPlayerCount(call.web.Context(), id) : std::nullopt;
  if (!players) return call.ErrorBox("server has been NOT stopped");
  // Like the deletes, the server asked about is kept in the session: the yes-link names no
  // server, so a box made up by someone else cannot stop one.
  call.session->Set("SERVER_TO_STOP", std::to_string(id));
  call.DisplayChoice("please choose",
                     "Stop server \"" + running->Settings().Name + "\" (id " + std::to_string(id) +
                         ") with " + std::to_string(*players) +
                         (*players == 1 ? " player" : " players") + " online?",
                     "confirm_stop_server.vhcmd", call.RefererBack(), "stop", "cancel");
}

void CmdConfirmStopServer(TWebCall& call) {
  int32_t id = 0;
  const std::string pending = call.session->Get("SERVER_TO_STOP");
  call.session->Set("SERVER_TO_STOP", "");
  if (!ParseId(pending, id)) return call.ErrorBox("server has been NOT stopped");
  if (!MayControlServer(call, id, upAdminStopServer)) return call.ErrorBox("invalid permissions");
  if (id == 0 || !call.web.Context().servers->FindVirtualServer(id))
    return call.ErrorBox("server has been NOT stopped");
  StopServer(call.web.Context(), id);
  call.OkBox("server has been stopped", "server_manager.html");
}

void CmdAskDeleteServer(TWebCall& call) {
  if (!call.SuperAdmin()) return call.ErrorBox("invalid permissions");
  const std::string id = Trim(call.Field("serverid"));
  if (call.web.Context().servers->FindVirtualServerByText(id))
    return call.ErrorBox("server is running, cant delete it");
  call.session->Set("SERVER_TO_DELETE", id);
  call.DisplayChoice("please choose", "you really want do delete server " + id,
                     "DELETE_SERVER.VHCMD?serverid=" + UrlEncode(id), "index.html", "yes", "no");
}

void CmdDeleteServer(TWebCall& call) {
  if (!call.SuperAdmin()) return call.ErrorBox("invalid permissions");
  const std::string id = call.session->Get("SERVER_TO_DELETE");
  call.session->Set("SERVER_TO_DELETE", "");
  const TServerOpResult r = DeleteStoredServer(call.web.Context(), id);
  if (r == TServerOpResult::Running) return call.ErrorBox("server is running, cant delete it");
  call.OkBox("server was deleted", call.RefererBack());
}

// A new stored server from the settings form (a super server admin's rules); not started.
void CmdAddServer(TWebCall& call) {
  if (!call.SuperAdmin()) return call.ErrorBox("invalid permissions");
  const TAdminContext& context = call.web.Context();
  int64_t port = 0;
  if (!TryParseInt(Trim(call.Field("SERVERUDPPORT")), port) || port <= 0 || port > 0xFFFF)
    return call.ErrorBox("invalid number");
  TStoredServerSettings n;
  {
    TStorageScript q(*context.storage, "read_server_port.sql");
    q.SetInteger(":iPort", port);
    auto rows = q.Open();
    if (rows && rows->Count() > 0)
      return call.ErrorBox("there is already an server with the same udpport");
  }
  {
    TStorageScript q(*context.storage, "new_server.sql");
    q.SetInteger(":iServerPort", port).SetDateTime(":dtServerCreated", NowDateTime());
    if (!q.Execute()) return call.ErrorBox("server config has NOT been changed");
    n.ServerId = static_cast<int32_t>(q.LastInsertId());
  }
  // The new record's stored defaults, then the form's fields by the rules of the settings
  // form for a super server admin: a field not sent takes no default of its own.
  if (auto stored = ReadStoredServerSettings(*context.storage, n.ServerId)) n = std::move(*stored);
  n.Permissions = DefaultServerPrivileges();
  for (size_t g = 0; g < kUserGroupCount; ++g)
    if (!WriteServerPrivileges(context.storage, static_cast<uint32_t>(n.ServerId),
                               UserGroupName(static_cast<TUserGroup>(g)), n.Permissions.Sets[g]))
      return call.ErrorBox("server config has NOT been changed");
  n.Server.Port = static_cast<uint16_t>(port);
  n.Server.Name = Cut(call.Field("SERVERNAME"), kNameLength);
  n.Server.WelcomeMessage = Cut(call.Field("SERVERWELCOMEMESSAGE"), kTextLength);
  int64_t maxUsers = 0;
  if (TryParseInt(Trim(call.Field("SERVERMAXUSERS")), maxUsers) && maxUsers >= 0 &&
      maxUsers <= 0xFFFF)
    n.Server.MaxUsers = static_cast<uint16_t>(maxUsers);
  n.Server.Password = Cut(Trim(call.Field("SERVERPASSWORD")), kNameLength);
  const std::string type = call.Field("SERVERTYPE");
  if (type == "1") n.ClanServer = true;
  if (type == "2") n.ClanServer = false;
  for (int i = 0; i < kCodecCount; ++i)
    n.Server.CodecPermits[static_cast<size_t>(i)] =
        call.Field(std::string("CODEC") + kCodecTable[i].webName) == "1";
  n.Server.WebLinkURL = Cut(Trim(call.Field("SERVERWEBPOSTLINKURL")), kTextLength);
  n.Server.WebPostURL = Cut(Trim(call.Field("SERVERWEBPOSTPOSTURL")), kTextLength);
  if (!WriteStoredServerSettings(*context.storage, n))
    return call.ErrorBox("server config has NOT been changed");
  call.OkBox("server config has been changed", call.RefererBack());
}

// ---- accounts of the selected server --------------------------------------------------------

struct TSelected {
  const TWorkingSettings* settings;
  uint32_t id;
};

bool Permitted(TWebCall& call, const TSelected& sel, int permission) {
  return call.web.HasWebPermission(call, permission, sel.settings->Permissions);
}

void CmdAskDeleteClient(TWebCall& call, const TSelected& sel) {
  if (!Permitted(call, sel, upPrivilegePlayerDelete) && !SelfRule(call))
    return call.ErrorBox("invalid permissions");
  call.session->Set("CLIENT_TO_DELETE", Trim(call.Field("CLIENTID")));
  call.DisplayChoice("please choose", "you really want do delete " + call.Field("CLIENT"),
                     "DELETE_CLIENT.VHCMD?client=" + UrlEncode(call.Field("CLIENT")), "index.html",
                     "yes", "no");
}

void CmdDeleteClient(TWebCall& call, const TSelected& sel) {
  const std::string pending = call.session->Get("CLIENT_TO_DELETE");
  const bool self = !pending.empty() && pending == call.session->Get("clientdbid");
  if (!Permitted(call, sel, upPrivilegePlayerDelete) && !self)
    return call.ErrorBox("invalid permissions");
  int32_t id = 0;
  if (ParseId(pending, id) && id > 0) DeleteAccount(*call.web.Context().storage, sel.id, id);
  call.session->Set("CLIENT_TO_DELETE", "");
  call.OkBox("user deleted", "index.html");
}

void CmdAddClient(TWebCall& call, const TSelected& sel) {
  if (!Permitted(call, sel, upAdminRegisterPlayer)) return call.ErrorBox("invalid permissions");
  const std::string name = call.Field("CLIENTLOGINNAME"), pw1 = call.Field("CLIENTPW1");
  if (Trim(pw1).empty()) return call.ErrorBox("empty password");
  if (Trim(name).empty() || HasControlChars(name)) return call.ErrorBox("empty username");
  if (pw1 != call.Field("CLIENTPW2")) return call.ErrorBox("the passwords dont match");
  const bool admin = call.Field("CLIENTSERVERADMIN") == "1";
  if (AddAccount(*call.web.Context().storage, sel.id, name, pw1, admin) != 0)
    return call.ErrorBox("a user with name already exists");
  if (admin && call.web.Context().Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session->Get("username"), name},
              "web : serveradmin created by [LoginName: %1] for [LoginName: %2]", "SALog");
  call.OkBox("the user " + name + " was added to server", "index.html");
}

void CmdEditClient(TWebCall& call, const TSelected& sel) {
  const std::string pw1 = call.Field("CLIENTPW1");
  if (Trim(pw1).empty()) return call.ErrorBox("empty password");
  const bool self = SelfRule(call);
  const bool allowed = Permitted(call, sel, upAdminChangeUserPassword) ||
                       (self && Permitted(call, sel, upAdminChangeOwnPassword));
  if (!allowed) return call.ErrorBox("invalid permissions");
  int32_t id = 0;
  if (!ParseId(call.Field("CLIENTID"), id)) return call.ErrorBox("invalid number");
  TClients accounts(sel.id, call.web.Context().storage);
  TClientRecordPtr a = accounts._DBLoadUser(sel.id, id);
  if (!a) return call.OkBox("the user " + call.Field("CLIENT") + " was edited", "index.html");
  const bool wantAdmin = call.Field("CLIENTSERVERADMIN") == "1";
  if (wantAdmin && !a->IsServerAdmin() && !Permitted(call, sel, upPrivilegeGrantSA))
    return call.ErrorBox("invalid permissions");
  if (!wantAdmin && a->IsServerAdmin() && !Permitted(call, sel, upPrivilegeRevokeSA))
    return call.ErrorBox("invalid permissions");
  if (pw1 != call.Field("CLIENTPW2")) return call.ErrorBox("the passwords dont match");
  ChangePassword(call, sel.id, id, pw1);
  if (wantAdmin != a->IsServerAdmin()) {
    SetAccountServerAdmin(*call.web.Context().storage, sel.id, id, wantAdmin);
    if (call.web.Context().Settings().LogServerAdmin)
      LogFormat(LMT_ALL, LMD_INFO, {call.session->Get("username"), a->LoginName.Str()},
                wantAdmin ? "web : serveradmin granted by [LoginName: %1] for [LoginName: %2]"
                          : "web : serveradmin revoked by [LoginName: %1] for [LoginName: %2]",
                "SALog");
  }
  call.OkBox("the user " + call.Field("CLIENT") + " was edited", "index.html");
}

// ---- settings of the selected server -------------------------------------------------------

void CmdSettingsServer(TWebCall& call, const TSelected& sel) {
  const TWorkingSettings& w = *sel.settings;
  const bool super = call.SuperAdmin();
  const TAdminContext& context = call.web.Context();
  auto running = context.servers->FindVirtualServer(static_cast<int32_t>(sel.id));
  TWorkingSettings n = w;
  // A server admin cannot move the server or change its player limit: his values are ignored.
  const std::string maxText =
      super ? Trim(call.Field("SERVERMAXUSERS")) : std::to_string(w.Server.MaxUsers);
  if (super) {
    int64_t port = 0;
    if (!TryParseInt(Trim(call.Field("SERVERUDPPORT")), port) || port <= 0 || port > 0xFFFF)
      return call.ErrorBox("invalid number");
    if (port != w.Server.Port) {
      if (running)
        return call.ErrorBox("if you want to edit udpport, please stop first the server");
      TStorageScript q(*context.storage, "read_server_port.sql");
      q.SetInteger(":iPort", port);
      auto rows = q.Open();
      if (rows && rows->Count() > 0)
        return call.ErrorBox("there is already an server with the same udpport");
      n.Server.Port = static_cast<uint16_t>(port);
    }
  }
  const std::string name = call.Field("SERVERNAME"), welcome = call.Field("SERVERWELCOMEMESSAGE"),
                    password = call.Field("SERVERPASSWORD"), type = call.Field("SERVERTYPE"),
                    link = call.Field("SERVERWEBPOSTLINKURL"),
                    post = call.Field("SERVERWEBPOSTPOSTURL");
  auto may = [&](int permission) { return Permitted(call, sel, permission); };
  bool allowed = true;
  if (Cut(name, kNameLength) != w.Server.Name && !may(upAdminEditServerName)) allowed = false;
  if (Cut(welcome, kTextLength) != w.Server.WelcomeMessage && !may(upAdminEditServerWelcomeMessage))
    allowed = false;
  if (Cut(Trim(password), kNameLength) != w.Server.Password && !may(upAdminEditServerPassword))
    allowed = false;
  // The post URL is where the host itself sends requests: it needs the web-list permission
  // just as the link URL does.
  if ((Cut(Trim(link), kTextLength) != w.Server.WebLinkURL ||
       Cut(Trim(post), kTextLength) != w.Server.WebPostURL) &&
      !may(upAdminEditServerWebpostUrl))
    allowed = false;
  if (((type == "1" && !w.ClanServer) || (type == "2" && w.ClanServer)) &&
      !may(upAdminEditServerType))
    allowed = false;
  if (!allowed) return call.ErrorBox("invalid permissions");
  n.Server.Name = Cut(name, kNameLength);
  n.Server.WelcomeMessage = Cut(welcome, kTextLength);
  int64_t maxUsers = 0;
  if (TryParseInt(maxText, maxUsers) && maxUsers >= 0 && maxUsers <= 0xFFFF)
    n.Server.MaxUsers = static_cast<uint16_t>(maxUsers);
  n.Server.Password = Cut(Trim(password), kNameLength);
  if (type == "1") n.ClanServer = true;
  if (type == "2") n.ClanServer = false;
  if (super) {
    for (int i = 0; i < kCodecCount; ++i)
      n.Server.CodecPermits[static_cast<size_t>(i)] =
          call.Field(std::string("CODEC") + kCodecTable[i].webName) == "1";
  }
  n.Server.WebLinkURL = Cut(Trim(link), kTextLength);
  n.Server.WebPostURL = Cut(Trim(post), kTextLength);
  if (running) {
    if (EditServerSettings(*running, n.Server, n.ClanServer, 1500) == RC_INTERNAL_ERROR)
      return call.ErrorBox("server config has NOT been changed");
  } else if (!WriteStoredServerSettings(*context.storage, n)) {
    return call.ErrorBox("server config has NOT been changed");
  }
  call.session->ForgetSettings();
  call.OkBox("server config has been changed", call.RefererBack());
}

// The form names its group in the field "permissiongroup"; a form that also carries a field
// of another group is refused, so a page of one group never rewrites another.
void CmdPermissionsServer(TWebCall& call, const TSelected& sel) {
  if (!Permitted(call, sel, upAdminSetServerPermissions))
    return call.ErrorBox("invalid permissions");
  const std::string groupName = Trim(call.Field("permissiongroup"));
  std::optional<TUserGroup> named;
  for (size_t g = 0; g < kUserGroupCount; ++g)
    if (WebGroupName(static_cast<TUserGroup>(g)) == groupName) named = static_cast<TUserGroup>(g);
  if (!named) return call.ErrorBox("invalid permissions");
  for (const auto& [field, value] : call.req.params)
    for (size_t g = 0; g < kUserGroupCount; ++g) {
      const std::string prefix = LowerCase(WebGroupName(static_cast<TUserGroup>(g))) + "_";
      if (g != *named && LowerCase(field).rfind(prefix, 0) == 0)
        return call.ErrorBox("invalid permissions");
    }
  const TUserGroup group = *named;
  TServerPermissions sets = sel.settings->Permissions;
  for (int n = 0; n < kWebPermissionCount; ++n) {
    // Rows the page did not show keep their bits: an absent checkbox there means nothing.
    if (LowerCase(WebPermissionName(n)).find("reserved") != std::string::npos ||
        NotApplicable(group, n))
      continue;
    if (call.Field(groupName + "_" + WebPermissionName(n)) == "1")
      sets[group].Include(n);
    else
      sets[group].Exclude(n);
  }
  const TAdminContext& context = call.web.Context();
  for (size_t g = 0; g < kUserGroupCount; ++g)
    if (!WriteServerPrivileges(context.storage, sel.id, UserGroupName(static_cast<TUserGroup>(g)),
                               sets.Sets[g]))
      return call.ErrorBox("server config has NOT been changed");
  call.session->ForgetSettings();
  if (auto running = context.servers->FindVirtualServer(static_cast<int32_t>(sel.id))) {
    running->SetPermissions(sets);
    TListenerRequest r;
    r.Type = TListenerRequestKind::ServerPropertiesChanged;
    RunListenerRequest(*running, r, 5500);
  }
  call.OkBox("server config has been changed", call.RefererBack());
}

// ---- API tokens (super server admins) -------------------------------------------------------

// The new token's text is shown once: the session keeps it for the next page, which shows it
// and forgets it.
void CmdCreateApiToken(TWebCall& call) {
  const std::string label = Trim(call.Field("label"));
  const std::string scopeText = Trim(call.Field("serverid"));
  int32_t scope = 0;
  if (!scopeText.empty() && (!ParseId(scopeText, scope) || scope < 0))
    return call.ErrorBox("invalid number");
  if (label.empty() || HasControlChars(label)) return call.ErrorBox("empty name");
  std::string secret;
  const std::optional<TApiToken> made = call.web.Tokens().Create(label, scope, secret);
  if (!made) return call.ErrorBox("the token was NOT created");
  LogSecurityEvent("api token created [Interface: web, IP: " + call.RemoteIP() + ", LoginName: " +
                   call.session->Get("username") + ", Token: " + std::to_string(made->Id) +
                   ", Server: " + std::to_string(made->ServerId) + "]");
  call.session->Set("newapitoken", secret);
  call.Redirect("api_tokens.html");
}

void CmdRevokeApiToken(TWebCall& call) {
  int32_t id = 0;
  if (!ParseId(call.Field("tokenid"), id) || !call.web.Tokens().Revoke(id))
    return call.ErrorBox("the token was NOT revoked");
  LogSecurityEvent("api token revoked [Interface: web, IP: " + call.RemoteIP() + ", LoginName: " +
                   call.session->Get("username") + ", Token: " + std::to_string(id) + "]");
  call.OkBox("the token was revoked", "api_tokens.html");
}

struct TCommand {
  const char* name;
  void (*handler)(TWebCall&);
};
struct TSelectedServerCommand {
  const char* name;
  void (*handler)(TWebCall&, const TSelected&);
};

const TCommand kSuperCommands[] = {
    {"ASK_DELETE_SCLIENT.VHCMD", CmdAskDeleteSClient},
    {"DELETE_SCLIENT.VHCMD", CmdDeleteSClient},
    {"ADD_SCLIENT.VHCMD", CmdAddSClient},
    {"EDIT_SCLIENT.VHCMD", CmdEditSClient},
    {"SELECT_SERVER.VHCMD", CmdSelectServer},
    {"SETTINGS_BASIC.VHCMD", CmdSettingsBasic},
    {"CREATE_API_TOKEN.VHCMD", CmdCreateApiToken},
    {"REVOKE_API_TOKEN.VHCMD", CmdRevokeApiToken},
};
const TCommand kServerCommands[] = {
    {"ADD_SERVER.VHCMD", CmdAddServer},
    {"START_SERVER.VHCMD", CmdStartServer},
    {"STOP_SERVER.VHCMD", CmdStopServer},
    {"ASK_DELETE_SERVER.VHCMD", CmdAskDeleteServer},
    {"DELETE_SERVER.VHCMD", CmdDeleteServer},
    {"ASK_STOP_SERVER.VHCMD", CmdAskStopServer},
    {"CONFIRM_STOP_SERVER.VHCMD", CmdConfirmStopServer},
};
const TSelectedServerCommand kSelectedServerCommands[] = {
    {"ASK_DELETE_CLIENT.VHCMD", CmdAskDeleteClient},
    {"DELETE_CLIENT.VHCMD", CmdDeleteClient},
    {"ADD_CLIENT.VHCMD", CmdAddClient},
    {"EDIT_CLIENT.VHCMD", CmdEditClient},
    {"SETTINGS_SERVER.VHCMD", CmdSettingsServer},
    {"PERMISSIONS_SERVER.VHCMD", CmdPermissionsServer},
};

}  // namespace

void ProgressCommand(TWebCall& call) {
  try {
    std::string name = UpperCase(call.req.path);
    while (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (!FromThisSite(call)) return call.AccessDenied();
    if (name == "LOGIN.VHCMD") return CmdLogin(call);
    // Every other command changes something: it comes as a POST from a form of one of this
    // session's pages, which carries the session's token. A page of another site (or of
    // another port of this host) cannot read the token, whatever Origin or Referer it sends.
    if (call.req.method != "POST" ||
        !call.session->TokenMatches(call.Field(std::string(kTokenField))))
      return call.AccessDenied();
    if (name == "LOGOUT.VHCMD") return CmdLogout(call);
    if (call.LoggedIn()) {
      if (call.SuperAdmin())
        for (const TCommand& c : kSuperCommands)
          if (name == c.name) return c.handler(call);
      for (const TCommand& c : kServerCommands)
        if (name == c.name) return c.handler(call);
    }
    for (const TSelectedServerCommand& c : kSelectedServerCommands) {
      if (name != c.name) continue;
      const std::string serverId = call.session->Get("serverid");
      const std::optional<TWorkingSettings> w = call.LoggedIn() && !serverId.empty()
                                                    ? call.web.GetCachedSettings(call, serverId)
                                                    : std::nullopt;
      if (!w) return call.ErrorBox("your selected server is invalid");
      return c.handler(call, TSelected{&*w, static_cast<uint32_t>(w->ServerId)});
    }
    // An unknown command (and SELECT_SERVER.VHCMD from a server admin) answers nothing.
  } catch (const std::exception& e) {
    LogException("Progress_COMMAND", e, kCategory);
    call.ErrorBox("the command failed");
  }
}

}  // namespace vh
