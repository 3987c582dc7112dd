// Player commands of logged-in clients (quit, switch and move, flags, voice requests, channel
// and server privileges, registration, mute, upload bandwidth, information, chat) and the
// administration requests that act on players. Listener thread, registry and channel tree
// locks held; the account writes take the storage lock inside.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/NetAddress.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "common/Version.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr int32_t kConnectionInfoSize = 164;
constexpr int32_t kServerInfoSize = 100;
constexpr int32_t kSwitchedListSize = 468;
constexpr int kSwitchedListSlots = 10;

constexpr uint8_t kTextToAll = 0;
constexpr uint8_t kTextToChannel = 1;
constexpr uint8_t kTextToPlayer = 2;

// Privilege numbers of 307 and 107: bit n of PlayerPrivileges.
constexpr uint8_t kPrivServerAdmin = 0;
constexpr uint8_t kPrivAllowedToRegister = 1;
constexpr uint8_t kPrivRegistered = 2;
constexpr uint8_t kPrivSticky = 4;
// Channel privilege numbers of 306 and 106: bit n of ChannelPrivileges.
constexpr uint8_t kPrivChannelAdmin = 0;
constexpr uint8_t kPrivOperator = 1;
constexpr uint8_t kPrivVoice = 2;
constexpr uint8_t kPrivAutoOperator = 3;
constexpr uint8_t kPrivAutoVoice = 4;

constexpr uint16_t kVoicedPrivileges = CP_CHANNEL_ADMIN | CP_OPERATOR | CP_VOICE;

uint16_t Bit(uint8_t n) {
  return static_cast<uint16_t>(1u << n);
}

int32_t SecondsSince(TDateTime then) {
  const double seconds = (NowDateTime() - then) * 86400.0;
  if (!(seconds > 0)) return 0;
  return static_cast<int32_t>(std::min(seconds, 2147483647.0));
}

int32_t RoundedRate(double bytesPerSecond) {
  if (!(bytesPerSecond > 0)) return 0;
  return static_cast<int32_t>(std::lround(std::min(bytesPerSecond, 2147483647.0)));
}

bool IsAdministrator(const TClientRecord& p) {
  return (p.PlayerPrivileges & (PP_SERVER_ADMIN | PP_SUPER_SERVER_ADMIN)) != 0;
}

void WriteServerVersion(TPacket& out) {
  for (uint16_t n : {kVersion.Major, kVersion.Minor, kVersion.Release, kVersion.Build})
    out.WriteU16(n);
}

// CA the player holds in a sub-channel only because he is CA of its parent.
bool InheritsChannelAdmin(TChannels& tree, TChannel* channel, TClientRecord* player)
    REQUIRES(tree.Mutex()) {
  if (!channel || channel->IsTopLevel()) return false;
  TChannel* parent = tree.GetChannel(channel->ParentID);
  if (!parent || (tree.GetChannelAttribs(parent, player) & CP_CHANNEL_ADMIN) == 0) return false;
  return (tree.GetChannelAttribs(channel, player) & CP_CHANNEL_ADMIN) == 0;
}

// Records the player's privileges as his entry of `channel`. CA that comes from the parent
// is left out: stored in the sub-channel it would outlive the parent's CA.
void RecordChannelPrivileges(TChannels& tree, TChannel* channel, TClientRecord* player)
    REQUIRES(tree.Mutex()) {
  if (!channel || !player) return;
  const uint16_t held = player->ChannelPrivileges;
  if (InheritsChannelAdmin(tree, channel, player))
    player->ChannelPrivileges &= static_cast<uint16_t>(~CP_CHANNEL_ADMIN);
  tree.SetChannelAttribs(channel, player);
  player->ChannelPrivileges = held;
}

// A voice request ends once the player may speak anyway.
void EndSatisfiedVoiceRequest(TNotifier& notifier, TClientRecord* player)
    REQUIRES(notifier.Registry().Mutex(), notifier.Tree().Mutex()) {
  if ((player->PlayerFlags & PF_VOICE_REQUESTED) == 0) return;
  if (!player->IsServerAdmin() && (player->ChannelPrivileges & kVoicedPrivileges) == 0) return;
  player->PlayerFlags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
  notifier.NotifyPlayerFlagsChanged(player->PlayerID);
}

