// One logged-in client inside the connection table: reliable command delivery (receive
// window, in-flight window, acknowledgements, retransmission, fragments), the four outgoing
// queues, voice thinning, bandwidth budget and traffic counters. Owned by TCustomPacketBuffer
// and touched only under its table lock (every field here is guarded by it): the voice counter
// and the traffic and budget counters move there whether a copy leaves from the send thread
// (NextPacket) or from a relaying thread (the table's RelayVoiceCopies).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/NetAddress.h"
#include "transport/BandWidthCalc.h"
#include "transport/Clocks.h"
#include "transport/FIFOList.h"
#include "transport/Packet.h"
#include "transport/TrafficCounters.h"

namespace vh {

// Refused datagrams and refused sends.
class ECustomPacketBuffer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Connection flags.
constexpr uint8_t kConnRetransmit = 1;  // resend unacknowledged commands
constexpr uint8_t kConnTimeouts = 2;    // inactivity time-outs and closing linger
constexpr uint8_t kServerConnectionFlags = 7;

// Connection states.
enum TConnectionState : uint8_t {
  CS_PRECONNECTED = 0,
  CS_CONNECTED = 1,
  CS_CLOSING = 2,
  CS_CLOSING_PRECONNECTED = 3,
  CS_CLOSING_HANDED_OUT = 4,
  CS_CLOSED = 5
};

// How long server voice may wait in a connection's queue before it is dropped instead of
// sent (late voice is worse than none; the drops are counted in the traffic counters). One
// per table, shared by its connections; a relaxed atomic, so any thread may read or set it.
struct TVoiceAgeLimit {
  static constexpr double kDefaultMs = 300;
  std::atomic<double> limitMs{kDefaultMs};  // 0 or less: no bound
};

// Where a relaying thread sends a connection's voice, in both socket families: an IPv4
// socket takes the In4 forms (length 0: an IPv6 peer it cannot reach), a dual-stack or IPv6
// socket the In6 forms (an IPv4 address in its mapped form). Made when the connection is made
// and again when its peer moves to another port.
struct TDirectAddresses {
  TSockAddr peerIn4{};
  TSockAddr peerIn6{};
  TSockAddr localIn4{};
  TSockAddr localIn6{};
  socklen_t peerIn4Length = 0;
  socklen_t peerIn6Length = 0;
  bool hasLocalIn4 = false;
  bool hasLocalIn6 = false;
};
TDirectAddresses MakeDirectAddresses(const std::string& peerAddress, uint16_t peerPort,
                                     const std::string& localAddress);

class TSingleConnection {
 public:
  static constexpr int kReceiveWindow = 16;
  static constexpr int kWindowSize = 8;
  static constexpr int kRttSamples = 16;
  static constexpr int32_t kFragmentPayload = 536;
  static constexpr int32_t kLongestCommand = 560;
  static constexpr int32_t kLongestReassembly = 107200;
  static constexpr int kVoiceQueueRoom = 1004;         // voice queue maximum 1024 less 20
  static constexpr uint16_t kLoginClosingCommand = 8;  // the last login step's command
  static constexpr double kClosingLingerMs = 10000;
  static constexpr double kTimerLimitMs = 120000;

  TSingleConnection(uint8_t flags, uint32_t playerId, uint32_t connectionId,
                    std::string localAddress, uint32_t firstConnectionPacket, uint16_t peerPort,
                    std::string peerAddress, const TClock& clock);

  // The next packet this connection may send now, or null.
  std::unique_ptr<TPacket> NextPacket(const TPerformanceTime& now);

  // Inactivity time-out of the current state in ms (0 = none).
  double InactivityTimeoutMs() const;
  // Acknowledgement of an in-flight command; true when a window slot was freed.
  bool HandleAck(const TPacket& ack, const TPerformanceTime& now);
  void AddRttSample(int64_t ms);
  // Appends a command fragment to the reassembly buffer; gives a whole message or null.
  std::unique_ptr<TPacket> Reassemble(std::unique_ptr<TPacket> packet);
  // Close-after: state 3 from state 0, else 2; the closing linger starts.
  void StartClosing();

