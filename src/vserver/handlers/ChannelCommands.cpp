// The channel commands of a logged-in player (create, edit, delete channels) and the
// administration requests that add, delete and re-register channels. Listener thread only,
// with the registry lock and then the channel tree lock held for the whole event.
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/ConnectionTable.h"
#include "transport/Requests.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr std::string_view kChannelLog = "ChannelLog";

constexpr uint16_t kKnownChannelFlags =
    CF_UNREGISTERED | CF_MODERATED | CF_PASSWORD | CF_HIERARCHICAL | CF_DEFAULT;
constexpr uint16_t kHighestCodec = kCodecCount - 1;

// The privileges moderation gives, with their privilege numbers, in the order they are
// announced when moderation ends.
constexpr std::array<std::pair<uint16_t, uint8_t>, 4> kModeratedPrivileges = {{
    {CP_OPERATOR, 1},
    {CP_VOICE, 2},
    {CP_AUTO_OPERATOR, 3},
    {CP_AUTO_VOICE, 4},
}};

// One of the four audit texts of a channel's creation or destruction, or none when its log
// switch is off.
const char* ChannelLogFormat(const THostPolicy& s, const TChannel& c, bool created) {
  if (c.IsRegistered() ? !s.LogChannelRegistered : !s.LogChannelUnregistered) return nullptr;
  if (c.IsTopLevel()) {
    if (c.IsRegistered())
      return created ? "registerred channel created [ChannelName: %1, ClientNickName: %2, "
                       "ClientLoginName: %3]"
                     : "registerred channel destroyed [ChannelName: %1, ClientNickName: %2, "
                       "ClientLoginName: %3]";
    return created ? "unregisterred channel created [ChannelName: %1, ClientNickName: %2, "
                     "ClientLoginName: %3]"
                   : "unregisterred channel destroyed [ChannelName: %1, ClientNickName: %2, "
                     "ClientLoginName: %3]";
  }
  if (c.IsRegistered())
    return created ? "registerred subchannel created [ChannelName: %1, ClientNickName: %2, "
                     "ClientLoginName: %3]"
                   : "registerred subchannel destroyed [ChannelName: %1, ClientNickName: %2, "
                     "ClientLoginName: %3]";
  return created ? "unregisterred subchannel created [ChannelName: %1, ClientNickName: %2, "
                   "ClientLoginName: %3]"
                 : "unregisterred subchannel destroyed [ChannelName: %1, ClientNickName: %2, "
                   "ClientLoginName: %3]";
}

bool Sets(uint16_t now, uint16_t before, uint16_t flag) {
  return (now & flag) && !(before & flag);
}
bool Clears(uint16_t now, uint16_t before, uint16_t flag) {
  return !(now & flag) && (before & flag);
}

}  // namespace

// ---- Creating and deleting

