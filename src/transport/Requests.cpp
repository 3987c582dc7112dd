#include "transport/Requests.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace vh {

namespace {

// Field sizes and the fixed part of each request, header included.
constexpr int32_t kName29Size = 1 + static_cast<int32_t>(kRequestNameRoom);
constexpr int32_t kChannelCreateFixed = 40;
constexpr int32_t kChannelIdFixed = 28;
constexpr int32_t kChannelPasswordFixed = kChannelIdFixed + kName29Size;  // 58
constexpr int32_t kChannelPropertiesFixed = 32;
constexpr int32_t kChannelWordFixed = 30;
constexpr int32_t kKickFixed = 28 + kName29Size;    // 58
constexpr int32_t kSwitchFixed = 28 + kName29Size;  // 58
constexpr int32_t kFlagsFixed = 26;
constexpr int32_t kRequestVoiceFixed = 24 + kName29Size;  // 54
constexpr int32_t kPrivilegeFixed = 30;
constexpr int32_t kRegisterFixed = 24 + 2 * kName29Size;  // 84
constexpr int32_t kAdminRegisterFixed = kRegisterFixed + 1;
constexpr int32_t kMuteFixed = 29;
constexpr int32_t kBanIpFixed = 26;
constexpr int32_t kUnbanIpFixed = kCommandHeaderSize;
constexpr int32_t kBanPlayerFixed = 30 + kName29Size;  // 60
constexpr int32_t kMoveFixed = 32;
constexpr int32_t kBandwidthFixed = 28;
constexpr int32_t kPlayerInfoFixed = 28;
constexpr int32_t kTextFixed = 33;
constexpr int32_t kWhisperTargetSize = 5;

// A read-only view of the datagram with checked little-endian fields at fixed offsets. Every
// reader first checks the fixed part against Size(), so the field reads below it cannot fail;
// they still check, and give 0 or an empty text, so no reader can ever step outside.
class TFields {
 public:
  explicit TFields(const TPacket& p)
      : data_(p.Memory()), size_(p.Memory() ? std::max(p.Size(), 0) : 0) {}

  int32_t Size() const { return size_; }
  bool Holds(int32_t offset, int32_t width) const {
    return offset >= 0 && width >= 0 && offset <= size_ - width;
  }

  uint8_t U8(int32_t at) const { return Holds(at, 1) ? data_[at] : 0; }
  uint16_t U16(int32_t at) const {
    return Holds(at, 2) ? static_cast<uint16_t>(data_[at] | data_[at + 1] << 8) : 0;
  }
  uint32_t U32(int32_t at) const {
    if (!Holds(at, 4)) return 0;
    return static_cast<uint32_t>(data_[at]) | static_cast<uint32_t>(data_[at + 1]) << 8 |
           static_cast<uint32_t>(data_[at + 2]) << 16 | static_cast<uint32_t>(data_[at + 3]) << 24;
  }
  int32_t I32(int32_t at) const { return static_cast<int32_t>(U32(at)); }

  // A fixed field of 1 + room bytes; a length byte above the room counts as the room.
  std::string ShortString(int32_t at, size_t room) const {
    if (!Holds(at, 1 + static_cast<int32_t>(room))) return {};
    const size_t n = std::min<size_t>(data_[at], room);
    return std::string(reinterpret_cast<const char*>(data_ + at + 1), n);
  }

  // A zero-terminated text at `at`, which moves past its zero. A text without its zero ends
  // at the end of the datagram; an offset at or past the end gives an empty text.
  std::string Text(int32_t& at, size_t room) const {
    if (at < 0 || at >= size_) return {};
    const std::string_view rest(reinterpret_cast<const char*>(data_ + at),
                                static_cast<size_t>(size_ - at));
    const size_t zero = rest.find('\0');
    const size_t length = zero == std::string_view::npos ? rest.size() : zero;
    at += static_cast<int32_t>(zero == std::string_view::npos ? rest.size() : zero + 1);
    return std::string(rest.substr(0, std::min(length, room)));
  }

  std::span<const uint8_t> Rest(int32_t at) const {
    if (at < 0 || at >= size_) return {};
    return {data_ + at, static_cast<size_t>(size_ - at)};
  }

