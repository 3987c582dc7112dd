// Connected players and channels of the selected server: fp, pi, fc, ci, dbci, dccl (reads
// under the registry and channel tree locks) and sppriv, kick, removeclient, mptc, ki,
// channelset (changes handed to the listener). A listener request is never issued while the
// registry or tree lock is held: the listener needs both to carry it out.

#include <chrono>
#include <thread>

#include "admin/AdminContext.h"
#include "admin/DateFormat.h"
#include "admin/ServerAdmin.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/Log.h"
#include "common/Mutex.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "storage/CustomStorage.h"
#include "transport/ConnectionTable.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr const char* kChannelDateFormat = "dd-mm-yy hh:nn:ss";

const char* Bit(uint32_t value, uint32_t bit) {
  return (value & bit) ? "1" : "0";
}

bool LoginIsServerAdmin(const TQueryCall& call) {
  return call.session.Login && call.session.Login->IsServerAdmin();
}

void AnswerResult(TQueryCall& call, int32_t code) {
  if (code == RC_OK) return call.out.Ok();
  call.out.Error(ResultCodeText(code));
}

bool PlayerExists(TServerObject& server, int32_t id) {
  TLockGuard registry(server.Clients()->Mutex());
  return id > 0 && server.Clients()->GetClientByID(static_cast<uint32_t>(id)) != nullptr;
}

void KickOrRemove(TQueryCall& call, TListenerRequestKind type) {
  int32_t id = 0;
  if (!call.Number(0, id) || !PlayerExists(*call.server, id)) return call.out.Error("invalid id");
  TListenerRequest r;
  r.Type = type;
  r.RequestTarget = id;
  r.RequestText = call.FreeText(1);
  r.RequestIssuer = call.LoginName();
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

}  // namespace

void CmdFindPlayer(TQueryCall& call) {
  TServerObject& server = *call.server;
  const std::string text = LowerCase(call.params[0]);
  call.out.Line("p_id\tp_dbid\tc_id\tnickname\tloginname\tip");
  TLockGuard registry(server.Clients()->Mutex());
  for (size_t i = 0; i < server.Clients()->Count(); ++i) {
    const TClientRecord* p = server.Clients()->Items(i);
    if (LowerCase(p->NickName.Str()).find(text) == std::string::npos &&
        LowerCase(p->LoginName.Str()).find(text) == std::string::npos)
      continue;
    std::string line = std::to_string(p->PlayerID) + "\t" + std::to_string(p->DBID) + "\t" +
                       std::to_string(p->ChannelID) + "\t" + QueryQuoted(p->NickName.Str()) + "\t" +
                       QueryQuoted(p->LoginName.Str()) + "\t";
    if (LoginIsServerAdmin(call))
      line +=
          QueryQuoted(server.PacketBuffer()->GetConnectionStats(p->PlayerID).peerAddress) + "\t";
    call.out.Line(line);
  }
  call.out.Ok();
}

void CmdPlayerInfo(TQueryCall& call) {
  TServerObject& server = *call.server;
  int32_t id = 0;
  TModelLock lock(*server.Clients(), *server.Channels());
  const TClientRecord* p = call.Number(0, id) && id > 0
                               ? server.Clients()->GetClientByID(static_cast<uint32_t>(id))
                               : nullptr;
  if (!p) return call.out.Error("invalid id");
  call.out.Line("p_id\tp_dbid\tc_id\tnickname\tloginname\tsa\tst\tip");
  std::string line = std::to_string(p->PlayerID) + "\t" + std::to_string(p->DBID) + "\t" +
                     std::to_string(p->ChannelID) + "\t" + QueryQuoted(p->NickName.Str()) + "\t" +
                     QueryQuoted(p->LoginName.Str()) + "\t" +
                     Bit(p->PlayerPrivileges, PP_SERVER_ADMIN) + "\t" +
                     Bit(p->PlayerPrivileges, PP_STICKY) + "\t";
  if (LoginIsServerAdmin(call))
    line += QueryQuoted(server.PacketBuffer()->GetConnectionStats(p->PlayerID).peerAddress) + "\t";
  call.out.Line(line);
  call.out.Line("");
  call.out.Line("c_id\tname\tca\to\tao\tv\tav");
  TChannels& tree = *server.Channels();
  for (size_t i = 0; i < tree.Count(); ++i) {
    const TChannel* c = tree.Items(i);
    const TChannelPrivilege* e = c->Privileges.Get(static_cast<int32_t>(p->PlayerID));
    if (!e) continue;
    call.out.Line(std::to_string(c->ID) + "\t" + QueryQuoted(c->Name) + "\t" +
                  Bit(e->Flags, CP_CHANNEL_ADMIN) + "\t" + Bit(e->Flags, CP_OPERATOR) + "\t" +
                  Bit(e->Flags, CP_AUTO_OPERATOR) + "\t" + Bit(e->Flags, CP_VOICE) + "\t" +
                  Bit(e->Flags, CP_AUTO_VOICE) + "\t");
  }
  call.out.Ok();
}