void TVHUDPListener::CMD_cs_ChannelCreate() {
  const auto request = Read(ParseChannelCreate);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  uint16_t flags = request->Flags & kKnownChannelFlags;
  const uint16_t codec = request->Codec;
  const int32_t parentId = request->ParentId;

  if (HasControlChars(request->Name) || HasControlChars(request->Topic) ||
      HasControlChars(request->Description))
    return Refuse(RC_BAD_ARGUMENT);
  if (codec > kHighestCodec) return Refuse(RC_INVALID_CODEC);
  if (!server_.Settings().CodecPermits[codec]) return Refuse(RC_CODEC_DISABLED);
  TChannel* parent = nullptr;
  if (parentId != -1) {
    parent = Channels().GetChannel(parentId);
    if (!parent) return Refuse(RC_CHANNEL_NOT_FOUND);
  }
  if ((me->PlayerPrivileges & PP_STICKY) && !me->IsServerAdmin())
    return Refuse(RC_INSUFFICIENT_PERMISSION);
  const TServerPermissions sets = server_.Permissions();
  bool allowed = true;
  if (!parent) {
    allowed =
        Can((flags & CF_UNREGISTERED) ? upChannelCreateUnregisterred : upChannelCreateRegisterred);
    if (flags & CF_MODERATED)
      allowed = allowed && CheckClientCAPermission(me, upChannelCreateModerated, sets);
    if (flags & CF_HIERARCHICAL)
      allowed = allowed && CheckClientCAPermission(me, upChannelCreateSubchannels, sets);
  } else {
    allowed = CanInChannel(parent, upChannelCreateSubchannels);
  }
  if ((flags & CF_DEFAULT) && !Can(upChannelCreateDefault)) allowed = false;
  if (!allowed) return Refuse(RC_INSUFFICIENT_PERMISSION);
  // The default channel can never be removed, so it must not be a temporary one either (a
  // property change makes a new default registered in the same way).
  if (flags & CF_DEFAULT) flags &= static_cast<uint16_t>(~CF_UNREGISTERED);

  TChannelPtr channel = TChannels::NewChannel();
  channel->Flags = flags;
  channel->Codec = codec;
  channel->ParentID = parentId;
  channel->Order = request->Order;
  channel->MaxUsers = request->MaxUsers;
  channel->DBID = 0;
  channel->ParentDBID = parent ? parent->DBID : -1;
  channel->Name = request->Name;
  channel->Topic = request->Topic;
  channel->Description = request->Description;
  channel->Password = request->Password;
  TChannel* created = channel.get();
  const int32_t id = Channels().AddChannel(std::move(channel));
  if (id < 0) return Refuse(id);

  // The channel that lost D keeps its row in step, or a restart would find two defaults.
  const std::vector<int32_t> changed = Channels().ChangedIDs();
  for (int32_t lostDefault : changed) {
    Channels().SaveChannel(Channels().GetChannel(lostDefault));
    notifier_.NotifyChannelPropertiesChanged(lostDefault, me->PlayerID);
  }
  if (created->HasFlag(CF_DEFAULT)) created->MaxUsers = server_.Settings().MaxUsers;
  me->PlayerFlags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
  notifier_.NotifyPlayerFlagsChanged(me->PlayerID);
  notifier_.NotifyChannelCreated(id, me->PlayerID);

  // The creator administers his channel. An anonymous creator of a top-level channel moves in;
  // a registered one only into a temporary top-level channel, since a registered channel
  // outlives his visit and his stored CA entry is what matters there.
  const bool moveIn = created->IsTopLevel() && (!me->IsRegistered() || !created->IsRegistered());
  const uint16_t kept = me->ChannelPrivileges;
  me->ChannelPrivileges = CP_CHANNEL_ADMIN;
  Channels().SetChannelAttribs(created, me);
  if (moveIn)
    SwitchPlayerTo(me, created, /*announceFlags=*/false);
  else
    me->ChannelPrivileges = kept;

  if (const char* format = ChannelLogFormat(Policy(), *created, true))
    LogFormat(LMT_ALL, LMD_INFO, {created->Name, me->NickName.Str(), me->LoginName.Str()}, format,
              kChannelLog);
}

void TVHUDPListener::CMD_cs_ChannelDestroy() {
  const auto request = Read(ParseChannelDestroy);
  if (!request) return;
  TClientRecord* me = currentPlayer_;
  const int32_t id = request->ChannelId;
  TChannel* c = Channels().GetChannel(id);
  if (!c) return Refuse(RC_CHANNEL_NOT_FOUND);
  bool allowed = CanInChannel(c, upChannelDelete);
  if (!allowed && !c->IsTopLevel())
    allowed = CanInChannel(Channels().GetChannel(c->ParentID), upChannelDelete);
  if (!allowed) return Refuse(RC_INSUFFICIENT_PERMISSION);
  if (Channels().CheckChannelTreeForPlayers(c) != RC_OK) return Refuse(RC_CHANNEL_NOT_EMPTY);
  if (c->HasFlag(CF_DEFAULT)) return Refuse(RC_DEFAULT_CHANNEL_UNDELETABLE);

  // The log names the channel as it was; the tree frees it.
  const char* format = ChannelLogFormat(Policy(), *c, false);
  const std::string name = c->Name;
  const int32_t result = Channels().DeleteChannelTree(id);
  if (result < 0) return Refuse(result);
  if (format)
    LogFormat(LMT_ALL, LMD_INFO, {name, me->NickName.Str(), me->LoginName.Str()}, format,
              kChannelLog);
  const std::vector<int32_t> removed = Channels().ChangedIDs();
  for (int32_t gone : removed) notifier_.NotifyChannelDestroyed(gone, me->PlayerID);
}

