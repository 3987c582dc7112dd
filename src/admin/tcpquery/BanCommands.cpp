// IP bans of the selected server: banlist, banadd, bandel, banclear, banplayer. The
// operations are the shared ones of admin/BanAdmin.h.

#include "admin/AdminContext.h"
#include "admin/BanAdmin.h"
#include "admin/DateFormat.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/FieldLengths.h"
#include "common/Mutex.h"
#include "common/NetAddress.h"
#include "common/Strings.h"
#include "model/BanMatch.h"
#include "model/Clients.h"
#include "storage/CustomStorage.h"
#include "transport/ConnectionTable.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

// Room of a stored dotted ban pattern: an IPv4 address with wildcards fits many times over.
// IPv6 patterns are checked and stored whole (at most 43 characters with a prefix length).
constexpr size_t kBanIpRoom = kNameLength;

void Answer(TQueryCall& call, TBanResult r) {
  switch (r) {
    case TBanResult::Done:
      return call.out.Ok();
    case TBanResult::LimitReached:
      return call.out.Error("maximal record count reached");
    case TBanResult::Failed:
      return call.out.Error("error");
    case TBanResult::BadPattern:
      return call.out.Error("invalid ip");
  }
}

// Minutes from parameter 2 (0 when absent); false with the error written.
bool Minutes(TQueryCall& call, int32_t& minutes) {
  minutes = 0;
  return call.Count() < 2 || call.NumberOrError(1, minutes);
}

}  // namespace

void CmdBanList(TQueryCall& call) {
  std::unique_ptr<TStorageContainer> rows;
  {
    TStorageScript q(*call.services.admin.storage, "read_bans.sql");
    q.SetInteger(":iServerID", call.server->ServerID());
    rows = q.Open();
  }
  if (!rows) return call.out.Error("no data available");
  const std::string format = call.services.admin.Settings().DateTimeFormat;
  call.out.Line("b_id\tip\tcreated\tmins\tby");
  for (size_t i = 0; i < rows->Count(); ++i) {
    const TStorageRow& r = rows->Row(i);
    call.out.Line(r.FieldByName("i_ban_id").GetAsString() + "\t" +
                  r.FieldByName("s_ban_ip").GetAsString() + "\t" +
                  FormatDateTime(format, r.FieldByName("dt_ban_created").GetAsDateTime()) + "\t" +
                  r.FieldByName("i_ban_minutes").GetAsString() + "\t" +
                  QueryQuoted(r.FieldByName("s_ban_by").GetAsString()));
  }
  call.out.Ok();
}

void CmdBanAdd(TQueryCall& call) {
  int32_t minutes = 0;
  if (!Minutes(call, minutes)) return;
  const std::string& ip = call.params[0];
  Answer(call, AddBan(*call.server, IsIPv6Text(ip) ? ip : Cut(ip, kBanIpRoom), minutes,
                      call.LoginName()));
}

void CmdBanDelete(TQueryCall& call) {
  int32_t id = 0;
  if (!call.NumberOrError(0, id)) return;
  Answer(call, DeleteBan(*call.server, id));
}

void CmdBanClear(TQueryCall& call) {
  Answer(call, ClearBans(*call.server));
}

void CmdBanPlayer(TQueryCall& call) {
  TServerObject& server = *call.server;
  int32_t id = 0;
  std::string ip;
  if (call.Number(0, id) && id > 0) {
    TLockGuard registry(server.Clients()->Mutex());
    if (server.Clients()->GetClientByID(static_cast<uint32_t>(id)))
      ip = server.PacketBuffer()->GetConnectionStats(static_cast<uint32_t>(id)).peerAddress;
  }
  if (ip.empty()) return call.out.Error("invalid id");
  int32_t minutes = 0;
  if (!Minutes(call, minutes)) return;
  Answer(call, AddBan(server, PlayerBanPattern(ip), minutes, call.LoginName()));
}

}  // namespace vh
