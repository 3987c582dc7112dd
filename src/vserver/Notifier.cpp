#include "vserver/Notifier.h"

#include <functional>

#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/ResultCodes.h"
#include "model/Channels.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/ConnectionTable.h"
#include "transport/FIFOList.h"
#include "transport/Requests.h"

namespace vh {

std::unique_ptr<TPacket> NewPacketFor(const TClientRecord& to, uint16_t command) {
  return NewCommandPacket(command, to.ConnectionID, to.PlayerID);
}

void WritePlayerBlock(TPacket& packet, const TClientRecord& player) {
  uint8_t block[kPlayerBlockSize];
  EncodePlayerBlock(player, block);
  packet.Write(block, static_cast<int32_t>(kPlayerBlockSize));
}

void WriteChannelEntry(TPacket& packet, const TChannel& channel) {
  packet.WriteU32(static_cast<uint32_t>(channel.ID));
  packet.WriteU16(channel.Flags);
  packet.WriteU16(channel.Codec);
  packet.WriteI32(channel.ParentID);
  packet.WriteU16(channel.Order);
  packet.WriteU16(channel.MaxUsers);
  packet.WriteCString(std::string_view(channel.Name));
  packet.WriteCString(std::string_view(channel.Topic));
  packet.WriteCString(std::string_view(channel.Description));
}

TNotifier::TNotifier(TClients& clients, TChannels& channels, TCustomPacketBuffer& buffer,
                     const std::atomic<uint16_t>& serverFlags, int32_t serverId)
    : clients_(clients),
      channels_(channels),
      buffer_(buffer),
      serverFlags_(serverFlags),
      serverId_(serverId) {}

bool TNotifier::IsClanServer() const {
  return (serverFlags_.load() & SF_CLAN) != 0;
}

bool TNotifier::CanSee(const TClientRecord& viewer, const TClientRecord& subject) const {
  if (IsClanServer()) return true;
  if (subject.LeftNotified) return false;
  if (!channels_.GetChannel(subject.ChannelID)) return false;
  return channels_.SameChannelTree(viewer.ChannelID, subject.ChannelID);
}

bool TNotifier::InTree(const TClientRecord& player, int32_t topChannelId) const {
  if (!channels_.GetChannel(player.ChannelID)) return false;
  return channels_.GetTopChannelId(player.ChannelID) == topChannelId;
}

void TNotifier::Send(std::unique_ptr<TPacket> packet, bool closeAfter) {
  try {
    buffer_.SendPacket(std::move(packet), closeAfter);
  } catch (const std::exception& e) {
    // A full queue: this addressee misses the packet and his backlog ends his connection; the
    // others still get theirs, so the sender carries on.
    LogException("SID: " + std::to_string(serverId_) + " SendPacket", e, "UDP Listener");
  }
}

void TNotifier::SendToAll(const TBuild& build) {
  for (size_t i = 0; i < clients_.Count(); ++i) Send(build(*clients_.Items(i)));
}

void TNotifier::SendToWatchersOf(const TClientRecord& subject, const TBuild& build, TSubject self) {
  for (size_t i = 0; i < clients_.Count(); ++i) {
    const TClientRecord* q = clients_.Items(i);
    if (q == &subject && self == TSubject::Excluded) continue;
    if (CanSee(*q, subject)) Send(build(*q));
  }
}

namespace {

// The refused request's command and sequence number; zeros for a datagram too short to be a
// request (the handlers never refuse one, but the reply must not read past it).
void WriteRefusedRequest(TPacket& reply, const TPacket& request) {
  const TCommandHeader header = ParseCommandHeader(request).value_or(TCommandHeader{});
  reply.WriteU16(header.Command);
  reply.WriteU32(header.Sequence);
}

}  // namespace

void TNotifier::SendErrorReply(const TClientRecord& to, const TPacket& request, int32_t code) {
  auto p = NewPacketFor(to, static_cast<uint16_t>(code));
  WriteRefusedRequest(*p, request);
  Send(std::move(p));
}

void TNotifier::SendWrongChannelPassword(const TClientRecord& to, const TPacket& request,
                                         int32_t channelId) {
  auto p = NewPacketFor(to, static_cast<uint16_t>(RC_WRONG_CHANNEL_PASSWORD));
  WriteRefusedRequest(*p, request);
  p->WriteI32(channelId);
  Send(std::move(p));
}

void TNotifier::NotifyPlayerEnteredScope(uint32_t playerId) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  SendToWatchersOf(
      *p,
      [&](const TClientRecord& q) {
        auto packet = NewPacketFor(q, CMD_sc_NotifyPlayerEnteredScope);
        WritePlayerBlock(*packet, *p);
        return packet;
      },
      TSubject::Excluded);
}