// ---- Flags and codec

void TVHUDPListener::CMD_cs_ChannelChangeProperties() {
  const auto request = Read(ParseChannelProperties);
  if (!request) return;
  TChannel* c = Channels().GetChannel(request->ChannelId);
  if (!c) return Refuse(RC_CHANNEL_NOT_FOUND);
  uint16_t flags = 0;
  const int32_t refusal = CheckPropertyChange(c, *request, flags);
  if (refusal != RC_OK) return Refuse(refusal);
  const bool moderationRemoved = Clears(flags, c->Flags, CF_MODERATED);
  if (!(flags & CF_PASSWORD)) c->Password.Clear();
  if (!ApplyRegistrationChange(c, flags)) return;
  ApplyPropertyChange(c, flags, request->Codec, moderationRemoved);
  if (Channels().HasSubChannels(c))
    UpdateAndAnnounceSubChannels(c, currentPlayer_->PlayerID, moderationRemoved);
}

// Every refusal comes before the first change, so a refused request changes nothing. Gives
// the flags to apply in `flags`.
int32_t TVHUDPListener::CheckPropertyChange(TChannel* c, const TChannelPropertiesRequest& request,
                                            uint16_t& flags) {
  uint16_t n = request.Flags & kKnownChannelFlags;
  const uint16_t codec = request.Codec;
  const uint16_t before = c->Flags;
  // Only the codec of a sub-channel changes here; its flags follow its parent.
  if (!c->IsTopLevel() && n != before) return RC_NOT_ON_SUBCHANNEL;
  if (codec > kHighestCodec) return RC_INVALID_CODEC;
  // A channel cannot be given a codec it could not have been created with.
  if (codec != c->Codec && !server_.Settings().CodecPermits[codec]) return RC_CODEC_DISABLED;

  bool allowed = true;
  auto need = [&](int permission)
                  LISTENER_LOCKED { allowed = allowed && CanInChannel(c, permission); };
  if (codec != c->Codec) need(upChannelEditCodec);
  if (Sets(n, before, CF_UNREGISTERED)) {
    need(upChannelCreateUnregisterred);
    need(upChannelCreateRegisterred);
  }
  if (Clears(n, before, CF_UNREGISTERED)) need(upChannelCreateRegisterred);
  if ((n ^ before) & CF_MODERATED) need(upChannelCreateModerated);
  if ((n ^ before) & CF_HIERARCHICAL) need(upChannelCreateSubchannels);
  if (Clears(n, before, CF_PASSWORD)) need(upChannelEditPassword);
  // A password is set with its own command, never by a flag.
  if (Sets(n, before, CF_PASSWORD)) allowed = false;
  if (Sets(n, before, CF_DEFAULT) && !Can(upChannelCreateDefault)) allowed = false;
  // The default sets let every player create channels, so the creation permissions alone
  // would let anyone moderate, register or drop somebody else's channel: who changes those
  // flags of an existing channel must also administer it (or the server).
  constexpr uint16_t kOwnerFlags = CF_UNREGISTERED | CF_MODERATED | CF_HIERARCHICAL;
  if (((n ^ before) & kOwnerFlags) && !AdministersChannel(c)) allowed = false;
  if (!allowed) return RC_INSUFFICIENT_PERMISSION;
  if (Clears(n, before, CF_HIERARCHICAL) && Channels().HasSubChannels(c))
    return RC_SUBCHANNELS_PRESENT;
  if ((before & CF_DEFAULT) && !(n & CF_DEFAULT)) return RC_DEFAULT_CHANNEL_UNDELETABLE;
  // The default channel is always registered; deciding that first keeps a request for a
  // temporary default from dropping the channel's stored row on the way.
  if (n & CF_DEFAULT) n &= static_cast<uint16_t>(~CF_UNREGISTERED);
  flags = n;
  return RC_OK;
}

