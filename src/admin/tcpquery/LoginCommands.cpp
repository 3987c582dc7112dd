// The two logins: "login" (server admin of the selected server) and "slogin" (super server
// admin), with the counting of failed attempts per remote address.

#include "admin/AdminContext.h"
#include "admin/tcpquery/LoginFailures.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/PerformanceTime.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr const char* kTooManyFailures =
    "Your password failed 3 consecutive times, please wait 10 minutes before trying again!";

// Counts the failure; on the third the connection is told and closed, and no error follows.
void Refuse(TQueryCall& call, const char* error) {
  if (call.services.failures.CountFailedLogin(call.session.RemoteIP)) {
    call.out.Line(kTooManyFailures);
    call.session.Close = true;
    return;
  }
  call.out.Error(error);
}

void Succeed(TQueryCall& call, uint16_t privileges, int32_t dbid) {
  TQueryLogin login;
  login.LoginName = Cut(call.params[0], 29);
  login.Password = Cut(call.params[1], 29);
  login.DBID = dbid;
  login.PlayerPrivileges = privileges;
  login.LastCheckMs = call.services.clock.NowMs();
  call.session.Login = std::move(login);
  TClients accounts(0, call.services.admin.storage);
  accounts.DBUpdateLastOnline(dbid);
  call.out.Ok();
  call.services.failures.Remove(call.session.RemoteIP);
}

// An address refused at connect may not go on trying on connections it opened before: the
// attempt fails without looking at the password.
bool StillRefused(TQueryCall& call) {
  if (!call.services.failures.IsRefused(call.session.RemoteIP)) return false;
  Refuse(call, "invalid login");
  return true;
}

}  // namespace

void CmdLogin(TQueryCall& call) {
  TServerObject& server = *call.server;
  if (StillRefused(call)) return;
  TClientRecordPtr found = server.Clients()->DBValidLogin(call.params[0], call.params[1]);
  if (!found) return Refuse(call, "invalid login");
  const uint16_t privileges = found->PlayerPrivileges;
  const int32_t dbid = found->DBID;
  if (!HasPermission(privileges | PP_REGISTERED, 0, upAccessTcpServer, server.Permissions()))
    return Refuse(call, "invalid permissions");
  if (call.services.admin.Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session.RemoteIP, call.params[0]},
              "tcpquery : client connected [IP: %1, LoginName: %2]", "SALog");
  call.session.LoginServerId = server.ServerID();
  Succeed(call, privileges, dbid);
}

void CmdSuperLogin(TQueryCall& call) {
  if (StillRefused(call)) return;
  TClients accounts(0, call.services.admin.storage);
  TClientRecordPtr found = accounts.DBValidLogin(call.params[0], call.params[1]);
  if (!found) return Refuse(call, "invalid login");
  const int32_t dbid = found->DBID;
  if (call.services.admin.Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session.RemoteIP, call.params[0]},
              "tcpquery : superserveradmin connected [IP: %1, LoginName: %2]", "SALog");
  Succeed(call, PP_SERVER_ADMIN | PP_SUPER_SERVER_ADMIN, dbid);
}

}  // namespace vh