namespace {

std::unique_ptr<TPacket> LeftScopePacket(const TClientRecord& to, uint32_t playerId,
                                         uint16_t reason, std::string_view text, uint32_t causeId) {
  auto packet = NewPacketFor(to, CMD_sc_NotifyPlayerLeftScope);
  packet->WriteU32(playerId);
  packet->WriteU16(reason);
  packet->WriteU32(causeId);
  packet->WriteShortString(text, kNameLength);
  return packet;
}

}  // namespace

void TNotifier::SendLeftScope(const TClientRecord& to, uint32_t playerId, uint16_t reason,
                              std::string_view text, uint32_t causeId, bool closeAfter) {
  Send(LeftScopePacket(to, playerId, reason, text, causeId), closeAfter);
}

void TNotifier::NotifyPlayerLeftScope(uint32_t playerId, uint16_t reason, std::string_view text,
                                      uint32_t causeId) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p || p->LoggedIn != 1 || p->LeftNotified) return;
  SendToWatchersOf(
      *p,
      [&](const TClientRecord& q) { return LeftScopePacket(q, playerId, reason, text, causeId); },
      TSubject::Excluded);
  // He hears of it whatever the rule says: it is the last packet of his connection.
  SendLeftScope(*p, playerId, reason, text, causeId, /*closeAfter=*/true);
  p->LeftNotified = 1;
}

void TNotifier::SendSwitched(const TClientRecord& to, uint32_t playerId, int32_t oldChannel,
                             int32_t newChannel, uint16_t privileges) {
  auto packet = NewPacketFor(to, CMD_sc_NotifyPlayerSwitchedChannel);
  packet->WriteU32(playerId);
  packet->WriteI32(oldChannel);
  packet->WriteI32(newChannel);
  packet->WriteU16(privileges);
  Send(std::move(packet));
}

void TNotifier::NotifyPlayerSwitchedChannel(uint32_t playerId, int32_t oldChannel,
                                            int32_t newChannel) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  if (IsClanServer()) {
    for (size_t i = 0; i < clients_.Count(); ++i)
      SendSwitched(*clients_.Items(i), playerId, oldChannel, newChannel, p->ChannelPrivileges);
    return;
  }
  TChannel* oldC = channels_.GetChannel(oldChannel);
  TChannel* newC = channels_.GetChannel(newChannel);
  const int32_t top = oldC ? channels_.GetTopChannelId(oldChannel) : oldChannel;
  bool sameTree = false;
  if (oldC && newC) {
    if (oldC->IsTopLevel())
      sameTree = newC->ParentID == oldC->ID;
    else
      sameTree = newC->ID == oldC->ParentID || newC->ParentID == oldC->ParentID;
  }
  for (size_t i = 0; i < clients_.Count(); ++i) {
    TClientRecord* q = clients_.Items(i);
    if (q != p && !InTree(*q, top)) continue;
    if (sameTree || q == p)
      SendSwitched(*q, playerId, oldChannel, newChannel, p->ChannelPrivileges);
    else
      SendLeftScope(*q, playerId, kLeftOutOfSight, "", 0, false);
  }
  if (!sameTree) {
    NotifyPlayerEnteredScope(playerId);
    NotifyPlayersInSwitchedChannel(playerId);
  }
}