bool TVHUDPListener::AdministersChannel(TChannel* c) {
  const TClientRecord* me = currentPlayer_;
  if (me->PlayerPrivileges & (PP_SERVER_ADMIN | PP_SUPER_SERVER_ADMIN)) return true;
  if (Channels().GetChannelAttribs(c, currentPlayer_) & CP_CHANNEL_ADMIN) return true;
  TChannel* parent = c->IsTopLevel() ? nullptr : Channels().GetChannel(c->ParentID);
  return parent && (Channels().GetChannelAttribs(parent, currentPlayer_) & CP_CHANNEL_ADMIN);
}

// The switch between registered and temporary, which comes before the new flags because a
// channel turned temporary may go at once with its empty tree. False when it went.
bool TVHUDPListener::ApplyRegistrationChange(TChannel*& c, uint16_t flags) {
  TClientRecord* me = currentPlayer_;
  const uint16_t before = c->Flags;
  const int32_t id = c->ID;
  auto logTransition = [&](std::string_view format) {
    if (Policy().LogChannelUnregistered)
      LogFormat(LMT_ALL, LMD_INFO, {c->Name, me->NickName.Str(), me->LoginName.Str()}, format,
                kChannelLog);
  };
  if (Clears(flags, before, CF_UNREGISTERED))
    logTransition(
        "channel set to registerred [ChannelName: %1, ClientNickName: %2, ClientLoginName: %3]");
  if (!Sets(flags, before, CF_UNREGISTERED)) return true;
  logTransition(
      "channel set to unregisterred [ChannelName: %1, ClientNickName: %2, ClientLoginName: %3]");
  c->Flags |= CF_UNREGISTERED;
  Channels().UpdateSubChannels(c);
  if (me->ChannelID != id) {
    ClearChannelUp(Channels().GetTopChannelId(id));
    c = Channels().GetChannel(id);
    if (!c) return false;  // nobody was in it: it went with its tree
  }
  // A temporary channel keeps no row, whoever is in it.
  Channels().DeleteStoredChannel(c);
  return true;
}

void TVHUDPListener::ApplyPropertyChange(TChannel* c, uint16_t flags, uint16_t codec,
                                         bool moderationRemoved) {
  const uint32_t changer = currentPlayer_->PlayerID;
  if (flags & CF_DEFAULT) {
    TChannel* oldDefault = Channels().GetDefaultChannelAsPointer();
    if (oldDefault && oldDefault != c) {
      oldDefault->Flags &= static_cast<uint16_t>(~CF_DEFAULT);
      Channels().SaveChannel(oldDefault);
      notifier_.NotifyChannelPropertiesChanged(oldDefault->ID, changer);
    }
  }
  if (moderationRemoved) {
    Channels().ClearModeratedChannelAttribs(c);
    RemoveModeratedFlags(c->ID);
  }
  c->Flags = flags;
  c->Codec = codec;
  if (c->IsRegistered()) {
    Channels().SaveChannel(c);
    Channels().UpdateChannelAttribs(c, Clients());
  }
  notifier_.NotifyChannelPropertiesChanged(c->ID, changer);
  if (flags & CF_DEFAULT) {
    c->MaxUsers = server_.Settings().MaxUsers;
    notifier_.NotifyChannelMaxUsersChanged(c->ID, 0);
  }
}

void TVHUDPListener::UpdateAndAnnounceSubChannels(TChannel* c, uint32_t changerId,
                                                  bool moderationRemoved) {
  Channels().UpdateSubChannels(c);
  const std::vector<int32_t> subs = Channels().ChangedIDs();
  for (int32_t subId : subs) {
    TChannel* sub = Channels().GetChannel(subId);
    if (sub && sub->IsRegistered()) Channels().UpdateChannelAttribs(sub, Clients());
    notifier_.NotifyChannelPropertiesChanged(subId, changerId);
    if (moderationRemoved) RemoveModeratedFlags(subId);
  }
}

