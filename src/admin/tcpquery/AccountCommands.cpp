// Registered accounts of the selected server (dbuser*, dbfp, dbpi) and the super server admin
// accounts (dbsuser*). The account operations are the shared ones of admin/AccountAdmin.h.

#include "admin/AccountAdmin.h"
#include "admin/AdminContext.h"
#include "admin/DateFormat.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "storage/CustomStorage.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

uint32_t ServerIdOf(const TQueryCall& call) {
  return static_cast<uint32_t>(call.server->ServerID());
}

std::string FormatDate(const TQueryCall& call, TDateTime value) {
  return FormatDateTime(call.services.admin.Settings().DateTimeFormat, value);
}

std::string LastOnline(const TQueryCall& call, TDateTime value) {
  return value == 0 ? std::string("never") : FormatDate(call, value);
}

void LogServerAdmin(const TQueryCall& call, const char* format, const std::string& target) {
  if (call.services.admin.Settings().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO, {call.LoginName(), target}, format, "SALog");
}

std::unique_ptr<TStorageContainer> ReadAccounts(TCustomStorage& storage, uint32_t serverId) {
  TStorageScript q(storage, "read_clients.sql");
  q.SetInteger(":iServerID", serverId);
  return q.Open();
}

// The rows of "dbuserlist" / "dbsuserlist": id, [sa,] created, last online, "name".
void WriteAccountRows(TQueryCall& call, const TStorageContainer& rows, bool withServerAdmin) {
  for (size_t i = 0; i < rows.Count(); ++i) {
    const TStorageRow& r = rows.Row(i);
    std::string line = r.FieldByName("i_client_id").GetAsString() + "\t";
    if (withServerAdmin)
      line += r.FieldByName("b_client_privilege_serveradmin").GetAsString() + "\t";
    line += FormatDate(call, r.FieldByName("dt_client_created").GetAsDateTime()) + "\t";
    line += LastOnline(call, r.FieldByName("dt_client_lastonline").GetAsDateTime()) + "\t";
    line += QueryQuoted(r.FieldByName("s_client_name").GetAsString());
    call.out.Line(line);
  }
}

std::unique_ptr<TStorageContainer> SearchAccounts(TCustomStorage& storage, uint32_t serverId,
                                                  const std::string& pattern) {
  TStorageScript q(storage, "search_client.sql");
  q.SetInteger(":iServerID", serverId).SetString(":sName", pattern);
  return q.Open();
}

void ChangePassword(TQueryCall& call, uint32_t serverId) {
  if (call.params[1] != call.params[2]) return call.out.Error("password dont match");
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  if (!ChangeAccountPassword(*call.services.admin.storage, serverId, id, call.params[1]))
    return call.out.Error("invalid id");
  call.out.Ok();
}

}  // namespace

void CmdUserAdd(TQueryCall& call) {
  if (call.params[1] != call.params[2]) return call.out.Error("password dont match");
  const bool serverAdmin = LowerCase(call.params[3]) == "1";
  if (AddAccount(*call.services.admin.storage, ServerIdOf(call), call.params[0], call.params[1],
                 serverAdmin) < 0)
    return call.out.Error("error");
  if (serverAdmin)
    LogServerAdmin(call, "tcpquery : serveradmin created by [LoginName: %1] for [LoginName: %2]",
                   call.params[0]);
  call.out.Ok();
}

void CmdUserDelete(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  DeleteAccount(*call.services.admin.storage, ServerIdOf(call), id);
  call.out.Ok();
}

void CmdUserChangePassword(TQueryCall& call) {
  ChangePassword(call, ServerIdOf(call));
}

void CmdUserChangeAttributes(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TCustomStorage& storage = *call.services.admin.storage;
  if (!AccountExists(storage, ServerIdOf(call), id)) return call.out.Error("invalid id");
  const bool grant = LowerCase(call.params[1]) == "1";
  const uint16_t privileges = call.session.Login->PlayerPrivileges | PP_REGISTERED;
  if (!HasPermission(privileges, 0, grant ? upPrivilegeGrantSA : upPrivilegeRevokeSA,
                     call.server->Permissions()))
    return call.out.Error("invalid permissions");
  std::string name;
  if (!SetAccountServerAdmin(storage, ServerIdOf(call), id, grant, &name))
    return call.out.Error("invalid id");
  LogServerAdmin(call,
                 grant ? "tcpquery : serveradmin granted by [LoginName: %1] for [LoginName: %2]"
                       : "tcpquery : serveradmin revoked by [LoginName: %1] for [LoginName: %2]",
                 name);
  call.out.Ok();
}

void CmdUserList(TQueryCall& call) {
  auto rows = ReadAccounts(*call.services.admin.storage, ServerIdOf(call));
  if (!rows) return call.out.Error("no data available");
  call.out.Line("id\tsa\tcreated\tlastonline\tname");
  WriteAccountRows(call, *rows, true);
  call.out.Ok();
}