void CmdFindChannel(TQueryCall& call) {
  TChannels& tree = *call.server->Channels();
  const std::string text = LowerCase(call.params[0]);
  call.out.Line("c_id\tc_dbid\tc_name");
  TLockGuard lock(tree.Mutex());
  for (size_t i = 0; i < tree.Count(); ++i) {
    const TChannel* c = tree.Items(i);
    if (LowerCase(c->Name).find(text) == std::string::npos) continue;
    call.out.Line(std::to_string(c->ID) + "\t" + std::to_string(c->DBID) + "\t" + c->Name);
  }
  call.out.Ok();
}

void CmdChannelInfo(TQueryCall& call) {
  TServerObject& server = *call.server;
  int32_t id = 0;
  TModelLock lock(*server.Clients(), *server.Channels());
  const TChannel* c = call.Number(0, id) ? server.Channels()->GetChannel(id) : nullptr;
  if (!c) return call.out.Error("invalid id");
  call.out.Line(
      "c_id\tc_pid\tc_dbid\tc_name\tc_fU\tc_fM\tc_fP\tc_fH\tc_fD\tc_codec\tc_order\tc_maxusers\t"
      "c_created\tc_topic\tc_description\t");
  const uint16_t flags = c->Flags | (c->Password.Empty() ? 0 : CF_PASSWORD);
  call.out.Line(std::to_string(c->ID) + "\t" + std::to_string(c->ParentID) + "\t" +
                std::to_string(c->DBID) + "\t" + QueryQuoted(c->Name) + "\t" +
                Bit(flags, CF_UNREGISTERED) + "\t" + Bit(flags, CF_MODERATED) + "\t" +
                Bit(flags, CF_PASSWORD) + "\t" + Bit(flags, CF_HIERARCHICAL) + "\t" +
                Bit(flags, CF_DEFAULT) + "\t" + std::to_string(c->Codec) + "\t" +
                std::to_string(c->Order) + "\t" + std::to_string(c->MaxUsers) + "\t" +
                FormatDateTime(kChannelDateFormat, c->Created) + "\t" + QueryQuoted(c->Topic) +
                "\t" + QueryQuoted(c->Description) + "\t");
  call.out.Line("");
  call.out.Line("p_id\tp_nick\tsa\tca\to\tao\tv\tav\tcst\treg");
  for (size_t i = 0; i < c->Players.Count(); ++i) {
    const TClientRecord* p = c->Players.Items(i);
    const uint16_t cp = p->ChannelPrivileges, pp = p->PlayerPrivileges;
    call.out.Line(std::to_string(p->PlayerID) + "\t" + QueryQuoted(p->NickName.Str()) + "\t" +
                  Bit(pp, PP_SERVER_ADMIN) + "\t" + Bit(cp, CP_CHANNEL_ADMIN) + "\t" +
                  Bit(cp, CP_OPERATOR) + "\t" + Bit(cp, CP_AUTO_OPERATOR) + "\t" +
                  Bit(cp, CP_VOICE) + "\t" + Bit(cp, CP_AUTO_VOICE) + "\t" + Bit(pp, PP_STICKY) +
                  "\t" + Bit(pp, PP_REGISTERED) + "\t");
  }
  call.out.Ok();
}

