// One UDP datagram of the voice protocol: a growable byte stream with the peer's address and
// the local binding it travels through, plus the header accessors, builders and CRC-32 of the
// five packet classes.
// A packet has one owner at a time (socket thread, connection table, listener or sender) and
// no lock of its own; whoever holds the std::unique_ptr may touch it.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vh {

// Class words (offset 0) and the shortest datagram each class may be.
constexpr uint16_t kClassCommand = 0xBEF0;
constexpr uint16_t kClassAck = 0xBEF1;
constexpr uint16_t kClassClientVoice = 0xBEF2;
constexpr uint16_t kClassServerVoice = 0xBEF3;
constexpr uint16_t kClassConnection = 0xBEF4;

constexpr int32_t kCommandHeaderSize = 24;
constexpr int32_t kAckPacketSize = 16;
constexpr int32_t kClientVoiceHeaderSize = 16;
constexpr int32_t kServerVoiceHeaderSize = 22;
constexpr int32_t kConnectionHeaderSize = 20;

// Kinds of connection packets (offset 2 of class 0xBEF4).
constexpr uint16_t kConnKeepAlivePing = 1;
constexpr uint16_t kConnKeepAliveReply = 2;
constexpr uint16_t kConnLoginRequest = 3;
constexpr uint16_t kConnLoginReply = 4;

// A packet of no valid class where one is required ("Invalid Packet"), or a header field
// read or written outside the datagram.
class EPacket : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The byte block could not be allocated ("Result=nil").
class EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// CRC-32 (reflected 0xEDB88320, init and final XOR 0xFFFFFFFF). The length is a 16-bit
// count on the wire side: above 65521 bytes the result is 0xFFFFFFFF and nothing is read.
uint32_t Crc32(const void* data, size_t length);

// Growable byte stream. Capacity requests that differ from the size are rounded up to a
// multiple of 64 (most packets are a few dozen bytes, and a thousand players may each have
// dozens queued); a request equal to the size is taken as is; 0 frees the block.
class TPacketMemoryStream {
 public:
  TPacketMemoryStream() = default;
  TPacketMemoryStream(const TPacketMemoryStream&) = delete;
  TPacketMemoryStream& operator=(const TPacketMemoryStream&) = delete;
  virtual ~TPacketMemoryStream();

  // Copies up to `count` bytes from the position; returns how many were copied.
  int32_t Read(void* buffer, int32_t count);
  // Writes `count` bytes at the position, growing the stream; returns count (0 when count <= 0).
  int32_t Write(const void* buffer, int32_t count);
  // origin 0 = start, 1 = position, 2 = end. A result before the start is held at 0.
  int32_t Seek(int32_t offset, int origin);
  void SetSize(int32_t n);
  void Clear();
  void LoadFromStream(TPacketMemoryStream& source);

  uint8_t* Memory() { return memory_; }
  const uint8_t* Memory() const { return memory_; }
  int32_t Size() const { return size_; }
  int32_t Position() const { return position_; }
  void SetPosition(int32_t position) { Seek(position, 0); }
  int32_t Capacity() const { return capacity_; }
  std::string_view Bytes() const {
    return {reinterpret_cast<const char*>(memory_), static_cast<size_t>(size_)};
  }

  // Little-endian fields at a fixed offset; they never grow the stream and raise EPacket
  // when the field does not lie wholly inside it.
  uint8_t ByteAt(int32_t offset) const;
  uint16_t WordAt(int32_t offset) const;
  uint32_t LongAt(int32_t offset) const;
  void SetByteAt(int32_t offset, uint8_t value);
  void SetWordAt(int32_t offset, uint16_t value);
  void SetLongAt(int32_t offset, uint32_t value);

  // Sequential little-endian writers at the position (growing the stream).
  void WriteU8(uint8_t v) { Write(&v, 1); }
  void WriteU16(uint16_t v);
  void WriteU32(uint32_t v);
  void WriteU64(uint64_t v);
  void WriteI32(int32_t v) { WriteU32(static_cast<uint32_t>(v)); }
  // The text and one 0 byte; an absent text writes just the 0 byte.
  void WriteCString(const char* text);
  void WriteCString(std::string_view text);
  // A fixed field of 1 + room bytes: the length byte, the text cut to `room`, zero padding.
  void WriteShortString(std::string_view text, size_t room);

  // Sequential readers at the position: false (position unchanged) when the field would run
  // past the end of the stream.
  bool ReadU8(uint8_t& v);
  bool ReadU16(uint16_t& v);
  bool ReadU32(uint32_t& v);
  bool ReadU64(uint64_t& v);
  bool ReadI32(int32_t& v);
  // Characters up to a 0 byte (consumed) or the end of the stream; false at the very end.
  bool ReadCString(std::string& text);
  // A fixed field of 1 + room bytes; a length byte above `room` is held at `room`.
  bool ReadShortString(size_t room, std::string& text);

 protected:
  void SetCapacity(int64_t requested);

  uint8_t* memory_ = nullptr;
  int32_t size_ = 0;
  int32_t position_ = 0;
  int32_t capacity_ = 0;
};

class TPacket : public TPacketMemoryStream {
 public:
  TPacket() = default;

  // Copies the bytes and the three address fields; the position becomes 0.
  void Assign(const TPacket& other);
  void SetAddress(std::string peerAddress, uint16_t peerPort, std::string localAddress);