void TVHUDPListener::RemoveModeratedFlags(int32_t channelId) {
  for (size_t i = 0; i < Clients().Count(); ++i) {
    TClientRecord* q = Clients().Items(i);
    if (!Channels().SameChannelTree(q->ChannelID, channelId)) continue;
    for (const auto& [bit, privilege] : kModeratedPrivileges) {
      if (!(q->ChannelPrivileges & bit)) continue;
      q->ChannelPrivileges &= static_cast<uint16_t>(~bit);
      notifier_.NotifyPlayerChannelPrivilegeChanged(q->PlayerID, 0, kActionRevokedAuto, privilege);
    }
  }
}

// ---- Attribute edits: -102 for a missing channel, -1009 without the channel permission,
// then the change, its row and one notification to everybody.

TChannel* TVHUDPListener::ChannelToEdit(int32_t channelId, int permission) {
  TChannel* c = Channels().GetChannel(channelId);
  if (!c) {
    Refuse(RC_CHANNEL_NOT_FOUND);
    return nullptr;
  }
  if (!CanInChannel(c, permission)) {
    Refuse(RC_INSUFFICIENT_PERMISSION);
    return nullptr;
  }
  return c;
}

void TVHUDPListener::CMD_cs_ChannelChangePassword() {
  const auto request = Read(ParseChannelPassword);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditPassword);
  if (!c) return;
  const TName29 password(request->Password);
  if (!c->IsTopLevel() && !password.Empty()) return Refuse(RC_SUBCHANNEL_PASSWORD);
  c->Password = password;
  if (password.Empty())
    c->Flags &= static_cast<uint16_t>(~CF_PASSWORD);
  else
    c->Flags |= CF_PASSWORD;
  Channels().SaveChannel(c);
  auto reply = NewPacketFor(*currentPlayer_, CMD_sc_ChannelPasswordChanged);
  reply->WriteI32(c->ID);
  notifier_.Send(std::move(reply));
  notifier_.NotifyChannelPropertiesChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeName() {
  const auto request = Read(ParseChannelName);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditName);
  if (!c) return;
  if (HasControlChars(request->Text)) return Refuse(RC_BAD_ARGUMENT);
  const std::string& name = request->Text;
  // A top-level name clashes with any channel of that name, a sub-channel's only with its
  // siblings; the channel itself may change the letter case of its own name.
  for (size_t i = 0; i < Channels().Count(); ++i) {
    const TChannel* other = Channels().Items(i);
    if (other == c || !EqualsIgnoreCase(other->Name, name)) continue;
    if (c->IsTopLevel() || other->ParentID == c->ParentID) return Refuse(RC_CHANNEL_ALREADY_EXISTS);
  }
  c->Name = name;
  Channels().SaveChannel(c);
  notifier_.NotifyChannelNameChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeTopic() {
  const auto request = Read(ParseChannelTopic);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditTopic);
  if (!c) return;
  if (HasControlChars(request->Text)) return Refuse(RC_BAD_ARGUMENT);
  c->Topic = request->Text;
  Channels().SaveChannel(c);
  notifier_.NotifyChannelTopicChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeDescription() {
  const auto request = Read(ParseChannelDescription);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditDescription);
  if (!c) return;
  if (HasControlChars(request->Text)) return Refuse(RC_BAD_ARGUMENT);
  c->Description = request->Text;
  Channels().SaveChannel(c);
  notifier_.NotifyChannelDescriptionChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeMaxUsers() {
  const auto request = Read(ParseChannelWord);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditMaxUsers);
  if (!c) return;
  c->MaxUsers = request->Value;
  Channels().SaveChannel(c);
  notifier_.NotifyChannelMaxUsersChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeOrder() {
  const auto request = Read(ParseChannelWord);
  if (!request) return;
  TChannel* c = ChannelToEdit(request->ChannelId, upChannelEditOrder);
  if (!c) return;
  c->Order = request->Value;
  Channels().SaveChannel(c);
  notifier_.NotifyChannelOrderChanged(c->ID, currentPlayer_->PlayerID);
}

