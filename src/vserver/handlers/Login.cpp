// The login of a client: the login request (connection packet kind 3) and the join request
// (command 5). Listener thread, registry and channel tree locks held.
#include <algorithm>
#include <memory>

#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/PacketBuffer.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr int32_t kLoginRequestSize = 180;
constexpr int32_t kLoginReplySize = 436;
constexpr int32_t kJoinRequestSize = 120;
constexpr int32_t kChannelListFlushSize = 472;
constexpr int32_t kPlayerListSize = 468;
constexpr int32_t kClosingPacketSize = 280;
constexpr uint8_t kLoginModeAnonymous = 1;
constexpr uint8_t kLoginModeRegistered = 2;

struct TRecordFree {
  void operator()(TClientRecord* r) const { TClients::FreeAndClearClient(r); }
};
using TRecordHolder = std::unique_ptr<TClientRecord, TRecordFree>;

std::string ShortStringAt(const TPacket& p, int32_t offset) {
  return TName29::ReadFrom(p.Memory() + offset).Str();
}

const char* RefusalReason(int32_t code) {
  switch (code) {
    case -1:
      return "Bad Login";
    case -2:
      return "Server Full";
    case -3:
      return "No Anonymous allowed";
    case -4:
      return "NickName in use";
    case -5:
      return "Client Version not supported";
    case -6:
      return "Client is banned";
    case -7:
      return "LoginName in use";
    default:
      return "";
  }
}

}  // namespace

std::string TVHUDPListener::CheckNickNameChars(std::string_view nickname) const {
  const THostPolicy& s = Policy();
  const std::string allowed = UpperCase(s.AllowedClientNameChars);
  const std::string disallowed = UpperCase(s.DisAllowedClientNameChars);
  std::string invalid;
  for (char c : nickname) {
    const char u = UpperCase(std::string_view(&c, 1))[0];
    bool bad = false;
    if (!allowed.empty())
      bad = allowed.find(u) == std::string::npos;
    else if (!disallowed.empty())
      bad = disallowed.find(u) != std::string::npos;
    if (bad && invalid.find(c) == std::string::npos) invalid.push_back(c);
  }
  return invalid;
}

std::string TVHUDPListener::GetGuestPlayerName(std::string_view name) {
  auto firstFree = [this](const std::string& base) {
    for (int n = 1;; ++n) {
      std::string candidate = base + std::to_string(n);
      if (!Clients().GetClientByNickName(candidate)) return candidate;
    }
  };
  try {
    if (Trim(name).empty()) return firstFree("Guest");
    if (!Clients().GetClientByNickName(name)) return std::string(name);
    std::string numbered = firstFree(std::string(name));
    // A nickname has room for 29 characters; a longer one would be cut and could collide.
    if (numbered.size() > TName29::kRoom) return firstFree("Guest");
    return numbered;
  } catch (const std::exception& e) {
    LogHandlerException("GetGuestPlayerName", e);
    return std::string(name);
  }
}

void TVHUDPListener::SendLoginReply(TClientRecord& record, int32_t code, std::string_view text,
                                    bool withProperties, bool closeAfter) {
  auto reply = NewConnectionPacket(kConnLoginReply, 0, record.PlayerID);
  reply->SetSize(kLoginReplySize);
  std::fill(reply->Memory() + kConnectionHeaderSize, reply->Memory() + kLoginReplySize, 0);
  if (withProperties) {
    const TVirtualServerSettings settings = server_.Settings();
    TName29(settings.Name).WriteTo(reply->Memory() + 20);
    TName29(server_.PlatformLabel()).WriteTo(reply->Memory() + 50);
    reply->SetWordAt(80, 2);
    reply->SetWordAt(82, 0);
    reply->SetWordAt(84, 20);
    reply->SetWordAt(86, 1);
    reply->SetLongAt(92, server_.CodecBits());
    reply->SetWordAt(100, server_.ServerFlags().load());
    server_.Permissions().WriteTo(reply->Memory() + 102);
    reply->SetLongAt(168, settings.MaxUsers);
  }
  reply->SetLongAt(88, static_cast<uint32_t>(code));
  reply->SetLongAt(172, record.ConnectionID);
  reply->SetLongAt(176, record.PlayerID);
  TShortString<255>(text).WriteTo(reply->Memory() + 180);
  notifier_.Send(std::move(reply), closeAfter);
}