 private:
  const uint8_t* data_;
  int32_t size_;
};

constexpr size_t kUnbounded = static_cast<size_t>(-1);

std::optional<TChannelTextRequest> ChannelText(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelIdFixed) return std::nullopt;
  TChannelTextRequest r;
  r.ChannelId = f.I32(24);
  int32_t at = kChannelIdFixed;
  r.Text = f.Text(at, kUnbounded);
  return r;
}

std::optional<TRegisterRequest> Register(const TPacket& p, int32_t fixed) {
  const TFields f(p);
  if (f.Size() < fixed) return std::nullopt;
  TRegisterRequest r;
  r.LoginName = f.ShortString(24, kRequestNameRoom);
  r.Password = f.ShortString(54, kRequestNameRoom);
  if (fixed == kAdminRegisterFixed) r.ServerAdmin = f.U8(84) != 0;
  return r;
}

TVoiceHeader VoiceHeader(const TFields& f) {
  TVoiceHeader h;
  h.Selector = f.U8(2);
  h.DataByte = f.U8(3);
  h.Counter = f.U16(12);
  h.DataWord = f.U16(14);
  return h;
}

}  // namespace

std::optional<TLoginRequest> ParseLogin(const TPacket& p) {
  const TFields f(p);
  if (f.Size() != kLoginRequestSize) return std::nullopt;
  TLoginRequest r;
  r.ClientInfo1 = f.ShortString(20, kRequestNameRoom);
  r.ClientInfo2 = f.ShortString(50, kRequestNameRoom);
  r.VersionMajor = f.U16(80);
  r.VersionMinor = f.U16(82);
  r.VersionRelease = f.U16(84);
  r.VersionBuild = f.U16(86);
  r.RenameOption = f.U8(88);
  r.LoginMode = f.U8(89);
  r.LoginName = f.ShortString(90, kRequestNameRoom);
  r.Password = f.ShortString(120, kRequestNameRoom);
  r.NickName = f.ShortString(150, kRequestNameRoom);
  return r;
}

std::optional<TJoinRequest> ParseJoin(const TPacket& p) {
  const TFields f(p);
  if (f.Size() != kJoinRequestSize) return std::nullopt;
  TJoinRequest r;
  r.Option = f.U8(25);
  r.ChannelName = f.ShortString(26, kRequestNameRoom);
  r.SubChannelName = f.ShortString(56, kRequestNameRoom);
  r.Password = f.ShortString(86, kRequestNameRoom);
  r.Bandwidth = f.I32(116);
  return r;
}

std::optional<TCommandHeader> ParseCommandHeader(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kCommandHeaderSize) return std::nullopt;
  return TCommandHeader{f.U16(2), f.U32(12)};
}

std::optional<TChannelCreateRequest> ParseChannelCreate(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelCreateFixed) return std::nullopt;
  TChannelCreateRequest r;
  r.Flags = f.U16(28);
  r.Codec = f.U16(30);
  r.ParentId = f.I32(32);
  r.Order = f.U16(36);
  r.MaxUsers = f.U16(38);
  int32_t at = kChannelCreateFixed;
  r.Name = f.Text(at, kUnbounded);
  r.Topic = f.Text(at, kUnbounded);
  r.Description = f.Text(at, kUnbounded);
  r.Password = f.Text(at, kRequestNameRoom);
  return r;
}

std::optional<TChannelPasswordRequest> ParseChannelPassword(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelPasswordFixed) return std::nullopt;
  return TChannelPasswordRequest{f.I32(24), f.ShortString(28, kRequestNameRoom)};
}

std::optional<TChannelPropertiesRequest> ParseChannelProperties(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelPropertiesFixed) return std::nullopt;
  return TChannelPropertiesRequest{f.I32(24), f.U16(28), f.U16(30)};
}

std::optional<TChannelTextRequest> ParseChannelName(const TPacket& p) {
  return ChannelText(p);
}
std::optional<TChannelTextRequest> ParseChannelTopic(const TPacket& p) {
  return ChannelText(p);
}
std::optional<TChannelTextRequest> ParseChannelDescription(const TPacket& p) {
  return ChannelText(p);
}

std::optional<TChannelIdRequest> ParseChannelDestroy(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelIdFixed) return std::nullopt;
  return TChannelIdRequest{f.I32(24)};
}

std::optional<TChannelWordRequest> ParseChannelWord(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kChannelWordFixed) return std::nullopt;
  return TChannelWordRequest{f.I32(24), f.U16(28)};
}

