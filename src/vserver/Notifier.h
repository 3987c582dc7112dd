// Server-to-client notifications of one virtual server, the error reply, and the visibility
// rule that decides which players hear of which. Every sender walks the registry in its order
// and only queues packets on the connection table. Runs on the listener thread with the
// registry lock and the channel tree lock held (the administration threads use it only through
// listener requests). Packet layouts: docs/protocol.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/ThreadAnnotations.h"
#include "model/Channels.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"
#include "transport/Packet.h"

namespace vh {

class TCustomPacketBuffer;
struct TChannel;
struct TServerPermissions;

// Command numbers of the server-to-client packets.
enum TServerCommand : uint16_t {
  CMD_sc_LoginStep4 = 6,
  CMD_sc_LoginStep5 = 7,
  CMD_sc_LoginStep6 = 8,
  CMD_sc_NotifyPlayerEnteredScope = 100,
  CMD_sc_NotifyPlayerLeftScope = 101,
  CMD_sc_NotifyPlayerKickedFromChannel = 102,
  CMD_sc_NotifyPlayerSwitchedChannel = 103,
  CMD_sc_NotifyPlayerFlagsChanged = 104,
  CMD_sc_NotifyPlayerRequestedVoice = 105,
  CMD_sc_NotifyPlayerChannelPrivilegeChanged = 106,
  CMD_sc_NotifyPlayerPrivilegesChanged = 107,
  CMD_sc_NotifyPlayersInSwitchedChannel = 108,
  CMD_sc_NotifyPlayerMovedToChannel = 109,
  CMD_sc_NotifyChannelCreated = 110,
  CMD_sc_NotifyChannelNameChanged = 111,
  CMD_sc_NotifyChannelTopicChanged = 112,
  CMD_sc_NotifyChannelPropertiesChanged = 113,
  CMD_sc_NotifyChannelDescriptionChanged = 114,
  CMD_sc_NotifyChannelDestroyed = 115,
  CMD_sc_NotifyChannelMaxUsersChanged = 116,
  CMD_sc_NotifyChannelOrderChanged = 117,
  CMD_sc_NotifyTextMessage = 130,
  CMD_sc_NotifyServerPropertiesChanged = 140,
  CMD_sc_ChannelPasswordChanged = 204,
  CMD_sc_PlayerAdminRegisteredOK = 311,
  CMD_sc_PlayerMutePlayerReply = 321,
  CMD_sc_PlayerConnectionInfo = 404,
  CMD_sc_ServerInfo = 406,
  CMD_sc_BanIpList = 411,
};

// Left-scope reasons.
constexpr uint16_t kLeftQuit = 1;
constexpr uint16_t kLeftKicked = 2;
constexpr uint16_t kLeftServerStopped = 4;
constexpr uint16_t kLeftOutOfSight = 6;

// Privilege actions in requests and notifications.
constexpr uint8_t kActionGrant = 0;
constexpr uint8_t kActionGrantedAuto = 1;
constexpr uint8_t kActionRevoke = 2;
constexpr uint8_t kActionRevokedAuto = 3;

// Server flags of a virtual server.
constexpr uint16_t SF_CLAN = 1;
constexpr uint16_t SF_PUBLIC = 2;
constexpr uint16_t SF_FREEWARE = 4;

// A command packet addressed to `to` with the payload position at offset 24.
std::unique_ptr<TPacket> NewPacketFor(const TClientRecord& to, uint16_t command);
// The player block (44 bytes) of `player`, written at the position.
void WritePlayerBlock(TPacket& packet, const TClientRecord& player);
// The entry of one channel in the channel list of the login.
void WriteChannelEntry(TPacket& packet, const TChannel& channel);

// The senders below that look at players or channels run with the registry lock and then the
// tree lock held (the listener's TModelLock for the event).
#define NOTIFIER_LOCKED REQUIRES(clients_.Mutex(), channels_.Mutex())

class TNotifier {
 public:
  // serverFlags: the virtual server's flags (clan or public), read at each send.
  TNotifier(TClients& clients, TChannels& channels, TCustomPacketBuffer& buffer,
            const std::atomic<uint16_t>& serverFlags, int32_t serverId);

  // The registry and the tree it reports on; helpers name their locks through these.
  TClients& Registry() const { return clients_; }
  TChannels& Tree() const { return channels_; }

  bool IsClanServer() const;
  // The visibility rule: may `viewer` see `subject`?
  bool CanSee(const TClientRecord& viewer, const TClientRecord& subject) const NOTIFIER_LOCKED;

  // Queues `packet` on its addressee's connection; a full queue drops it (the connection's
  // backlog ends it with a time-out).
  void Send(std::unique_ptr<TPacket> packet, bool closeAfter = false);

