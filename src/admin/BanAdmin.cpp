#include "admin/BanAdmin.h"

#include "common/Log.h"
#include "model/BanMatch.h"
#include "storage/CustomStorage.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

template <typename Run>
TBanResult RunAndReload(TServerObject& server, const char* operation, Run run) {
  bool ok = false;
  try {
    ok = run(*server.Storage()).Ok();
  } catch (const std::exception& e) {
    LogException(operation, e, "SERVER");
  }
  if (!ok) return TBanResult::Failed;
  server.LoadBans();
  return TBanResult::Done;
}

}  // namespace

TBanResult AddBan(TServerObject& server, const std::string& ip, int32_t minutes,
                  const std::string& by) {
  if (server.BanCount() >= kMaxBans) return TBanResult::LimitReached;
  const std::optional<std::string> pattern = BanPatternFrom(ip);
  if (!pattern) return TBanResult::BadPattern;
  return RunAndReload(server, "banadd", [&, &ip = *pattern](TCustomStorage& storage) {
    TStorageScript q(storage, "delete_ban_ip.sql");
    q.SetInteger(":iServerID", server.ServerID()).SetString(":sIP", ip);
    if (TStoreResult deleted = q.Execute(); !deleted) return deleted;
    q.Load("new_ban.sql");
    q.SetInteger(":iServerID", server.ServerID())
        .SetString(":sBy", by)
        .SetString(":sIP", ip)
        .SetDateTime(":dtCreated", NowDateTime())
        .SetInteger(":iMinutes", minutes);
    return q.Execute();
  });
}

TBanResult DeleteBan(TServerObject& server, int32_t banId) {
  return RunAndReload(server, "bandel", [&](TCustomStorage& storage) {
    TStorageScript q(storage, "delete_ban.sql");
    q.SetInteger(":iServerID", server.ServerID()).SetInteger(":iBanID", banId);
    return q.Execute();
  });
}

TBanResult ClearBans(TServerObject& server) {
  return RunAndReload(server, "banclear", [&](TCustomStorage& storage) {
    TStorageScript q(storage, "remove_bans.sql");
    q.SetInteger(":iServerID", server.ServerID());
    return q.Execute();
  });
}

}  // namespace vh
