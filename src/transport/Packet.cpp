#include "transport/Packet.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace vh {

namespace {

constexpr int32_t kBlockRounding = 64;  // see the class comment
constexpr size_t kLongestCrcLength = 65521;

const char* const kInvalidPacket = "Invalid Packet";

[[noreturn]] void FieldOutOfRange(int32_t offset, int32_t width, int32_t size) {
  throw EPacket("Packet field " + std::to_string(offset) + "+" + std::to_string(width) +
                " outside " + std::to_string(size) + " bytes");
}

// Offset of the CRC field of a command or connection packet, or -1 for the classes without
// a CRC; raises for anything that is not a packet.
int32_t CrcOffset(const TPacket& p) {
  if (p.IsCommandPacket()) return 20;
  if (p.IsConnectionPacket()) return 16;
  if (p.IsAckPacket() || p.IsClientVoicePacket() || p.IsServerVoicePacket()) return -1;
  throw EPacket(kInvalidPacket);
}

// Empties `p` (keeping its block) down to a zeroed header of `size` bytes, positioned after it.
void ResetHeader(TPacket& p, int32_t size) {
  p.Recycle();
  p.SetSize(size);
  std::memset(p.Memory(), 0, static_cast<size_t>(size));
  p.SetPosition(size);
}

std::unique_ptr<TPacket> NewHeader(int32_t size) {
  auto p = std::make_unique<TPacket>();
  ResetHeader(*p, size);
  return p;
}

}  // namespace

uint32_t Crc32(const void* data, size_t length) {
  if (length > kLongestCrcLength) return 0xFFFFFFFFu;
  uLong crc = crc32(0L, Z_NULL, 0);
  return static_cast<uint32_t>(
      crc32(crc, static_cast<const Bytef*>(data), static_cast<uInt>(length)));
}

// ---- TPacketMemoryStream ----

TPacketMemoryStream::~TPacketMemoryStream() {
  std::free(memory_);
}

void TPacketMemoryStream::SetCapacity(int64_t requested) {
  if (requested < 0) requested = 0;
  if (requested > std::numeric_limits<int32_t>::max() - kBlockRounding)
    throw EStreamError("Result=nil");
  int64_t wanted = requested;
  if (wanted > 0 && wanted != size_)
    wanted = (wanted + kBlockRounding - 1) / kBlockRounding * kBlockRounding;
  if (wanted == capacity_) return;
  if (wanted == 0) {
    std::free(memory_);
    memory_ = nullptr;
    capacity_ = 0;
    return;
  }
  void* grown = std::realloc(memory_, static_cast<size_t>(wanted));
  if (!grown) throw EStreamError("Result=nil");
  memory_ = static_cast<uint8_t*>(grown);
  capacity_ = static_cast<int32_t>(wanted);
}

