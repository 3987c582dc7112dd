// The connection table of one virtual server: every datagram comes in through
// ReceiveDatagram (socket receive thread), the listener takes events with GetNextEvent, any
// thread queues answers with SendPacket, and the send thread takes what to transmit with
// NextOutgoingPacket. It does no I/O: bytes and a clock go in, packets to send come out.
// One lock, mutex_ (the table lock, innermost but for the two bandwidth counters' own locks),
// guards the connections, the index, the incoming and ready queues, the packet pool and every
// connection; the operations take it themselves, so callers may hold any of the server's other
// locks. The batch operations take it once per batch. With no connection, both waits block
// until a datagram, a request or the stop arrives instead of waking for passes.
//
// Who sends: the send thread sends everything the scheduler hands out (commands,
// acknowledgements, resends, pings and voice that had to wait). A relaying thread (the receive
// thread or the listener, holding the registry lock) hands a voice fan-out to RelayVoiceCopies,
// which under the table lock numbers, charges and budget-checks every copy and gives back those
// that need not wait as TDirectVoice; the relaying thread writes them itself, after the table
// lock is released and before it lets go of the registry lock. A copy goes direct only when its
// connection has no voice queued and none in the send thread's hand (a batch picked and not yet
// returned), so it can never overtake a queued copy of its own connection: it queues behind it.
// The receive thread gathers the direct copies of a whole receive batch and sends them at its
// end; a copy that must queue while its connection has a direct copy in that unsent batch stops
// the relay until the batch is sent, so a queued copy never overtakes a direct one either.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/KeyedList.h"
#include "common/Mutex.h"
#include "transport/AutoResetEvent.h"
#include "transport/BandWidthCalc.h"
#include "transport/Clocks.h"
#include "transport/FIFOList.h"
#include "transport/LoginRateLimiter.h"
#include "transport/Packet.h"
#include "transport/SingleConnection.h"
#include "transport/TrafficCounters.h"

namespace vh {

// Event kinds of GetNextEvent.
enum TEventKind : uint8_t {
  EV_PACKET = 0,   // a packet received in order (player id 0 for a login request)
  EV_TIMEOUT = 1,  // the connection timed out, or more than 512 commands wait in its queue
  EV_CLOSED = 2,   // the connection reached state 5
  EV_STOP = 3,     // the table is stopping
  EV_REQUEST = 4   // an administration request is pending (WakeListener)
};

struct TConnectionStats {
  uint32_t connectionId = 0;  // 0 when there is no such connection
  uint32_t packetsSent = 0;
  uint32_t bytesSent = 0;  // low 32 bits
  uint32_t packetsReceived = 0;
  uint32_t bytesReceived = 0;  // low 32 bits
  std::string peerAddress;
  uint16_t peerPort = 0;
  uint16_t packetLoss = 0;  // hundredths of a percent
  uint16_t ping = 0;        // average round trip, ms
};

struct TServerStats {
  uint32_t packetsSent = 0;
  uint32_t packetsReceived = 0;
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  double inLastSecond = 0;  // bytes per second
  double inLastMinute = 0;
  double outLastSecond = 0;
  double outLastMinute = 0;
  uint64_t datagramsRefused = 0;   // received datagrams dropped before reaching the listener
  uint64_t loginsRateLimited = 0;  // of those, login requests over their address's budget
};

// What one source address may do before it has joined; every player behind one address
// shares these.
struct TLoginLimits {
  double perSecond = TLoginRateLimiter::kDefaultPerSecond;  // login requests, refill rate
  double burst = TLoginRateLimiter::kDefaultBurst;
  int halfOpen = 4;  // logins that have not joined yet (connections in state 0)
  // Tell every source apart by port as well (loopback sources always are). Tests use it for
  // players that share an address.
  bool sourceByPort = false;
};

// One voice packet to relay: the fields every copy shares and the voice data, written once.
struct TVoiceFanout {
  uint8_t dataByte = 0;
  uint16_t dataWord = 0;
  uint32_t speakerId = 0;
  uint16_t speakerCounter = 0;
  std::span<const uint8_t> data;
  double arrivedMs = -1;  // the source's stamp (TPacket::QueuedMs)
};

// One listener of a fan-out and the selector his copy carries.
struct TVoiceListener {
  uint32_t playerId = 0;
  uint8_t selector = 0;
};

// A voice copy the relaying thread sends itself: its own header, the fan-out's data (shared by
// every copy, valid until the caller's send), and where it goes.
struct TDirectVoice {
  std::array<uint8_t, kServerVoiceHeaderSize> header{};
  std::span<const uint8_t> data;
  TDirectAddresses addresses;  // a copy: the connection may go once the table lock is released
};

class TCustomPacketBuffer {
 public:
  static constexpr int kPassMs = 50;
  // A table with no connection has nothing to time out: its threads wait this long, or until a
  // datagram, a request, a queued packet or the stop wakes them (no passes while idle).
  static constexpr int32_t kIdleWaitMs = 5000;
  static constexpr int kWaitSlackMs = 2;
  static constexpr int32_t kCommandBacklogLimit = 512;
  static constexpr double kPassTimerLimitMs = 10000;
  // Sent packets kept for reuse, and the largest block worth keeping.
  static constexpr size_t kPoolLimit = 1024;
  static constexpr int32_t kPooledCapacity = 2048;