std::optional<TKickRequest> ParseKick(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kKickFixed) return std::nullopt;
  return TKickRequest{f.U32(24), f.ShortString(28, kRequestNameRoom)};
}

std::optional<TSwitchRequest> ParseSwitch(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kSwitchFixed) return std::nullopt;
  return TSwitchRequest{f.I32(24), f.ShortString(28, kRequestNameRoom)};
}

std::optional<TFlagsRequest> ParseFlags(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kFlagsFixed) return std::nullopt;
  return TFlagsRequest{f.U16(24)};
}

std::optional<TRequestVoiceRequest> ParseRequestVoice(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kRequestVoiceFixed) return std::nullopt;
  return TRequestVoiceRequest{f.ShortString(24, kRequestNameRoom)};
}

std::optional<TPrivilegeRequest> ParsePrivilege(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kPrivilegeFixed) return std::nullopt;
  return TPrivilegeRequest{f.U32(24), f.U8(28), f.U8(29)};
}

std::optional<TRegisterRequest> ParseRegister(const TPacket& p) {
  return Register(p, kRegisterFixed);
}
std::optional<TRegisterRequest> ParseAdminRegister(const TPacket& p) {
  return Register(p, kAdminRegisterFixed);
}

std::optional<TMuteRequest> ParseMute(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kMuteFixed) return std::nullopt;
  return TMuteRequest{f.U32(24), f.U8(28)};
}

std::optional<TBanIpRequest> ParseBanIp(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kBanIpFixed) return std::nullopt;
  TBanIpRequest r;
  r.Minutes = f.U16(24);
  int32_t at = kBanIpFixed;
  r.Pattern = f.Text(at, kUnbounded);
  return r;
}

std::optional<TBanIpRequest> ParseUnbanIp(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kUnbanIpFixed) return std::nullopt;
  TBanIpRequest r;
  int32_t at = kUnbanIpFixed;
  r.Pattern = f.Text(at, kUnbounded);
  return r;
}

std::optional<TBanPlayerRequest> ParseBanPlayer(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kBanPlayerFixed) return std::nullopt;
  return TBanPlayerRequest{f.U32(24), f.U16(28), f.ShortString(30, kRequestNameRoom)};
}

std::optional<TMoveRequest> ParseMove(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kMoveFixed) return std::nullopt;
  return TMoveRequest{f.U32(24), f.I32(28)};
}

std::optional<TBandwidthRequest> ParseBandwidth(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kBandwidthFixed) return std::nullopt;
  return TBandwidthRequest{f.I32(24)};
}

std::optional<TPlayerInfoRequest> ParsePlayerInfo(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kPlayerInfoFixed) return std::nullopt;
  return TPlayerInfoRequest{f.U32(24)};
}

std::optional<TTextRequest> ParseText(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kTextFixed) return std::nullopt;
  TTextRequest r;
  r.Value = f.I32(24);
  r.Kind = f.U8(28);
  r.Target = f.I32(29);
  int32_t at = kTextFixed;
  r.Message = f.Text(at, kUnbounded);
  return r;
}

std::optional<TVoicePacket> ParseVoice(const TPacket& p) {
  const TFields f(p);
  if (f.Size() < kClientVoiceHeaderSize) return std::nullopt;
  return TVoicePacket{VoiceHeader(f), f.Rest(kClientVoiceHeaderSize)};
}

std::optional<TWhisperPacket> ParseWhisper(const TPacket& p) {
  const TFields f(p);
  const int32_t countAt = kClientVoiceHeaderSize;
  if (!f.Holds(countAt, 1)) return std::nullopt;
  const int32_t n = f.U8(countAt);
  const int32_t dataAt = countAt + 1 + kWhisperTargetSize * n;
  // A list that runs past the datagram is not guessed at.
  if (dataAt > f.Size()) return std::nullopt;
  TWhisperPacket r;
  r.Header = VoiceHeader(f);
  r.Targets.reserve(static_cast<size_t>(n));
  for (int32_t k = 0; k < n; ++k) {
    const int32_t at = countAt + 1 + kWhisperTargetSize * k;
    r.Targets.push_back({f.U8(at), f.U32(at + 1)});
  }
  r.Data = f.Rest(dataAt);
  return r;
}

}  // namespace vh
