#include "client/ClientPackets.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace vh::client {
namespace {

// Every parser checks the size up front, so the fixed-offset readers below never throw.
// Variable texts are read with a cursor that stops at the end of the datagram.

bool IsCommand(const TPacket& p, std::initializer_list<uint16_t> numbers, int32_t minSize) {
  if (!p.IsCommandPacket() || p.Size() < minSize) return false;
  return std::find(numbers.begin(), numbers.end(), p.CommandNumber()) != numbers.end();
}

int32_t I32At(const TPacket& p, int32_t offset) {
  return static_cast<int32_t>(p.LongAt(offset));
}

// A fixed field of 1 + room bytes; a length byte above the room is held at the room.
std::string ShortStringAt(const TPacket& p, int32_t offset, size_t room) {
  size_t n = std::min<size_t>(p.ByteAt(offset), room);
  return std::string(reinterpret_cast<const char*>(p.Memory() + offset + 1), n);
}

// Zero-terminated text from `offset`: characters up to the 0 byte or the end of the datagram.
// Advances `offset` past the 0 byte; false when nothing at all is left.
bool CStringAt(const TPacket& p, int32_t& offset, std::string& text) {
  if (offset < 0 || offset >= p.Size()) return false;
  const char* start = reinterpret_cast<const char*>(p.Memory() + offset);
  size_t left = static_cast<size_t>(p.Size() - offset);
  const void* zero = std::memchr(start, 0, left);
  size_t n = zero ? static_cast<size_t>(static_cast<const char*>(zero) - start) : left;
  text.assign(start, n);
  offset += static_cast<int32_t>(n) + (zero ? 1 : 0);
  return true;
}

TPlayerBlock PlayerBlockAt(const TPacket& p, int32_t offset) {
  TPlayerBlock b;
  b.playerId = p.LongAt(offset);
  b.channelId = I32At(p, offset + 4);
  b.channelPrivileges = p.WordAt(offset + 8);
  b.playerPrivileges = p.WordAt(offset + 10);
  b.playerFlags = p.WordAt(offset + 12);
  b.nickname = ShortStringAt(p, offset + 14, kShortRoom);
  return b;
}

constexpr int32_t kPlayerBlockSize = 44;
constexpr int32_t kMaxPlayerBlocks = 10;

}  // namespace

std::unique_ptr<TPacket> BuildLoginRequest(const TLoginOptions& o, uint32_t sequence) {
  auto p = NewConnectionPacket(kConnLoginRequest, 0, 0, sequence);
  p->SetPosition(kConnectionHeaderSize);
  p->WriteShortString(o.clientInfo1, kShortRoom);
  p->WriteShortString(o.clientInfo2, kShortRoom);
  for (uint16_t v : o.version) p->WriteU16(v);
  p->WriteU8(o.rename ? 1 : 0);
  p->WriteU8(o.registered ? 2 : 1);
  p->WriteShortString(o.loginName, kShortRoom);
  p->WriteShortString(o.password, kShortRoom);
  p->WriteShortString(o.nickname, kShortRoom);
  p->SetCRC();
  p->SetPosition(0);
  return p;
}

std::string BuildJoinPayload(const TJoinOptions& o) {
  TPacket p;
  p.WriteU8(0);
  p.WriteU8(o.option);
  p.WriteShortString(o.channel, kShortRoom);
  p.WriteShortString(o.subchannel, kShortRoom);
  p.WriteShortString(o.password, kShortRoom);
  p.WriteI32(o.uploadBandwidth);
  return std::string(p.Bytes());
}

std::string BuildWhisperPayload(const std::vector<TWhisperTarget>& targets,
                                std::string_view voiceData) {
  TPacket p;
  // The count travels in one byte: more than 255 targets cannot be expressed.
  size_t n = std::min<size_t>(targets.size(), 255);
  p.WriteU8(static_cast<uint8_t>(n));
  for (size_t i = 0; i < n; ++i) {
    p.WriteU8(targets[i].kind);
    p.WriteU32(targets[i].id);
  }
  p.Write(voiceData.data(), static_cast<int32_t>(voiceData.size()));
  return std::string(p.Bytes());
}