  // `counters`: where the table counts its traffic (a block of its own when none is given).
  explicit TCustomPacketBuffer(uint8_t connectionFlags = kServerConnectionFlags,
                               const TClock& clock = SystemClock(),
                               std::shared_ptr<TTrafficCounters> counters = nullptr);
  // Frees every connection and queued packet. Callers stop the table (and let its threads
  // leave) first; destruction only raises the stop flag, it does not wait.
  ~TCustomPacketBuffer();
  TCustomPacketBuffer(const TCustomPacketBuffer&) = delete;
  TCustomPacketBuffer& operator=(const TCustomPacketBuffer&) = delete;

  // A logged-in player's connection (state 0). EHashList when the player id exists.
  void AddConnection(uint32_t playerId, uint32_t connectionId, const std::string& localAddress,
                     uint32_t firstConnectionPacket, uint16_t peerPort,
                     const std::string& peerAddress);
  void RemoveConnection(uint32_t playerId);
  size_t ConnectionCount();
  // State of a connection, or -1 when there is none.
  int ConnectionState(uint32_t playerId);

  // The address the player logged in from ("" when there is no such connection). Bans of a
  // session use it: the source of a later datagram may be forged.
  std::string LoginAddress(uint32_t playerId);
  // True when the source `playerId` logged in from already holds its limit of other
  // connections in state 0 (logged in, not joined). The login refuses the request then.
  bool TooManyHalfOpenLogins(uint32_t playerId);
  void SetLoginLimits(const TLoginLimits& limits);

  // Receive path. Refusals raise ECustomPacketBuffer (a full queue EFIFOList); the packet is
  // consumed either way and every datagram is counted first.
  void ReceiveDatagram(std::unique_ptr<TPacket> packet);
  // The same for the socket's receive thread: a refusal is counted and the datagram dropped
  // without an exception (floods of refused datagrams must stay cheap). Returns the refusal
  // text, or null when the datagram was taken.
  const char* OfferDatagram(std::unique_ptr<TPacket> packet);
  // A whole batch from the receive thread under one table-lock hold, each datagram taken or
  // refused as by OfferDatagram; the batch is left empty. What the table consumed at once
  // (acknowledgements, refusals) goes to its pool, and up to `wanted` pooled packets are
  // moved into `spares` for the next datagrams. Returns how many were refused.
  // With `voiceOut`, client voice that would be queued for the listener is moved there instead
  // while the listener has no datagram queued or in hand (PacketEventHandled): the caller
  // relays it at once, or hands it back with QueueVoiceEvents. Otherwise it waits its turn, so
  // voice never overtakes a datagram that came before it.
  size_t OfferDatagrams(std::vector<std::unique_ptr<TPacket>>& batch,
                        std::vector<std::unique_ptr<TPacket>>* spares = nullptr, size_t wanted = 0,
                        std::vector<std::unique_ptr<TPacket>>* voiceOut = nullptr);
  // Queues client voice from OfferDatagrams's `voiceOut` for the listener, in order, and wakes
  // it; what a full queue cannot take is dropped. `voice` is left empty.
  void QueueVoiceEvents(std::vector<std::unique_ptr<TPacket>>& voice);
  // Takes packets that are done with into the pool. `packets` is left empty.
  void RecyclePackets(std::vector<std::unique_ptr<TPacket>>& packets);
  // Queues a packet for the player named at offset 8; the table owns it from now on. Packets
  // for unknown, closing or not yet connected (voice) connections are freed silently; a full
  // queue raises EFIFOList and a packet of no sendable class ECustomPacketBuffer.
  void SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter);
  // Queues every packet of `packets` under one table-lock hold (the copies of one voice
  // packet); what SendPacket would refuse or raise for is dropped without a word. `packets` is
  // left empty; then up to `wanted` pooled packets are moved into `spares` for the next batch.
  void SendPackets(std::vector<std::unique_ptr<TPacket>>& packets,
                   std::vector<std::unique_ptr<TPacket>>* spares = nullptr, size_t wanted = 0);