void CmdStoredChannelInfo(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TCustomStorage& storage = *call.services.admin.storage;
  const int32_t serverId = call.server->ServerID();
  std::unique_ptr<TStorageContainer> rows;
  {
    TStorageScript q(storage, "read_channel.sql");
    q.SetInteger(":iServerID", serverId).SetInteger(":iChannelID", id);
    rows = q.Open();
  }
  if (!rows) return call.out.Error("invalid id");
  const TStorageRow& r = rows->Row(0);
  auto flag = [&](const char* column) { return r.FieldByName(column).GetAsBoolean() ? "1" : "0"; };
  call.out.Line(
      "c_dbid\tc_dbpid\tc_name\tc_fU\tc_fM\tc_fP\tc_fH\tc_fD\tc_codec\tc_order\tc_maxusers\t"
      "c_created\tc_topic\tc_description\t");
  // Stored channels are registered ones: the unregistered flag is always 0.
  call.out.Line(
      r.FieldByName("i_channel_id").GetAsString() + "\t" +
      r.FieldByName("i_channel_parent_id").GetAsString() + "\t" +
      QueryQuoted(r.FieldByName("s_channel_name").GetAsString()) + "\t0\t" +
      flag("b_channel_flag_moderated") + "\t" +
      (r.FieldByName("s_channel_password").GetAsString().empty() ? "0" : "1") + "\t" +
      flag("b_channel_flag_hierarchical") + "\t" + flag("b_channel_flag_default") + "\t" +
      r.FieldByName("i_channel_codec").GetAsString() + "\t" +
      r.FieldByName("i_channel_order").GetAsString() + "\t" +
      r.FieldByName("i_channel_maxusers").GetAsString() + "\t" +
      FormatDateTime(kChannelDateFormat, r.FieldByName("dt_channel_created").GetAsDateTime()) +
      "\t" + QueryQuoted(r.FieldByName("s_channel_topic").GetAsString()) + "\t" +
      QueryQuoted(r.FieldByName("s_channel_description").GetAsString()) + "\t");
  {
    TStorageScript q(storage, "read_channel_privileges.sql");
    q.SetInteger(":iServerID", serverId).SetInteger(":iChannelID", id);
    rows = q.Open();
  }
  if (!rows) return call.out.Error("no data available");
  call.out.Line("");
  call.out.Line("p_dbid\tloginname\tca\tao\tav");
  for (size_t i = 0; i < rows->Count(); ++i) {
    const TStorageRow& p = rows->Row(i);
    auto pflag = [&](const char* column) {
      return p.FieldByName(column).GetAsBoolean() ? "1" : "0";
    };
    const TCustomStorageField* name = p.FindField("s_client_name");
    call.out.Line(p.FieldByName("i_cp_client_id").GetAsString() + "\t" +
                  QueryEscaped(name ? name->GetAsString() : std::string()) + "\t" +
                  pflag("b_cp_flag_admin") + "\t" + pflag("b_cp_flag_autoop") + "\t" +
                  pflag("b_cp_flag_autovoice") + "\t");
  }
  call.out.Ok();
}

void CmdChannelClientList(TQueryCall& call) {
  TServerObject& server = *call.server;
  TModelLock lock(*server.Clients(), *server.Channels());
  TChannels& tree = *server.Channels();
  call.out.Line("c_id\tc_name\tp_id\tp_name");
  for (size_t i = 0; i < tree.Count(); ++i) {
    const TChannel* c = tree.Items(i);
    const std::string head = std::to_string(c->ID) + "\t" + QueryQuoted(c->Name) + "\t";
    if (c->Players.Count() == 0) call.out.Line(head + "-1\t");
    for (size_t j = 0; j < c->Players.Count(); ++j) {
      const TClientRecord* p = c->Players.Items(j);
      call.out.Line(head + std::to_string(p->PlayerID) + "\t" + QueryQuoted(p->NickName.Str()) +
                    "\t");
    }
  }
  call.out.Ok();
}

