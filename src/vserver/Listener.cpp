#include "vserver/Listener.h"

#include <algorithm>
#include <chrono>

#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/ModelLock.h"
#include "model/Permissions.h"
#include "transport/ConnectionTable.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {
constexpr const char* kListenerCategory = "UDP Listener";
constexpr int kListenerBit = 1;  // MarkThreadStopped: bit 0 the send thread, bit 1 the listener
}  // namespace

const TVHUDPListener::TCommandEntry TVHUDPListener::kCommandTable[kCommandCount] = {
    {201, "CMD_cs_ChannelCreate", &TVHUDPListener::CMD_cs_ChannelCreate},
    {203, "CMD_cs_ChannelChangePassword", &TVHUDPListener::CMD_cs_ChannelChangePassword},
    {205, "CMD_cs_ChannelChangeProperties", &TVHUDPListener::CMD_cs_ChannelChangeProperties},
    {206, "CMD_cs_ChannelChangeName", &TVHUDPListener::CMD_cs_ChannelChangeName},
    {207, "CMD_cs_ChannelChangeTopic", &TVHUDPListener::CMD_cs_ChannelChangeTopic},
    {208, "CMD_cs_ChannelChangeDescription", &TVHUDPListener::CMD_cs_ChannelChangeDescription},
    {209, "CMD_cs_ChannelDestroy", &TVHUDPListener::CMD_cs_ChannelDestroy},
    {210, "CMD_cs_ChannelChangeMaxUsers", &TVHUDPListener::CMD_cs_ChannelChangeMaxUsers},
    {212, "CMD_cs_ChannelChangeOrder", &TVHUDPListener::CMD_cs_ChannelChangeOrder},
    {300, "CMD_cs_PlayerQuit", &TVHUDPListener::CMD_cs_PlayerQuit},
    {301, "CMD_cs_PlayerKick", &TVHUDPListener::CMD_cs_PlayerKick},
    {302, "CMD_cs_PlayerKickFromChannel", &TVHUDPListener::CMD_cs_PlayerKickFromChannel},
    {303, "CMD_cs_PlayerChannelSwitch", &TVHUDPListener::CMD_cs_PlayerChannelSwitch},
    {304, "CMD_cs_PlayerFlagsChanged", &TVHUDPListener::CMD_cs_PlayerFlagsChanged},
    {305, "CMD_cs_PlayerRequestVoice", &TVHUDPListener::CMD_cs_PlayerRequestVoice},
    {306, "CMD_cs_PlayerChangeChannelPrivilege",
     &TVHUDPListener::CMD_cs_PlayerChangeChannelPrivilege},
    {307, "CMD_cs_PlayerChangePrivilege", &TVHUDPListener::CMD_cs_PlayerChangePrivilege},
    {308, "CMD_cs_PlayerRegister", &TVHUDPListener::CMD_cs_PlayerRegister},
    {310, "CMD_cs_PlayerAdminRegister", &TVHUDPListener::CMD_cs_PlayerAdminRegister},
    {320, "CMD_cs_PlayerMutePlayer", &TVHUDPListener::CMD_cs_PlayerMutePlayer},
    {324, "CMD_cs_PlayerBanIp", &TVHUDPListener::CMD_cs_PlayerBanIp},
    {325, "CMD_cs_PlayerBanIpPlayer", &TVHUDPListener::CMD_cs_PlayerBanIpPlayer},
    {326, "CMD_cs_PlayerUnbanIp", &TVHUDPListener::CMD_cs_PlayerUnbanIp},
    {330, "CMD_cs_PlayerMovePlayer", &TVHUDPListener::CMD_cs_PlayerMovePlayer},
    {340, "CMD_cs_PlayerSetUploadBandwidth", &TVHUDPListener::CMD_cs_PlayerSetUploadBandwidth},
    {400, "CMD_cs_InfoRequestPlayerConnectionInfoOnId",
     &TVHUDPListener::CMD_cs_InfoRequestPlayerConnectionInfoOnId},
    {405, "CMD_cs_InfoRequestServerInfo", &TVHUDPListener::CMD_cs_InfoRequestServerInfo},
    {410, "CMD_cs_InfoRequestBanIpList", &TVHUDPListener::CMD_cs_InfoRequestBanIpList},
    {430, "CMD_cs_InfoSendText", &TVHUDPListener::CMD_cs_InfoSendText},
};

