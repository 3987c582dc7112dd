// The JSON API under /api/v1/: one table of routes (method, path, what the caller needs,
// handler), checked in a fixed order before the handler runs: who is calling (a bearer token
// or a logged-in session), the method, the server's scope, the permission. Actions go through
// the same listener requests and ban operations as the TCP query and answer with its texts.
// Runs on the HTTP connection thread of its request. The routes for client authors:
// docs/api.md and docs/openapi.yaml.

#include <httplib.h>

#include <cmath>
#include <functional>
#include <optional>

#include "admin/BanAdmin.h"
#include "admin/ServerAdmin.h"
#include "admin/StatisticsHistory.h"
#include "admin/web/ApiTokens.h"
#include "admin/web/TemplateEngine.h"
#include "admin/web/WebCall.h"
#include "admin/web/WebInterface.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "common/ResultCodes.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "model/BanMatch.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "model/Permissions.h"
#include "storage/DateTime.h"
#include "transport/ConnectionTable.h"
#include "transport/TrafficCounters.h"
#include "vserver/Notifier.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kCategory = "WEBINTERFACE";

// Who is calling: a super server admin session, a server admin session of one server, or a
// token (a super server admin's rights inside its scope).
struct TApiCaller {
  bool super = false;
  int32_t scope = 0;  // 0: every server
  std::string name;   // for the log and the "by" fields
};

struct TApiCall {
  TWebCall& web;
  TApiCaller who;
  std::vector<std::string> args;  // the path's "*" parts, in order
  std::shared_ptr<TServerObject> server;
  std::string body;

  void Reply(int status, std::string json) {
    web.res.status = status;
    web.res.set_header("Cache-Control", "no-store");
    web.res.set_content(std::move(json), "application/json");
  }
  void Refuse(int status, std::string_view text) {
    Reply(status, "{\"error\":" + JsonString(text) + "}");
  }
  void Ok() { Reply(200, "{\"result\":\"OK\"}"); }
};

// Admin: the route's permission; AdminByRequest: the handler checks the permission that fits
// the request (Permitted).
enum class TApiNeed { Read, Admin, AdminByRequest, Super };

struct TApiRoute {
  const char* method;
  const char* path;  // after /api/v1/; "*" stands for one number
  TApiNeed need;
  int permission;  // server permission for Admin routes; -1 none
  void (*handler)(TApiCall&);
};

int64_t SecondsSince(TDateTime then) {
  if (then <= 0) return 0;
  return std::max<int64_t>(0, std::llround((NowDateTime() - then) * 86400.0));
}

std::string Bool(bool v) {
  return v ? "true" : "false";
}