void TNotifier::NotifyPlayerMovedToChannel(uint32_t playerId, uint32_t moverId, uint16_t privileges,
                                           int32_t newChannel, int32_t oldChannel) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  const bool treesDiffer = !IsClanServer() && !channels_.SameChannelTree(oldChannel, newChannel);
  const int32_t oldTop =
      channels_.GetChannel(oldChannel) ? channels_.GetTopChannelId(oldChannel) : oldChannel;
  if (treesDiffer) {
    for (size_t i = 0; i < clients_.Count(); ++i) {
      const TClientRecord* q = clients_.Items(i);
      if (q != p && InTree(*q, oldTop)) SendLeftScope(*q, playerId, kLeftOutOfSight, "", 0, false);
    }
  }
  auto moved = [&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyPlayerMovedToChannel);
    packet->WriteU32(playerId);
    packet->WriteI32(oldChannel);
    packet->WriteI32(newChannel);
    packet->WriteU32(moverId);
    packet->WriteU16(privileges);
    return packet;
  };
  // The moved player hears of his move once, whether or not the rule lets him see himself.
  SendToWatchersOf(*p, moved, TSubject::Excluded);
  Send(moved(*p));
  if (treesDiffer) {
    NotifyPlayerEnteredScope(playerId);
    NotifyPlayersInSwitchedChannel(playerId);
  }
}

void TNotifier::NotifyPlayersInSwitchedChannel(uint32_t playerId) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  constexpr int kSlots = 10;
  std::unique_ptr<TPacket> packet;
  int32_t count = 0;
  auto flush = [&] {
    if (!packet || count == 0) return;
    packet->SetLongAt(24, static_cast<uint32_t>(count));
    packet->SetSize(24 + 4 + kSlots * static_cast<int32_t>(kPlayerBlockSize));
    Send(std::move(packet));
    packet.reset();
    count = 0;
  };
  for (size_t i = 0; i < clients_.Count(); ++i) {
    TClientRecord* q = clients_.Items(i);
    if (q == p || !CanSee(*p, *q)) continue;
    if (!packet) {
      packet = NewPacketFor(*p, CMD_sc_NotifyPlayersInSwitchedChannel);
      packet->WriteI32(0);
    }
    WritePlayerBlock(*packet, *q);
    if (++count == kSlots) flush();
  }
  flush();
}

void TNotifier::NotifyPlayerKickedFromChannel(uint32_t playerId, int32_t oldChannel,
                                              int32_t newChannel, uint16_t privileges,
                                              std::string_view reason) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  SendToWatchersOf(*p, [&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyPlayerKickedFromChannel);
    packet->WriteU32(playerId);
    packet->WriteI32(oldChannel);
    packet->WriteI32(newChannel);
    packet->WriteU16(privileges);
    packet->WriteShortString(reason, kNameLength);
    return packet;
  });
}

void TNotifier::NotifyPlayerFlagsChanged(uint32_t playerId) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  SendToWatchersOf(*p, [&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyPlayerFlagsChanged);
    packet->WriteU32(playerId);
    packet->WriteU16(p->PlayerFlags);
    return packet;
  });
}

void TNotifier::NotifyPlayerRequestedVoice(uint32_t playerId, std::string_view text) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  SendToWatchersOf(*p, [&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyPlayerRequestedVoice);
    packet->WriteU32(playerId);
    packet->WriteShortString(text, kNameLength);
    return packet;
  });
}

void TNotifier::SendPrivilegeChange(uint16_t command, uint32_t playerId, uint32_t changerId,
                                    uint8_t action, uint8_t privilege) {
  TClientRecord* p = clients_.GetClientByID(playerId);
  if (!p) return;
  SendToWatchersOf(*p, [&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, command);
    packet->WriteU32(playerId);
    packet->WriteU8(action);
    packet->WriteU8(privilege);
    packet->WriteU32(changerId);
    return packet;
  });
}

void TNotifier::NotifyPlayerChannelPrivilegeChanged(uint32_t playerId, uint32_t changerId,
                                                    uint8_t action, uint8_t privilege) {
  SendPrivilegeChange(CMD_sc_NotifyPlayerChannelPrivilegeChanged, playerId, changerId, action,
                      privilege);
}