const TVHUDPListener::TCommandEntry* TVHUDPListener::FindCommand(uint16_t number) {
  for (const TCommandEntry& e : kCommandTable)
    if (e.number == number) return &e;
  return nullptr;
}

// Names as the requests' errors have always been logged (the channel deletion under the
// adding's name, the added player under the login's).
const TVHUDPListener::TRequestEntry TVHUDPListener::kRequestTable[kRequestCount] = {
    {TListenerRequestKind::AddPlayer, "CMD_cs_LoginStep1",
     &TVHUDPListener::ExternalCommand_AddClient},
    {TListenerRequestKind::RemovePlayer, "ExternalCommand_DelClient",
     &TVHUDPListener::ExternalCommand_DelClient},
    {TListenerRequestKind::MovePlayer, "ExternalCommand_MoveClientToChannel",
     &TVHUDPListener::ExternalCommand_MoveClientToChannel},
    {TListenerRequestKind::KickWithReason, "ExternalCommand_KickPlayer",
     &TVHUDPListener::ExternalCommand_KickWithReason},
    {TListenerRequestKind::RemoveWithText, "ExternalCommand_KickPlayer",
     &TVHUDPListener::ExternalCommand_RemoveWithText},
    {TListenerRequestKind::AddChannel, "ExternalCommand_AddChannel",
     &TVHUDPListener::ExternalCommand_AddChannel},
    {TListenerRequestKind::DeleteChannel, "ExternalCommand_AddChannel",
     &TVHUDPListener::ExternalCommand_DeleteChannel},
    {TListenerRequestKind::ServerPropertiesChanged, "ExternalCommand_NotifyChangedServerProperties",
     &TVHUDPListener::ExternalCommand_NotifyChangedServerProperties},
    {TListenerRequestKind::CheckAlive, "ExternalCommand_CheckServerOK",
     &TVHUDPListener::ExternalCommand_CheckServerOK},
    {TListenerRequestKind::SetPlayerPrivileges, "ExternalCommand_SetUserPrivilege",
     &TVHUDPListener::ExternalCommand_SetUserPrivilege},
    {TListenerRequestKind::SetChannelRegistered, "ExternalCommand_SetChannel",
     &TVHUDPListener::ExternalCommand_SetChannel},
    {TListenerRequestKind::KickFromChannel, "ExternalCommand_KickFromChannel",
     &TVHUDPListener::ExternalCommand_KickFromChannel},
    {TListenerRequestKind::SetChannelPrivilege, "ExternalCommand_SetChannelPrivilege",
     &TVHUDPListener::ExternalCommand_SetChannelPrivilege},
};

const TVHUDPListener::TRequestEntry* TVHUDPListener::FindRequest(TListenerRequestKind kind) {
  for (const TRequestEntry& e : kRequestTable)
    if (e.kind == kind) return &e;
  return nullptr;
}

void TVHUDPListener::ExternalCommand_KickWithReason(TListenerRequest& r) {
  ExternalCommand_KickPlayer(r, true);
}

void TVHUDPListener::ExternalCommand_RemoveWithText(TListenerRequest& r) {
  ExternalCommand_KickPlayer(r, false);
}

void TVHUDPListener::ExternalCommand_CheckServerOK(TListenerRequest& r) {
  r.ResultCode = RC_ALIVE;
}

TVHUDPListener::TVHUDPListener(TServerObject& server)
    : server_(server),
      notifier_(*server.Clients(), *server.Channels(), *server.PacketBuffer(), server.ServerFlags(),
                server.ServerID()),
      policy_(server.Environment().Policy()) {}

TVHUDPListener::~TVHUDPListener() {
  wakeLine_->Close();
  terminated_.store(true);
  if (thread_.joinable()) thread_.join();
}