std::optional<TLoginReply> ParseLoginReply(const TPacket& p) {
  if (!p.IsConnectionPacket() || p.CommandNumber() != kConnLoginReply || p.Size() < 180)
    return std::nullopt;
  TLoginReply r;
  r.size = p.Size();
  r.serverName = ShortStringAt(p, 20, kShortRoom);
  r.platform = ShortStringAt(p, 50, kShortRoom);
  for (int i = 0; i < 4; ++i) r.serverVersion[i] = p.WordAt(80 + 2 * i);
  r.result = I32At(p, 88);
  r.codecs = p.LongAt(92);
  r.serverFlags = p.WordAt(100);
  std::memcpy(r.permissions.data(), p.Memory() + 102, r.permissions.size());
  r.maxPlayers = I32At(p, 168);
  r.connectionId = p.LongAt(172);
  r.playerId = p.LongAt(176);
  if (p.Size() >= 180 + 1 + static_cast<int32_t>(kLongRoom))
    r.text = ShortStringAt(p, 180, kLongRoom);
  return r;
}

std::optional<std::vector<TChannelEntry>> ParseChannelList(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_LoginStep4}, 28)) return std::nullopt;
  uint32_t count = p.LongAt(24);
  std::vector<TChannelEntry> list;
  int32_t at = 28;
  for (uint32_t i = 0; i < count; ++i) {
    // Each entry needs its 16 fixed bytes and at least the three zero bytes of its texts.
    if (at + 16 + 3 > p.Size()) return std::nullopt;
    TChannelEntry c;
    c.id = I32At(p, at);
    c.flags = p.WordAt(at + 4);
    c.codec = p.WordAt(at + 6);
    c.parentId = I32At(p, at + 8);
    c.order = p.WordAt(at + 12);
    c.maxUsers = p.WordAt(at + 14);
    at += 16;
    if (!CStringAt(p, at, c.name) || !CStringAt(p, at, c.topic) || !CStringAt(p, at, c.description))
      return std::nullopt;
    list.push_back(std::move(c));
  }
  return list;
}

std::optional<std::vector<TPlayerBlock>> ParsePlayerList(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_LoginStep5, CMD_sc_NotifyPlayersInSwitchedChannel}, 28))
    return std::nullopt;
  uint32_t count = p.LongAt(24);
  if (count > kMaxPlayerBlocks) return std::nullopt;
  int32_t n = static_cast<int32_t>(count);
  if (28 + n * kPlayerBlockSize > p.Size()) return std::nullopt;
  std::vector<TPlayerBlock> list;
  for (int32_t i = 0; i < n; ++i) list.push_back(PlayerBlockAt(p, 28 + i * kPlayerBlockSize));
  return list;
}

std::optional<TClosingPacket> ParseClosingPacket(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_LoginStep6}, 24 + 1 + static_cast<int32_t>(kLongRoom)))
    return std::nullopt;
  TClosingPacket c;
  c.gfxUrl = ShortStringAt(p, 24, kLongRoom);
  int32_t at = 24 + 1 + static_cast<int32_t>(kLongRoom);
  CStringAt(p, at, c.ispLinkUrl);
  return c;
}

bool IsErrorReply(const TPacket& p) {
  return p.IsCommandPacket() && static_cast<int16_t>(p.CommandNumber()) < 0;
}

std::optional<TErrorReply> ParseErrorReply(const TPacket& p) {
  if (!IsErrorReply(p) || p.Size() < 30) return std::nullopt;
  TErrorReply e;
  e.code = static_cast<int16_t>(p.CommandNumber());
  e.command = p.WordAt(24);
  e.sequence = p.LongAt(26);
  if (p.Size() >= 34) e.channelId = I32At(p, 30);
  return e;
}

std::optional<TPlayerBlock> ParsePlayerEntered(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerEnteredScope}, 68)) return std::nullopt;
  return PlayerBlockAt(p, 24);
}

std::optional<TPlayerLeft> ParsePlayerLeft(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerLeftScope}, 64)) return std::nullopt;
  return TPlayerLeft{I32At(p, 24), p.WordAt(28), I32At(p, 30), ShortStringAt(p, 34, kShortRoom)};
}