  // Relays one voice packet to `listeners` under one table-lock hold. Every copy is numbered,
  // charged and checked as the send thread would; those whose connection has nothing queued
  // ahead of them and budget to spare are appended to `direct` for the caller to send at once
  // (after this returns, before another relaying thread may run), the rest are queued as
  // SendPackets would queue them (built in pooled packets). Without `direct`, all are queued.
  // Voice already older than the age bound is dropped as late. Returns how many went direct.
  //
  // `batch` (from NewDirectBatch; 0 = none) lets the caller gather the direct copies of several
  // fan-outs and send them together: each connection remembers the batch of its last direct
  // copy, and when a copy for a connection with a copy still unsent in `batch` must wait, the
  // relay stops before it, so that the caller sends the batch before that copy can be queued
  // (a queued copy must never overtake a direct one either). `relayed` then tells how many
  // listeners were done; the caller sends, takes a new batch and relays the rest.
  size_t RelayVoiceCopies(const TVoiceFanout& fanout, std::span<const TVoiceListener> listeners,
                          std::vector<TDirectVoice>* direct, uint64_t batch = 0,
                          size_t* relayed = nullptr);
  // A batch number no connection carries yet (any thread).
  uint64_t NewDirectBatch() { return directBatches_.fetch_add(1, std::memory_order_relaxed) + 1; }

  // Blocks until an event is available (each wait at most 52 ms between checks).
  void GetNextEvent(uint32_t& playerId, uint8_t& kind, std::unique_ptr<TPacket>& packet);
  // One pick without waiting; false when there is none, with the wait it would take in waitMs.
  bool PollEvent(uint32_t& playerId, uint8_t& kind, std::unique_ptr<TPacket>& packet,
                 int32_t& waitMs);
  void WakeListener();
  // The listener is done with a packet event (EV_PACKET) that GetNextEvent or PollEvent gave it.
  void PacketEventHandled() { packetEventsDone_.fetch_add(1); }

  // The next packet to transmit, waiting at most timeoutMs (-1 = no limit, 0 = one pick);
  // null when the time is up or the table is stopping.
  std::unique_ptr<TPacket> NextOutgoingPacket(int32_t timeoutMs);
  // The same for a batch: `batch` comes in holding the packets sent last time (they go to the
  // pool) and leaves with up to `max` packets to transmit, picked under one table-lock hold.
  // Returns how many; 0 when the time is up or the table is stopping.
  size_t NextOutgoingPackets(std::vector<std::unique_ptr<TPacket>>& batch, size_t max,
                             int32_t timeoutMs);
  // One pick that ignores the stop flag: the send thread empties the queues with it at the end.
  std::unique_ptr<TPacket> DrainOutgoingPacket();

  // value >= 0: limit of value * 128 bytes per second (0 = unlimited); ends voice thinning.
  void SetClientBandwidth(uint32_t playerId, int32_t value);
  TConnectionStats GetConnectionStats(uint32_t playerId);
  TServerStats GetServerStats();
  // Lock-free reads for monitoring; valid as long as the caller holds the pointer.
  const std::shared_ptr<TTrafficCounters>& Counters() const { return counters_; }