TClients& TVHUDPListener::Clients() {
  return *server_.Clients();
}
TChannels& TVHUDPListener::Channels() {
  return *server_.Channels();
}
TCustomPacketBuffer& TVHUDPListener::Buffer() {
  return *server_.PacketBuffer();
}

void TVHUDPListener::Start(bool withThread) {
  serverId_ = server_.ServerID();
  stopping_.store(false);
  terminated_.store(false);
  // The tree is loaded before the thread takes its first event, so the first login already
  // finds the stored channels.
  {
    TLockGuard tree(Channels().Mutex());
    try {
      Channels().LoadChannels();
      Channels().SetDefaultChannelMaxUsers(server_.Settings().MaxUsers);
    } catch (const std::exception& e) {
      LogHandlerException("LoadChannels", e);
    }
  }
  {
    TLockGuard lock(wakeLine_->mutex);
    wakeLine_->table = &Buffer();
  }
  if (withThread) thread_ = std::thread(&TVHUDPListener::Execute, this);
}

void TVHUDPListener::Terminate() {
  // A check still running finishes on its pool thread and finds nobody to wake.
  wakeLine_->Close();
  terminated_.store(true);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TVHUDPListener::Execute() {
  while (!(terminated_.load() && Buffer().StopRequested())) {
    uint32_t playerId = 0;
    uint8_t kind = 0;
    std::unique_ptr<TPacket> packet;
    try {
      Buffer().GetNextEvent(playerId, kind, packet);
    } catch (const std::exception&) {
      continue;  // no event this time
    }
    if (kind == EV_STOP) {
      Buffer().MarkThreadStopped(kListenerBit);
      break;
    }
    if (!stopping_.load()) HandleEvent(playerId, kind, std::move(packet));
    // Until now the receive thread has left voice to this thread (TCustomPacketBuffer's
    // OfferDatagrams): it must not overtake this datagram.
    if (kind == EV_PACKET) Buffer().PacketEventHandled();
  }
}

void TVHUDPListener::HandleEvent(uint32_t playerId, uint8_t kind, std::unique_ptr<TPacket> packet) {
  eventPlayerId_ = playerId;
  eventKind_ = kind;
  eventPacket_ = std::move(packet);
  policy_ = server_.Environment().Policy();
  {
    TModelLock model(Clients(), Channels());  // released registry first, then the tree
    try {
      currentPlayer_ = Clients().GetClientByID(playerId);
      disconnect_ = false;
      HandleEventLocked();
    } catch (const std::exception& e) {
      LogHandlerException("Listener", e);
    }
    // Published for monitoring, which reads them without the model lock.
    TServerCounters& counters = *server_.Counters();
    counters.players.store(static_cast<uint32_t>(Clients().Count()), std::memory_order_relaxed);
    counters.channels.store(static_cast<uint32_t>(Channels().Count()), std::memory_order_relaxed);
  }
  eventPacket_.reset();
  currentPlayer_ = nullptr;
}

void TVHUDPListener::HandleEventLocked() {
  switch (eventKind_) {
    case EV_REQUEST:
      // A wake-up comes from an administration request or a finished password check.
      CompleteCheckedLogins();
      // A request skips the end-of-event checks; a wake-up without one runs them.
      if (RunRequest()) return;
      break;
    case EV_TIMEOUT:
    case EV_CLOSED:
      DropPendingLogin(eventPlayerId_);
      disconnect_ = true;
      break;
    case EV_PACKET: {
      if (!eventPacket_) break;
      if (HoldForPendingLogin()) return;
      if (currentPlayer_) currentPlayer_->LastActivity = NowDateTime();
      TPacket& p = *eventPacket_;
      if (p.IsClientVoicePacket() && currentPlayer_) {
        RelayVoice(currentPlayer_, p, listenerRelay_);
        return;
      }
      if (p.IsClientVoicePacket()) {
        // No player for this voice: nothing to relay, the end-of-event checks still run.
      } else if (p.IsConnectionPacket() && p.CommandNumber() == kConnLoginRequest) {
        CMD_cs_LoginStep1();
      } else if (p.IsCommandPacket()) {
        // The join runs once: a player already seated would end up in two channel lists.
        if (p.CommandNumber() == CMD_cs_LoginStep3No &&
            (!currentPlayer_ || currentPlayer_->LoggedIn == 0))
          CMD_cs_LoginStep3();
        if (currentPlayer_ && currentPlayer_->LoggedIn == 1 && !ClientIsSpammer())
          DispatchCommand();
      }
      break;
    }
    default:
      break;
  }
  if (disconnect_) TearDownPlayer();
  if (Buffer().ConnectionCount() == 0) {
    if (Clients().Count() == 0)
      Clients().ResetPlayerID();
    else
      LogText(LMT_ERROR, LMD_ALL, "unable to reset playerid.", kListenerCategory);
  }
}

void TVHUDPListener::DispatchCommand() {
  const TCommandEntry* entry = FindCommand(eventPacket_->CommandNumber());
  if (!entry) return;  // not a command: ignored without a reply
  try {
    (this->*(entry->handler))();
  } catch (const std::exception& e) {
    LogHandlerException(entry->name, e);
  }
}

void TVHUDPListener::TearDownPlayer() {
  const THostPolicy& s = Policy();
  if (TClientRecord* p = currentPlayer_) {
    if (p->IsRegistered() && s.LogAccessRegistered)
      LogFormat(LMT_ALL, LMD_INFO, {p->NickName.Str(), p->LoginName.Str(), p->DBID},
                "client disconnected. [Nick: %1, LoginName: %2, DBID: %3]", "AccessLog");
    else if (!p->IsRegistered() && s.LogAccessUnregistered)
      LogFormat(LMT_ALL, LMD_INFO, {p->NickName.Str()}, "client disconnected. [Nick: %1]",
                "AccessLog");
    if (s.LogServerAdmin && p->IsServerAdmin())
      LogFormat(LMT_ALL, LMD_INFO, {p->NickName.Str(), p->LoginName.Str()},
                "serveradmin disconnected [Nick: %1, LoginName: %2]", "SALog");
    if (TChannel* c = Channels().GetChannel(p->ChannelID)) Channels().ClientLeftChannel(c, p);
    notifier_.NotifyPlayerLeftScope(p->PlayerID, kLeftQuit, "", 0);
    currentPlayer_ = nullptr;
    Clients().DeleteClient(p);  // the record goes here: no channel list holds it any more
  }
  Channels().ClearChannelClientLists(eventPlayerId_);
  if (eventPlayerId_ > 0) Channels().ClearChannelAttribs(eventPlayerId_);
  Buffer().RemoveConnection(eventPlayerId_);
  ClearChannelUp(-1);
}

void TVHUDPListener::ClearChannelUp(int32_t channelId) {
  auto qualifies = [this](TChannel* c) LISTENER_LOCKED {
    return c && c->HasFlag(CF_UNREGISTERED) && c->IsTopLevel() &&
           Channels().CheckChannelTreeForPlayers(c) == 0;
  };
  // False when the tree refused (the default channel): the walk must not count that as a
  // deletion, or it would run all its passes again.
  auto remove = [this](TChannel* c, uint32_t cause) LISTENER_LOCKED {
    if (Channels().DeleteChannelTree(c->ID) != 0) return false;
    const std::vector<int32_t> ids = Channels().ChangedIDs();
    for (int32_t id : ids) notifier_.NotifyChannelDestroyed(id, cause);
    return true;
  };
  if (channelId >= 0) {
    try {
      TChannel* c = Channels().GetChannel(channelId);
      if (qualifies(c)) remove(c, currentPlayer_ ? currentPlayer_->PlayerID : 0);
      return;
    } catch (const std::exception& e) {
      LogText(
          LMT_ERROR, LMD_ALL,
          std::string("ClearChannelUp -1- Exception: ") + ExceptionClassName(e) + "." + e.what(),
          kListenerCategory);
    }
  }
  try {
    for (int pass = 0; pass < 1001; ++pass) {
      bool deleted = false;
      for (size_t i = Channels().Count(); i-- > 0;) {
        if (i >= Channels().Count()) continue;
        TChannel* c = Channels().Items(i);
        if (qualifies(c) && remove(c, 0)) deleted = true;
      }
      if (!deleted) break;
    }
  } catch (const std::exception& e) {
    LogText(LMT_ERROR, LMD_ALL,
            std::string("ClearChannelUp -2- Exception: ") + ExceptionClassName(e) + "." + e.what(),
            kListenerCategory);
  }
}

bool TVHUDPListener::RunRequest() {
  TListenerRequest r;
  uint64_t serial = 0;
  if (!server_.TakeRequest(r, serial)) return false;
  r.ResultCode = -10;
  r.ResultValue = 0;
  const TRequestEntry* entry = FindRequest(r.Type);
  try {
    if (entry) (this->*entry->handler)(r);
  } catch (const std::exception& e) {
    LogHandlerException(entry->name, e);
  }
  server_.CompleteRequest(serial, r);
  return true;
}

void TVHUDPListener::LogHandlerException(std::string_view name, const std::exception& e) {
  LogText(LMT_ERROR, LMD_ALL,
          std::string(name) + " Exception: " + ExceptionClassName(e) + "." + e.what(),
          kListenerCategory);
}

void TVHUDPListener::LogText(uint8_t kind, uint8_t depth, std::string_view text,
                             std::string_view category) {
  vh::Log(kind, depth, "SID: " + std::to_string(serverId_) + " " + std::string(text),
          category.substr(0, 99));
}

void TVHUDPListener::LogFormat(uint8_t kind, uint8_t depth, TLogArgs args, std::string_view format,
                               std::string_view category) {
  std::vector<std::string> texts;
  texts.reserve(args.size());
  for (const TLogArg& a : args) texts.push_back(a.Text());
  LogText(kind, depth, FormatPlaceholders(format, texts), category);
}

void TVHUDPListener::Refuse(int32_t code) {
  if (currentPlayer_ && eventPacket_)
    notifier_.SendErrorReply(*currentPlayer_, *eventPacket_, code);
}

bool TVHUDPListener::Can(int permission) const {
  return HasPermission(currentPlayer_, permission, server_.Permissions());
}

bool TVHUDPListener::CanInChannel(TChannel* channel, int permission) {
  return CheckClientChannelPermission(Channels(), channel, currentPlayer_, permission,
                                      server_.Permissions());
}

// ---- Moving players. The notifiers go by each record's ChannelID, the channel lists only
// decide who is heard and which trees are empty; so the seat changes first, and the clean-up
// of the left tree waits until everybody has been told.

TVHUDPListener::TLeftSeat TVHUDPListener::SeatPlayer(TClientRecord* player, TChannel* to) {
  TLeftSeat left;
  left.Channel = player->ChannelID;
  if (TChannel* from = Channels().GetChannel(left.Channel)) {
    left.Top = Channels().GetTopChannelId(left.Channel);
    Channels().ClientLeftChannel(from, player);
  }
  player->ChannelID = to->ID;
  Channels().ClientJoinedChannel(to, player);
  return left;
}

void TVHUDPListener::SwitchPlayerTo(TClientRecord* player, TChannel* to, bool announceFlags) {
  const TLeftSeat left = SeatPlayer(player, to);
  notifier_.NotifyPlayerSwitchedChannel(player->PlayerID, left.Channel, to->ID);
  if (announceFlags) notifier_.NotifyPlayerFlagsChanged(player->PlayerID);
  if (left.Top >= 0) ClearChannelUp(left.Top);
}

void TVHUDPListener::MovePlayerTo(TClientRecord* player, TChannel* to, uint32_t moverId) {
  notifier_.SetPlayerChannelFlagsAndPrivileges(to, player);
  const TLeftSeat left = SeatPlayer(player, to);
  notifier_.NotifyPlayerMovedToChannel(player->PlayerID, moverId, player->ChannelPrivileges, to->ID,
                                       left.Channel);
  notifier_.NotifyPlayerFlagsChanged(player->PlayerID);
  if (left.Top >= 0) ClearChannelUp(left.Top);
}

}  // namespace vh
