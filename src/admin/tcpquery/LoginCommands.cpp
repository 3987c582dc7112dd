// The two logins: "login" (server admin of the selected server) and "slogin" (super server
// admin), with the counting of failed attempts per remote address and per account
// (admin/LoginFailures.h) and their security log lines.

#include "admin/AdminContext.h"
#include "admin/LoginFailures.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/SecurityLog.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/Clocks.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr const char* kTooManyFailures =
    "Your password failed 3 consecutive times, please wait 10 minutes before trying again!";

// The account a login names: the server's id and the login name as the database compares it.
std::string AccountKey(int32_t serverId, const std::string& name) {
  return std::to_string(serverId) + ":" + Cut(name, kNameLength);
}

// Starts the attempt; the answer waits the account's delay from now, whatever comes of it.
TLoginAttempt BeginAttempt(TQueryCall& call, int32_t serverId) {
  TLoginAttempt attempt =
      call.services.failures.Begin(call.session.RemoteIP, AccountKey(serverId, call.params[0]));
  if (attempt.DelayMs() > 0)
    call.session.AnswerNotBeforeMs = call.services.clock.NowMs() + attempt.DelayMs();
  return attempt;
}

// Counts the failure; on the third the connection is told and closed, and no error follows.
void Refuse(TQueryCall& call, TLoginAttempt& attempt, std::string_view reason, const char* error) {
  LogLoginFailure(kQueryInterface, call.session.RemoteIP, reason, call.params[0]);
  if (call.services.failures.Finish(attempt, TLoginOutcome::Failure)) {
    call.out.Line(kTooManyFailures);
    call.session.Close = true;
    return;
  }
  call.out.Error(error);
}

// The database could not be asked: nobody is blamed, and the client is told it failed.
void NotChecked(TQueryCall& call, TLoginAttempt& attempt) {
  call.services.failures.Finish(attempt, TLoginOutcome::NotChecked);
  LogFormat(LMT_ERROR, LMD_ALL, {call.session.RemoteIP, call.params[0]},
            "TCPQuery login not checked, the database failed (see the error before) [IP: %1, "
            "LoginName: %2]",
            "TCPQUERY");
  call.out.Error("error");
}

void Succeed(TQueryCall& call, TLoginAttempt& attempt, uint16_t privileges, int32_t dbid) {
  TQueryLogin login;
  login.LoginName = Cut(call.params[0], kNameLength);
  login.Password = Cut(call.params[1], kNameLength);
  login.DBID = dbid;
  login.PlayerPrivileges = privileges;
  login.LastCheckMs = call.services.clock.NowMs();
  call.session.Login = std::move(login);
  TClients accounts(0, call.services.admin.storage);
  // Best effort: a failed write is logged and the login stands.
  static_cast<void>(accounts.DBUpdateLastOnline(dbid));
  call.out.Ok();
  call.services.failures.Finish(attempt, TLoginOutcome::Success);
}

}  // namespace

void CmdLogin(TQueryCall& call) {
  TServerObject& server = *call.server;
  TLoginAttempt attempt = BeginAttempt(call, server.ServerID());
  // An address refused at connect may not go on trying on connections it opened before: the
  // attempt fails without looking at the password.
  if (attempt.Refused()) return Refuse(call, attempt, kReasonRefused, "invalid login");
  bool storageFailed = false;
  TClientRecordPtr found =
      server.Clients()->DBValidLogin(call.params[0], call.params[1], &storageFailed);
  if (storageFailed) return NotChecked(call, attempt);
  if (!found) return Refuse(call, attempt, kReasonInvalidLogin, "invalid login");
  const uint16_t privileges = found->PlayerPrivileges;
  const int32_t dbid = found->DBID;
  if (!HasPermission(privileges | PP_REGISTERED, 0, upAccessTcpServer, server.Permissions()))
    return Refuse(call, attempt, kReasonNoPermission, "invalid permissions");
  if (call.services.admin.Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session.RemoteIP, call.params[0]},
              "tcpquery : client connected [IP: %1, LoginName: %2]", "SALog");
  LogAdminLogin(kQueryInterface, call.session.RemoteIP, server.ServerID(), call.params[0]);
  call.session.LoginServerId = server.ServerID();
  Succeed(call, attempt, privileges, dbid);
}

void CmdSuperLogin(TQueryCall& call) {
  TLoginAttempt attempt = BeginAttempt(call, 0);
  if (attempt.Refused()) return Refuse(call, attempt, kReasonRefused, "invalid login");
  TClients accounts(0, call.services.admin.storage);
  bool storageFailed = false;
  TClientRecordPtr found = accounts.DBValidLogin(call.params[0], call.params[1], &storageFailed);
  if (storageFailed) return NotChecked(call, attempt);
  if (!found) return Refuse(call, attempt, kReasonInvalidLogin, "invalid login");
  const int32_t dbid = found->DBID;
  if (call.services.admin.Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.session.RemoteIP, call.params[0]},
              "tcpquery : superserveradmin connected [IP: %1, LoginName: %2]", "SALog");
  LogAdminLogin(kQueryInterface, call.session.RemoteIP, 0, call.params[0]);
  Succeed(call, attempt, PP_SERVER_ADMIN | PP_SUPER_SERVER_ADMIN, dbid);
}

}  // namespace vh