  // Whether the subject of a watchers walk hears of himself: as the visibility rule says (he
  // sees himself while his channel exists and he has not been announced as left), or not.
  enum class TSubject { ByRule, Excluded };
  using TBuild = std::function<std::unique_ptr<TPacket>(const TClientRecord& to)>;
  // One packet, built for each addressee, to every player who can see `subject`, in registry
  // order (the walk every player notification shares).
  void SendToWatchersOf(const TClientRecord& subject, const TBuild& build,
                        TSubject self = TSubject::ByRule) NOTIFIER_LOCKED;

  // The error reply to the requester of `request` (its command and sequence number).
  void SendErrorReply(const TClientRecord& to, const TPacket& request, int32_t code);
  // The wrong-password reply of a channel switch: code -111 and the channel id.
  void SendWrongChannelPassword(const TClientRecord& to, const TPacket& request, int32_t channelId);

  void NotifyPlayerEnteredScope(uint32_t playerId) NOTIFIER_LOCKED;
  // Only for a logged-in player not yet announced as left; he gets it as his final packet.
  void NotifyPlayerLeftScope(uint32_t playerId, uint16_t reason, std::string_view text,
                             uint32_t causeId) NOTIFIER_LOCKED;
  void NotifyPlayerSwitchedChannel(uint32_t playerId, int32_t oldChannel,
                                   int32_t newChannel) NOTIFIER_LOCKED;
  void NotifyPlayerMovedToChannel(uint32_t playerId, uint32_t moverId, uint16_t privileges,
                                  int32_t newChannel, int32_t oldChannel) NOTIFIER_LOCKED;
  void NotifyPlayersInSwitchedChannel(uint32_t playerId) NOTIFIER_LOCKED;
  void NotifyPlayerKickedFromChannel(uint32_t playerId, int32_t oldChannel, int32_t newChannel,
                                     uint16_t privileges, std::string_view reason) NOTIFIER_LOCKED;
  void NotifyPlayerFlagsChanged(uint32_t playerId) NOTIFIER_LOCKED;
  void NotifyPlayerRequestedVoice(uint32_t playerId, std::string_view text) NOTIFIER_LOCKED;
  void NotifyPlayerChannelPrivilegeChanged(uint32_t playerId, uint32_t changerId, uint8_t action,
                                           uint8_t privilege) NOTIFIER_LOCKED;
  void NotifyPlayerPrivilegesChanged(uint32_t playerId, uint32_t changerId, uint8_t action,
                                     uint8_t privilege) NOTIFIER_LOCKED;

  void NotifyChannelCreated(int32_t channelId, uint32_t creatorId) NOTIFIER_LOCKED;
  void NotifyChannelDestroyed(int32_t channelId, uint32_t causeId) NOTIFIER_LOCKED;
  // Also ends voice requests, O and V in the channel when it is not moderated.
  void NotifyChannelPropertiesChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;
  void NotifyChannelNameChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;
  void NotifyChannelTopicChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;
  void NotifyChannelDescriptionChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;
  void NotifyChannelMaxUsersChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;
  void NotifyChannelOrderChanged(int32_t channelId, uint32_t changerId) NOTIFIER_LOCKED;

  // Notification 130 to one player.
  void SendTextMessage(const TClientRecord& to, int32_t value, uint8_t kind,
                       std::string_view senderName, std::string_view text);
  // Notification 140 to one player.
  void SendServerProperties(const TClientRecord& to, uint32_t codecBits,
                            const TServerPermissions& sets, uint16_t maxUsers,
                            std::string_view welcome, std::string_view name);

  // The privileges a player gets on entering `channel`.
  void SetPlayerChannelFlagsAndPrivileges(TChannel* channel, TClientRecord* player) NOTIFIER_LOCKED;
  // 0 may join; RC_CHANNEL_NOT_FOUND, RC_CHANNEL_PASSWORD_PROTECTED and RC_CHANNEL_FULL
  // refuse; kWrongChannelPassword answers with the wrong-password reply.
  static constexpr int32_t kWrongChannelPassword = 1;
  int32_t CheckChannelJoin(int32_t channelId, std::string_view password) const NOTIFIER_LOCKED;

 private:
  void SendLeftScope(const TClientRecord& to, uint32_t playerId, uint16_t reason,
                     std::string_view text, uint32_t causeId, bool closeAfter);
  void SendPrivilegeChange(uint16_t command, uint32_t playerId, uint32_t changerId, uint8_t action,
                           uint8_t privilege) NOTIFIER_LOCKED;
  void SendChannelText(uint16_t command, int32_t channelId, uint32_t changerId,
                       const std::string& text) NOTIFIER_LOCKED;
  void SendSwitched(const TClientRecord& to, uint32_t playerId, int32_t oldChannel,
                    int32_t newChannel, uint16_t privileges);
  void SendToAll(const TBuild& build) NOTIFIER_LOCKED;
  bool InTree(const TClientRecord& player, int32_t topChannelId) const NOTIFIER_LOCKED;

  TClients& clients_;
  TChannels& channels_;
  TCustomPacketBuffer& buffer_;
  const std::atomic<uint16_t>& serverFlags_;
  const int32_t serverId_;  // the log prefix
};

}  // namespace vh