std::optional<TPlayerKicked> ParsePlayerKicked(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerKickedFromChannel}, 68)) return std::nullopt;
  return TPlayerKicked{I32At(p, 24), I32At(p, 28), I32At(p, 32), p.WordAt(36),
                       ShortStringAt(p, 38, kShortRoom)};
}

std::optional<TPlayerSwitched> ParsePlayerSwitched(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerSwitchedChannel}, 38)) return std::nullopt;
  return TPlayerSwitched{I32At(p, 24), I32At(p, 28), I32At(p, 32), 0, p.WordAt(36)};
}

std::optional<TPlayerSwitched> ParsePlayerMoved(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerMovedToChannel}, 42)) return std::nullopt;
  return TPlayerSwitched{I32At(p, 24), I32At(p, 28), I32At(p, 32), I32At(p, 36), p.WordAt(40)};
}

std::optional<TPlayerFlags> ParsePlayerFlags(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerFlagsChanged}, 30)) return std::nullopt;
  return TPlayerFlags{I32At(p, 24), p.WordAt(28)};
}

std::optional<TVoiceRequest> ParseVoiceRequest(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyPlayerRequestedVoice}, 58)) return std::nullopt;
  return TVoiceRequest{I32At(p, 24), ShortStringAt(p, 28, kShortRoom)};
}

std::optional<TPrivilegeChange> ParsePrivilegeChange(const TPacket& p) {
  if (!IsCommand(p,
                 {CMD_sc_NotifyPlayerChannelPrivilegeChanged, CMD_sc_NotifyPlayerPrivilegesChanged},
                 34))
    return std::nullopt;
  return TPrivilegeChange{I32At(p, 24), p.ByteAt(28), p.ByteAt(29), I32At(p, 30)};
}

std::optional<TChannelCreated> ParseChannelCreated(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyChannelCreated}, 44)) return std::nullopt;
  TChannelCreated c;
  c.creatorId = I32At(p, 24);
  c.channel.id = I32At(p, 28);
  c.channel.flags = p.WordAt(32);
  c.channel.codec = p.WordAt(34);
  c.channel.parentId = I32At(p, 36);
  c.channel.order = p.WordAt(40);
  c.channel.maxUsers = p.WordAt(42);
  int32_t at = 44;
  if (!CStringAt(p, at, c.channel.name) || !CStringAt(p, at, c.channel.topic) ||
      !CStringAt(p, at, c.channel.description))
    return std::nullopt;
  return c;
}

std::optional<TChannelText> ParseChannelText(const TPacket& p) {
  if (!IsCommand(p,
                 {CMD_sc_NotifyChannelNameChanged, CMD_sc_NotifyChannelTopicChanged,
                  CMD_sc_NotifyChannelDescriptionChanged},
                 32))
    return std::nullopt;
  TChannelText t{I32At(p, 24), I32At(p, 28), {}};
  int32_t at = 32;
  CStringAt(p, at, t.text);  // an empty text may be cut to nothing at all
  return t;
}

std::optional<TChannelProperties> ParseChannelProperties(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyChannelPropertiesChanged}, 36)) return std::nullopt;
  return TChannelProperties{I32At(p, 24), p.WordAt(28), p.WordAt(30), I32At(p, 32)};
}

std::optional<TChannelDestroyed> ParseChannelDestroyed(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyChannelDestroyed}, 30)) return std::nullopt;
  return TChannelDestroyed{p.WordAt(24), I32At(p, 26)};
}

std::optional<TChannelValue> ParseChannelValue(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyChannelMaxUsersChanged, CMD_sc_NotifyChannelOrderChanged}, 34))
    return std::nullopt;
  return TChannelValue{I32At(p, 24), p.WordAt(28), I32At(p, 30)};
}

std::optional<TTextMessage> ParseTextMessage(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyTextMessage}, 59)) return std::nullopt;
  TTextMessage m{I32At(p, 24), p.ByteAt(28), ShortStringAt(p, 29, kShortRoom), {}};
  int32_t at = 59;
  CStringAt(p, at, m.text);
  return m;
}

std::optional<TServerProperties> ParseServerProperties(const TPacket& p) {
  if (!IsCommand(p, {CMD_sc_NotifyServerPropertiesChanged}, 390)) return std::nullopt;
  TServerProperties s;
  s.codecs = I32At(p, 24);
  s.serverFlags = p.WordAt(32);
  std::memcpy(s.permissions.data(), p.Memory() + 34, s.permissions.size());
  s.maxPlayers = I32At(p, 100);
  s.welcome = ShortStringAt(p, 104, kLongRoom);
  s.serverName = ShortStringAt(p, 360, kShortRoom);
  return s;
}

