// Readers of the client requests: one bounds-checked reader per request layout, turning a
// datagram into a plain struct or nothing. A request shorter than its fixed part gives nothing
// (the listener then ignores it); bytes past the fixed part and the texts are allowed. The
// readers neither throw nor move the packet's position, and hold no state: any thread may call
// them on a packet it owns. The layouts are documented for client authors in docs/protocol.md
// (sections 2.4, 4.1, 4.3, 5.1 and 6), field by field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/FieldLengths.h"
#include "transport/Packet.h"

namespace vh {

// Room of the fixed-size names and passwords (SS29). Channel names, topics and descriptions
// travel zero-terminated and are kept whole: the datagram is their only bound.
constexpr size_t kRequestNameRoom = kNameLength;

// ---- Login (docs/protocol.md 4.1, 4.3)

constexpr int32_t kLoginRequestSize = 180;
constexpr int32_t kJoinRequestSize = 120;

// Connection packet kind 3: only a datagram of exactly kLoginRequestSize bytes is read.
struct TLoginRequest {
  std::string ClientInfo1;
  std::string ClientInfo2;
  uint16_t VersionMajor = 0;
  uint16_t VersionMinor = 0;
  uint16_t VersionRelease = 0;
  uint16_t VersionBuild = 0;
  uint8_t RenameOption = 0;
  uint8_t LoginMode = 0;
  std::string LoginName;
  std::string Password;
  std::string NickName;
};
std::optional<TLoginRequest> ParseLogin(const TPacket& p);

// Command 5: only a datagram of exactly kJoinRequestSize bytes is read.
struct TJoinRequest {
  uint8_t Option = 0;
  std::string ChannelName;
  std::string SubChannelName;
  std::string Password;
  int32_t Bandwidth = 0;
};
std::optional<TJoinRequest> ParseJoin(const TPacket& p);

// ---- Requests without a payload (300, 405, 410): the command header is all there is.

struct TCommandHeader {
  uint16_t Command = 0;
  uint32_t Sequence = 0;
};
std::optional<TCommandHeader> ParseCommandHeader(const TPacket& p);

// ---- Channel requests (docs/protocol.md 6.1)

struct TChannelCreateRequest {  // 201
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t ParentId = -1;
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;
  std::string Name;
  std::string Topic;
  std::string Description;
  std::string Password;  // cut to kRequestNameRoom
};
std::optional<TChannelCreateRequest> ParseChannelCreate(const TPacket& p);

struct TChannelPasswordRequest {  // 203
  int32_t ChannelId = 0;
  std::string Password;
};
std::optional<TChannelPasswordRequest> ParseChannelPassword(const TPacket& p);

struct TChannelPropertiesRequest {  // 205
  int32_t ChannelId = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
};
std::optional<TChannelPropertiesRequest> ParseChannelProperties(const TPacket& p);

// 206, 207, 208: a channel id and one text.
struct TChannelTextRequest {
  int32_t ChannelId = 0;
  std::string Text;
};
std::optional<TChannelTextRequest> ParseChannelName(const TPacket& p);
std::optional<TChannelTextRequest> ParseChannelTopic(const TPacket& p);
std::optional<TChannelTextRequest> ParseChannelDescription(const TPacket& p);

struct TChannelIdRequest {  // 209
  int32_t ChannelId = 0;
};
std::optional<TChannelIdRequest> ParseChannelDestroy(const TPacket& p);

// 210, 212: a channel id and a 16-bit value (max users, order).
struct TChannelWordRequest {
  int32_t ChannelId = 0;
  uint16_t Value = 0;
};
std::optional<TChannelWordRequest> ParseChannelWord(const TPacket& p);

// ---- Player requests (docs/protocol.md 6.2)

struct TKickRequest {  // 301, 302
  uint32_t TargetId = 0;
  std::string Reason;
};
std::optional<TKickRequest> ParseKick(const TPacket& p);

struct TSwitchRequest {  // 303
  int32_t ChannelId = 0;
  std::string Password;
};
std::optional<TSwitchRequest> ParseSwitch(const TPacket& p);

struct TFlagsRequest {  // 304
  uint16_t Flags = 0;
};
std::optional<TFlagsRequest> ParseFlags(const TPacket& p);

struct TRequestVoiceRequest {  // 305
  std::string Text;
};
std::optional<TRequestVoiceRequest> ParseRequestVoice(const TPacket& p);

struct TPrivilegeRequest {  // 306, 307
  uint32_t TargetId = 0;
  uint8_t Action = 0;
  uint8_t Privilege = 0;
};
std::optional<TPrivilegeRequest> ParsePrivilege(const TPacket& p);

struct TRegisterRequest {  // 308, and 310 with ServerAdmin
  std::string LoginName;
  std::string Password;
  bool ServerAdmin = false;
};
std::optional<TRegisterRequest> ParseRegister(const TPacket& p);
std::optional<TRegisterRequest> ParseAdminRegister(const TPacket& p);

struct TMuteRequest {  // 320
  uint32_t PlayerId = 0;
  uint8_t Operation = 0;
};
std::optional<TMuteRequest> ParseMute(const TPacket& p);

struct TBanIpRequest {  // 324; 326 carries only the pattern
  uint16_t Minutes = 0;
  std::string Pattern;  // as sent; the ban list cuts it
};
std::optional<TBanIpRequest> ParseBanIp(const TPacket& p);
std::optional<TBanIpRequest> ParseUnbanIp(const TPacket& p);

struct TBanPlayerRequest {  // 325
  uint32_t TargetId = 0;
  uint16_t Minutes = 0;
  std::string Reason;
};
std::optional<TBanPlayerRequest> ParseBanPlayer(const TPacket& p);

struct TMoveRequest {  // 330
  uint32_t PlayerId = 0;
  int32_t ChannelId = 0;
};
std::optional<TMoveRequest> ParseMove(const TPacket& p);

struct TBandwidthRequest {  // 340
  int32_t Bandwidth = 0;
};
std::optional<TBandwidthRequest> ParseBandwidth(const TPacket& p);

// ---- Information and chat (docs/protocol.md 6.3)

struct TPlayerInfoRequest {  // 400
  uint32_t PlayerId = 0;
};
std::optional<TPlayerInfoRequest> ParsePlayerInfo(const TPacket& p);

struct TTextRequest {  // 430
  int32_t Value = 0;
  uint8_t Kind = 0;
  int32_t Target = 0;
  std::string Message;
};
std::optional<TTextRequest> ParseText(const TPacket& p);

// ---- Voice (docs/protocol.md 2.4, 5.1). The data views point into the packet and live as
// long as it does.

struct TVoiceHeader {
  uint8_t Selector = 0;
  uint8_t DataByte = 0;
  uint16_t Counter = 0;
  uint16_t DataWord = 0;
};

struct TVoicePacket {
  TVoiceHeader Header;
  std::span<const uint8_t> Data;  // from +16 to the end of the datagram
};
std::optional<TVoicePacket> ParseVoice(const TPacket& p);

struct TWhisperTarget {
  uint8_t Kind = 0;  // 0 channel, 1 player; other kinds are kept and skipped by the relay
  uint32_t Id = 0;
};

// Selector 1: the target list after the header, then the data. A datagram without the count
// byte, or whose list runs past its end, gives nothing.
struct TWhisperPacket {
  TVoiceHeader Header;
  std::vector<TWhisperTarget> Targets;
  std::span<const uint8_t> Data;
};
std::optional<TWhisperPacket> ParseWhisper(const TPacket& p);

}  // namespace vh