  // ---- What relaying one voice copy reads and writes, together at the front of the object:
  // a large server's connections do not stay in the cache between two copies of theirs, so
  // every field a copy touches elsewhere in the object costs a cache miss per copy.
  uint8_t state = CS_PRECONNECTED;
  bool thinning = false;
  uint16_t voiceCounter = 0;  // last used
  uint32_t playerId;
  uint32_t connectionId;
  uint32_t packetsSent = 0;
  uint64_t bytesSent = 0;
  // The table's pick number when the send thread last took voice of this connection.
  uint64_t voicePick = 0;
  // The relaying thread's direct batch that last took a copy of this connection.
  uint64_t directBatch = 0;
  TVoiceAgeLimit* voiceAge = nullptr;  // the table's; none in tests that build one alone
  TPerformanceTime lastSend;
  TFIFOList voiceQueue{16, 1024, 32};
  TClientBandWidthCalc bandwidth;
  // The addresses as the socket calls take them, read once (a peer that is no address leaves
  // the connection's voice to the send thread).
  TDirectAddresses directAddresses;
  // ---- the rest

  uint8_t flags;
  // Where packets go. The address never changes: it is the one the player logged in from
  // (loginAddress); the port follows NAT rebinding (see the table's receive path).
  std::string peerAddress;
  uint16_t peerPort;
  std::string loginAddress;
  uint16_t loginPort;
  uint8_t serverRole = 1;

  TFIFOList ackQueue{16, 1024, 4};
  TFIFOList commandQueue{16, 1024, 8};
  TFIFOList connectionQueue{8, 1024, 16};

  uint32_t commandSequence = 0;  // last used
  uint32_t connectionSequence;   // last used
  uint32_t nextCommand = 1;      // next expected from the client
  uint16_t nextVoice = 1;
  uint32_t nextConnection;

  std::array<std::unique_ptr<TPacket>, kReceiveWindow> receiveWindow;
  int receiveIndex = 0;  // slot of nextCommand

  struct TInFlight {
    std::unique_ptr<TPacket> packet;
    TPerformanceTime firstSend;
    TPerformanceTime lastSend;
  };
  std::array<TInFlight, kWindowSize> inFlight;
  int inFlightCount = 0;  // occupied slots are 0 .. inFlightCount-1

  int64_t resendTimeoutMs = 100;
  std::array<int64_t, kRttSamples> rtt;
  int rttIndex = 0;
  int64_t rttSum = 50 * kRttSamples;
  int64_t averageRtt = 50;

  TPerformanceTime lastReceive;
  TPerformanceTime lastPing;
  TPerformanceTime closingStart;

  uint32_t packetsReceived = 0;
  uint64_t bytesReceived = 0;
  uint64_t packetsLost = 0;

  std::unique_ptr<TPacket> reassembly;

  uint32_t keptSpeaker = 0;
  TPerformanceTime thinningTimer;
  // The table's traffic figures (set when the table adds the connection; may stay null).
  TTrafficCounters* counters = nullptr;

  std::string localAddress;

  // True when voice queued at `now` would wait: voice or budget ahead of it, or thinning.
  bool VoiceMustWait(const TPerformanceTime& now);
  // Counts a voice copy that leaves from a relaying thread, as Finish does for the send thread.
  void ChargeDirectVoice(int32_t bytes, const TPerformanceTime& now);
  // True when voice stamped `queuedMs` is older than the bound at `now`.
  bool IsLateAt(double queuedMs, const TPerformanceTime& now) const;

 private:
  // True when a queued voice packet has waited longer than the bound at `now`.
  bool IsLateVoice(const TPacket& packet, const TPerformanceTime& now) const;
  std::unique_ptr<TPacket> Finish(std::unique_ptr<TPacket> packet, bool command,
                                  const TPerformanceTime& now);
};

}  // namespace vh