// Grants or revokes channel privilege `privilege` of `target` in his channel once the
// changer's permission holds (306 and the administration request): RC_OK, or the refusal's
// code with nothing changed.
int32_t ChangeChannelPrivilege(TChannels& tree, TNotifier& notifier, TClientRecord* target,
                               TChannel* channel, bool grant, uint8_t privilege, uint32_t changerId)
    REQUIRES(notifier.Registry().Mutex(), tree.Mutex()) {
  const uint16_t bit = Bit(privilege);
  if (grant && (target->ChannelPrivileges & bit)) {
    if (privilege == kPrivChannelAdmin) return RC_ALREADY_CHANNEL_ADMIN;
    if (privilege == kPrivOperator) return RC_ALREADY_OPERATOR;
    if (privilege == kPrivVoice) return RC_ALREADY_VOICE;
  }
  if (!grant && privilege == kPrivChannelAdmin && InheritsChannelAdmin(tree, channel, target))
    return RC_CANNOT_REVOKE_INHERITED;

  if (grant)
    target->ChannelPrivileges |= bit;
  else
    target->ChannelPrivileges &= static_cast<uint16_t>(~bit);
  notifier.NotifyPlayerChannelPrivilegeChanged(target->PlayerID, changerId,
                                               grant ? kActionGrant : kActionRevoke, privilege);
  if (grant && privilege == kPrivAutoOperator && !(target->ChannelPrivileges & CP_OPERATOR)) {
    target->ChannelPrivileges |= CP_OPERATOR;
    notifier.NotifyPlayerChannelPrivilegeChanged(target->PlayerID, 0, kActionGrantedAuto,
                                                 kPrivOperator);
  }
  if (grant && privilege == kPrivAutoVoice && !(target->ChannelPrivileges & CP_VOICE)) {
    target->ChannelPrivileges |= CP_VOICE;
    notifier.NotifyPlayerChannelPrivilegeChanged(target->PlayerID, 0, kActionGrantedAuto,
                                                 kPrivVoice);
  }
  EndSatisfiedVoiceRequest(notifier, target);
  RecordChannelPrivileges(tree, channel, target);
  return RC_OK;
}

// A server admin is never sticky.
void DropStickyOfServerAdmin(TNotifier& notifier, TClientRecord* player)
    REQUIRES(notifier.Registry().Mutex(), notifier.Tree().Mutex()) {
  if (!player->IsServerAdmin() || (player->PlayerPrivileges & PP_STICKY) == 0) return;
  player->PlayerPrivileges &= static_cast<uint16_t>(~PP_STICKY);
  notifier.NotifyPlayerPrivilegesChanged(player->PlayerID, 0, kActionRevoke, kPrivSticky);
}

void SendLeftOutOfSight(TNotifier& notifier, const TClientRecord& to, uint32_t playerId) {
  auto p = NewPacketFor(to, CMD_sc_NotifyPlayerLeftScope);
  p->WriteU32(playerId);
  p->WriteU16(kLeftOutOfSight);
  p->WriteU32(0);
  p->WriteShortString("", kNameLength);
  notifier.Send(std::move(p));
}

}  // namespace

void TVHUDPListener::CMD_cs_PlayerQuit() {
  if (!Read(ParseCommandHeader)) return;
  notifier_.NotifyPlayerLeftScope(currentPlayer_->PlayerID, kLeftQuit, "", 0);
}