void TVHUDPListener::CMD_cs_LoginStep1() {
  try {
    const TPacket& p = *eventPacket_;
    const THostPolicy& settings = Policy();
    if (p.Size() != kLoginRequestSize) {
      TRecordHolder record(TClients::NewClient());
      record->ConnectionID = Clients().GetNewConnectionID();
      record->PlayerID = Clients().GetNewPlayerID();
      Buffer().AddConnection(record->PlayerID, record->ConnectionID, p.LocalAddress(), 1,
                             p.PeerPort(), p.PeerAddress());
      SendLoginReply(*record, -5, "", false, true);
      return;
    }
    TRecordHolder record(TClients::NewClient());
    TClientRecord& r = *record;
    r.ConnectionID = Clients().GetNewConnectionID();
    r.ClientInfo1 = ShortStringAt(p, 20);
    r.ClientInfo2 = ShortStringAt(p, 50);
    r.VersionMajor = p.WordAt(80);
    r.VersionMinor = p.WordAt(82);
    r.VersionRelease = p.WordAt(84);
    r.VersionBuild = p.WordAt(86);
    r.LoggedIn = 0;
    const uint8_t renameOption = p.ByteAt(88);
    const uint8_t loginMode = p.ByteAt(89);
    int32_t code = 0;
    std::string text;

    if (r.VersionRelease < 28 && r.VersionBuild < 40) code = -5;
    if (code == 0) {
      r.LoginName = ShortStringAt(p, 90);
      r.Password = ShortStringAt(p, 120);
      r.NickName = ShortStringAt(p, 150);
      r.LastActivity = r.LoginTime = NowDateTime();
      r.ChannelID = -1;
      r.ChannelPrivileges = r.PlayerPrivileges = r.PlayerFlags = 0;
      if (loginMode == kLoginModeRegistered && !r.LoginName.Empty()) {
        TRecordHolder account(Clients().DBValidLogin(r.LoginName.Str(), r.Password.Str()));
        if (account) {
          r.PlayerPrivileges = static_cast<uint16_t>((account->PlayerPrivileges | PP_REGISTERED) &
                                                     ~PP_ALLOWED_TO_REGISTER);
          r.Created = account->Created;
          r.DBID = account->DBID;
        } else {
          code = -21;
        }
        if (code == 0 && Clients().isLoggedIn(r.LoginName.Str())) code = -7;
      }
      if (renameOption != 0) r.NickName = GetGuestPlayerName(r.NickName.Str());
    }

    r.PlayerID = Clients().GetNewPlayerID();
    Buffer().AddConnection(r.PlayerID, r.ConnectionID, p.LocalAddress(), 1, p.PeerPort(),
                           p.PeerAddress());

    const TVirtualServerSettings vs = server_.Settings();
    if (!r.IsRegistered() && !vs.Password.empty() && r.Password.Str() != vs.Password) code = -1;
    const std::string invalid = CheckNickNameChars(r.NickName.Str());
    if (!invalid.empty()) {
      text = "Your nickname contains the following invalid characters \"" + invalid + "\".";
      code = -1;
    }
    DBRemoveOldBans();
    int64_t remaining = -1;
    if (IsBanned(p.PeerAddress(), remaining)) {
      if (remaining >= 0)
        text = "You have been timebanned from this server, you may connect in " +
               FormatUptime(remaining);
      code = -6;
    }

    if (code != 0) {
      if (r.IsRegistered() && (settings.LogAccessRegistered || settings.LogAccessUnregistered))
        LogFormat(LMT_ALL, LMD_INFO,
                  {RefusalReason(code), p.PeerAddress(), r.NickName.Str(), r.LoginName.Str(),
                   r.VersionMajor, r.VersionMinor, r.VersionRelease, r.VersionBuild},
                  "client disconnected, reason %1 [IP: %2, Nick: %3, LoginName: %4, Version: "
                  "%5.%6.%7.%8]",
                  "AccessLog");
      SendLoginReply(r, code, text, false, true);
      return;
    }

    int32_t result = 0;
    if (Clients().Count() >= vs.MaxUsers) result = -2;
    if (result == 0 && loginMode == kLoginModeAnonymous && !vs.Password.empty() &&
        r.Password.Str() != vs.Password)
      result = -1;
    if (result == 0) result = 1;
    if (Clients().GetClientByNickName(r.NickName.Str())) result = -4;
    const std::string trimmed = Trim(r.NickName.Str());
    if (trimmed.empty()) result = -1;
    for (const std::string& bad : Policy().BadNames)
      if (EqualsIgnoreCase(bad, trimmed)) result = -1;
    // One address may hold only a few logins that have not joined; more would fill the
    // server with sessions nobody completes.
    if (result == 1 && Buffer().TooManyHalfOpenLogins(r.PlayerID)) result = -2;

    const std::string welcome = result >= 0 ? vs.WelcomeMessage : std::string();
    if (result <= 0) {
      SendLoginReply(r, result, welcome, true, true);
      return;
    }
    SendLoginReply(r, result, welcome, true, false);
    if (!Clients().AddClient(record.get())) return;
    TClientRecord* added = record.release();
    if (settings.LogAccessRegistered && added->IsRegistered())
      LogFormat(
          LMT_ALL, LMD_INFO,
          {p.PeerAddress(), added->NickName.Str(), added->LoginName.Str(), added->DBID,
           added->VersionMajor, added->VersionMinor, added->VersionRelease, added->VersionBuild},
          "client connected [IP: %1, Nick: %2, LoginName: %3, DBID: %4, Version: "
          "%5.%6.%7.%8]",
          "AccessLog");
    else if (settings.LogAccessUnregistered)
      LogFormat(LMT_ALL, LMD_INFO,
                {p.PeerAddress(), added->NickName.Str(), added->VersionMajor, added->VersionMinor,
                 added->VersionRelease, added->VersionBuild},
                "client connected [IP: %1, Nick: %2, Version: %3.%4.%5.%6]", "AccessLog");
  } catch (const std::exception& e) {
    LogHandlerException("CMD_cs_LoginStep1", e);
  }
}