std::optional<TServerVoice> ParseServerVoice(const TPacket& p) {
  if (!p.IsServerVoicePacket()) return std::nullopt;
  TServerVoice v;
  v.selector = p.ByteAt(2);
  v.dataByte = p.ByteAt(3);
  v.connectionId = p.LongAt(4);
  v.playerId = p.LongAt(8);
  v.counter = p.WordAt(12);
  v.dataWord = p.WordAt(14);
  v.speakerId = p.LongAt(16);
  v.speakerCounter = p.WordAt(20);
  v.data.assign(p.Bytes().substr(kServerVoiceHeaderSize));
  return v;
}

std::string DescribeCommand(const TPacket& p) {
  if (!p.IsCommandPacket()) return "not a command packet (" + std::to_string(p.Size()) + " bytes)";
  const std::string head = "cmd " + std::to_string(p.CommandNumber()) + " seq " +
                           std::to_string(p.SequenceNumber()) + " (" + std::to_string(p.Size()) +
                           " bytes)";
  auto n = [](auto v) { return std::to_string(v); };
  if (auto e = ParseErrorReply(p))
    return "error " + n(e->code) + " for cmd " + n(e->command) + " seq " + n(e->sequence);
  switch (p.CommandNumber()) {
    case CMD_sc_LoginStep4:
      if (auto l = ParseChannelList(p)) {
        std::string s = head + " channels:";
        for (const auto& c : *l)
          s += " [" + n(c.id) + " '" + c.name + "' parent " + n(c.parentId) + "]";
        return s;
      }
      break;
    case CMD_sc_LoginStep5:
    case CMD_sc_NotifyPlayersInSwitchedChannel:
      if (auto l = ParsePlayerList(p)) {
        std::string s = head + " players:";
        for (const auto& b : *l)
          s += " [" + n(b.playerId) + " '" + b.nickname + "' in " + n(b.channelId) + "]";
        return s;
      }
      break;
    case CMD_sc_LoginStep6:
      if (auto c = ParseClosingPacket(p)) return head + " login complete, gfx '" + c->gfxUrl + "'";
      break;
    case CMD_sc_NotifyPlayerEnteredScope:
      if (auto b = ParsePlayerEntered(p))
        return head + " player " + n(b->playerId) + " '" + b->nickname + "' entered, channel " +
               n(b->channelId);
      break;
    case CMD_sc_NotifyPlayerLeftScope:
      if (auto l = ParsePlayerLeft(p))
        return head + " player " + n(l->playerId) + " left, reason " + n(l->reason) + " '" +
               l->text + "'";
      break;
    case CMD_sc_NotifyPlayerSwitchedChannel:
      if (auto s = ParsePlayerSwitched(p))
        return head + " player " + n(s->playerId) + " switched " + n(s->oldChannelId) + " -> " +
               n(s->newChannelId);
      break;
    case CMD_sc_NotifyPlayerMovedToChannel:
      if (auto s = ParsePlayerMoved(p))
        return head + " player " + n(s->playerId) + " moved " + n(s->oldChannelId) + " -> " +
               n(s->newChannelId) + " by " + n(s->moverId);
      break;
    case CMD_sc_NotifyChannelCreated:
      if (auto c = ParseChannelCreated(p))
        return head + " channel " + n(c->channel.id) + " '" + c->channel.name + "' created by " +
               n(c->creatorId);
      break;
    case CMD_sc_NotifyTextMessage:
      if (auto m = ParseTextMessage(p))
        return head + " text kind " + n(m->kind) + " from '" + m->sender + "': " + m->text;
      break;
    default:
      return head;
  }
  return head + " (malformed)";
}

std::unique_ptr<TPacket> PacketFromBytes(std::string_view bytes) {
  auto p = std::make_unique<TPacket>();
  p->Write(bytes.data(), static_cast<int32_t>(bytes.size()));
  p->SetPosition(0);
  return p;
}

}  // namespace vh::client