  // Server voice older than this when its turn to be sent comes is dropped (ms; 0 = never).
  void SetVoiceAgeLimitMs(double ms) { voiceAge_.limitMs.store(ms, std::memory_order_relaxed); }
  double VoiceAgeLimitMs() const { return voiceAge_.limitMs.load(std::memory_order_relaxed); }
  // Voice copies dropped as late so far (relaxed: a figure, not a synchronisation point).
  uint64_t LateVoiceDrops() const { return TTrafficCounters::Read(counters_->voiceDroppedLate); }

  // Raises the stop flag, wakes both threads and waits up to 2000 ms for them to report.
  void Stop();
  // bit 0: send thread, bit 1: listener. The stopped event fires once both are set.
  void MarkThreadStopped(int bit);
  bool StopRequested() const { return stopRequested_.load(); }
  // Completed event passes (time-out checks) so far; tests that drive the clock wait on it.
  uint64_t EventPasses() const { return eventPasses_.load(); }

  const TClock& Clock() const { return clock_; }
  TWindowsEvent& IncomingEvent() { return incoming_; }
  TWindowsEvent& OutgoingEvent() { return outgoing_; }

 private:
  // The helpers below run with the table lock held by the operation that called them.
  TSingleConnection* FindConnection(uint32_t playerId) REQUIRES(mutex_);
  // The key of a login source under the limits (address, or address and port; always both
  // for a loopback address).
  std::string SourceKey(const std::string& address, uint16_t port) const REQUIRES(mutex_);
  // Refusal text or null; a full incoming queue raises EFIFOList.
  const char* ReceiveLocked(std::unique_ptr<TPacket>& packet, const TPerformanceTime& now)
      REQUIRES(mutex_);
  const char* ReceiveCommand(TSingleConnection& c, std::unique_ptr<TPacket>& packet)
      REQUIRES(mutex_);
  const char* ReceiveClientVoice(TSingleConnection& c, std::unique_ptr<TPacket>& packet)
      REQUIRES(mutex_);
  void ReceiveConnectionPacket(TSingleConnection& c, std::unique_ptr<TPacket>& packet)
      REQUIRES(mutex_);
  void Deliver(TSingleConnection& c, std::unique_ptr<TPacket> packet, bool count) REQUIRES(mutex_);
  void MarkReady(uint32_t playerId) REQUIRES(mutex_);
  // Averages loss and round trip over the connections into counters_ (at most once a second).
  void PublishLinkQuality(const TPerformanceTime& now) REQUIRES(mutex_);
  void SendLocked(std::unique_ptr<TPacket> packet, bool closeAfter, const TPerformanceTime& now)
      REQUIRES(mutex_);
  // The incoming traffic counters and bandwidth, for every datagram offered.
  void CountIncoming(const TPacket& packet, const TPerformanceTime& now) REQUIRES(mutex_);
  // The outgoing traffic counters, for every packet the send thread picks.
  void CountOutgoing(const TPacket& packet) REQUIRES(mutex_);
  // Leaves `packet` set when the table did not keep it.
  const char* OfferLocked(std::unique_ptr<TPacket>& packet, const TPerformanceTime& now)
      REQUIRES(mutex_);
  void Recycle(std::vector<std::unique_ptr<TPacket>>& packets) REQUIRES(mutex_);
  void RecycleOne(std::unique_ptr<TPacket>& packet) REQUIRES(mutex_);
  void HandOutSpares(std::vector<std::unique_ptr<TPacket>>* spares, size_t wanted) REQUIRES(mutex_);

