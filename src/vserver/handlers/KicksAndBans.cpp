// Kicks from the server and from a channel, IP bans (add, lift, list, the login's test and the
// clean-up of expired bans) and the flood check of the dispatcher. Listener thread, with the
// registry and channel tree locks held; the ban list is copied under the virtual server's bans
// lock and every script runs under the storage lock (both come after the tree lock).
#include <algorithm>
#include <string>
#include <vector>

#include "common/FieldLengths.h"
#include "common/ResultCodes.h"
#include "model/BanMatch.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "storage/CustomStorage.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr int32_t kNameRoom = kNameLength;
constexpr int32_t kFloodBanMinutes = 5;
constexpr const char* kFloodText = "Excess flood";

// A player who can still be kicked or banned: in the registry and not yet announced as left
// (an announced player's connection is already closing).
TClientRecord* ConnectedPlayer(TClients& clients, uint32_t playerId) REQUIRES(clients.Mutex()) {
  TClientRecord* p = clients.GetClientByID(playerId);
  return p && p->LeftNotified == 0 ? p : nullptr;
}

// Messages to the server admins: notification 130 with value 255, kind 2, sender "SERVER".
void NotifyAdmins(TClients& clients, TNotifier& notifier, std::string_view text)
    REQUIRES(clients.Mutex()) {
  for (size_t i = 0; i < clients.Count(); ++i) {
    const TClientRecord* q = clients.Items(i);
    if (q->IsServerAdmin()) notifier.SendTextMessage(*q, 255, 2, "SERVER", text);
  }
}

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

// Ends a player's session: his left notice goes to everyone who sees him and to himself as
// the final packet of his connection; the listener's tear-down follows once it has closed.
void EndSession(TChannels& tree, TNotifier& notifier, TClientRecord& t, bool leaveChannel,
                uint16_t reason, std::string_view text, uint32_t causeId)
    REQUIRES(notifier.Registry().Mutex(), tree.Mutex()) {
  if (leaveChannel)
    if (TChannel* c = tree.GetChannel(t.ChannelID)) tree.ClientLeftChannel(c, &t);
  if (t.LoggedIn == 1) {
    notifier.NotifyPlayerLeftScope(t.PlayerID, reason, text, causeId);
    return;
  }
  if (t.LeftNotified) return;
  // Not joined yet: nobody else knows him, but his connection must close all the same, or
  // the kick would be answered as done while he stays.
  auto packet = NewPacketFor(t, CMD_sc_NotifyPlayerLeftScope);
  packet->WriteU32(t.PlayerID);
  packet->WriteU16(reason);
  packet->WriteU32(causeId);
  packet->WriteShortString(text, kNameRoom);
  notifier.Send(std::move(packet), true);
  t.LeftNotified = 1;
}

// Failed when the database refused the ban (logged by the storage): the ban does not exist.
TStoreResult StoreBan(TCustomStorage& storage, int32_t serverId, std::string_view by,
                      std::string_view pattern, int32_t minutes) {
  TStorageScript q(storage, "new_ban.sql");
  q.SetInteger(":iServerID", serverId)
      .SetString(":sBy", by)
      .SetString(":sIP", pattern.substr(0, kMaxBanPatternLength))
      .SetDateTime(":dtCreated", NowDateTime())
      .SetInteger(":iMinutes", minutes);
  return q.Execute();
}

std::vector<TBanEntry> CopyBans(TServerObject& server) {
  TLockGuard lock(server.BansLock());
  return BanEntriesFrom(server.Bans());
}

std::string KickLogFormat(bool fromChannel) {
  return std::string("[PlayerName: %1, LoginName: %2, DBID: %3] got kicked from ") +
         (fromChannel ? "channel %8" : "server") +
         " by [PlayerName: %4, LoginName: %5, DBID: %6], reason: %7";
}

// What a kicker's rank in the channel lets him take away: everything for a server admin or
// channel admin, the operator's and voice privileges for an operator, voice for a voiced one.
uint16_t RankReach(bool serverAdmin, uint16_t rank) {
  if (serverAdmin || (rank & CP_CHANNEL_ADMIN))
    return CP_CHANNEL_ADMIN | CP_OPERATOR | CP_VOICE | CP_AUTO_OPERATOR | CP_AUTO_VOICE;
  if (rank & CP_OPERATOR) return CP_OPERATOR | CP_VOICE | CP_AUTO_OPERATOR | CP_AUTO_VOICE;
  if (rank & CP_VOICE) return CP_VOICE | CP_AUTO_VOICE;
  return 0;
}

}  // namespace

TClientRecord* TVHUDPListener::TargetToRemove(uint32_t playerId) {
  TClientRecord* t = ConnectedPlayer(Clients(), playerId);
  if (!t) Refuse(RC_PLAYER_NOT_FOUND);
  return t;
}