int32_t TPacketMemoryStream::Read(void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0 || position_ >= size_) return 0;
  int32_t n = std::min(count, size_ - position_);
  std::memcpy(buffer, memory_ + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

int32_t TPacketMemoryStream::Write(const void* buffer, int32_t count) {
  if (count <= 0 || position_ < 0) return 0;
  int64_t end = static_cast<int64_t>(position_) + count;
  if (end > std::numeric_limits<int32_t>::max() - kBlockRounding) throw EStreamError("Result=nil");
  if (end > size_) {
    if (end > capacity_) SetCapacity(end);
    // A write past the end leaves no uninitialised gap behind it.
    if (position_ > size_) std::memset(memory_ + size_, 0, static_cast<size_t>(position_ - size_));
    size_ = static_cast<int32_t>(end);
  }
  std::memcpy(memory_ + position_, buffer, static_cast<size_t>(count));
  position_ = static_cast<int32_t>(end);
  return count;
}

int32_t TPacketMemoryStream::Seek(int32_t offset, int origin) {
  int64_t base = origin == 1 ? position_ : origin == 2 ? size_ : 0;
  int64_t target = base + offset;
  // Positions beyond the end are allowed (reads give 0 bytes, writes extend the stream);
  // positions before the start would address memory outside the block.
  target = std::clamp<int64_t>(target, 0, std::numeric_limits<int32_t>::max() / 2);
  position_ = static_cast<int32_t>(target);
  return position_;
}

void TPacketMemoryStream::SetSize(int32_t n) {
  if (n < 0) n = 0;
  int32_t old = size_;
  SetCapacity(n);
  if (n > old) std::memset(memory_ + old, 0, static_cast<size_t>(n - old));
  size_ = n;
  if (position_ > n) position_ = n;
}

void TPacketMemoryStream::Clear() {
  std::free(memory_);
  memory_ = nullptr;
  capacity_ = size_ = position_ = 0;
}

void TPacketMemoryStream::LoadFromStream(TPacketMemoryStream& source) {
  source.position_ = 0;
  SetSize(source.size_);
  if (source.size_ > 0) std::memcpy(memory_, source.memory_, static_cast<size_t>(source.size_));
  source.position_ = source.size_;
  position_ = 0;
}

uint8_t TPacketMemoryStream::ByteAt(int32_t offset) const {
  if (offset < 0 || offset + 1 > size_) FieldOutOfRange(offset, 1, size_);
  return memory_[offset];
}

uint16_t TPacketMemoryStream::WordAt(int32_t offset) const {
  if (offset < 0 || offset + 2 > size_) FieldOutOfRange(offset, 2, size_);
  return static_cast<uint16_t>(memory_[offset] | memory_[offset + 1] << 8);
}

uint32_t TPacketMemoryStream::LongAt(int32_t offset) const {
  if (offset < 0 || offset + 4 > size_) FieldOutOfRange(offset, 4, size_);
  const uint8_t* b = memory_ + offset;
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void TPacketMemoryStream::SetByteAt(int32_t offset, uint8_t value) {
  if (offset < 0 || offset + 1 > size_) FieldOutOfRange(offset, 1, size_);
  memory_[offset] = value;
}

void TPacketMemoryStream::SetWordAt(int32_t offset, uint16_t value) {
  if (offset < 0 || offset + 2 > size_) FieldOutOfRange(offset, 2, size_);
  memory_[offset] = static_cast<uint8_t>(value);
  memory_[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void TPacketMemoryStream::SetLongAt(int32_t offset, uint32_t value) {
  if (offset < 0 || offset + 4 > size_) FieldOutOfRange(offset, 4, size_);
  for (int i = 0; i < 4; ++i) memory_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void TPacketMemoryStream::WriteU16(uint16_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  Write(b, 2);
}

void TPacketMemoryStream::WriteU32(uint32_t v) {
  uint8_t b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  Write(b, 4);
}

void TPacketMemoryStream::WriteU64(uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  Write(b, 8);
}

void TPacketMemoryStream::WriteCString(const char* text) {
  WriteCString(text ? std::string_view(text) : std::string_view());
}

void TPacketMemoryStream::WriteCString(std::string_view text) {
  // A text with an embedded 0 ends there on the wire; write only that much.
  text = text.substr(0, text.find('\0'));
  Write(text.data(), static_cast<int32_t>(text.size()));
  WriteU8(0);
}

void TPacketMemoryStream::WriteShortString(std::string_view text, size_t room) {
  room = std::min<size_t>(room, 255);
  size_t n = std::min(text.size(), room);
  WriteU8(static_cast<uint8_t>(n));
  Write(text.data(), static_cast<int32_t>(n));
  static const uint8_t zeros[256] = {};
  Write(zeros, static_cast<int32_t>(room - n));
}

bool TPacketMemoryStream::ReadU8(uint8_t& v) {
  if (position_ < 0 || position_ + 1 > size_) return false;
  v = memory_[position_++];
  return true;
}

bool TPacketMemoryStream::ReadU16(uint16_t& v) {
  if (position_ < 0 || position_ + 2 > size_) return false;
  v = WordAt(position_);
  position_ += 2;
  return true;
}

bool TPacketMemoryStream::ReadU32(uint32_t& v) {
  if (position_ < 0 || position_ + 4 > size_) return false;
  v = LongAt(position_);
  position_ += 4;
  return true;
}

bool TPacketMemoryStream::ReadU64(uint64_t& v) {
  if (position_ < 0 || static_cast<int64_t>(position_) + 8 > size_) return false;
  uint64_t lo = LongAt(position_), hi = LongAt(position_ + 4);
  v = lo | hi << 32;
  position_ += 8;
  return true;
}

bool TPacketMemoryStream::ReadI32(int32_t& v) {
  uint32_t u;
  if (!ReadU32(u)) return false;
  v = static_cast<int32_t>(u);
  return true;
}

bool TPacketMemoryStream::ReadCString(std::string& text) {
  if (position_ < 0 || position_ >= size_) return false;
  const uint8_t* start = memory_ + position_;
  const void* zero = std::memchr(start, 0, static_cast<size_t>(size_ - position_));
  size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - start)
                  : static_cast<size_t>(size_ - position_);
  text.assign(reinterpret_cast<const char*>(start), n);
  position_ += static_cast<int32_t>(n) + (zero ? 1 : 0);
  return true;
}

bool TPacketMemoryStream::ReadShortString(size_t room, std::string& text) {
  room = std::min<size_t>(room, 255);
  if (position_ < 0 || static_cast<int64_t>(position_) + 1 + static_cast<int64_t>(room) > size_)
    return false;
  size_t n = std::min<size_t>(memory_[position_], room);
  text.assign(reinterpret_cast<const char*>(memory_ + position_ + 1), n);
  position_ += static_cast<int32_t>(1 + room);
  return true;
}

// ---- TPacket ----

void TPacket::Assign(const TPacket& other) {
  SetSize(other.size_);
  if (other.size_ > 0) std::memcpy(memory_, other.memory_, static_cast<size_t>(other.size_));
  peerAddress_ = other.peerAddress_;
  peerPort_ = other.peerPort_;
  localAddress_ = other.localAddress_;
  position_ = 0;
}

void TPacket::SetAddress(std::string peerAddress, uint16_t peerPort, std::string localAddress) {
  peerAddress_ = std::move(peerAddress);
  peerPort_ = peerPort;
  localAddress_ = std::move(localAddress);
}

bool TPacket::IsValidPacket() {
  if (IsCommandPacket() || IsConnectionPacket()) return CheckCRC();
  return IsAckPacket() || IsClientVoicePacket() || IsServerVoicePacket();
}

uint32_t TPacket::PacketPlayerId() const {
  if (!IsKnownPacket()) throw EPacket(kInvalidPacket);
  return LongAt(8);
}

uint32_t TPacket::PacketConnectionId() const {
  if (!IsKnownPacket()) throw EPacket(kInvalidPacket);
  return LongAt(4);
}

void TPacket::SetCRC() {
  int32_t at = CrcOffset(*this);
  if (at < 0) return;
  SetLongAt(at, 0);
  SetLongAt(at, Crc32(memory_, static_cast<size_t>(size_)));
}

bool TPacket::CheckCRC() {
  int32_t at = CrcOffset(*this);
  if (at < 0) return true;
  uint32_t stored = LongAt(at);
  SetLongAt(at, 0);
  uint32_t computed = Crc32(memory_, static_cast<size_t>(size_));
  SetLongAt(at, stored);
  return stored == computed;
}

// ---- builders ----

namespace {

// Command, acknowledgement and connection packets share their first 16 bytes: class, a word
// of their own, connection id, player id, sequence number.
std::unique_ptr<TPacket> NewSequencedPacket(int32_t size, uint16_t packetClass, uint16_t word,
                                            uint32_t connectionId, uint32_t playerId,
                                            uint32_t sequence) {
  auto p = NewHeader(size);
  p->SetWordAt(0, packetClass);
  p->SetWordAt(2, word);
  p->SetLongAt(4, connectionId);
  p->SetLongAt(8, playerId);
  p->SetLongAt(12, sequence);
  return p;
}

}  // namespace

std::unique_ptr<TPacket> NewCommandPacket(uint16_t command, uint32_t connectionId,
                                          uint32_t playerId, uint32_t sequence) {
  return NewSequencedPacket(kCommandHeaderSize, kClassCommand, command, connectionId, playerId,
                            sequence);
}

void FillAckPacket(TPacket& p, uint16_t resendCount, uint32_t connectionId, uint32_t playerId,
                   uint32_t sequence) {
  ResetHeader(p, kAckPacketSize);
  p.SetWordAt(0, kClassAck);
  p.SetWordAt(2, resendCount);
  p.SetLongAt(4, connectionId);
  p.SetLongAt(8, playerId);
  p.SetLongAt(12, sequence);
}

std::unique_ptr<TPacket> NewAckPacket(uint16_t resendCount, uint32_t connectionId,
                                      uint32_t playerId, uint32_t sequence) {
  auto p = std::make_unique<TPacket>();
  FillAckPacket(*p, resendCount, connectionId, playerId, sequence);
  return p;
}

std::unique_ptr<TPacket> NewConnectionPacket(uint16_t kind, uint32_t connectionId,
                                             uint32_t playerId, uint32_t sequence) {
  return NewSequencedPacket(kConnectionHeaderSize, kClassConnection, kind, connectionId, playerId,
                            sequence);
}

namespace {

// The 16 bytes both voice directions start with.
void SetVoiceHead(TPacket& p, uint16_t packetClass, uint8_t selector, uint8_t dataByte,
                  uint32_t connectionId, uint32_t playerId, uint16_t counter, uint16_t dataWord) {
  p.SetWordAt(0, packetClass);
  p.SetByteAt(2, selector);
  p.SetByteAt(3, dataByte);
  p.SetLongAt(4, connectionId);
  p.SetLongAt(8, playerId);
  p.SetWordAt(12, counter);
  p.SetWordAt(14, dataWord);
}

}  // namespace

std::unique_ptr<TPacket> NewClientVoicePacket(uint8_t selector, uint8_t dataByte,
                                              uint32_t connectionId, uint32_t playerId,
                                              uint16_t counter, uint16_t dataWord) {
  auto p = NewHeader(kClientVoiceHeaderSize);
  SetVoiceHead(*p, kClassClientVoice, selector, dataByte, connectionId, playerId, counter,
               dataWord);
  return p;
}

void FillServerVoicePacket(TPacket& p, uint8_t selector, uint8_t dataByte, uint32_t connectionId,
                           uint32_t playerId, uint16_t counter, uint16_t dataWord,
                           uint32_t speakerId, uint16_t speakerCounter) {
  ResetHeader(p, kServerVoiceHeaderSize);
  SetVoiceHead(p, kClassServerVoice, selector, dataByte, connectionId, playerId, counter, dataWord);
  p.SetLongAt(16, speakerId);
  p.SetWordAt(20, speakerCounter);
}

std::unique_ptr<TPacket> NewServerVoicePacket(uint8_t selector, uint8_t dataByte,
                                              uint32_t connectionId, uint32_t playerId,
                                              uint16_t counter, uint16_t dataWord,
                                              uint32_t speakerId, uint16_t speakerCounter) {
  auto p = std::make_unique<TPacket>();
  FillServerVoicePacket(*p, selector, dataByte, connectionId, playerId, counter, dataWord,
                        speakerId, speakerCounter);
  return p;
}

std::unique_ptr<TPacket> ClonePacket(const TPacket& packet) {
  auto p = std::make_unique<TPacket>();
  p->Assign(packet);
  return p;
}

}  // namespace vh