void TVHUDPListener::CMD_cs_PlayerChannelSwitch() {
  const auto request = Read(ParseSwitch);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  const int32_t channelId = request->ChannelId;
  const std::string& password = request->Password;

  if ((me->PlayerPrivileges & PP_STICKY) && !me->IsServerAdmin())
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  TChannel* to = Channels().GetChannel(channelId);
  if (!to) return Refuse(RC_CHANNEL_NOT_FOUND);
  const bool mayOmitPassword = Can(upChannelJoinChannelWithoutPassword);
  if (!to->Password.Empty() && password.empty() && !mayOmitPassword)
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (!to->HasFlag(CF_DEFAULT) && !to->HasFlag(CF_UNREGISTERED) && !Can(upChannelJoinRegisterred))
    return Refuse(RC_INSUFFICIENT_PERMISSION);

  const int32_t r = notifier_.CheckChannelJoin(channelId, password);
  if (r == RC_CHANNEL_PASSWORD_PROTECTED && mayOmitPassword) {
    if (to->Players.Count() >= to->MaxUsers) return Refuse(RC_CHANNEL_FULL);
  } else if (r < 0) {
    return Refuse(r);
  } else if (r == TNotifier::kWrongChannelPassword) {
    notifier_.SendWrongChannelPassword(*me, Packet(), channelId);
    return;
  }

  // Channel commander is a role within one tree; a voice request ends with the channel.
  const bool sameTree =
      Channels().GetChannel(me->ChannelID) && Channels().SameChannelTree(me->ChannelID, channelId);
  me->PlayerFlags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
  if (!sameTree) me->PlayerFlags &= static_cast<uint16_t>(~PF_CHANNEL_COMMANDER);
  notifier_.SetPlayerChannelFlagsAndPrivileges(to, me);
  SwitchPlayerTo(me, to, /*announceFlags=*/true);
}

void TVHUDPListener::CMD_cs_PlayerFlagsChanged() {
  const auto request = Read(ParseFlags);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  uint16_t flags = request->Flags;
  if ((flags & PF_CHANNEL_COMMANDER) && !Can(upAllowChannelCommanderStatus))
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  TChannel* channel = Channels().GetChannel(me->ChannelID);
  const bool mayAskForVoice = channel && channel->HasFlag(CF_MODERATED) && !me->IsServerAdmin() &&
                              (me->ChannelPrivileges & kVoicedPrivileges) == 0;
  if (!mayAskForVoice) flags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
  me->PlayerFlags = flags;
  notifier_.NotifyPlayerFlagsChanged(me->PlayerID);
}

void TVHUDPListener::CMD_cs_PlayerRequestVoice() {
  const auto request = Read(ParseRequestVoice);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  TChannel* channel = Channels().GetChannel(me->ChannelID);
  if (channel && !channel->HasFlag(CF_MODERATED)) return Refuse(RC_NOT_MODERATED);
  if (me->IsServerAdmin() || (me->ChannelPrivileges & kVoicedPrivileges) ||
      (me->PlayerFlags & PF_VOICE_REQUESTED))
    return Refuse(RC_ALREADY_HAS_PRIVILEGE);
  me->PlayerFlags |= PF_VOICE_REQUESTED;
  notifier_.NotifyPlayerRequestedVoice(me->PlayerID, request->Text);
}

std::optional<TVHUDPListener::TPrivilegeEdit> TVHUDPListener::ReadPrivilegeEdit() {
  const auto request = Read(ParsePrivilege);
  if (!request) return std::nullopt;
  // Only grant and revoke are requests; the automatic actions are the server's own.
  if (request->Action != kActionGrant && request->Action != kActionRevoke) return std::nullopt;
  TClientRecord* target = Clients().GetClientByID(request->TargetId);
  if (!target) {
    Refuse(RC_PLAYER_NOT_FOUND);
    return std::nullopt;
  }
  return TPrivilegeEdit{request->Action, request->Privilege, target};
}