void TNotifier::NotifyPlayerPrivilegesChanged(uint32_t playerId, uint32_t changerId, uint8_t action,
                                              uint8_t privilege) {
  SendPrivilegeChange(CMD_sc_NotifyPlayerPrivilegesChanged, playerId, changerId, action, privilege);
}

void TNotifier::NotifyChannelCreated(int32_t channelId, uint32_t creatorId) {
  TChannel* c = channels_.GetChannel(channelId);
  if (!c) return;
  SendToAll([&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyChannelCreated);
    packet->WriteU32(creatorId);
    packet->WriteI32(c->ID);
    packet->WriteU16(c->Flags);
    packet->WriteU16(c->Codec);
    packet->WriteI32(c->ParentID);
    packet->WriteU16(c->Order);
    packet->WriteU16(c->MaxUsers);
    packet->WriteCString(std::string_view(c->Name));
    packet->WriteCString(std::string_view(c->Topic));
    packet->WriteCString(std::string_view(c->Description));
    return packet;
  });
}

void TNotifier::NotifyChannelDestroyed(int32_t channelId, uint32_t causeId) {
  SendToAll([&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyChannelDestroyed);
    packet->WriteU16(static_cast<uint16_t>(channelId & 0xFFFF));
    packet->WriteU32(causeId);
    return packet;
  });
}

void TNotifier::NotifyChannelPropertiesChanged(int32_t channelId, uint32_t changerId) {
  TChannel* c = channels_.GetChannel(channelId);
  if (!c) return;
  for (size_t i = 0; i < clients_.Count(); ++i) {
    TClientRecord* q = clients_.Items(i);
    auto packet = NewPacketFor(*q, CMD_sc_NotifyChannelPropertiesChanged);
    packet->WriteI32(c->ID);
    packet->WriteU16(c->Flags);
    packet->WriteU16(c->Codec);
    packet->WriteU32(changerId);
    Send(std::move(packet));
    if (q->ChannelID != c->ID || c->HasFlag(CF_MODERATED)) continue;
    if (q->PlayerFlags & PF_VOICE_REQUESTED) {
      q->PlayerFlags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
      NotifyPlayerFlagsChanged(q->PlayerID);
    }
    if (q->ChannelPrivileges & CP_OPERATOR) {
      q->ChannelPrivileges &= static_cast<uint16_t>(~CP_OPERATOR);
      NotifyPlayerChannelPrivilegeChanged(q->PlayerID, 0, kActionRevokedAuto, 1);
    }
    if (q->ChannelPrivileges & CP_VOICE) {
      q->ChannelPrivileges &= static_cast<uint16_t>(~CP_VOICE);
      NotifyPlayerChannelPrivilegeChanged(q->PlayerID, 0, kActionRevokedAuto, 2);
    }
  }
}

void TNotifier::SendChannelText(uint16_t command, int32_t channelId, uint32_t changerId,
                                const std::string& text) {
  SendToAll([&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, command);
    packet->WriteI32(channelId);
    packet->WriteU32(changerId);
    packet->WriteCString(std::string_view(text));
    return packet;
  });
}

void TNotifier::NotifyChannelNameChanged(int32_t channelId, uint32_t changerId) {
  if (TChannel* c = channels_.GetChannel(channelId))
    SendChannelText(CMD_sc_NotifyChannelNameChanged, channelId, changerId, c->Name);
}

void TNotifier::NotifyChannelTopicChanged(int32_t channelId, uint32_t changerId) {
  if (TChannel* c = channels_.GetChannel(channelId))
    SendChannelText(CMD_sc_NotifyChannelTopicChanged, channelId, changerId, c->Topic);
}

void TNotifier::NotifyChannelDescriptionChanged(int32_t channelId, uint32_t changerId) {
  if (TChannel* c = channels_.GetChannel(channelId))
    SendChannelText(CMD_sc_NotifyChannelDescriptionChanged, channelId, changerId, c->Description);
}

void TNotifier::NotifyChannelMaxUsersChanged(int32_t channelId, uint32_t changerId) {
  TChannel* c = channels_.GetChannel(channelId);
  if (!c) return;
  SendToAll([&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyChannelMaxUsersChanged);
    packet->WriteI32(channelId);
    packet->WriteU16(c->MaxUsers);
    packet->WriteU32(changerId);
    return packet;
  });
}