std::optional<int32_t> Number(const std::string& text) {
  int64_t v = 0;
  if (!TryParseInt(text, v) || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

std::string ServerJson(const TStoredServer& sv, const TServerObject* running) {
  std::string j = "{\"id\":" + std::to_string(sv.Id) + ",\"name\":" + JsonString(sv.Name) +
                  ",\"port\":" + std::to_string(sv.Port) + ",\"running\":" + Bool(running);
  if (running) {
    size_t players = 0, channels = 0;
    {
      TLockGuard registry(running->Clients()->Mutex());
      players = running->Clients()->Count();
      TLockGuard tree(running->Channels()->Mutex());
      channels = running->Channels()->Count();
    }
    j += ",\"players\":" + std::to_string(players) + ",\"channels\":" + std::to_string(channels) +
         ",\"maxPlayers\":" + std::to_string(running->Settings().MaxUsers);
  }
  return j + "}";
}

bool InScope(const TApiCaller& who, int32_t serverId) {
  return who.scope == 0 || who.scope == serverId;
}

// ---- reads --------------------------------------------------------------------------------

void ListServers(TApiCall& call) {
  const TAdminContext& context = call.web.web.Context();
  std::string j = "{\"servers\":[";
  bool first = true;
  if (auto list = ListStoredServers(context))
    for (const TStoredServer& sv : *list) {
      if (!InScope(call.who, sv.Id)) continue;
      const auto running = context.servers->FindVirtualServer(sv.Id);
      std::string one;
      if (!WithRunningServer(context, running.get(),
                             [&](TServerObject& s) { one = ServerJson(sv, &s); }))
        one = ServerJson(sv, nullptr);
      j += (first ? "" : ",") + one;
      first = false;
    }
  call.Reply(200, j + "]}");
}

void ServerInfo(TApiCall& call) {
  TServerObject& s = *call.server;
  const TVirtualServerSettings settings = s.Settings();
  TStoredServer sv;
  sv.Id = s.ServerID();
  sv.Name = settings.Name;
  sv.Port = settings.Port;
  std::string j = ServerJson(sv, &s);
  const TServerStats st = s.PacketBuffer()->GetServerStats();
  const TTrafficCounters& traffic = *s.PacketBuffer()->Counters();
  j.pop_back();
  j += ",\"uptimeSeconds\":" + std::to_string(SecondsSince(s.StartTime())) +
       ",\"bytesIn\":" + std::to_string(st.bytesReceived) +
       ",\"bytesOut\":" + std::to_string(st.bytesSent) +
       ",\"voiceBytesIn\":" + std::to_string(TTrafficCounters::Read(traffic.voiceBytesIn)) +
       ",\"voiceBytesOut\":" + std::to_string(TTrafficCounters::Read(traffic.voiceBytesOut)) +
       ",\"bandwidthInLastSecond\":" + std::to_string(std::llround(st.inLastSecond)) +
       ",\"bandwidthOutLastSecond\":" + std::to_string(std::llround(st.outLastSecond)) + "}";
  call.Reply(200, j);
}

void ListPlayers(TApiCall& call) {
  TServerObject& s = *call.server;
  // The address is for server admins: a super server admin, a token, or a session whose
  // account holds the server-admin flag.
  const bool showAddress =
      call.who.super || call.web.session->Get("admin") == "1" || call.web.session->Id().empty();
  std::string j = "{\"players\":[";
  TModelLock lock(*s.Clients(), *s.Channels());
  for (size_t i = 0; i < s.Clients()->Count(); ++i) {
    const TClientRecord* p = s.Clients()->Items(i);
    const TConnectionStats st = s.PacketBuffer()->GetConnectionStats(p->PlayerID);
    const uint16_t cp = p->ChannelPrivileges, pp = p->PlayerPrivileges;
    j += (i ? ",{" : "{");
    j +=
        "\"id\":" + std::to_string(p->PlayerID) + ",\"nickname\":" + JsonString(p->NickName.Str()) +
        ",\"loginName\":" + JsonString(p->LoginName.Str()) +
        ",\"channel\":" + std::to_string(p->ChannelID) +
        ",\"serverAdmin\":" + Bool(pp & PP_SERVER_ADMIN) +
        ",\"registered\":" + Bool(pp & PP_REGISTERED) +
        ",\"canRegister\":" + Bool(pp & PP_ALLOWED_TO_REGISTER) +
        ",\"sticky\":" + Bool(pp & PP_STICKY) + ",\"channelAdmin\":" + Bool(cp & CP_CHANNEL_ADMIN) +
        ",\"operator\":" + Bool(cp & CP_OPERATOR) +
        ",\"autoOperator\":" + Bool(cp & CP_AUTO_OPERATOR) + ",\"voice\":" + Bool(cp & CP_VOICE) +
        ",\"autoVoice\":" + Bool(cp & CP_AUTO_VOICE) + ",\"pingMs\":" + std::to_string(st.ping) +
        ",\"lossPercent\":" + std::to_string(st.packetLoss / 100.0) +
        ",\"connectedSeconds\":" + std::to_string(SecondsSince(p->LoginTime)) +
        ",\"idleSeconds\":" + std::to_string(SecondsSince(p->LastActivity));
    if (showAddress) j += ",\"address\":" + JsonString(st.peerAddress);
    j += "}";
  }
  call.Reply(200, j + "]}");
}

void ListChannels(TApiCall& call) {
  TServerObject& s = *call.server;
  std::string j = "{\"channels\":[";
  TLockGuard tree(s.Channels()->Mutex());
  for (size_t i = 0; i < s.Channels()->Count(); ++i) {
    const TChannel* c = s.Channels()->Items(i);
    j += (i ? ",{" : "{");
    j += "\"id\":" + std::to_string(c->ID) + ",\"parent\":" + std::to_string(c->ParentID) +
         ",\"name\":" + JsonString(c->Name) + ",\"topic\":" + JsonString(c->Topic) +
         ",\"order\":" + std::to_string(c->Order) + ",\"registered\":" + Bool(c->IsRegistered()) +
         ",\"default\":" + Bool(c->Flags & CF_DEFAULT) +
         ",\"players\":" + std::to_string(c->Players.Count()) + "}";
  }
  call.Reply(200, j + "]}");
}

void Statistics(TApiCall& call) {
  const TStatisticsHistory* history = call.web.web.Context().statistics;
  call.Reply(200, history ? history->Json(call.server->ServerID())
                          : "{\"intervalSeconds\":5,\"samples\":[]}");
}

// ---- actions ------------------------------------------------------------------------------

std::string BodyField(const TApiCall& call, const std::string& name) {
  return call.web.Field(name);
}

bool PlayerConnected(TServerObject& server, int32_t id) {
  TLockGuard registry(server.Clients()->Mutex());
  return id > 0 && server.Clients()->GetClientByID(static_cast<uint32_t>(id)) != nullptr;
}

void AnswerResult(TApiCall& call, int32_t code) {
  if (code == RC_OK) return call.Ok();
  const int status = code == RC_PLAYER_NOT_FOUND          ? 404
                     : code == RC_INSUFFICIENT_PERMISSION ? 403
                                                          : 409;
  call.Refuse(status, Cut(ResultCodeText(code), 29));
}

// The caller's own rights on the call's server: a super server admin or a token has them all.
bool Permitted(TApiCall& call, int permission) {
  return call.who.super ||
         call.web.web.HasWebPermission(call.web, permission, call.server->Permissions());
}

// Does the caller count as a server admin (a super server admin, a token, or a session whose
// account holds the server-admin flag)?
bool CallerIsServerAdmin(const TApiCall& call) {
  return call.who.super || call.web.session->Get("admin") == "1";
}

void Kick(TApiCall& call) {
  const auto id = Number(call.args[1]);
  if (!id || !PlayerConnected(*call.server, *id)) return call.Refuse(404, "invalid id");
  TListenerRequest r;
  r.Type = TListenerRequestKind::KickWithReason;
  r.RequestTarget = *id;
  r.RequestText = BodyField(call, "reason");
  r.RequestIssuer = call.who.name;
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

void Move(TApiCall& call) {
  const auto player = Number(call.args[1]);
  const auto channel = Number(Trim(BodyField(call, "channel")));
  if (!player || !channel) return call.Refuse(400, "invalid number format");
  TListenerRequest r;
  r.Type = TListenerRequestKind::MovePlayer;
  r.RequestTarget = *player;
  r.RequestArgument = *channel;
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

void Ban(TApiCall& call) {
  TServerObject& server = *call.server;
  const auto id = Number(call.args[1]);
  std::string ip;
  if (id && *id > 0) {
    TLockGuard registry(server.Clients()->Mutex());
    if (server.Clients()->GetClientByID(static_cast<uint32_t>(*id)))
      ip = server.PacketBuffer()->GetConnectionStats(static_cast<uint32_t>(*id)).peerAddress;
  }
  if (ip.empty()) return call.Refuse(404, "invalid id");
  const std::string minutesText = Trim(BodyField(call, "minutes"));
  const auto minutes = minutesText.empty() ? std::optional<int32_t>(0) : Number(minutesText);
  if (!minutes || *minutes < 0) return call.Refuse(400, "invalid number format");
  // As the query's "banplayer": the address, or the /64 of an IPv6 player.
  switch (AddBan(server, PlayerBanPattern(ip), *minutes, call.who.name)) {
    case TBanResult::Done:
      return call.Ok();
    case TBanResult::LimitReached:
      return call.Refuse(409, "maximal record count reached");
    case TBanResult::BadPattern:
      return call.Refuse(400, "invalid ip");
    case TBanResult::Failed:
      return call.Refuse(500, "error");
  }
}

// Out of his channel into the default one, as a server admin's kick from a channel: he loses
// there the channel privileges the caller may revoke.
void KickFromChannel(TApiCall& call) {
  const auto id = Number(call.args[1]);
  if (!id || !PlayerConnected(*call.server, *id)) return call.Refuse(404, "invalid id");
  TListenerRequest r;
  r.Type = TListenerRequestKind::KickFromChannel;
  r.RequestTarget = *id;
  r.RequestArgument = CallerIsServerAdmin(call) ? 1 : 0;
  for (const TChannelPrivilegeRights& v : kChannelPrivilegeRights)
    if (Permitted(call, v.revoke)) r.RequestFlags |= v.bit;
  r.RequestText = Cut(BodyField(call, "reason"), kNameLength);
  r.RequestIssuer = call.who.name;
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

// The channel privileges by the names the player list gives them.
constexpr const char* kChannelPrivilegeNames[] = {"channeladmin", "operator", "voice",
                                                  "autooperator", "autovoice"};

// Grants ("value" 1) or revokes a channel privilege in the player's channel, with the
// permission to grant or revoke that privilege.
void SetChannelPrivilege(TApiCall& call) {
  const auto id = Number(call.args[1]);
  if (!id || !PlayerConnected(*call.server, *id)) return call.Refuse(404, "invalid id");
  const std::string name = LowerCase(Trim(BodyField(call, "privilege")));
  const bool grant = Trim(BodyField(call, "value")) == "1";
  int privilege = -1;
  for (int n = 0; n < static_cast<int>(std::size(kChannelPrivilegeNames)); ++n)
    if (name == kChannelPrivilegeNames[n]) privilege = n;
  if (privilege < 0) return call.Refuse(400, "error");
  const TChannelPrivilegeRights& rights = kChannelPrivilegeRights[static_cast<size_t>(privilege)];
  if (!Permitted(call, grant ? rights.grant : rights.revoke))
    return call.Refuse(403, "invalid permissions");
  TListenerRequest r;
  r.Type = TListenerRequestKind::SetChannelPrivilege;
  r.RequestTarget = *id;
  r.RequestArgument = privilege;
  r.RequestFlags = grant ? kActionGrant : kActionRevoke;
  r.RequestIssuer = call.who.name;
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

// The player privileges the query's "sppriv" sets, by the same names.
void SetPrivilege(TApiCall& call) {
  TServerObject& server = *call.server;
  const auto id = Number(call.args[1]);
  const std::string name = LowerCase(Trim(BodyField(call, "privilege")));
  const bool set = Trim(BodyField(call, "value")) == "1";
  TListenerRequest r;
  r.Type = TListenerRequestKind::SetPlayerPrivileges;
  {
    TLockGuard registry(server.Clients()->Mutex());
    const TClientRecord* p =
        id && *id > 0 ? server.Clients()->GetClientByID(static_cast<uint32_t>(*id)) : nullptr;
    if (!p) return call.Refuse(404, "invalid id");
    r.RequestTarget = *id;
    uint16_t flags = p->PlayerPrivileges, bit = 0;
    if (name == "privilege_serveradmin") {
      bit = PP_SERVER_ADMIN;
      if (call.web.web.Context().Settings().LogServerAdmin)
        LogFormat(LMT_ALL, LMD_INFO, {call.who.name, p->LoginName.Str(), p->NickName.Str()},
                  set ? "web : serveradmin granted by [LoginName: %1] for [NickName: %3, "
                        "LoginName: %2]"
                      : "web : serveradmin revoked by [LoginName: %1] for [NickName: %3, "
                        "LoginName: %2]",
                  "SALog");
    } else if (name == "privilege_canregister") {
      bit = PP_ALLOWED_TO_REGISTER;
    } else if (name == "privilege_channelsticky" && !(flags & PP_SERVER_ADMIN)) {
      bit = PP_STICKY;
    } else {
      return call.Refuse(400, "error");
    }
    r.RequestFlags = set ? (flags | bit) : (flags & static_cast<uint16_t>(~bit));
  }
  AnswerResult(call, RunListenerRequest(server, r));
}

// clang-format off
const TApiRoute kRoutes[] = {
  // method  path                          need             permission              handler
  {"GET",  "servers",                      TApiNeed::Read,  -1,                     ListServers},
  {"GET",  "servers/*",                    TApiNeed::Read,  -1,                     ServerInfo},
  {"GET",  "servers/*/players",            TApiNeed::Read,  -1,                     ListPlayers},
  {"GET",  "servers/*/channels",           TApiNeed::Read,  -1,                     ListChannels},
  {"GET",  "servers/*/statistics",         TApiNeed::Read,  -1,                     Statistics},
  {"POST", "servers/*/players/*/kick",     TApiNeed::Admin, upKickPlayerFromServer, Kick},
  {"POST", "servers/*/players/*/kick-from-channel", TApiNeed::Admin, upKickPlayerFromChannel,
   KickFromChannel},
  {"POST", "servers/*/players/*/channel-privilege", TApiNeed::AdminByRequest, -1,
   SetChannelPrivilege},
  {"POST", "servers/*/players/*/move",     TApiNeed::Admin, upAdminMovePlayer,      Move},
  {"POST", "servers/*/players/*/ban",      TApiNeed::Super, -1,                     Ban},
  {"POST", "servers/*/players/*/privilege", TApiNeed::Super, -1,                    SetPrivilege},
};
// clang-format on

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

// Matches `path` against a route's pattern; the "*" parts in `args`.
bool Matches(std::string_view pattern, const std::string& path, std::vector<std::string>& args) {
  args.clear();
  const std::vector<std::string> want = Split(std::string(pattern), '/');
  const std::vector<std::string> have = Split(path, '/');
  if (want.size() != have.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == "*") {
      if (have[i].empty()) return false;
      args.push_back(have[i]);
    } else if (want[i] != have[i]) {
      return false;
    }
  }
  return true;
}

// The caller of a request: its bearer token, else its logged-in session. Null with the
// refusal written.
std::optional<TApiCaller> Authenticate(TApiCall& call) {
  TWebCall& web = call.web;
  const std::string auth = web.Header("Authorization");
  if (!auth.empty()) {
    // A token is taken from this header only: a URL ends up in logs and browser histories.
    if (auth.rfind("Bearer ", 0) != 0) {
      call.Refuse(401, "invalid login");
      return std::nullopt;
    }
    const std::string secret = Trim(auth.substr(7));
    TLoginFailures& failures = web.web.Failures();
    const std::string ip = web.RemoteIP();
    TLoginAttempt attempt = failures.Begin(ip, "api token " + Cut(secret, 12));
    if (attempt.Refused()) {
      LogLoginFailure(kWebInterface, ip, kReasonRefused, "api token");
      failures.Finish(attempt, TLoginOutcome::Failure);
      call.Refuse(429, "invalid login");
      return std::nullopt;
    }
    const std::optional<TApiToken> token = web.web.Tokens().Find(secret);
    web.web.WaitToAnswer(attempt.DelayMs());
    if (!token) {
      LogLoginFailure(kWebInterface, ip, kReasonInvalidLogin, "api token");
      failures.Finish(attempt, TLoginOutcome::Failure);
      call.Refuse(401, "invalid login");
      return std::nullopt;
    }
    failures.Finish(attempt, TLoginOutcome::Success);
    web.session = TWebSessions::Transient();
    return TApiCaller{true, token->ServerId, Cut("token " + token->Label, 29)};
  }
  if (!web.LoggedIn()) {
    call.Refuse(401, "not logged in");
    return std::nullopt;
  }
  if (web.SuperAdmin()) return TApiCaller{true, 0, web.session->Get("username")};
  const auto own = Number(web.session->Get("serverid"));
  if (!own || *own <= 0) {
    call.Refuse(403, "no server selected");
    return std::nullopt;
  }
  return TApiCaller{false, *own, web.session->Get("username")};
}

}  // namespace

void ProgressApi(TWebCall& web) {
  TApiCall call{web, {}, {}, nullptr, {}};
  try {
    const std::string prefix = "/api/v1/";
    std::string path = web.req.path;
    if (path.rfind(prefix, 0) != 0) return call.Refuse(404, "unknown request");
    path.erase(0, prefix.size());
    while (!path.empty() && path.back() == '/') path.pop_back();
    const TApiRoute* route = nullptr;
    bool otherMethod = false;
    for (const TApiRoute& r : kRoutes) {
      if (!Matches(r.path, path, call.args)) continue;
      if (web.req.method == r.method ||
          (web.req.method == "HEAD" && std::string(r.method) == "GET")) {
        route = &r;
        break;
      }
      otherMethod = true;
    }
    if (!route) {
      if (otherMethod) {
        web.res.set_header("Allow", "GET, POST");
        return call.Refuse(405, "method not allowed");
      }
      return call.Refuse(404, "unknown request");
    }
    std::vector<std::string> args = call.args;
    std::optional<TApiCaller> who = Authenticate(call);
    if (!who) return;
    call.who = *who;
    call.args = std::move(args);
    // A change from a session carries the session's token, as the command forms do; a token
    // caller sends no cookie, so another site's page cannot borrow its rights.
    if (std::string(route->method) == "POST" && !web.session->Id().empty() &&
        (!FromThisSite(web) || !web.session->TokenMatches(web.Field(std::string(kTokenField)))))
      return call.Refuse(403, "access denied");
    if (!call.args.empty()) {
      const auto id = Number(call.args[0]);
      if (!id || *id <= 0) return call.Refuse(400, "invalid number format");
      if (!InScope(call.who, *id)) return call.Refuse(403, "invalid permissions");
      call.server = web.web.Context().servers->FindVirtualServer(*id);
      if (!call.server) return call.Refuse(404, "invalid id");
    }
    if (route->need == TApiNeed::Super && !call.who.super)
      return call.Refuse(403, "invalid permissions");
    if (route->need == TApiNeed::Admin && !call.who.super &&
        (route->permission < 0 ||
         !web.web.HasWebPermission(web, route->permission, call.server->Permissions())))
      return call.Refuse(403, "invalid permissions");
    if (!call.server) return route->handler(call);
    // The server is used under the list lock, as the query does, so that a stop from another
    // interface cannot free its registry and table while the handler reads them.
    if (!WithRunningServer(web.web.Context(), call.server.get(),
                           [&](TServerObject&) { route->handler(call); }))
      call.Refuse(404, "invalid id");
  } catch (const std::exception& e) {
    LogException("API", e, kCategory);
    call.Refuse(500, "error");
  }
}

}  // namespace vh