std::optional<TVHUDPListener::TKickEdit> TVHUDPListener::ReadKick() {
  auto request = Read(ParseKick);
  if (!request) return std::nullopt;
  TClientRecord* t = TargetToRemove(request->TargetId);
  if (!t) return std::nullopt;
  return TKickEdit{std::move(request->Reason), t};
}

bool TVHUDPListener::MayRemove(const TClientRecord& target) {
  if (!target.IsServerAdmin() || currentPlayer_->IsServerAdmin()) return true;
  Refuse(RC_INSUFFICIENT_PERMISSION);
  return false;
}

void TVHUDPListener::CMD_cs_PlayerKick() {
  const auto kick = ReadKick();
  if (!kick) return;
  TClientRecord* r = currentPlayer_;
  const std::string& reason = kick->reason;
  TClientRecord* t = kick->target;
  if (!Can(upKickPlayerFromServer)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (!MayRemove(*t)) return;

  std::string text = "Client " + Quoted(t->NickName.Str()) + " got kicked from Server by " +
                     Quoted(r->NickName.Str());
  if (!reason.empty()) text += ", reason " + Quoted(reason);
  NotifyAdmins(Clients(), notifier_, text);

  EndSession(Channels(), notifier_, *t, true, kLeftKicked, reason, r->PlayerID);

  if (Policy().LogKickServer)
    LogFormat(LMT_ALL, LMD_INFO,
              {t->NickName.Str(), t->LoginName.Str(), t->DBID, r->NickName.Str(),
               r->LoginName.Str(), r->DBID, reason},
              KickLogFormat(false), "ServerKickLog");
}

void TVHUDPListener::CMD_cs_PlayerKickFromChannel() {
  const auto kick = ReadKick();
  if (!kick) return;
  TClientRecord* r = currentPlayer_;
  const std::string& reason = kick->reason;
  TClientRecord* t = kick->target;
  TChannel* from = Channels().GetChannel(t->ChannelID);
  if (!from) return Refuse(RC_CHANNEL_NOT_FOUND);
  if (!CanInChannel(from, upKickPlayerFromChannel)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (!MayRemove(*t)) return;
  // The requester revokes what his rank in the channel lets him revoke.
  uint16_t revocable = 0;
  for (const TChannelPrivilegeRights& v : kChannelPrivilegeRights)
    if (CanInChannel(from, v.revoke)) revocable |= v.bit;
  revocable &= RankReach(r->IsServerAdmin(), Channels().GetChannelAttribs(from, r));
  KickFromChannel(t, from, revocable, reason, {r->NickName.Str(), r->LoginName.Str(), r->DBID});
}

void TVHUDPListener::KickFromChannel(TClientRecord* t, TChannel* from, uint16_t revocable,
                                     const std::string& reason, const TKicker& by) {
  TChannel* to = Channels().GetDefaultChannelAsPointer();
  if (!to) return;  // nowhere to put him; nothing is changed
  const int32_t fromId = from->ID;
  const std::string fromName = from->Name;
  t->ChannelPrivileges &= static_cast<uint16_t>(~revocable);
  Channels().SetChannelAttribs(from, t);

  notifier_.SetPlayerChannelFlagsAndPrivileges(to, t);
  notifier_.NotifyPlayerKickedFromChannel(t->PlayerID, fromId, to->ID, t->ChannelPrivileges,
                                          reason);
  const bool sameTree = Channels().SameChannelTree(fromId, to->ID);
  // The kick notice went to those who saw him in the old channel; from here on he is seen
  // in the new one.
  const TLeftSeat left = SeatPlayer(t, to);
  // Players of the new tree learn of him, and he of them, unless he never left their sight.
  if (!notifier_.IsClanServer() && !sameTree) {
    notifier_.NotifyPlayerEnteredScope(t->PlayerID);
    notifier_.NotifyPlayersInSwitchedChannel(t->PlayerID);
  }
  notifier_.NotifyPlayerFlagsChanged(t->PlayerID);

  if (Policy().LogKickChannel)
    LogFormat(LMT_ALL, LMD_INFO,
              {t->NickName.Str(), t->LoginName.Str(), t->DBID, by.nickName, by.loginName, by.dbid,
               reason, fromName},
              KickLogFormat(true), "ChannelKickLog");

  ClearChannelUp(left.Top);
}

// On behalf of an administrator (RequestIssuer), who counts as a server admin when
// RequestArgument is not 0 and may revoke the channel privileges in RequestFlags.
void TVHUDPListener::ExternalCommand_KickFromChannel(TListenerRequest& r) {
  TClientRecord* t = ConnectedPlayer(Clients(), static_cast<uint32_t>(r.RequestTarget));
  TChannel* from = ChannelOfRequested(r, t);
  if (!from) return;
  const bool issuerIsServerAdmin = r.RequestArgument != 0;
  if (t->IsServerAdmin() && !issuerIsServerAdmin) {
    r.ResultCode = RC_INSUFFICIENT_PERMISSION;
    return;
  }
  const uint16_t revocable = r.RequestFlags & RankReach(issuerIsServerAdmin, 0);
  KickFromChannel(t, from, revocable, r.RequestText, {r.RequestIssuer, r.RequestIssuer, 0});
  r.ResultCode = RC_OK;
}

void TVHUDPListener::CMD_cs_PlayerBanIp() {
  const auto request = Read(ParseBanIp);
  if (!request) return;
  TClientRecord* r = currentPlayer_;
  const uint16_t minutes = request->Minutes;

  if (!Can(upAdminBanIp)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (server_.BanCount() >= kMaxBans) return Refuse(RC_MAX_RECORDS);
  const std::optional<std::string> stored = BanPatternFrom(request->Pattern);
  if (!stored) return Refuse(RC_BAD_ARGUMENT);
  const std::string& pattern = *stored;

  std::string by;
  AppendCut(by, "IP Ban " + r->NickName.Str(), 36);
  AppendCut(by, "[LoginName: ", 48);
  AppendCut(by, r->LoginName.Str(), 77);
  AppendCut(by, "]", 78);
  if (!StoreBan(*server_.Storage(), serverId_, by, pattern, minutes))
    return Refuse(RC_INTERNAL_ERROR);
  server_.LoadBans();

  std::string text = "IP " + Quoted(pattern.substr(0, kMaxBanPatternLength)) +
                     " got banned from Server by " + Quoted(r->NickName.Str());
  if (minutes != 0) text += ", for " + std::to_string(minutes) + " Minutes";
  NotifyAdmins(Clients(), notifier_, text);
}

void TVHUDPListener::CMD_cs_PlayerBanIpPlayer() {
  const auto request = Read(ParseBanPlayer);
  if (!request) return;
  TClientRecord* r = currentPlayer_;
  const uint16_t minutes = request->Minutes;
  const std::string& reason = request->Reason;

  if (!Can(upAdminBanIp)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  TClientRecord* t = TargetToRemove(request->TargetId);
  if (!t) return;
  if (!MayRemove(*t)) return;

  const std::string address = Buffer().LoginAddress(t->PlayerID);
  if (server_.BanCount() < kMaxBans) {
    std::string by = r->NickName.Str();
    AppendCut(by, "[LoginName: ", 41);
    AppendCut(by, r->LoginName.Str(), 70);
    AppendCut(by, "] banned ", 79);
    AppendCut(by, t->NickName.Str(), 108);
    AppendCut(by, "[LoginName: ", 120);
    AppendCut(by, t->LoginName.Str(), 149);
    AppendCut(by, "]", 150);
    // A player without a connection has no address to ban; he is still removed below.
    if (!address.empty()) {
      if (!StoreBan(*server_.Storage(), serverId_, by, PlayerBanPattern(address), minutes))
        return Refuse(RC_INTERNAL_ERROR);
      server_.LoadBans();
    }
  } else {
    Refuse(RC_MAX_RECORDS);
  }

  std::string text = "Client " + Quoted(t->NickName.Str()) + " got banned from Server by " +
                     Quoted(r->NickName.Str());
  if (!reason.empty()) text += ", reason " + Quoted(reason);
  NotifyAdmins(Clients(), notifier_, text);

  EndSession(Channels(), notifier_, *t, false, kLeftKicked, reason, r->PlayerID);
}

void TVHUDPListener::CMD_cs_PlayerUnbanIp() {
  const auto request = Read(ParseUnbanIp);
  if (!request) return;
  // An IPv6 pattern is stored in its compressed form; any spelling of it lifts the ban.
  const std::string pattern = BanPatternFrom(request->Pattern).value_or(request->Pattern);

  if (!Can(upAdminBanIp)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  {
    TStorageScript q(*server_.Storage(), "delete_ban_ip.sql");
    // Patterns are stored cut, so the same cut finds them.
    q.SetInteger(":iServerID", serverId_)
        .SetString(":sIP", std::string_view(pattern).substr(0, kMaxBanPatternLength));
    if (!q.Execute()) return Refuse(RC_INTERNAL_ERROR);
  }
  currentPlayer_->FloodTime = NowDateTime();
  if (currentPlayer_->FloodCount > 1) --currentPlayer_->FloodCount;
  server_.LoadBans();
}

void TVHUDPListener::CMD_cs_InfoRequestBanIpList() {
  if (!Read(ParseCommandHeader)) return;
  const std::vector<TBanEntry> bans = CopyBans(server_);
  auto reply = NewPacketFor(*currentPlayer_, CMD_sc_BanIpList);
  reply->WriteU32(static_cast<uint32_t>(bans.size()));
  for (const TBanEntry& b : bans) {
    reply->WriteCString(std::string_view(b.Pattern).substr(0, kMaxBanPatternLength));
    // Permanent bans (0 or less) travel as 0; longer ones than the field holds are held at
    // its maximum rather than wrapped to a short ban.
    reply->WriteU16(static_cast<uint16_t>(b.Minutes < 0        ? 0
                                          : b.Minutes > 0xFFFF ? 0xFFFF
                                                               : b.Minutes));
    reply->WriteCString(std::string_view(b.By).substr(0, kMaxBanPatternLength));
  }
  notifier_.Send(std::move(reply));
}

void TVHUDPListener::ExternalCommand_KickPlayer(TListenerRequest& r, bool withAdminMessage) {
  TClientRecord* t = ConnectedPlayer(Clients(), static_cast<uint32_t>(r.RequestTarget));
  if (!t) {
    r.ResultCode = RC_PLAYER_NOT_FOUND;
    return;
  }
  if (withAdminMessage) {
    std::string text = "Client " + Quoted(t->NickName.Str()) + " got kicked from Server by " +
                       Quoted(r.RequestIssuer);
    if (!r.RequestText.empty()) text += ", reason " + Quoted(r.RequestText);
    NotifyAdmins(Clients(), notifier_, text);
  }
  EndSession(Channels(), notifier_, *t, true, withAdminMessage ? kLeftKicked : kLeftQuit,
             r.RequestText, 0);
  r.ResultCode = RC_OK;
}

bool TVHUDPListener::ClientIsSpammer() {
  TClientRecord* p = currentPlayer_;
  if (!p || p->LoggedIn != 1 || p->LeftNotified) return false;
  try {
    const TDateTime now = NowDateTime();
    if (p->IsServerAdmin()) {
      p->FloodCount = 1;
      p->FloodTime = now;
      return false;
    }
    const THostPolicy& s = Policy();
    const bool quick = WholeSecondsBetween(p->FloodTime, now) <= s.SpamInSeconds;
    if (p->FloodCount >= static_cast<uint32_t>(std::max(s.SpamMaxCommands, 0)) && quick) {
      const std::string address = Buffer().LoginAddress(p->PlayerID);
      // A ban the database refuses is not announced; the flooder is removed all the same.
      if (server_.BanCount() < kMaxBans && !address.empty() &&
          StoreBan(*server_.Storage(), serverId_, "by Server, reason: Excess flood",
                   PlayerBanPattern(address), kFloodBanMinutes)) {
        server_.LoadBans();
        NotifyAdmins(Clients(), notifier_,
                     "Client " + Quoted(p->NickName.Str()) +
                         " got banned from Server for 5 minutes, reason \"Excess flood\"");
      }
      EndSession(Channels(), notifier_, *p, true, kLeftKicked, kFloodText, 0);
      return true;
    }
    p->FloodCount = quick ? p->FloodCount + 1 : 1;
    p->FloodTime = now;
  } catch (const std::exception& e) {
    LogHandlerException("ClientIsSpammer", e);
  }
  return false;
}

bool TVHUDPListener::IsBanned(const std::string& address, int64_t& remainingSeconds) {
  const std::vector<TBanEntry> bans = CopyBans(server_);
  const TBanVerdict v = CheckBan(bans, address, NowDateTime());
  remainingSeconds = v.RemainingSeconds;
  return v.Banned;
}

void TVHUDPListener::DBRemoveOldBans() {
  try {
    const TDateTime now = NowDateTime();
    std::vector<TBanEntry> bans;
    {
      TLockGuard lock(server_.BansLock());
      if (!server_.Bans() || WholeSecondsBetween(server_.LastBanCleanup(), now) <= 4) return;
      server_.LastBanCleanup() = now;
      bans = BanEntriesFrom(server_.Bans());
    }
    bool deleted = false;
    for (const TBanEntry& b : bans) {
      if (!BanExpired(b, now)) continue;
      // By id: a permanent ban of the same pattern must survive its expired neighbour.
      if (b.Id >= 0) {
        TStorageScript q(*server_.Storage(), "delete_ban.sql");
        q.SetInteger(":iServerID", serverId_).SetInteger(":iBanID", b.Id);
        if (q.Execute()) deleted = true;
      } else {
        TStorageScript q(*server_.Storage(), "delete_ban_ip.sql");
        q.SetInteger(":iServerID", serverId_).SetString(":sIP", b.Pattern);
        if (q.Execute()) deleted = true;
      }
      // A ban the database kept is tried again at the next clean-up.
    }
    if (deleted) server_.LoadBans();
  } catch (const std::exception& e) {
    LogHandlerException("DBRemoveOldBans", e);
  }
}

}  // namespace vh
