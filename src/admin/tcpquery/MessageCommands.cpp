// Text messages to the players: msg (whole server), msgu (one player), msgall (every server).

#include "admin/tcpquery/QueryCommands.h"
#include "admin/tcpquery/QueryInterpreter.h"
#include "common/FieldLengths.h"
#include "common/Mutex.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "vserver/Notifier.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr int32_t kAdministratorSenderId = 255;
constexpr uint8_t kMessageToServer = 0;
constexpr uint8_t kMessageToPlayer = 2;

struct TMessage {
  std::string sender;
  std::string text;
};

TMessage BuildMessage(const TQueryCall& call, size_t from) {
  std::string text;
  for (char c : call.FreeText(from)) {
    if (c == '\r') continue;
    text.push_back(c == '\n' ? ' ' : c);
  }
  TMessage m;
  m.text = Trim(text);
  // A leading "@" sends without a sender name.
  if (!m.text.empty() && m.text[0] == '@')
    m.text.erase(0, 1);
  else
    m.sender = Cut("telnet." + call.LoginName(), kNameLength);
  return m;
}

void SendToServer(TServerObject& server, const TMessage& m) {
  TLockGuard registry(server.Clients()->Mutex());
  TLockGuard tree(server.Channels()->Mutex());
  TNotifier notifier(*server.Clients(), *server.Channels(), *server.PacketBuffer(),
                     server.ServerFlags(), server.ServerID());
  for (size_t i = 0; i < server.Clients()->Count(); ++i)
    notifier.SendTextMessage(*server.Clients()->Items(i), kAdministratorSenderId, kMessageToServer,
                             m.sender, m.text);
}

}  // namespace

void CmdMessage(TQueryCall& call) {
  SendToServer(*call.server, BuildMessage(call, 0));
  call.out.Ok();
}

void CmdMessageUser(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  TServerObject& server = *call.server;
  const TMessage m = BuildMessage(call, 1);
  TLockGuard registry(server.Clients()->Mutex());
  TLockGuard tree(server.Channels()->Mutex());
  TClientRecord* p = server.Clients()->GetClientByID(static_cast<uint32_t>(id));
  if (!p || id <= 0) return call.out.Error("invalid id");
  TNotifier notifier(*server.Clients(), *server.Channels(), *server.PacketBuffer(),
                     server.ServerFlags(), server.ServerID());
  notifier.SendTextMessage(*p, kAdministratorSenderId, kMessageToPlayer, m.sender, m.text);
  call.out.Ok();
}

void CmdMessageAll(TQueryCall& call) {
  const TMessage m = BuildMessage(call, 0);
  for (const TListedServer& s : call.session.ServerList)
    WithListedServer(call.services.admin, s,
                     [&](TServerObject& server) { SendToServer(server, m); });
  call.out.Ok();
}

}  // namespace vh