void CmdSetPlayerPrivilege(TQueryCall& call) {
  TServerObject& server = *call.server;
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TListenerRequest r;
  r.Type = TListenerRequestKind::SetPlayerPrivileges;
  r.RequestTarget = id;
  const std::string name = LowerCase(call.params[1]);
  const bool set = call.params[2] == "1";
  std::string logText;
  {
    TLockGuard registry(server.Clients()->Mutex());
    const TClientRecord* p =
        id > 0 ? server.Clients()->GetClientByID(static_cast<uint32_t>(id)) : nullptr;
    if (!p) return call.out.Error("invalid id");
    uint16_t flags = p->PlayerPrivileges;
    uint16_t bit = 0;
    if (name == "privilege_serveradmin") {
      bit = PP_SERVER_ADMIN;
      if (call.services.admin.Settings().LogServerAdmin)
        LogFormat(LMT_ALL, LMD_INFO, {call.LoginName(), p->LoginName.Str(), p->NickName.Str()},
                  set ? "tcpquery : serveradmin granted by [LoginName: %1] for [NickName: %3, "
                        "LoginName: %2]"
                      : "tcpquery : serveradmin revoked by [LoginName: %1] for [NickName: %3, "
                        "LoginName: %2]",
                  "SALog");
    } else if (name == "privilege_canregister") {
      bit = PP_ALLOWED_TO_REGISTER;
    } else if (name == "privilege_channelsticky") {
      if (flags & PP_SERVER_ADMIN) return call.out.Error("error");
      bit = PP_STICKY;
    } else {
      return call.out.Error("error");
    }
    flags = set ? (flags | bit) : (flags & static_cast<uint16_t>(~bit));
    r.RequestFlags = flags;
  }
  AnswerResult(call, RunListenerRequest(server, r));
}

void CmdKick(TQueryCall& call) {
  KickOrRemove(call, TListenerRequestKind::KickWithReason);
}

void CmdRemoveClient(TQueryCall& call) {
  KickOrRemove(call, TListenerRequestKind::RemoveWithText);
}

void CmdMovePlayer(TQueryCall& call) {
  int32_t player = 0, channel = 0;
  if (!call.Number(0, player) || !call.Number(1, channel))
    return call.out.Error("invalid number format");
  TListenerRequest r;
  r.Type = TListenerRequestKind::MovePlayer;
  r.RequestTarget = player;
  r.RequestArgument = channel;
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

void CmdKickIdlers(TQueryCall& call) {
  TServerObject& server = *call.server;
  int32_t minutes = 0, flags = 0;
  if (!call.Number(0, minutes) || !call.Number(1, flags))
    return call.out.Error("invalid number format");
  const std::string reason = call.FreeText(2);
  std::vector<int32_t> ids;
  {
    TModelLock lock(*server.Clients(), *server.Channels());
    const TDateTime now = NowDateTime();
    for (size_t i = 0; i < server.Clients()->Count(); ++i) {
      const TClientRecord* p = server.Clients()->Items(i);
      const TChannel* c = server.Channels()->GetChannel(p->ChannelID);
      if (!c) continue;
      const int64_t idle = static_cast<int64_t>((now - p->LastActivity) * 86400.0);
      if (idle < static_cast<int64_t>(minutes) * 60) continue;
      const bool playerSelected =
          ((flags & 1) && !p->IsRegistered()) || ((flags & 2) && p->IsRegistered());
      const bool channelSelected =
          ((flags & 4) && !c->IsRegistered()) || ((flags & 8) && c->IsRegistered());
      if (playerSelected && channelSelected) ids.push_back(static_cast<int32_t>(p->PlayerID));
    }
  }
  for (int32_t id : ids) {
    TListenerRequest r;
    r.Type = TListenerRequestKind::KickWithReason;
    r.RequestTarget = id;
    r.RequestText = reason;
    r.RequestIssuer = call.LoginName();
    RunListenerRequest(server, r);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  call.out.Line("kicked=" + std::to_string(ids.size()));
  call.out.Ok();
}

void CmdChannelSet(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TListenerRequest r;
  r.Type = TListenerRequestKind::SetChannelRegistered;
  r.RequestTarget = id;
  r.RequestText = call.params[1];
  AnswerResult(call, RunListenerRequest(*call.server, r));
}

}  // namespace vh