// ---- Administration requests (target: channel id)

void TVHUDPListener::ExternalCommand_AddChannel(TListenerRequest& r) {
  const int32_t codec = r.RequestArgument;
  if (codec < 0 || codec > kHighestCodec) {
    r.ResultCode = RC_INVALID_CODEC;
    return;
  }
  if (!server_.Settings().CodecPermits[static_cast<size_t>(codec)]) {
    r.ResultCode = RC_CODEC_DISABLED;
    return;
  }
  TChannelPtr channel = TChannels::NewChannel();
  channel->ID = r.RequestTarget;
  channel->Flags = 0;
  channel->Codec = static_cast<uint16_t>(codec);
  channel->ParentID = -1;
  channel->ParentDBID = -1;
  channel->MaxUsers = 64000;
  const int32_t id = Channels().AddChannelID(std::move(channel));
  r.ResultCode = id;
  if (id < 0) return;
  const std::vector<int32_t> changed = Channels().ChangedIDs();
  for (int32_t lostDefault : changed)
    notifier_.NotifyChannelPropertiesChanged(lostDefault, eventPlayerId_);
  notifier_.NotifyChannelCreated(id, eventPlayerId_);
}

void TVHUDPListener::ExternalCommand_DeleteChannel(TListenerRequest& r) {
  TChannel* c = Channels().GetChannel(r.RequestTarget);
  if (!c) {
    r.ResultCode = RC_CHANNEL_NOT_FOUND;
    return;
  }
  if (Channels().CheckChannelTreeForPlayers(c) != RC_OK) {
    r.ResultCode = RC_CHANNEL_NOT_EMPTY;
    return;
  }
  const int32_t result = Channels().DeleteChannelTree(c->ID);
  if (result < 0) {
    r.ResultCode = result;
    return;
  }
  const std::vector<int32_t> removed = Channels().ChangedIDs();
  for (int32_t gone : removed) notifier_.NotifyChannelDestroyed(gone, 0);
  // Report success as such: the preset -10 reads as a time-out to the requester.
  r.ResultCode = RC_OK;
}

void TVHUDPListener::ExternalCommand_SetChannel(TListenerRequest& r) {
  TChannel* c = Channels().GetChannel(r.RequestTarget);
  if (!c) {
    r.ResultCode = RC_CHANNEL_NOT_FOUND;
    return;
  }
  if (!c->IsTopLevel()) {
    r.ResultCode = RC_NOT_ON_SUBCHANNEL;
    return;
  }
  const bool toRegistered = EqualsIgnoreCase(r.RequestText, "registered");
  const bool toTemporary = EqualsIgnoreCase(r.RequestText, "unregistered");
  if (c->HasFlag(CF_DEFAULT) || (!toRegistered && !toTemporary)) {
    r.ResultCode = RC_BAD_ARGUMENT;
    return;
  }
  const int32_t id = c->ID;
  r.ResultCode = RC_OK;
  if (toRegistered) {
    c->Flags &= static_cast<uint16_t>(~CF_UNREGISTERED);
  } else {
    c->Flags |= CF_UNREGISTERED;
    Channels().UpdateSubChannels(c);
    ClearChannelUp(id);
    c = Channels().GetChannel(id);
    if (!c) return;  // empty: it went with its tree
    Channels().DeleteStoredChannel(c);
  }
  if (c->IsRegistered()) {
    Channels().SaveChannel(c);
    Channels().UpdateChannelAttribs(c, Clients());
  }
  notifier_.NotifyChannelPropertiesChanged(id, 0);
  if (Channels().HasSubChannels(c)) UpdateAndAnnounceSubChannels(c, 0, false);
}

}  // namespace vh