void TVHUDPListener::CMD_cs_LoginStep3() {
  TClientRecord* player = currentPlayer_;
  if (!player) {
    disconnect_ = true;
    return;
  }
  const TPacket& p = *eventPacket_;
  if (p.Size() != kJoinRequestSize) return;
  player->LoginOption = p.ByteAt(25) == 1 ? 1 : 0;
  const TVirtualServerSettings vs = server_.Settings();
  if (player->LoginOption && !vs.JoinOptionPermit) {
    disconnect_ = true;
    return;
  }
  try {
    const std::string channelName = ShortStringAt(p, 26);
    const std::string subName = ShortStringAt(p, 56);
    const std::string password = ShortStringAt(p, 86);
    const int32_t bandwidth = static_cast<int32_t>(p.LongAt(116));

    TChannel* chosen = nullptr;
    if (!channelName.empty()) {
      chosen = Channels().ExistsChannelName(channelName, -1);
      if (chosen && !subName.empty()) chosen = Channels().ExistsChannelName(subName, chosen->ID);
    }
    TChannel* fallback = Channels().GetDefaultChannelAsPointer();
    if (!chosen) chosen = fallback;
    if (chosen && !chosen->HasFlag(CF_DEFAULT) && !chosen->HasFlag(CF_UNREGISTERED) &&
        !Can(upChannelJoinRegisterred))
      chosen = fallback;
    if (!chosen || notifier_.CheckChannelJoin(chosen->ID, password) != 0) chosen = fallback;
    if (!chosen) {
      disconnect_ = true;
      return;
    }

    Channels().ClientJoinedChannel(chosen, player);
    player->ChannelID = chosen->ID;
    notifier_.SetPlayerChannelFlagsAndPrivileges(chosen, player);

    player->UploadBandwidth = bandwidth;
    Buffer().SetClientBandwidth(player->PlayerID, bandwidth);

    // The channel list, in the tree's order, in packets of a little over 472 bytes.
    std::unique_ptr<TPacket> list;
    uint32_t entries = 0;
    auto flushList = [&] {
      if (!list || entries == 0) return;
      list->SetLongAt(24, entries);
      notifier_.Send(std::move(list));
      list.reset();
      entries = 0;
    };
    for (size_t i = 0; i < Channels().Count(); ++i) {
      if (!list) {
        list = NewPacketFor(*player, CMD_sc_LoginStep4);
        list->WriteU32(0);
      }
      WriteChannelEntry(*list, *Channels().Items(i));
      ++entries;
      if (list->Size() > kChannelListFlushSize) flushList();
    }
    flushList();

    // The players in his scope, ten to a packet.
    std::unique_ptr<TPacket> players;
    uint32_t count = 0;
    auto flushPlayers = [&] {
      if (!players || count == 0) return;
      players->SetLongAt(24, count);
      players->SetSize(kPlayerListSize);
      notifier_.Send(std::move(players));
      players.reset();
      count = 0;
    };
    for (size_t i = 0; i < Clients().Count(); ++i) {
      TClientRecord* q = Clients().Items(i);
      if (!notifier_.CanSee(*player, *q)) continue;
      if (!players) {
        players = NewPacketFor(*player, CMD_sc_LoginStep5);
        players->WriteU32(0);
      }
      WritePlayerBlock(*players, *q);
      if (++count == 10) flushPlayers();
    }
    flushPlayers();

    const THostPolicy& settings = Policy();
    auto closing = NewPacketFor(*player, CMD_sc_LoginStep6);
    closing->WriteShortString(settings.GFXURL, 255);
    closing->SetSize(kClosingPacketSize);
    closing->SetPosition(kClosingPacketSize);
    const std::string ispLink = Trim(settings.ISPLinkURL);
    if (!ispLink.empty()) closing->WriteCString(std::string_view(ispLink));
    notifier_.Send(std::move(closing));
    notifier_.NotifyPlayerEnteredScope(player->PlayerID);
    server_.LoginCount().fetch_add(1);

    const std::string& peer = p.PeerAddress();
    if (player->IsServerAdmin()) {
      if (settings.LogServerAdmin)
        LogFormat(LMT_ALL, LMD_INFO, {peer, player->NickName.Str(), player->LoginName.Str()},
                  "serveradmin connected [IP: %1, Nick: %2, LoginName: %3]", "SALog");
      if (!player->IsRegistered()) {
        LogFormat(LMT_ALL, LMD_INFO, {peer, player->NickName.Str(), player->LoginName.Str()},
                  "unregistered serveradmin connected [IP: %1, Nick: %2, LoginName: %3] right "
                  "auto revoked",
                  "SALog");
        player->PlayerPrivileges &= static_cast<uint16_t>(~PP_SERVER_ADMIN);
        notifier_.NotifyPlayerPrivilegesChanged(player->PlayerID, 0, kActionRevokedAuto, 0);
      }
    }
    if (player->IsRegistered()) Clients().DBUpdateLastOnline(player->DBID);
    player->LoggedIn = 1;
  } catch (const std::exception& e) {
    LogHandlerException("CMD_cs_LoginStep3", e);
  }
}

}  // namespace vh