void TNotifier::NotifyChannelOrderChanged(int32_t channelId, uint32_t changerId) {
  TChannel* c = channels_.GetChannel(channelId);
  if (!c) return;
  SendToAll([&](const TClientRecord& q) {
    auto packet = NewPacketFor(q, CMD_sc_NotifyChannelOrderChanged);
    packet->WriteI32(channelId);
    packet->WriteU16(c->Order);
    packet->WriteU32(changerId);
    return packet;
  });
}

void TNotifier::SendTextMessage(const TClientRecord& to, int32_t value, uint8_t kind,
                                std::string_view senderName, std::string_view text) {
  auto packet = NewPacketFor(to, CMD_sc_NotifyTextMessage);
  packet->WriteI32(value);
  packet->WriteU8(kind);
  packet->WriteShortString(senderName, kNameLength);
  packet->WriteCString(text);
  Send(std::move(packet));
}

void TNotifier::SendServerProperties(const TClientRecord& to, uint32_t codecBits,
                                     const TServerPermissions& sets, uint16_t maxUsers,
                                     std::string_view welcome, std::string_view name) {
  auto packet = NewPacketFor(to, CMD_sc_NotifyServerPropertiesChanged);
  packet->WriteU32(codecBits);
  packet->WriteI32(0);
  packet->WriteU16(serverFlags_.load());
  uint8_t permissionBytes[TServerPermissions::kWireSize];
  sets.WriteTo(permissionBytes);
  packet->Write(permissionBytes, static_cast<int32_t>(sizeof permissionBytes));
  packet->WriteI32(maxUsers);
  packet->WriteShortString(welcome, kTextLength);
  packet->WriteShortString(name, kNameLength);
  Send(std::move(packet));
}

void TNotifier::SetPlayerChannelFlagsAndPrivileges(TChannel* channel, TClientRecord* player) {
  if (!channel || !player) return;
  uint16_t privileges = channels_.GetChannelAttribs(channel, player);
  if (!channel->IsTopLevel()) {
    if (TChannel* parent = channels_.GetChannel(channel->ParentID))
      if (channels_.GetChannelAttribs(parent, player) & CP_CHANNEL_ADMIN)
        privileges |= CP_CHANNEL_ADMIN;
  }
  if (privileges & CP_AUTO_OPERATOR) privileges |= CP_OPERATOR;
  if (privileges & CP_AUTO_VOICE) privileges |= CP_VOICE;
  player->PlayerFlags &= static_cast<uint16_t>(~PF_VOICE_REQUESTED);
  if (!channel->HasFlag(CF_MODERATED))
    privileges &=
        static_cast<uint16_t>(~(CP_OPERATOR | CP_VOICE | CP_AUTO_OPERATOR | CP_AUTO_VOICE));
  player->ChannelPrivileges = privileges;
}

int32_t TNotifier::CheckChannelJoin(int32_t channelId, std::string_view password) const {
  TChannel* c = channels_.GetChannel(channelId);
  if (!c) return RC_CHANNEL_NOT_FOUND;
  const size_t inTree = channels_.GetPlayersInChannelTree(c);
  if (inTree >= c->MaxUsers) return RC_CHANNEL_FULL;
  if (!c->IsTopLevel()) {
    TChannel* parent = channels_.GetChannel(c->ParentID);
    if (!parent) return RC_CHANNEL_NOT_FOUND;
    if (password.empty() && !parent->Password.Empty()) return RC_CHANNEL_PASSWORD_PROTECTED;
    if (password != parent->Password.Str()) return kWrongChannelPassword;
    if (inTree >= parent->MaxUsers) return RC_CHANNEL_FULL;
    return 0;
  }
  if (password.empty() && !c->Password.Empty()) return RC_CHANNEL_PASSWORD_PROTECTED;
  if (password != c->Password.Str()) return kWrongChannelPassword;
  return 0;
}

}  // namespace vh