  bool PickEventLocked(const TPerformanceTime& now, uint32_t& playerId, uint8_t& kind,
                       std::unique_ptr<TPacket>& packet, int32_t& waitMs) REQUIRES(mutex_);
  int ConnectionEvent(TSingleConnection& c, const TPerformanceTime& now) REQUIRES(mutex_);
  std::unique_ptr<TPacket> PickOutgoingLocked(const TPerformanceTime& now, int32_t& waitMs)
      REQUIRES(mutex_);
  // May a voice copy for `c` leave from the relaying thread now? (see the header)
  bool MayGoDirect(TSingleConnection& c, const TPerformanceTime& now) REQUIRES(mutex_);
  std::unique_ptr<TPacket> TakePooled() REQUIRES(mutex_);
  // Notes that the send thread now holds voice of `c` (until its next pick).
  void NoteHandedOut(TSingleConnection& c, const TPacket& p) REQUIRES(mutex_);
  std::unique_ptr<TPacket> SendPassStep(const TPerformanceTime& now) REQUIRES(mutex_);
  std::unique_ptr<TPacket> ReadyService(const TPerformanceTime& now) REQUIRES(mutex_);
  std::unique_ptr<TPacket> PickAndCount(const TPerformanceTime& now, int32_t& waitMs)
      EXCLUDES(mutex_);
  // Up to `max` picks under one lock hold, appended to `batch` after recycling what it held.
  size_t PickBatchAndCount(const TPerformanceTime& now, int32_t& waitMs,
                           std::vector<std::unique_ptr<TPacket>>& batch, size_t max)
      EXCLUDES(mutex_);

  // Set at construction:
  const uint8_t connectionFlags_;
  [[maybe_unused]] const uint8_t serverRole_ = 1;
  const TClock& clock_;

  TMutex mutex_;  // the table lock
  TFIFOList incomingQueue_ GUARDED_BY(mutex_){512, 4096, 512};
  std::vector<std::unique_ptr<TSingleConnection>> connections_ GUARDED_BY(mutex_);
  // player id -> connection, for the connections_ above. Open addressing in one flat array:
  // every relayed voice copy looks its listener up here, and a node-based map costs a cache
  // miss or two more per copy on a large server.
  absl::flat_hash_map<uint32_t, TSingleConnection*> index_ GUARDED_BY(mutex_);
  // The last direct batch number handed out (NewDirectBatch).
  std::atomic<uint64_t> directBatches_{0};
  TFIFOList_Playerid ready_ GUARDED_BY(mutex_){256, 100000, 256};
  std::vector<std::unique_ptr<TPacket>> pool_ GUARDED_BY(mutex_);
  TVoiceAgeLimit voiceAge_;  // relaxed atomics; connections point at it

  TWindowsEvent incoming_;
  TWindowsEvent outgoing_;
  TWindowsEvent stopped_;
  std::atomic<int> stoppedThreads_{0};
  std::atomic<bool> stopRequested_{false};
  std::atomic<uint64_t> eventPasses_{0};
  bool requestPending_ GUARDED_BY(mutex_) = false;
  // Set for the length of one OfferDatagrams call that takes client voice out.
  std::vector<std::unique_ptr<TPacket>>* voiceOut_ GUARDED_BY(mutex_) = nullptr;
  // Packet events handed to the listener, and those it reported done: equal when it holds none.
  uint64_t packetEventsOut_ GUARDED_BY(mutex_) = 0;
  std::atomic<uint64_t> packetEventsDone_{0};

  const std::shared_ptr<TTrafficCounters> counters_;  // set at construction, never null
  TPerformanceTime qualityTimer_ GUARDED_BY(mutex_);  // last link-quality publication
  TLoginLimits loginLimits_ GUARDED_BY(mutex_);
  TLoginRateLimiter loginLimiter_ GUARDED_BY(mutex_);
  TBandWidthCalc inBandwidth_;   // own lock
  TBandWidthCalc outBandwidth_;  // own lock

  // Scheduler (send thread) and event passes (listener).
  size_t sendCursor_ GUARDED_BY(mutex_) = 0;
  bool sendPassComplete_ GUARDED_BY(mutex_) = true;
  TPerformanceTime sendPassTimer_ GUARDED_BY(mutex_);
  // Picks of the send thread: each pick starts a new number, which ends the previous pick's
  // hold on its connections' voice (see MayGoDirect).
  uint64_t pickNumber_ GUARDED_BY(mutex_) = 1;
  size_t eventCursor_ GUARDED_BY(mutex_) = 0;
  bool eventPassComplete_ GUARDED_BY(mutex_) = true;
  TPerformanceTime eventPassTimer_ GUARDED_BY(mutex_);
};

}  // namespace vh