void TVHUDPListener::CMD_cs_PlayerChangeChannelPrivilege() {
  const auto edit = ReadPrivilegeEdit();
  if (!edit) return;
  const auto [action, privilege, target] = *edit;
  TChannel* channel = Channels().GetChannel(target->ChannelID);
  if (!channel) return Refuse(RC_CHANNEL_NOT_FOUND);
  if (privilege > kPrivAutoVoice) return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (privilege != kPrivChannelAdmin && !channel->HasFlag(CF_MODERATED))
    return Refuse(RC_NOT_MODERATED);
  const bool grant = action == kActionGrant;
  const TChannelPrivilegeRights& rights = kChannelPrivilegeRights[privilege];
  const int permission = grant ? rights.grant : rights.revoke;
  if (!CanInChannel(channel, permission)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  const int32_t code = ChangeChannelPrivilege(Channels(), notifier_, target, channel, grant,
                                              privilege, currentPlayer_->PlayerID);
  if (code != RC_OK) Refuse(code);
}

void TVHUDPListener::CMD_cs_PlayerChangePrivilege() {
  const auto edit = ReadPrivilegeEdit();
  if (!edit) return;
  const auto [action, privilege, target] = *edit;
  TClientRecord* me = currentPlayer_;
  const bool grant = action == kActionGrant;

  // Registration comes only from 308 and 310, and super server admin never over the
  // network: either would hand out every permission to whoever asks.
  bool allowed = false;
  switch (privilege) {
    case kPrivServerAdmin:
      allowed = Can(grant ? upPrivilegeGrantSA : upPrivilegeRevokeSA);
      break;
    case kPrivAllowedToRegister:
      allowed = Can(grant ? upPrivilegeGrantAllowRegistration : upPrivilegeRevokeAllowRegistration);
      break;
    case kPrivRegistered:
      allowed = !grant && Can(upPrivilegePlayerDelete);
      break;
    case kPrivSticky:
      allowed = IsAdministrator(*me) && !(grant && target->IsServerAdmin());
      break;
    default:
      allowed = false;
      break;
  }
  if (!allowed) return Refuse(RC_INSUFFICIENT_PERMISSION);

  const bool wasRegistered = target->IsRegistered();
  const uint16_t bit = Bit(privilege);
  if (grant)
    target->PlayerPrivileges |= bit;
  else
    target->PlayerPrivileges &= static_cast<uint16_t>(~bit);

  const uint32_t serverId = Clients().ServerID();
  if (privilege == kPrivRegistered) {
    if (wasRegistered) Clients().DBDeleteUser(serverId, target);
    if (target->ChannelPrivileges & CP_AUTO_OPERATOR) {
      target->ChannelPrivileges &= static_cast<uint16_t>(~CP_AUTO_OPERATOR);
      notifier_.NotifyPlayerChannelPrivilegeChanged(target->PlayerID, 0, kActionRevokedAuto,
                                                    kPrivAutoOperator);
    }
    if (target->ChannelPrivileges & CP_AUTO_VOICE) {
      target->ChannelPrivileges &= static_cast<uint16_t>(~CP_AUTO_VOICE);
      notifier_.NotifyPlayerChannelPrivilegeChanged(target->PlayerID, 0, kActionRevokedAuto,
                                                    kPrivAutoVoice);
    }
  } else {
    // Only an account is saved: an anonymous record would create one with an empty name.
    if (target->IsRegistered()) Clients().DBSaveUser(serverId, target);
    RecordChannelPrivileges(Channels(), Channels().GetChannel(target->ChannelID), target);
  }
  EndSatisfiedVoiceRequest(notifier_, target);
  DropStickyOfServerAdmin(notifier_, target);
  notifier_.NotifyPlayerPrivilegesChanged(target->PlayerID, me->PlayerID, action, privilege);

  if (privilege == kPrivServerAdmin && Policy().LogServerAdmin)
    LogFormat(LMT_ALL, LMD_INFO,
              {me->NickName.Str(), me->LoginName.Str(), target->NickName.Str(),
               target->LoginName.Str(), me->DBID, target->DBID},
              grant ? "serveradmin granted by [Nick: %1, LoginName: %2, DBID: %5] for [Nick: %3, "
                      "LoginName: %4, DBID: %6] "
                    : "serveradmin revoked by [Nick: %1, LoginName: %2, DBID: %5] for [Nick: %3, "
                      "LoginName: %4, DBID: %6] ",
              "SALog");
}

void TVHUDPListener::CMD_cs_PlayerRegister() {
  const auto request = Read(ParseRegister);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  if (me->IsRegistered()) return Refuse(RC_ALREADY_REGISTERED);
  if (!Can(upPrivilegeRegisterSelfByDefault) && !(me->PlayerPrivileges & PP_ALLOWED_TO_REGISTER))
    return Refuse(RC_NOT_ALLOWED_TO_REGISTER);
  me->LoginName = request->LoginName;
  me->Password = request->Password;
  // An empty login name could never log in; it is refused like a taken one. A login name
  // with a control character is refused by the registry (-107).
  const int32_t result = Trim(me->LoginName.Str()).empty()
                             ? RC_LOGIN_NAME_IN_USE
                             : Clients().DBAddUser(Clients().ServerID(), me);
  if (result < 0) {
    me->LoginName.Clear();
    me->Password.Clear();
    me->DBID = 0;
    return Refuse(result);
  }
  me->PlayerPrivileges =
      static_cast<uint16_t>((me->PlayerPrivileges | PP_REGISTERED) & ~PP_ALLOWED_TO_REGISTER);
  Channels().UpdatePlayerChannelAttribs(me);
  notifier_.NotifyPlayerPrivilegesChanged(me->PlayerID, 0, kActionGrantedAuto, kPrivRegistered);
}

void TVHUDPListener::CMD_cs_PlayerAdminRegister() {
  const auto request = Read(ParseAdminRegister);
  if (!request) return;
  if (!Can(upPrivilegeAdminPlayerRegister)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  TClientRecordPtr account = TClients::NewClient();
  account->LoginName = request->LoginName;
  account->Password = request->Password;
  account->PlayerPrivileges = request->ServerAdmin ? PP_SERVER_ADMIN : 0;
  const int32_t result = Trim(account->LoginName.Str()).empty()
                             ? RC_LOGIN_NAME_IN_USE
                             : Clients().DBAddUser(Clients().ServerID(), account.get());
  if (result < 0) return Refuse(result);
  notifier_.Send(NewPacketFor(*currentPlayer_, CMD_sc_PlayerAdminRegisteredOK));
}

void TVHUDPListener::CMD_cs_PlayerMutePlayer() {
  const auto request = Read(ParseMute);
  if (!request) return;
  const uint32_t playerId = request->PlayerId;
  const uint8_t operation = request->Operation;
  if (operation > 1) return;
  const bool result = operation == 1 ? TClients::AddToPlayerMuteList(currentPlayer_, playerId)
                                     : TClients::RemoveFromPlayerMuteList(currentPlayer_, playerId);
  auto reply = NewPacketFor(*currentPlayer_, CMD_sc_PlayerMutePlayerReply);
  reply->WriteU32(playerId);
  reply->WriteU8(result ? 1 : 0);
  notifier_.Send(std::move(reply));
}

void TVHUDPListener::CMD_cs_PlayerMovePlayer() {
  const auto request = Read(ParseMove);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  if (!Can(upAdminMovePlayer)) return Refuse(RC_INSUFFICIENT_PERMISSION);
  TChannel* to = Channels().GetChannel(request->ChannelId);
  if (!to) return Refuse(RC_CHANNEL_NOT_FOUND);
  if (!to->Password.Empty() && !Can(upChannelJoinChannelWithoutPassword))
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  TClientRecord* player = Clients().GetClientByID(request->PlayerId);
  if (!player) return Refuse(RC_PLAYER_NOT_FOUND);
  if (player->ChannelID == to->ID) return Refuse(RC_ALREADY_IN_CHANNEL);
  if (player == me && (me->PlayerPrivileges & PP_STICKY) && !me->IsServerAdmin())
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  MovePlayerTo(player, to, me->PlayerID);
}

void TVHUDPListener::CMD_cs_PlayerSetUploadBandwidth() {
  const auto request = Read(ParseBandwidth);
  if (!request) return;
  const int32_t bandwidth = request->Bandwidth;
  currentPlayer_->UploadBandwidth = bandwidth;
  Buffer().SetClientBandwidth(currentPlayer_->PlayerID, bandwidth);
}

void TVHUDPListener::CMD_cs_InfoRequestPlayerConnectionInfoOnId() {
  const auto request = Read(ParsePlayerInfo);
  if (!request) return;
  TClientRecord* target = Clients().GetClientByID(request->PlayerId);
  if (!target) return Refuse(RC_PLAYER_NOT_FOUND);
  const TConnectionStats stats = Buffer().GetConnectionStats(target->PlayerID);
  const bool showAddress = IsAdministrator(*currentPlayer_);
  auto reply = NewPacketFor(*currentPlayer_, CMD_sc_PlayerConnectionInfo);
  reply->WriteU32(target->PlayerID);
  reply->WriteI32(SecondsSince(target->LoginTime));
  reply->WriteU16(stats.packetLoss);
  reply->WriteU16(stats.ping);
  reply->WriteI32(SecondsSince(target->LastActivity));
  reply->WriteU16(target->VersionMajor);
  reply->WriteU16(target->VersionMinor);
  reply->WriteU16(target->VersionRelease);
  reply->WriteU16(target->VersionBuild);
  reply->WriteU32(stats.packetsSent);
  reply->WriteU32(stats.bytesSent);
  reply->WriteU32(stats.packetsReceived);
  reply->WriteU32(stats.bytesReceived);
  // The field holds 29 characters; a longer (IPv6) address is sent cut, marked with a '*',
  // and logged whole so the admin can look it up.
  std::string shownAddress;
  if (showAddress) {
    shownAddress = CutWithMark(stats.peerAddress, kNameLength);
    if (shownAddress != stats.peerAddress)
      LogFormat(LMT_ALL, LMD_INFO, {target->NickName.Str(), target->PlayerID, stats.peerAddress},
                "Connection info of [Nick: %1, ID: %2]: address %3", "UDP Listener");
  }
  reply->WriteShortString(shownAddress, kNameLength);
  reply->WriteU16(showAddress ? stats.peerPort : 0);
  reply->WriteShortString(target->LoginName.Str(), kNameLength);
  reply->WriteI32(target->ChannelID);
  reply->WriteU16(target->ChannelPrivileges);
  reply->WriteU16(target->PlayerPrivileges);
  reply->WriteShortString(target->ClientInfo2.Str(), kNameLength);
  reply->SetSize(kConnectionInfoSize);
  notifier_.Send(std::move(reply));
}

void TVHUDPListener::CMD_cs_InfoRequestServerInfo() {
  if (!Read(ParseCommandHeader)) return;
  const TServerStats stats = Buffer().GetServerStats();
  auto reply = NewPacketFor(*currentPlayer_, CMD_sc_ServerInfo);
  reply->WriteI32(SecondsSince(server_.StartTime()));
  reply->WriteI32(0);
  WriteServerVersion(*reply);
  reply->WriteI32(static_cast<int32_t>(Clients().Count()));
  reply->WriteU64(stats.packetsSent);
  reply->WriteU64(stats.bytesSent);
  reply->WriteU64(stats.packetsReceived);
  reply->WriteU64(stats.bytesReceived);
  reply->WriteI32(RoundedRate(stats.inLastSecond));
  reply->WriteI32(RoundedRate(stats.outLastSecond));
  reply->WriteI32(RoundedRate(stats.inLastMinute));
  reply->WriteI32(RoundedRate(stats.outLastMinute));
  reply->WriteU32(server_.LoginCount().load());
  reply->WriteI32(0);
  reply->SetSize(kServerInfoSize);
  notifier_.Send(std::move(reply));
}

void TVHUDPListener::CMD_cs_InfoSendText() {
  const auto request = Read(ParseText);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  const int32_t value = request->Value;
  const uint8_t kind = request->Kind;
  const int32_t target = request->Target;
  bool allowed = true;
  if (kind == kTextToPlayer)
    allowed = Can(upSendTextToPlayer);
  else if (kind == kTextToChannel && target != me->ChannelID)
    allowed = Can(upSendTextToAllChannel);
  else if (kind == kTextToChannel)
    allowed = Can(upSendTextToOwnChannel) || Can(upSendTextToAllChannel);
  else if (kind == kTextToAll)
    allowed = Can(upSendTextToAll);
  if (!allowed) return Refuse(RC_INSUFFICIENT_PERMISSION);

  const std::string& text = request->Message;
  const std::string& nick = me->NickName.Str();
  if (Policy().LogChat) {
    if (kind == kTextToAll) {
      LogFormat(LMT_ALL, LMD_INFO, {nick, text}, "[to all, from %1] %2", "ChatLog");
    } else if (kind == kTextToChannel) {
      if (TChannel* c = Channels().GetChannel(target))
        LogFormat(LMT_ALL, LMD_INFO, {c->Name, nick, text}, "[to channel: %1, from %2] %3",
                  "ChatLog");
    }
  }
  for (size_t i = 0; i < Clients().Count(); ++i) {
    TClientRecord* q = Clients().Items(i);
    const bool addressed = kind == kTextToAll ||
                           (kind == kTextToChannel && q->ChannelID == target) ||
                           (kind == kTextToPlayer && q->PlayerID == static_cast<uint32_t>(target));
    if (addressed) notifier_.SendTextMessage(*q, value, kind, nick, text);
  }
}

// ---- Administration requests: RequestTarget is the player id; RequestArgument the channel.

void TVHUDPListener::ExternalCommand_AddClient(TListenerRequest& r) {
  TChannel* channel = Channels().GetChannel(r.RequestArgument);
  if (!channel) {
    r.ResultCode = RC_CHANNEL_NOT_FOUND;
    return;
  }
  if (r.RequestTarget < 1 || HasControlChars(r.RequestText)) {
    r.ResultCode = RC_BAD_ARGUMENT;
    return;
  }
  const uint32_t playerId = static_cast<uint32_t>(r.RequestTarget);
  if (Clients().GetClientByID(playerId) || Buffer().ConnectionState(playerId) >= 0) {
    r.ResultCode = RC_NICKNAME_IN_USE;
    return;
  }
  TClientRecordPtr record = TClients::NewClient();
  record->PlayerID = playerId;
  record->ConnectionID = Clients().GetNewConnectionID();
  record->ChannelID = channel->ID;
  record->NickName = GetGuestPlayerName(r.RequestText);
  record->LoginTime = record->LastActivity = NowDateTime();
  r.ResultCode = RC_OK;
  if (EqualsIgnoreCase(record->NickName.Str(), "server")) {
    r.ResultValue = -1;
    return;
  }
  // The connection has no peer yet: what is queued for it is dropped by the socket.
  Buffer().AddConnection(playerId, record->ConnectionID, "", 1, 0, "");
  SendLoginReply(*record, 1, server_.Settings().WelcomeMessage, true, false);
  if (!Clients().AddClient(std::move(record))) {
    Buffer().RemoveConnection(playerId);
    r.ResultCode = RC_NICKNAME_IN_USE;
    return;
  }
  r.ResultValue = 1;
}

void TVHUDPListener::ExternalCommand_DelClient(TListenerRequest& r) {
  const uint32_t playerId = static_cast<uint32_t>(r.RequestTarget);
  TClientRecord* player = r.RequestTarget > 0 ? Clients().GetClientByID(playerId) : nullptr;
  if (!player) {
    r.ResultCode = RC_PLAYER_NOT_FOUND;
    return;
  }
  notifier_.NotifyPlayerLeftScope(playerId, kLeftQuit, "", 0);
  // The channel's player list holds references: it must let go before the record is freed.
  if (TChannel* c = Channels().GetChannel(player->ChannelID))
    Channels().ClientLeftChannel(c, player);
  Clients().DeleteClient(player);  // freed here
  Channels().ClearChannelClientLists(playerId);
  Channels().ClearChannelAttribs(playerId);
  Buffer().RemoveConnection(playerId);
  ClearChannelUp(-1);
  r.ResultCode = RC_OK;
}

TClientRecord* TVHUDPListener::RequestedPlayer(TListenerRequest& r) {
  TClientRecord* player = r.RequestTarget > 0
                              ? Clients().GetClientByID(static_cast<uint32_t>(r.RequestTarget))
                              : nullptr;
  if (!player) r.ResultCode = RC_PLAYER_NOT_FOUND;
  return player;
}

TChannel* TVHUDPListener::ChannelOfRequested(TListenerRequest& r, const TClientRecord* player) {
  if (!player) {
    r.ResultCode = RC_PLAYER_NOT_FOUND;
    return nullptr;
  }
  TChannel* channel = Channels().GetChannel(player->ChannelID);
  if (!channel) r.ResultCode = RC_CHANNEL_NOT_FOUND;
  return channel;
}

void TVHUDPListener::ExternalCommand_MoveClientToChannel(TListenerRequest& r) {
  TChannel* to = Channels().GetChannel(r.RequestArgument);
  if (!to) {
    r.ResultCode = RC_CHANNEL_NOT_FOUND;
    return;
  }
  TClientRecord* player = RequestedPlayer(r);
  if (!player) return;
  if (player->ChannelID == to->ID) {
    r.ResultCode = RC_ALREADY_IN_CHANNEL;
    return;
  }
  MovePlayerTo(player, to, 0);
  r.ResultCode = RC_OK;
}

void TVHUDPListener::ExternalCommand_NotifyChangedServerProperties(TListenerRequest& r) {
  const TVirtualServerSettings settings = server_.Settings();
  const TServerPermissions sets = server_.Permissions();
  const uint32_t codecs = server_.CodecBits();
  for (size_t i = 0; i < Clients().Count(); ++i)
    notifier_.SendServerProperties(*Clients().Items(i), codecs, sets, settings.MaxUsers,
                                   settings.WelcomeMessage, settings.Name);
  Channels().SetDefaultChannelMaxUsers(settings.MaxUsers);
  notifier_.NotifyChannelMaxUsersChanged(Channels().GetDefaultChannel(), 0);
  r.ResultCode = RC_OK;
  if (!server_.TypeChanged().exchange(false)) return;

  // The server type decides who sees whom: bring every player's picture up to date with
  // the players outside his own channel tree.
  const bool clan = server_.IsClanServer();
  for (size_t i = 0; i < Clients().Count(); ++i) {
    TClientRecord* p = Clients().Items(i);
    std::unique_ptr<TPacket> list;
    int32_t count = 0;
    auto flush = [&] {
      if (!list || count == 0) return;
      list->SetLongAt(24, static_cast<uint32_t>(count));
      list->SetSize(kSwitchedListSize);
      notifier_.Send(std::move(list));
      list.reset();
      count = 0;
    };
    for (size_t j = 0; j < Clients().Count(); ++j) {
      TClientRecord* q = Clients().Items(j);
      if (q == p || Channels().SameChannelTree(p->ChannelID, q->ChannelID)) continue;
      if (!clan) {
        SendLeftOutOfSight(notifier_, *p, q->PlayerID);
        continue;
      }
      if (!list) {
        list = NewPacketFor(*p, CMD_sc_NotifyPlayersInSwitchedChannel);
        list->WriteI32(0);
      }
      WritePlayerBlock(*list, *q);
      if (++count == kSwitchedListSlots) flush();
    }
    flush();
  }
}

void TVHUDPListener::ExternalCommand_SetUserPrivilege(TListenerRequest& r) {
  TClientRecord* player = RequestedPlayer(r);
  if (!player) return;
  for (uint8_t n : {kPrivServerAdmin, kPrivAllowedToRegister, kPrivSticky}) {
    const uint16_t bit = Bit(n);
    const bool has = (player->PlayerPrivileges & bit) != 0;
    const bool wanted = (r.RequestFlags & bit) != 0;
    if (has == wanted) continue;
    if (wanted)
      player->PlayerPrivileges |= bit;
    else
      player->PlayerPrivileges &= static_cast<uint16_t>(~bit);
    notifier_.NotifyPlayerPrivilegesChanged(player->PlayerID, 0,
                                            wanted ? kActionGrant : kActionRevoke, n);
  }
  if (player->IsRegistered()) Clients().DBSaveUser(Clients().ServerID(), player);
  DropStickyOfServerAdmin(notifier_, player);
  EndSatisfiedVoiceRequest(notifier_, player);
  r.ResultCode = RC_OK;
}

// On behalf of an administrator whose permission the caller has checked: RequestTarget the
// player, RequestArgument the channel privilege (0 to 4), RequestFlags 0 to grant or 2 to
// revoke; his current channel, as 306.
void TVHUDPListener::ExternalCommand_SetChannelPrivilege(TListenerRequest& r) {
  TClientRecord* target = RequestedPlayer(r);
  TChannel* channel = ChannelOfRequested(r, target);
  if (!channel) return;
  if (r.RequestArgument < 0 || r.RequestArgument > kPrivAutoVoice ||
      (r.RequestFlags != kActionGrant && r.RequestFlags != kActionRevoke)) {
    r.ResultCode = RC_BAD_ARGUMENT;
    return;
  }
  const auto privilege = static_cast<uint8_t>(r.RequestArgument);
  if (privilege != kPrivChannelAdmin && !channel->HasFlag(CF_MODERATED)) {
    r.ResultCode = RC_NOT_MODERATED;
    return;
  }
  r.ResultCode = ChangeChannelPrivilege(Channels(), notifier_, target, channel,
                                        r.RequestFlags == kActionGrant, privilege, 0);
}

}  // namespace vh
