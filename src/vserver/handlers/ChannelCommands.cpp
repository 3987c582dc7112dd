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
#include "transport/PacketBuffer.h"
#include "vserver/Listener.h"
#include "vserver/ServerObject.h"

namespace vh {

namespace {

constexpr std::string_view kChannelLog = "ChannelLog";

// Fixed parts of the requests; shorter requests are ignored without a reply.
constexpr int32_t kCreateFixedSize = 40;
constexpr int32_t kChannelIdSize = 28;  // header and the channel id at +24
constexpr int32_t kPasswordRequestSize = 58;
constexpr int32_t kPropertiesRequestSize = 32;
constexpr int32_t kWordValueRequestSize = 30;

// The texts of a channel travel zero-terminated and the wire sets no bound on them; these caps
// keep one request from growing every channel list and notification without limit.
constexpr size_t kNameRoom = 255;
constexpr size_t kTopicRoom = 255;
constexpr size_t kDescriptionRoom = 1023;

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

// A zero-terminated text at `offset`, which moves past it. A text without its zero ends at the
// end of the packet; an offset at or past the end gives an empty text.
std::string ReadText(const TPacket& p, int32_t& offset, size_t room) {
  std::string text;
  if (offset < 0 || offset >= p.Size()) return text;
  const char* begin = reinterpret_cast<const char*>(p.Memory()) + offset;
  const size_t available = static_cast<size_t>(p.Size() - offset);
  const std::string_view rest(begin, available);
  const size_t end = rest.find('\0');
  const size_t length = end == std::string_view::npos ? available : end;
  offset += static_cast<int32_t>(end == std::string_view::npos ? available : end + 1);
  return Cut(rest.substr(0, length), room);
}

int32_t IdAt(const TPacket& p, int32_t offset) {
  return static_cast<int32_t>(p.LongAt(offset));
}

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

struct TChannelFree {
  void operator()(TChannel* c) const { TChannels::FreeAndClearChannel(c); }
};
using TChannelHolder = std::unique_ptr<TChannel, TChannelFree>;

}  // namespace

// ---- Creating and deleting

void TVHUDPListener::CMD_cs_ChannelCreate() {
  if (!HasPayload(kCreateFixedSize)) return;
  const TPacket& p = Packet();
  TClientRecord* me = currentPlayer_;
  uint16_t flags = p.WordAt(28) & kKnownChannelFlags;
  const uint16_t codec = p.WordAt(30);
  const int32_t parentId = IdAt(p, 32);

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

  TChannelHolder channel(TChannels::NewChannel());
  if (!channel) return;
  channel->Flags = flags;
  channel->Codec = codec;
  channel->ParentID = parentId;
  channel->Order = p.WordAt(36);
  channel->MaxUsers = p.WordAt(38);
  channel->DBID = 0;
  channel->ParentDBID = parent ? parent->DBID : -1;
  int32_t offset = kCreateFixedSize;
  channel->Name = ReadText(p, offset, kNameRoom);
  channel->Topic = ReadText(p, offset, kTopicRoom);
  channel->Description = ReadText(p, offset, kDescriptionRoom);
  channel->Password = ReadText(p, offset, TName29::kRoom);
  const int32_t id = Channels().AddChannel(channel.get());
  if (id < 0) return Refuse(id);
  TChannel* created = channel.release();  // the tree owns it now

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
  if (moveIn) {
    const int32_t oldId = me->ChannelID;
    me->ChannelID = id;
    me->ChannelPrivileges = CP_CHANNEL_ADMIN;
    Channels().SetChannelAttribs(created, me);
    notifier_.NotifyPlayerSwitchedChannel(me->PlayerID, oldId, id);
    const int32_t oldTop = Channels().GetTopChannelId(oldId);
    if (TChannel* old = Channels().GetChannel(oldId)) Channels().ClientLeftChannel(old, me);
    Channels().ClientJoinedChannel(created, me);
    if (oldTop >= 0) ClearChannelUp(oldTop);
  } else {
    const uint16_t kept = me->ChannelPrivileges;
    me->ChannelPrivileges = CP_CHANNEL_ADMIN;
    Channels().SetChannelAttribs(created, me);
    me->ChannelPrivileges = kept;
  }

  if (const char* format = ChannelLogFormat(Policy(), *created, true))
    LogFormat(LMT_ALL, LMD_INFO, {created->Name, me->NickName.Str(), me->LoginName.Str()}, format,
              kChannelLog);
}

void TVHUDPListener::CMD_cs_ChannelDestroy() {
  if (!HasPayload(kChannelIdSize)) return;
  TClientRecord* me = currentPlayer_;
  const int32_t id = IdAt(Packet(), 24);
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
  if (!HasPayload(kPropertiesRequestSize)) return;
  const TPacket& p = Packet();
  TClientRecord* me = currentPlayer_;
  TChannel* c = Channels().GetChannel(IdAt(p, 24));
  if (!c) return Refuse(RC_CHANNEL_NOT_FOUND);
  const int32_t id = c->ID;
  uint16_t n = p.WordAt(28) & kKnownChannelFlags;
  const uint16_t codec = p.WordAt(30);
  const uint16_t before = c->Flags;
  if (!c->IsTopLevel() && n != before) return Refuse(RC_NOT_ON_SUBCHANNEL);
  if (codec > kHighestCodec) return Refuse(RC_INVALID_CODEC);

  bool allowed = true;
  auto need = [&](int permission) LISTENER_LOCKED {
    allowed = allowed && CanInChannel(c, permission);
  };
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
  if (!allowed) return Refuse(RC_INSUFFICIENT_PERMISSION);
  // Every refusal comes before the first change, so a refused request changes nothing.
  if (Clears(n, before, CF_HIERARCHICAL) && Channels().HasSubChannels(c))
    return Refuse(RC_SUBCHANNELS_PRESENT);
  if ((before & CF_DEFAULT) && !(n & CF_DEFAULT)) return Refuse(RC_DEFAULT_CHANNEL_UNDELETABLE);
  // The default channel is always registered; deciding that first keeps a request for a
  // temporary default from dropping the channel's stored row on the way.
  if (n & CF_DEFAULT) n &= static_cast<uint16_t>(~CF_UNREGISTERED);

  if (!(n & CF_PASSWORD)) c->Password.Clear();
  auto logTransition = [&](std::string_view format) {
    if (Policy().LogChannelUnregistered)
      LogFormat(LMT_ALL, LMD_INFO, {c->Name, me->NickName.Str(), me->LoginName.Str()}, format,
                kChannelLog);
  };
  if (Clears(n, before, CF_UNREGISTERED))
    logTransition(
        "channel set to registerred [ChannelName: %1, ClientNickName: %2, ClientLoginName: %3]");
  if (Sets(n, before, CF_UNREGISTERED)) {
    logTransition(
        "channel set to unregisterred [ChannelName: %1, ClientNickName: %2, ClientLoginName: "
        "%3]");
    c->Flags |= CF_UNREGISTERED;
    Channels().UpdateSubChannels(c);
    if (me->ChannelID != id) {
      ClearChannelUp(Channels().GetTopChannelId(id));
      c = Channels().GetChannel(id);
      if (!c) return;  // nobody was in it: it went with its tree
    }
    // A temporary channel keeps no row, whoever is in it.
    Channels().DeleteStoredChannel(c);
  }

  if (n & CF_DEFAULT) {
    TChannel* oldDefault = Channels().GetDefaultChannelAsPointer();
    if (oldDefault && oldDefault != c) {
      oldDefault->Flags &= static_cast<uint16_t>(~CF_DEFAULT);
      Channels().SaveChannel(oldDefault);
      notifier_.NotifyChannelPropertiesChanged(oldDefault->ID, me->PlayerID);
    }
  }
  const bool moderationRemoved = Clears(n, before, CF_MODERATED);
  if (moderationRemoved) {
    Channels().ClearModeratedChannelAttribs(c);
    RemoveModeratedFlags(id);
  }

  c->Flags = n;
  c->Codec = codec;
  if (c->IsRegistered()) {
    Channels().SaveChannel(c);
    Channels().UpdateChannelAttribs(c, Clients());
  }
  notifier_.NotifyChannelPropertiesChanged(id, me->PlayerID);
  if (n & CF_DEFAULT) {
    c->MaxUsers = server_.Settings().MaxUsers;
    notifier_.NotifyChannelMaxUsersChanged(id, 0);
  }
  if (Channels().HasSubChannels(c)) {
    Channels().UpdateSubChannels(c);
    const std::vector<int32_t> subs = Channels().ChangedIDs();
    for (int32_t subId : subs) {
      TChannel* sub = Channels().GetChannel(subId);
      if (sub && sub->IsRegistered()) Channels().UpdateChannelAttribs(sub, Clients());
      notifier_.NotifyChannelPropertiesChanged(subId, me->PlayerID);
      if (moderationRemoved) RemoveModeratedFlags(subId);
    }
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

TChannel* TVHUDPListener::ChannelToEdit(int permission) {
  TChannel* c = Channels().GetChannel(IdAt(Packet(), 24));
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
  if (!HasPayload(kPasswordRequestSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditPassword);
  if (!c) return;
  const TName29 password = TName29::ReadFrom(p.Memory() + 28);
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
  if (!HasPayload(kChannelIdSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditName);
  if (!c) return;
  int32_t offset = kChannelIdSize;
  const std::string name = ReadText(p, offset, kNameRoom);
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
  if (!HasPayload(kChannelIdSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditTopic);
  if (!c) return;
  int32_t offset = kChannelIdSize;
  c->Topic = ReadText(p, offset, kTopicRoom);
  Channels().SaveChannel(c);
  notifier_.NotifyChannelTopicChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeDescription() {
  if (!HasPayload(kChannelIdSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditDescription);
  if (!c) return;
  int32_t offset = kChannelIdSize;
  c->Description = ReadText(p, offset, kDescriptionRoom);
  Channels().SaveChannel(c);
  notifier_.NotifyChannelDescriptionChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeMaxUsers() {
  if (!HasPayload(kWordValueRequestSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditMaxUsers);
  if (!c) return;
  c->MaxUsers = p.WordAt(28);
  Channels().SaveChannel(c);
  notifier_.NotifyChannelMaxUsersChanged(c->ID, currentPlayer_->PlayerID);
}

void TVHUDPListener::CMD_cs_ChannelChangeOrder() {
  if (!HasPayload(kWordValueRequestSize)) return;
  const TPacket& p = Packet();
  TChannel* c = ChannelToEdit(upChannelEditOrder);
  if (!c) return;
  c->Order = p.WordAt(28);
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
  TChannelHolder channel(TChannels::NewChannel());
  if (!channel) return;
  channel->ID = r.RequestTarget;
  channel->Flags = 0;
  channel->Codec = static_cast<uint16_t>(codec);
  channel->ParentID = -1;
  channel->ParentDBID = -1;
  channel->MaxUsers = 64000;
  const int32_t id = Channels().AddChannelID(channel.get());
  r.ResultCode = id;
  if (id < 0) return;
  channel.release();
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
  if (Channels().HasSubChannels(c)) {
    Channels().UpdateSubChannels(c);
    const std::vector<int32_t> subs = Channels().ChangedIDs();
    for (int32_t subId : subs) {
      TChannel* sub = Channels().GetChannel(subId);
      if (sub && sub->IsRegistered()) Channels().UpdateChannelAttribs(sub, Clients());
      notifier_.NotifyChannelPropertiesChanged(subId, 0);
    }
  }
}

}  // namespace vh
