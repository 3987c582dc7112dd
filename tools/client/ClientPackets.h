// Client side of the voice protocol's payloads: builders for what a client sends (login
// request, join request, voice) and bounds-checked parsers for what the server sends (login
// reply, channel and player lists, notifications, error replies, relayed voice).
// Pure functions over TPacket, no state and no locks: any thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/Packet.h"

namespace vh::client {

// Command numbers the client sends or expects during session set-up.
constexpr uint16_t CMD_cs_LoginStep3 = 5;
constexpr uint16_t CMD_sc_LoginStep4 = 6;
constexpr uint16_t CMD_sc_LoginStep5 = 7;
constexpr uint16_t CMD_sc_LoginStep6 = 8;
constexpr uint16_t CMD_cs_PlayerQuit = 300;

// Notification numbers (server to client).
constexpr uint16_t CMD_sc_NotifyPlayerEnteredScope = 100;
constexpr uint16_t CMD_sc_NotifyPlayerLeftScope = 101;
constexpr uint16_t CMD_sc_NotifyPlayerKickedFromChannel = 102;
constexpr uint16_t CMD_sc_NotifyPlayerSwitchedChannel = 103;
constexpr uint16_t CMD_sc_NotifyPlayerFlagsChanged = 104;
constexpr uint16_t CMD_sc_NotifyPlayerRequestedVoice = 105;
constexpr uint16_t CMD_sc_NotifyPlayerChannelPrivilegeChanged = 106;
constexpr uint16_t CMD_sc_NotifyPlayerPrivilegesChanged = 107;
constexpr uint16_t CMD_sc_NotifyPlayersInSwitchedChannel = 108;
constexpr uint16_t CMD_sc_NotifyPlayerMovedToChannel = 109;
constexpr uint16_t CMD_sc_NotifyChannelCreated = 110;
constexpr uint16_t CMD_sc_NotifyChannelNameChanged = 111;
constexpr uint16_t CMD_sc_NotifyChannelTopicChanged = 112;
constexpr uint16_t CMD_sc_NotifyChannelPropertiesChanged = 113;
constexpr uint16_t CMD_sc_NotifyChannelDescriptionChanged = 114;
constexpr uint16_t CMD_sc_NotifyChannelDestroyed = 115;
constexpr uint16_t CMD_sc_NotifyChannelMaxUsersChanged = 116;
constexpr uint16_t CMD_sc_NotifyChannelOrderChanged = 117;
constexpr uint16_t CMD_sc_NotifyTextMessage = 130;
constexpr uint16_t CMD_sc_NotifyServerPropertiesChanged = 140;

constexpr int32_t kLoginRequestSize = 180;
constexpr int32_t kLoginReplySize = 436;
constexpr int32_t kJoinRequestSize = 120;
constexpr size_t kShortRoom = 29;  // names and passwords: length byte + 29 characters
constexpr size_t kLongRoom = 255;  // welcome message, URLs: length byte + 255 characters

// ---- What the client sends ------------------------------------------------------------

struct TLoginOptions {
  std::string clientInfo1 = "Voxhollow Client";
  std::string clientInfo2 = "Linux";
  std::array<uint16_t, 4> version = {2, 0, 32, 60};
  bool rename = false;      // ask the server to pick a free nickname
  bool registered = false;  // login mode 2 (account) instead of 1 (anonymous)
  std::string loginName;
  std::string password;  // account password, or the server password when anonymous
  std::string nickname;
};

// The 180-byte login request (connection packet kind 3, ids 0), CRC set.
std::unique_ptr<TPacket> BuildLoginRequest(const TLoginOptions& options, uint32_t sequence);

struct TJoinOptions {
  std::string channel;     // empty: the default channel
  std::string subchannel;  // may be empty
  std::string password;
  int32_t uploadBandwidth = 0;
  uint8_t option = 0;  // 1 asks for a mode the server must permit
};

// Payload of command 5 (the 96 bytes after the command header).
std::string BuildJoinPayload(const TJoinOptions& options);

struct TWhisperTarget {
  uint8_t kind = 1;  // 0 channel, 1 player
  uint32_t id = 0;
};

// Voice data preceded by the whisper target list (selector 1).
std::string BuildWhisperPayload(const std::vector<TWhisperTarget>& targets,
                                std::string_view voiceData);

// ---- What the server sends --------------------------------------------------------------

struct TLoginReply {
  int32_t result = 0;
  uint32_t connectionId = 0;  // offset 172; the header's field is 0 in a login reply
  uint32_t playerId = 0;      // offset 176
  std::string serverName;
  std::string platform;
  std::array<uint16_t, 4> serverVersion = {};
  uint32_t codecs = 0;
  uint16_t serverFlags = 0;
  std::array<uint8_t, 66> permissions = {};
  int32_t maxPlayers = 0;
  std::string text;  // welcome message, or the refusal text
  int32_t size = 0;  // datagram length as received
};
// Needs at least the 180 bytes up to the player id; the text is read when present.
std::optional<TLoginReply> ParseLoginReply(const TPacket& packet);

struct TChannelEntry {
  int32_t id = 0;
  uint16_t flags = 0;
  uint16_t codec = 0;
  int32_t parentId = -1;
  uint16_t order = 0;
  uint16_t maxUsers = 0;
  std::string name;
  std::string topic;
  std::string description;
};
// Command 6. Fails when the count promises more entries than the packet holds.
std::optional<std::vector<TChannelEntry>> ParseChannelList(const TPacket& packet);

// The 44-byte player block of commands 7, 100 and 108.
struct TPlayerBlock {
  uint32_t playerId = 0;
  int32_t channelId = 0;
  uint16_t channelPrivileges = 0;
  uint16_t playerPrivileges = 0;
  uint16_t playerFlags = 0;
  std::string nickname;
};
// Command 7 (u32 count at 24) or 108 (i32 count at 24): up to ten blocks from offset 28.
// Fails on a count above 10 or a packet too short for the counted blocks.
std::optional<std::vector<TPlayerBlock>> ParsePlayerList(const TPacket& packet);

struct TClosingPacket {
  std::string gfxUrl;
  std::string ispLinkUrl;  // the optional text after the 280 bytes
};
std::optional<TClosingPacket> ParseClosingPacket(const TPacket& packet);

// An error reply carries a negative result code where the command number would be.
struct TErrorReply {
  int16_t code = 0;
  uint16_t command = 0;              // of the refused request
  uint32_t sequence = 0;             // of the refused request
  std::optional<int32_t> channelId;  // the 34-byte wrong-password form
};
bool IsErrorReply(const TPacket& packet);
std::optional<TErrorReply> ParseErrorReply(const TPacket& packet);

std::optional<TPlayerBlock> ParsePlayerEntered(const TPacket& packet);  // 100

struct TPlayerLeft {  // 101
  int32_t playerId = 0;
  uint16_t reason = 0;
  int32_t causeId = 0;
  std::string text;
};
std::optional<TPlayerLeft> ParsePlayerLeft(const TPacket& packet);

struct TPlayerKicked {  // 102
  int32_t playerId = 0;
  int32_t oldChannelId = 0;
  int32_t newChannelId = 0;
  uint16_t channelPrivileges = 0;
  std::string text;
};
std::optional<TPlayerKicked> ParsePlayerKicked(const TPacket& packet);

struct TPlayerSwitched {  // 103, and 109 with the mover
  int32_t playerId = 0;
  int32_t oldChannelId = 0;
  int32_t newChannelId = 0;
  int32_t moverId = 0;  // 109 only
  uint16_t channelPrivileges = 0;
};
std::optional<TPlayerSwitched> ParsePlayerSwitched(const TPacket& packet);
std::optional<TPlayerSwitched> ParsePlayerMoved(const TPacket& packet);

struct TPlayerFlags {  // 104
  int32_t playerId = 0;
  uint16_t flags = 0;
};
std::optional<TPlayerFlags> ParsePlayerFlags(const TPacket& packet);

struct TVoiceRequest {  // 105
  int32_t playerId = 0;
  std::string text;
};
std::optional<TVoiceRequest> ParseVoiceRequest(const TPacket& packet);

struct TPrivilegeChange {  // 106 and 107
  int32_t playerId = 0;
  uint8_t action = 0;
  uint8_t privilege = 0;
  int32_t changerId = 0;
};
std::optional<TPrivilegeChange> ParsePrivilegeChange(const TPacket& packet);

struct TChannelCreated {  // 110
  int32_t creatorId = 0;
  TChannelEntry channel;
};
std::optional<TChannelCreated> ParseChannelCreated(const TPacket& packet);

struct TChannelText {  // 111, 112, 114
  int32_t channelId = 0;
  int32_t changerId = 0;
  std::string text;
};
std::optional<TChannelText> ParseChannelText(const TPacket& packet);

struct TChannelProperties {  // 113
  int32_t channelId = 0;
  uint16_t flags = 0;
  uint16_t codec = 0;
  int32_t changerId = 0;
};
std::optional<TChannelProperties> ParseChannelProperties(const TPacket& packet);

struct TChannelDestroyed {  // 115; only the low 16 bits of the id travel
  uint16_t channelId = 0;
  int32_t causeId = 0;
};
std::optional<TChannelDestroyed> ParseChannelDestroyed(const TPacket& packet);

struct TChannelValue {  // 116 (max users), 117 (order)
  int32_t channelId = 0;
  uint16_t value = 0;
  int32_t changerId = 0;
};
std::optional<TChannelValue> ParseChannelValue(const TPacket& packet);

struct TTextMessage {  // 130
  int32_t value = 0;
  uint8_t kind = 0;
  std::string sender;
  std::string text;
};
std::optional<TTextMessage> ParseTextMessage(const TPacket& packet);

struct TServerProperties {  // 140
  int32_t codecs = 0;
  uint16_t serverFlags = 0;
  std::array<uint8_t, 66> permissions = {};
  int32_t maxPlayers = 0;
  std::string welcome;
  std::string serverName;
};
std::optional<TServerProperties> ParseServerProperties(const TPacket& packet);

// A relayed voice packet (class 0xBEF3).
struct TServerVoice {
  uint8_t selector = 0;  // or the whisper target kind through which it came
  uint8_t dataByte = 0;
  uint32_t connectionId = 0;
  uint32_t playerId = 0;
  uint16_t counter = 0;  // the listener connection's own counter
  uint16_t dataWord = 0;
  uint32_t speakerId = 0;
  uint16_t speakerCounter = 0;
  std::string data;
};
std::optional<TServerVoice> ParseServerVoice(const TPacket& packet);

// One line naming a received command and its parsed fields, for logs and test messages.
std::string DescribeCommand(const TPacket& packet);

// A packet built from raw datagram bytes (position 0).
std::unique_ptr<TPacket> PacketFromBytes(std::string_view bytes);

}  // namespace vh::client
