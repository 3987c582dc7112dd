// Virtual-server management: serverstart, serverstop, serveradd, serverdel, dbserverlist,
// serverset, rehash, checkserverok, globalset. The operations themselves are the shared ones
// of admin/ServerAdmin.h.

#include <cstring>
#include <optional>

#include "admin/AdminContext.h"
#include "admin/ServerAdmin.h"
#include "admin/tcpquery/QueryCommands.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "common/FieldLengths.h"
#include "common/IniFile.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "vserver/CodecTable.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

void AnswerOp(TQueryCall& call, TServerOpResult r) {
  switch (r) {
    case TServerOpResult::Done:
      return call.out.Ok();
    case TServerOpResult::Running:
      return call.out.Error("server is running");
    case TServerOpResult::NoData:
      return call.out.Error("no data available");
    case TServerOpResult::InvalidId:
      return call.out.Error("invalid id");
    case TServerOpResult::InvalidNumber:
      return call.out.Error("invalid number format");
    case TServerOpResult::PortInUse:
      return call.out.Error("port already in use");
    case TServerOpResult::Failed:
      return call.out.Error("unable to initialize server");
  }
}

void AnswerResult(TQueryCall& call, int32_t code) {
  if (code == RC_OK) return call.out.Ok();
  call.out.Error(ResultCodeText(code));
}

// Applies one "serverset" variable to `s` (or the server's type to `clan`); false for an
// unknown variable or a bad number, with the error written.
bool ApplyServerVariable(TQueryCall& call, TVirtualServerSettings& s, std::optional<bool>& clan) {
  const std::string name = LowerCase(call.params[0]);
  const std::string& value = call.params[1];
  if (name == "server_clan_server") {
    clan = value == "1";
    return true;
  }
  for (size_t i = 0; i < kCodecTableSize; ++i) {
    if (name != std::string("server_allow_codec_") + kCodecTable[i].queryName) continue;
    s.CodecPermits[i] = value == "1";
    return true;
  }
  if (name == "server_maxusers") {
    int32_t n = 0;
    if (!call.Number(1, n) || n < 0 || n > 0xFFFF) {
      call.out.Error("invalid number format");
      return false;
    }
    s.MaxUsers = static_cast<uint16_t>(n);
    return true;
  }
  if (name == "server_password") {
    s.Password = value == "#CLEAR#" ? std::string() : Cut(value, kNameLength);
    return true;
  }
  if (name == "server_name") {
    s.Name = Cut(call.FreeText(1), kNameLength);
    return true;
  }
  if (name == "server_welcomemessage") {
    s.WelcomeMessage = Cut(call.FreeText(1), kTextLength);
    return true;
  }
  if (name == "server_webpost_posturl") {
    s.WebPostURL = Cut(value, kTextLength);
    return true;
  }
  if (name == "server_webpost_linkurl") {
    s.WebLinkURL = Cut(value, kTextLength);
    return true;
  }
  call.out.Error("error");
  return false;
}

}  // namespace

void CmdServerStart(TQueryCall& call) {
  AnswerOp(call, StartStoredServer(call.services.admin, call.params[0]));
}

void CmdServerStop(TQueryCall& call) {
  TQuerySession& session = call.session;
  std::optional<TListedServer> target = session.SelectedServer;
  if (!target) {
    int32_t port = 0;
    if (call.Count() == 0) {
      call.out.Error("invalid paramcount");
    } else if (call.NumberOrError(0, port)) {
      for (const TListedServer& s : session.ServerList)
        if (port > 0 && s.Port == port) target = s;
      if (!target) call.out.Error("invalid id");
    }
    if (!target) return call.out.Error("unable to initialize server");
  }
  if (!call.SuperServerAdmin()) return call.out.Error("invalid permissions");
  int32_t id = 0;
  if (!WithListedServer(call.services.admin, *target,
                        [&](TServerObject& s) { id = s.ServerID(); })) {
    call.out.Error("invalid id");
    return call.out.Error("unable to initialize server");
  }
  // Stopping takes the list lock itself, so it runs outside WithListedServer.
  StopServer(call.services.admin, id);
  call.out.Ok();
}

void CmdServerAdd(TQueryCall& call) {
  int32_t port = 0;
  if (!call.NumberOrError(0, port)) return;
  if (port <= 0 || port > 0xFFFF) return call.out.Error("invalid number format");
  std::shared_ptr<TServerObject> server;
  const TServerOpResult r = AddNewServer(call.services.admin, static_cast<uint16_t>(port), &server);
  if (r != TServerOpResult::Done) return AnswerOp(call, r);
  call.session.ServerList = SnapshotServerList(call.services.admin);
  for (const TListedServer& s : call.session.ServerList)
    if (s.Server.lock() == server) call.session.SelectedServer = s;
  call.out.Ok();
}

void CmdServerDelete(TQueryCall& call) {
  AnswerOp(call, DeleteStoredServer(call.services.admin, call.params[0]));
}

void CmdStoredServerList(TQueryCall& call) {
  const auto servers = ListStoredServers(call.services.admin);
  if (!servers) return call.out.Error("no data available");
  call.out.Line("id\tudpport\tname\tstatus");
  for (const TStoredServer& s : *servers)
    call.out.Line(std::to_string(s.Id) + "\t" + std::to_string(s.Port) + "\t" +
                  QueryQuoted(s.Name) + "\t" + (s.Running ? "1" : "0") + "\t");
  call.out.Ok();
}

void CmdServerSet(TQueryCall& call) {
  TVirtualServerSettings s = call.server->Settings();
  std::optional<bool> clan;
  if (!ApplyServerVariable(call, s, clan)) return;
  AnswerResult(call, EditServerSettings(*call.server, s, clan));
}

void CmdRehash(TQueryCall& call) {
  const TAdminContext& admin = call.services.admin;
  if (admin.reloadSettings) admin.reloadSettings();
  TListenerRequest r;
  r.Type = TListenerRequestKind::ServerPropertiesChanged;
  RunListenerRequest(*call.server, r);
  call.out.Ok();
}

void CmdCheckServerOk(TQueryCall& call) {
  TListenerRequest r;
  r.Type = TListenerRequestKind::CheckAlive;
  if (RunListenerRequest(*call.server, r, TServerObject::kLivenessTimeoutMs) == RC_ALIVE)
    return call.out.Ok();
  call.out.Error("server looks dead");
}

void CmdGlobalSet(TQueryCall& call) {
  const TAdminContext& admin = call.services.admin;
  const std::string value = call.FreeText(1);
  if (!IsIniValue(value)) return call.out.Error("control character in value");
  if (admin.globalSet && admin.globalSet(LowerCase(call.params[0]), value)) return call.out.Ok();
  call.out.Error("error");
}

}  // namespace vh
