// Client side of reliable delivery, free of sockets and clocks: datagrams and the current
// time go in, datagrams to send come out of the outbox, and received commands, voice, login
// and keep-alive replies wait in queues for the caller.
// Single-threaded: the owner (one TProtocolClient, or a test) calls it; no lock inside.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/ClientPackets.h"
#include "transport/Packet.h"

namespace vh::client {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

struct TSessionConfig {
  // Retransmissions of one command before it is given up and the link counts as failed.
  int maxResends = 40;
  // Floor of the round-trip-based resend time-out.
  std::chrono::milliseconds minResendTimeout{100};
  // Received commands and voice packets kept for the caller; the oldest go beyond this.
  size_t maxQueued = 8192;
  // A load tool that only counts voice turns this off.
  bool keepVoice = true;
};

struct TSessionStats {
  uint64_t datagramsIn = 0;
  uint64_t bytesIn = 0;
  uint64_t datagramsOut = 0;
  uint64_t bytesOut = 0;
  uint64_t invalid = 0;      // unknown class, too short, bad CRC, or a class servers never send
  uint64_t foreign = 0;      // command or acknowledgement of another (or no) connection
  uint64_t outOfWindow = 0;  // sequence 16 or more ahead: dropped unacknowledged
  uint64_t duplicates = 0;   // already delivered or already held: acknowledged again
  uint64_t delivered = 0;    // whole (reassembled) commands handed to the queue
  uint64_t acksSent = 0;
  uint64_t acksReceived = 0;
  uint64_t resends = 0;
  uint64_t abandoned = 0;  // commands given up after maxResends
  uint64_t voiceReceived = 0;
  uint64_t queueOverflow = 0;  // received items dropped because the caller did not take them
};

class TClientSession {
 public:
  static constexpr size_t kWindowSize = 8;        // own commands in flight
  static constexpr uint32_t kReceiveWindow = 16;  // server commands held ahead of the gap
  static constexpr int32_t kMaxUnfragmented = 560;
  static constexpr int32_t kFragmentPayload = 536;
  static constexpr int32_t kMaxReassembled = 107200;

  explicit TClientSession(TSessionConfig config = {});

  // The ids from a successful login reply; they go into every packet sent afterwards. Command
  // and acknowledgement packets carrying other ids, or arriving before there is an identity,
  // are not accepted. A new identity starts the command numbering of both directions afresh.
  void SetIdentity(uint32_t connectionId, uint32_t playerId);
  uint32_t ConnectionId() const { return connectionId_; }
  uint32_t PlayerId() const { return playerId_; }

  // ---- Outgoing: each puts datagrams into the outbox ----
  // Connection packets: returns the sequence number used.
  uint32_t QueueLogin(const TLoginOptions& options);
  uint32_t QueuePing();
  // A reliable command; payloads that make the packet longer than 560 bytes leave as
  // fragments. Returns the sequence number of the (first) packet.
  uint32_t QueueCommand(uint16_t number, std::string_view payload, TTime now);
  // Unreliable client voice (class 0xBEF2); `payload` follows the 16-byte header.
  void QueueVoice(uint8_t selector, uint8_t dataByte, uint16_t counter, uint16_t dataWord,
                  std::string_view payload);
  void QueueRaw(std::string_view bytes);
  // A hand-made acknowledgement (for callers that switched automatic ones off).
  void QueueAck(uint32_t sequence, uint16_t resendCount);

  // ---- Incoming and time ----
  void HandleDatagram(std::string_view bytes, TTime now);
  // Retransmits every command whose resend time-out has run out.
  void Tick(TTime now);
  // When Tick next has work, or nothing when no command is in flight.
  std::optional<TTime> NextDeadline() const;
  std::vector<std::string> TakeOutbox();
  bool HasOutput() const { return !outbox_.empty(); }

  // ---- What arrived ----
  // First queued command with this number (error replies by their code as u16), or null.
  std::unique_ptr<TPacket> TakeCommand(uint16_t number);
  std::unique_ptr<TPacket> TakeAnyCommand();
  std::unique_ptr<TPacket> TakeErrorReply();
  // First queued command for which `match` holds, or null.
  std::unique_ptr<TPacket> TakeCommandIf(const std::function<bool(const TPacket&)>& match);
  std::optional<TServerVoice> TakeVoice();
  std::optional<TLoginReply> TakeLoginReply();
  // True (and forgets it) when the ping with this sequence number has been answered.
  bool TakePingReply(uint32_t sequence);
  size_t QueuedCommands() const { return commands_.size(); }
  size_t QueuedVoice() const { return voice_.size(); }
  // Every command number delivered so far, in delivery order.
  const std::vector<uint16_t>& ReceivedCommandNumbers() const { return history_; }

  // ---- Own commands ----
  size_t InFlight() const { return inFlight_.size(); }
  bool AllAcknowledged() const { return inFlight_.empty() && waiting_.empty(); }
  bool LinkFailed() const { return linkFailed_; }
  std::chrono::milliseconds ResendTimeout() const { return resendTimeout_; }
  uint32_t AverageRoundTrip() const { return rttAverage_; }

  const TSessionStats& Stats() const { return stats_; }

  // Test hooks: automatic acknowledgements off, and a filter that drops incoming datagrams
  // (simulated loss) before they are looked at.
  void SetAutoAcknowledge(bool on) { autoAck_ = on; }
  void SetIncomingFilter(std::function<bool(const TPacket&)> drop) { dropIncoming_ = drop; }

 private:
  struct TOutgoing {
    std::unique_ptr<TPacket> packet;
    TTime firstSend{};
    TTime lastSend{};
    int resends = 0;
  };

  void Emit(TPacket& packet);
  void FillWindow(TTime now);
  bool IsOwn(const TPacket& packet) const;  // carries this session's connection and player id
  void HandleCommand(std::unique_ptr<TPacket> packet);
  void HandleAck(const TPacket& packet, TTime now);
  void HandleConnection(const TPacket& packet);
  void Deliver(std::unique_ptr<TPacket> packet);
  void AddRoundTrip(uint32_t ms);

  // set at construction
  const TSessionConfig config_;

  uint32_t connectionId_ = 0;
  uint32_t playerId_ = 0;
  bool autoAck_ = true;
  std::function<bool(const TPacket&)> dropIncoming_;

  // Outgoing side.
  uint32_t lastCommandSeq_ = 0;
  uint32_t lastConnectionSeq_ = 0;
  std::deque<std::unique_ptr<TPacket>> waiting_;  // numbered, not yet in flight
  std::vector<TOutgoing> inFlight_;               // at most kWindowSize, oldest first
  bool linkFailed_ = false;
  std::array<uint32_t, 16> rttSamples_{};
  size_t rttIndex_ = 0;
  uint32_t rttAverage_ = 50;
  std::chrono::milliseconds resendTimeout_{100};
  std::vector<std::string> outbox_;

  // Incoming side.
  uint32_t nextExpected_ = 1;
  std::array<std::unique_ptr<TPacket>, kReceiveWindow> window_;  // slot = sequence mod 16
  std::unique_ptr<TPacket> reassembly_;
  std::deque<std::unique_ptr<TPacket>> commands_;
  std::vector<uint16_t> history_;
  std::deque<TServerVoice> voice_;
  std::deque<TLoginReply> loginReplies_;
  std::deque<uint32_t> pingReplies_;

  TSessionStats stats_;
};

}  // namespace vh::client