  const std::string& PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }
  const std::string& LocalAddress() const { return localAddress_; }

  // Class tests: class word and minimum length.
  uint16_t ClassWord() const { return size_ >= 2 ? WordAt(0) : 0; }
  bool IsCommandPacket() const { return size_ >= kCommandHeaderSize && WordAt(0) == kClassCommand; }
  bool IsAckPacket() const { return size_ >= kAckPacketSize && WordAt(0) == kClassAck; }
  bool IsClientVoicePacket() const {
    return size_ >= kClientVoiceHeaderSize && WordAt(0) == kClassClientVoice;
  }
  bool IsServerVoicePacket() const {
    return size_ >= kServerVoiceHeaderSize && WordAt(0) == kClassServerVoice;
  }
  bool IsConnectionPacket() const {
    return size_ >= kConnectionHeaderSize && WordAt(0) == kClassConnection;
  }
  bool IsKnownPacket() const {
    return IsCommandPacket() || IsAckPacket() || IsClientVoicePacket() || IsServerVoicePacket() ||
           IsConnectionPacket();
  }
  // Class and length, and for command and connection packets the CRC.
  bool IsValidPacket();

  // Offset 8 / offset 4 of any of the five classes; EPacket "Invalid Packet" otherwise.
  uint32_t PacketPlayerId() const;
  uint32_t PacketConnectionId() const;

  // CRC field at offset 20 (command) or 16 (connection); nothing for the other classes;
  // EPacket "Invalid Packet" for anything else. CheckCRC leaves the bytes as they were.
  void SetCRC();
  bool CheckCRC();

  // Header fields by name (no class test; EPacket when the datagram is too short).
  uint16_t CommandNumber() const { return WordAt(2); }  // command; kind of a connection packet
  uint8_t VoiceSelector() const { return ByteAt(2); }   // client and server voice
  uint32_t SequenceNumber() const { return LongAt(12); }
  uint16_t ResendCount() const { return WordAt(16); }        // command packet
  uint8_t FragmentsRemaining() const { return ByteAt(18); }  // command packet
  uint16_t AckResendCount() const { return WordAt(2); }      // acknowledgement
  uint16_t VoiceCounter() const { return WordAt(12); }       // client and server voice
  uint32_t SpeakerId() const { return LongAt(16); }          // server voice

  // When the voice entered the server (its clock's ms): the table stamps a client voice
  // packet as it receives it, the relay gives every copy its source's stamp, and a voice
  // packet queued without one is stamped then. The send thread drops voice older than the
  // bound, so the bound covers the whole way through the server. Not part of the datagram.
  double QueuedMs() const { return queuedMs_; }
  bool HasQueuedMs() const { return queuedMs_ >= 0; }
  void SetQueuedMs(double ms) { queuedMs_ = ms; }
  // How long the datagram waited in the socket's receive buffer (ms, from the kernel's arrival
  // stamp; 0 when the socket gave none). The receive path counts it into the voice stamp.
  double SocketWaitMs() const { return socketWaitMs_; }
  void SetSocketWaitMs(double ms) { socketWaitMs_ = ms; }
  // Empties the packet for reuse and keeps its block, so that a pooled packet costs no
  // allocation the next time it is filled.
  void Recycle() {
    size_ = 0;
    position_ = 0;
    queuedMs_ = -1;
    socketWaitMs_ = 0;
  }

 private:
  std::string peerAddress_;
  double queuedMs_ = -1;  // -1: not stamped
  double socketWaitMs_ = 0;
  uint16_t peerPort_ = 0;
  std::string localAddress_;
};

// Builders: the header with the given fields (sequence, resend count and CRC zero unless
// named), the position at the start of the payload.
std::unique_ptr<TPacket> NewCommandPacket(uint16_t command, uint32_t connectionId,
                                          uint32_t playerId, uint32_t sequence = 0);
std::unique_ptr<TPacket> NewAckPacket(uint16_t resendCount, uint32_t connectionId,
                                      uint32_t playerId, uint32_t sequence);
std::unique_ptr<TPacket> NewConnectionPacket(uint16_t kind, uint32_t connectionId,
                                             uint32_t playerId, uint32_t sequence = 0);
std::unique_ptr<TPacket> NewClientVoicePacket(uint8_t selector, uint8_t dataByte,
                                              uint32_t connectionId, uint32_t playerId,
                                              uint16_t counter, uint16_t dataWord);
std::unique_ptr<TPacket> NewServerVoicePacket(uint8_t selector, uint8_t dataByte,
                                              uint32_t connectionId, uint32_t playerId,
                                              uint16_t counter, uint16_t dataWord,
                                              uint32_t speakerId, uint16_t speakerCounter);
// The acknowledgement written into a packet that is reused (its block is kept).
void FillAckPacket(TPacket& packet, uint16_t resendCount, uint32_t connectionId, uint32_t playerId,
                   uint32_t sequence);
// The same header written into a packet that is reused (its block is kept when large enough).
void FillServerVoicePacket(TPacket& packet, uint8_t selector, uint8_t dataByte,
                           uint32_t connectionId, uint32_t playerId, uint16_t counter,
                           uint16_t dataWord, uint32_t speakerId, uint16_t speakerCounter);
// A copy of the bytes and addresses of `packet`.
std::unique_ptr<TPacket> ClonePacket(const TPacket& packet);

}  // namespace vh