void CmdUserId(TQueryCall& call) {
  auto rows = SearchAccounts(*call.services.admin.storage, ServerIdOf(call), call.params[0]);
  if (!rows) return call.out.Error("no data available");
  std::string id;
  for (size_t i = 0; i < rows->Count(); ++i)
    if (rows->Row(i).FieldByName("s_client_name").GetAsString() == call.params[0])
      id = rows->Row(i).FieldByName("i_client_id").GetAsString();
  if (id.empty()) return call.out.Error("no data available");
  call.out.Line(id);
  call.out.Ok();
}

void CmdStoredFindPlayer(TQueryCall& call) {
  auto rows =
      SearchAccounts(*call.services.admin.storage, ServerIdOf(call), "%" + call.FreeText() + "%");
  if (!rows) return call.out.Error("no data available");
  call.out.Line("p_dbid\tloginname\tsa\tcreated\tlastonline");
  for (size_t i = 0; i < rows->Count(); ++i) {
    const TStorageRow& r = rows->Row(i);
    call.out.Line(r.FieldByName("i_client_id").GetAsString() + "\t" +
                  QueryQuoted(r.FieldByName("s_client_name").GetAsString()) + "\t" +
                  r.FieldByName("b_client_privilege_serveradmin").GetAsString() + "\t" +
                  FormatDate(call, r.FieldByName("dt_client_created").GetAsDateTime()) + "\t" +
                  LastOnline(call, r.FieldByName("dt_client_lastonline").GetAsDateTime()) + "\t");
  }
  call.out.Ok();
}

void CmdStoredPlayerInfo(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TCustomStorage& storage = *call.services.admin.storage;
  TClients accounts(ServerIdOf(call), &storage);
  const TClientAccount a = accounts.DBReadAccount(ServerIdOf(call), id);
  if (a.DBID == 0) return call.out.Error("invalid id");
  call.out.Line("p_dbid\tloginname\tsa\tcreated\tlastonline");
  call.out.Line(std::to_string(a.DBID) + "\t" + QueryEscaped(a.LoginName.Str()) + "\t" +
                ((a.Flags & ACCOUNT_FLAG_SERVER_ADMIN) ? "1" : "0") + "\t" +
                FormatDate(call, a.Created) + "\t" + LastOnline(call, a.LastOnline) + "\t");
  std::unique_ptr<TStorageContainer> rows;
  {
    TStorageScript q(storage, "read_client_channels_privileges.sql");
    q.SetInteger(":iServerID", ServerIdOf(call)).SetInteger(":iClientID", id);
    rows = q.Open();
  }
  if (!rows) return call.out.Error("no data available");
  call.out.Line("");
  call.out.Line("c_dbid\tc_dbpid\tc_name\tca\tao\tav");
  auto flag = [](const TStorageRow& r, const char* column) {
    return r.FieldByName(column).GetAsBoolean() ? "1" : "0";
  };
  for (size_t i = 0; i < rows->Count(); ++i) {
    const TStorageRow& r = rows->Row(i);
    call.out.Line(r.FieldByName("i_cp_channel_id").GetAsString() + "\t" +
                  r.FieldByName("i_channel_parent_id").GetAsString() + "\t" +
                  QueryQuoted(r.FieldByName("s_channel_name").GetAsString()) + "\t" +
                  flag(r, "b_cp_flag_admin") + "\t" + flag(r, "b_cp_flag_autoop") + "\t" +
                  flag(r, "b_cp_flag_autovoice") + "\t");
  }
  call.out.Ok();
}

void CmdSuperUserAdd(TQueryCall& call) {
  if (call.params[1] != call.params[2]) return call.out.Error("password dont match");
  if (AddSuperAccount(*call.services.admin.storage, call.params[0], call.params[1]) < 0)
    return call.out.Error("error");
  LogServerAdmin(call, "tcpquery : superserveradmin created by [LoginName: %1] for [LoginName: %2]",
                 call.params[0]);
  call.out.Ok();
}

void CmdSuperUserDelete(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  DeleteAccount(*call.services.admin.storage, kSuperUserServerId, id);
  call.out.Ok();
}

void CmdSuperUserChangePassword(TQueryCall& call) {
  ChangePassword(call, kSuperUserServerId);
}

void CmdSuperUserList(TQueryCall& call) {
  auto rows = ReadAccounts(*call.services.admin.storage, kSuperUserServerId);
  if (!rows) return call.out.Error("no data available");
  call.out.Line("id\tcreated\tlastonline\tname");
  WriteAccountRows(call, *rows, false);
  call.out.Ok();
}

}  // namespace vh
