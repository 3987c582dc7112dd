#include "admin/ServerAdmin.h"

#include "admin/AdminContext.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "storage/CustomStorage.h"
#include "vserver/Notifier.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

std::unique_ptr<TStorageContainer> ReadServers(TCustomStorage& storage) {
  try {
    TStorageScript q(storage, "read_servers.sql");
    return q.Open();
  } catch (const std::exception& e) {
    LogException("read_servers", e, "SERVER");
    return nullptr;
  }
}

// The stored row whose id, as text, equals `idText` exactly (so "07" or " 7" match nothing).
bool StoredIdExists(const TStorageContainer& rows, const std::string& idText) {
  for (size_t i = 0; i < rows.Count(); ++i)
    if (rows.Row(i).FieldByName("i_server_id").GetAsString() == idText) return true;
  return false;
}

}  // namespace

TServerOpResult StartStoredServer(const TAdminContext& context, const std::string& idText) {
  int64_t id = 0;
  if (!TryParseInt(idText, id) || id < INT32_MIN || id > INT32_MAX)
    return TServerOpResult::InvalidNumber;
  if (context.servers->FindVirtualServer(static_cast<int32_t>(id))) return TServerOpResult::Running;
  auto rows = ReadServers(*context.storage);
  if (!rows) return TServerOpResult::NoData;
  if (!StoredIdExists(*rows, idText)) return TServerOpResult::InvalidId;
  try {
    auto server =
        std::make_shared<TServerObject>(context.storage, context.servers, context.environment);
    return server->Start(static_cast<int32_t>(id), 0) ? TServerOpResult::Done
                                                      : TServerOpResult::Failed;
  } catch (const std::exception& e) {
    LogException("VirtualServer Startup(" + idText + ")", e, "SERVER");
    return TServerOpResult::Failed;
  }
}

TServerOpResult AddNewServer(const TAdminContext& context, uint16_t port,
                             std::shared_ptr<TServerObject>* started) {
  try {
    {
      TStorageScript q(*context.storage, "read_server_port.sql");
      q.SetInteger(":iPort", port);
      if (q.Open()) return TServerOpResult::PortInUse;
    }
    auto server =
        std::make_shared<TServerObject>(context.storage, context.servers, context.environment);
    if (!server->Start(0, port)) {
      // The record made before the socket failed stays stored: its port counts as in use
      // until the record is deleted.
      return TServerOpResult::Failed;
    }
    if (started) *started = std::move(server);
    return TServerOpResult::Done;
  } catch (const std::exception& e) {
    LogException("serveradd", e, "SERVER");
    return TServerOpResult::Failed;
  }
}

void StopServer(const TAdminContext& context, int32_t id) {
  // Id 0 would stop every server.
  if (id != 0) context.servers->StopVirtualServers(id);
}

TServerOpResult DeleteStoredServer(const TAdminContext& context, const std::string& idText) {
  if (context.servers->FindVirtualServerByText(idText)) return TServerOpResult::Running;
  auto rows = ReadServers(*context.storage);
  if (!rows) return TServerOpResult::NoData;
  if (!StoredIdExists(*rows, idText)) return TServerOpResult::InvalidId;
  int64_t id = 0;
  if (!TryParseInt(idText, id) || id <= 0 || id > INT32_MAX) return TServerOpResult::InvalidNumber;
  try {
    TStorageScript q(*context.storage, "delete_server.sql");
    q.SetInteger(":iServerID", id);
    return q.Execute() ? TServerOpResult::Done : TServerOpResult::Failed;
  } catch (const std::exception& e) {
    LogException("serverdel", e, "SERVER");
    return TServerOpResult::Failed;
  }
}

std::optional<std::vector<TStoredServer>> ListStoredServers(const TAdminContext& context) {
  auto rows = ReadServers(*context.storage);
  if (!rows) return std::nullopt;
  std::vector<TStoredServer> out;
  try {
    for (size_t i = 0; i < rows->Count(); ++i) {
      const TStorageRow& row = rows->Row(i);
      TStoredServer s;
      s.Id = row.FieldByName("i_server_id").GetAsInteger();
      s.Port = row.FieldByName("i_server_udpport").GetAsInteger();
      s.Name = row.FieldByName("s_server_name").GetAsString();
      s.Active = row.FieldByName("b_server_active").GetAsBoolean();
      s.Running = context.servers->FindVirtualServer(s.Id) != nullptr;
      out.push_back(std::move(s));
    }
  } catch (const std::exception& e) {
    LogException("ListStoredServers", e, "SERVER");
    return std::nullopt;
  }
  return out;
}

bool WithRunningServer(const TAdminContext& context, const TServerObject* server,
                       const std::function<void(TServerObject&)>& use) {
  bool used = false;
  context.servers->WithVirtualServer(server, [&](TServerObject& s) {
    if (!s.Running() || !s.Clients() || !s.Channels()) return;
    used = true;
    use(s);
  });
  return used;
}

std::optional<size_t> RunningPlayerCount(const TAdminContext& context, int32_t id) {
  std::optional<size_t> players;
  const std::shared_ptr<TServerObject> server = context.servers->FindVirtualServer(id);
  WithRunningServer(context, server.get(), [&](TServerObject& s) {
    TLockGuard registry(s.Clients()->Mutex());
    players = s.Clients()->Count();
  });
  return players;
}

int32_t RunListenerRequest(TServerObject& server, TListenerRequest request, int timeoutMs) {
  request.RequestText = Cut(request.RequestText, kTextLength);
  request.RequestIssuer = Cut(request.RequestIssuer, kNameLength);
  return server.ExecuteRequest(std::move(request), timeoutMs).ResultCode;
}

int32_t SaveServerSettings(TServerObject& server, int timeoutMs) {
  const bool saved = server.SaveServer();
  TListenerRequest r;
  r.Type = TListenerRequestKind::ServerPropertiesChanged;
  const int32_t code = RunListenerRequest(server, r, timeoutMs);
  return saved ? code : RC_INTERNAL_ERROR;
}

int32_t EditServerSettings(TServerObject& server, const TVirtualServerSettings& settings,
                           std::optional<bool> clanServer, int timeoutMs) {
  server.SetSettings(settings);
  if (clanServer) {
    // The flags first, then the mark: a request 8 that runs between them sees the new type.
    const bool changed = *clanServer != server.IsClanServer();
    server.ServerFlags().store(
        static_cast<uint16_t>(*clanServer ? SF_CLAN | SF_FREEWARE : SF_PUBLIC | SF_FREEWARE));
    if (changed) server.TypeChanged().store(true);
  }
  return SaveServerSettings(server, timeoutMs);
}

}  // namespace vh
