#include "admin/StoredServerSettings.h"

#include "common/Log.h"
#include "common/Strings.h"
#include "storage/CustomStorage.h"

namespace vh {

namespace {

// Column of the server record and parameter of the edit script, in codec order.
constexpr const char* kCodecColumns[kCodecCount][2] = {
    {"b_server_allow_codec_celp51", ":bCelp51"},
    {"b_server_allow_codec_celp63", ":bCelp63"},
    {"b_server_allow_codec_gsm148", ":bGSM148"},
    {"b_server_allow_codec_gsm164", ":bGSM164"},
    {"b_server_allow_codec_celp52", ":bCelp52"},
    {"b_server_allow_codec_speex2150", ":bSpeex2150"},
    {"b_server_allow_codec_speex3950", ":bSpeex3950"},
    {"b_server_allow_codec_speex5950", ":bSpeex5950"},
    {"b_server_allow_codec_speex8000", ":bSpeex8000"},
    {"b_server_allow_codec_speex11000", ":bSpeex11000"},
    {"b_server_allow_codec_speex15000", ":bSpeex15000"},
    {"b_server_allow_codec_speex18200", ":bSpeex18200"},
    {"b_server_allow_codec_speex24600", ":bSpeex24600"},
};

}  // namespace

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
    s.Name = Cut(row.FieldByName("s_server_name").GetAsString(), 29);
    s.WelcomeMessage = Cut(row.FieldByName("s_server_welcomemessage").GetAsString(), 255);
    s.MaxUsers = static_cast<uint16_t>(row.FieldByName("i_server_maxusers").GetAsInteger());
    s.Port = static_cast<uint16_t>(row.FieldByName("i_server_udpport").GetAsInteger());
    s.Password = Cut(row.FieldByName("s_server_password").GetAsString(), 29);
    s.WebLinkURL = Cut(row.FieldByName("s_server_weblinkurl").GetAsString(), 255);
    s.WebPostURL = Cut(row.FieldByName("s_server_webposturl").GetAsString(), 255);
    for (int i = 0; i < kCodecCount; ++i)
      s.CodecPermits[static_cast<size_t>(i)] = row.FieldByName(kCodecColumns[i][0]).GetAsBoolean();
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
    const TVirtualServerSettings& s = w.Server;
    TStorageScript q(storage, "edit_server.sql");
    q.SetInteger(":iServerID", w.ServerId)
        .SetInteger(":iMaxUser", s.MaxUsers)
        .SetInteger(":iServerPort", s.Port)
        .SetBoolean(":bActive", true)
        .SetBoolean(":bClanServer", w.ClanServer)
        .SetString(":sName", s.Name)
        .SetString(":sWelcome", s.WelcomeMessage)
        .SetString(":sPassword", s.Password)
        .SetString(":sWebPostURL", s.WebPostURL)
        .SetString(":sWebLinkURL", s.WebLinkURL);
    for (int i = 0; i < kCodecCount; ++i)
      q.SetBoolean(kCodecColumns[i][1], s.CodecPermits[static_cast<size_t>(i)]);
    return q.Execute();
  } catch (const std::exception& e) {
    LogException("WriteStoredServerSettings", e, "SERVER");
    return false;
  }
}

}  // namespace vh
