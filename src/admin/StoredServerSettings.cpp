#include "admin/StoredServerSettings.h"

#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "storage/CustomStorage.h"
#include "vserver/CodecTable.h"

namespace vh {

std::optional<TStoredServerSettings> ReadStoredServerSettings(TCustomStorage& storage,
                                                              int32_t serverId) {
  TStoredServerSettings w;
  w.ServerId = serverId;
  try {
    TStorageScript q(storage, "read_server.sql");
    q.SetInteger(":iServerID", serverId);
    auto rows = q.Open();
    if (!rows || rows->Count() == 0) return std::nullopt;
    const TStorageRow& row = rows->Row(0);
    TVirtualServerSettings& s = w.Server;
    s.Name = Cut(row.FieldByName("s_server_name").GetAsString(), kNameLength);
    s.WelcomeMessage = Cut(row.FieldByName("s_server_welcomemessage").GetAsString(), kTextLength);
    s.MaxUsers = static_cast<uint16_t>(row.FieldByName("i_server_maxusers").GetAsInteger());
    s.Port = static_cast<uint16_t>(row.FieldByName("i_server_udpport").GetAsInteger());
    s.Password = Cut(row.FieldByName("s_server_password").GetAsString(), kNameLength);
    s.WebLinkURL = Cut(row.FieldByName("s_server_weblinkurl").GetAsString(), kTextLength);
    s.WebPostURL = Cut(row.FieldByName("s_server_webposturl").GetAsString(), kTextLength);
    for (int i = 0; i < kCodecCount; ++i)
      s.CodecPermits[static_cast<size_t>(i)] =
          row.FieldByName(kCodecTable[i].column).GetAsBoolean();
    w.ClanServer = row.FieldByName("b_server_clan_server").GetAsBoolean();
  } catch (const std::exception& e) {
    LogException("ReadStoredServerSettings", e, "SERVER");
    return std::nullopt;
  }
  for (size_t g = 0; g < kUserGroupCount; ++g)
    w.Permissions.Sets[g] = ReadServerPrivileges(&storage, static_cast<uint32_t>(serverId),
                                                 UserGroupName(static_cast<TUserGroup>(g)));
  return w;
}

bool WriteStoredServerSettings(TCustomStorage& storage, const TStoredServerSettings& w) {
  try {
    TStorageScript q(storage, "edit_server.sql");
    BindServerRow(q, w.ServerId, w.ClanServer, w.Server);
    return q.Execute().Ok();
  } catch (const std::exception& e) {
    LogException("WriteStoredServerSettings", e, "SERVER");
    return false;
  }
}

}  // namespace vh
