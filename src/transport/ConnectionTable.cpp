#include "transport/ConnectionTable.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "common/NetAddress.h"

namespace vh {

namespace {
constexpr double kTimerLimitMs = TSingleConnection::kTimerLimitMs;
}  // namespace

TCustomPacketBuffer::TCustomPacketBuffer(uint8_t connectionFlags, const TClock& clock,
                                         std::shared_ptr<TTrafficCounters> counters)
    : connectionFlags_(connectionFlags),
      clock_(clock),
      counters_(counters ? std::move(counters) : std::make_shared<TTrafficCounters>()),
      qualityTimer_(clock),
      inBandwidth_(clock, true),
      outBandwidth_(clock, true),
      sendPassTimer_(clock),
      eventPassTimer_(clock) {}

TCustomPacketBuffer::~TCustomPacketBuffer() {
  stopRequested_.store(true);
  incoming_.Set();
  outgoing_.Set();
}

TSingleConnection* TCustomPacketBuffer::FindConnection(uint32_t playerId) {
  const auto found = index_.find(playerId);
  return found == index_.end() ? nullptr : found->second;
}

void TCustomPacketBuffer::MarkReady(uint32_t playerId) {
  ready_.Put(playerId);
  outgoing_.Set();
}

// ---- connections ----

void TCustomPacketBuffer::AddConnection(uint32_t playerId, uint32_t connectionId,
                                        const std::string& localAddress,
                                        uint32_t firstConnectionPacket, uint16_t peerPort,
                                        const std::string& peerAddress) {
  TLockGuard lock(mutex_);
  if (index_.count(playerId)) throw KeyExists(static_cast<int32_t>(playerId));
  auto c =
      std::make_unique<TSingleConnection>(connectionFlags_, playerId, connectionId, localAddress,
                                          firstConnectionPacket, peerPort, peerAddress, clock_);
  c->counters = counters_.get();
  c->voiceAge = &voiceAge_;
  connections_.push_back(std::move(c));
  try {
    index_.emplace(playerId, connections_.back().get());
  } catch (...) {
    connections_.pop_back();
    throw;
  }
}

void TCustomPacketBuffer::RemoveConnection(uint32_t playerId) {
  TLockGuard lock(mutex_);
  TSingleConnection* c = FindConnection(playerId);
  if (!c) return;
  index_.erase(playerId);
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [c](const auto& owned) { return owned.get() == c; });
  assert(it != connections_.end() && "an indexed connection is in the list");
  size_t pos = static_cast<size_t>(it - connections_.begin());
  // Keep both pass cursors on the connection they would have visited next.
  if (pos < sendCursor_) --sendCursor_;
  if (pos < eventCursor_) --eventCursor_;
  connections_.erase(it);
}

size_t TCustomPacketBuffer::ConnectionCount() {
  TLockGuard lock(mutex_);
  return connections_.size();
}

std::string TCustomPacketBuffer::LoginAddress(uint32_t playerId) {
  TLockGuard lock(mutex_);
  TSingleConnection* c = FindConnection(playerId);
  return c ? c->loginAddress : std::string();
}

std::string TCustomPacketBuffer::SourceKey(const std::string& address, uint16_t port) const {
  // Loopback players are processes of this machine (a local proxy, a load test), which their
  // address does not tell apart: there each port is a source of its own. An IPv6 source
  // counts by its /64, which one host may fill with addresses of its choosing.
  if (loginLimits_.sourceByPort || IsLoopbackText(address))
    return address + ":" + std::to_string(port);
  return vh::SourceKey(address);
}

bool TCustomPacketBuffer::TooManyHalfOpenLogins(uint32_t playerId) {
  TLockGuard lock(mutex_);
  TSingleConnection* self = FindConnection(playerId);
  if (!self) return false;
  const std::string source = SourceKey(self->loginAddress, self->loginPort);
  int count = 0;
  for (const auto& c : connections_)
    if (c->state == CS_PRECONNECTED && c.get() != self &&
        SourceKey(c->loginAddress, c->loginPort) == source)
      ++count;
  return count >= loginLimits_.halfOpen;
}

void TCustomPacketBuffer::SetLoginLimits(const TLoginLimits& limits) {
  TLockGuard lock(mutex_);
  loginLimits_ = limits;
  loginLimiter_ = TLoginRateLimiter(limits.perSecond, limits.burst);
}

int TCustomPacketBuffer::ConnectionState(uint32_t playerId) {
  TLockGuard lock(mutex_);
  TSingleConnection* c = FindConnection(playerId);
  return c ? c->state : -1;
}

// ---- receive path ----

void TCustomPacketBuffer::CountIncoming(const TPacket& packet, const TPerformanceTime& now) {
  TTrafficCounters::Add(counters_->datagramsIn);
  TTrafficCounters::Add(counters_->bytesIn, static_cast<uint64_t>(packet.Size()));
  if (packet.IsClientVoicePacket())
    TTrafficCounters::Add(counters_->voiceBytesIn, static_cast<uint64_t>(packet.Size()));
  inBandwidth_.AddBytes(packet.Size(), now);
}

void TCustomPacketBuffer::CountOutgoing(const TPacket& packet) {
  TTrafficCounters::Add(counters_->datagramsOut);
  TTrafficCounters::Add(counters_->bytesOut, static_cast<uint64_t>(packet.Size()));
  if (packet.IsServerVoicePacket())
    TTrafficCounters::Add(counters_->voiceBytesOut, static_cast<uint64_t>(packet.Size()));
  if (packet.IsCommandPacket() && packet.ResendCount() > 0)
    TTrafficCounters::Add(counters_->commandResends);
}

void TCustomPacketBuffer::ReceiveDatagram(std::unique_ptr<TPacket> packet) {
  if (!packet) return;
  TPerformanceTime now(clock_);
  TLockGuard lock(mutex_);
  CountIncoming(*packet, now);
  const char* refusal = nullptr;
  try {
    refusal = ReceiveLocked(packet, now);
  } catch (...) {
    TTrafficCounters::Add(counters_->datagramsRefused);
    throw;
  }
  if (refusal) {
    TTrafficCounters::Add(counters_->datagramsRefused);
    throw ECustomPacketBuffer(refusal);
  }
}

const char* TCustomPacketBuffer::OfferDatagram(std::unique_ptr<TPacket> packet) {
  if (!packet) return nullptr;
  TPerformanceTime now(clock_);
  TLockGuard lock(mutex_);
  return OfferLocked(packet, now);
}

size_t TCustomPacketBuffer::OfferDatagrams(std::vector<std::unique_ptr<TPacket>>& batch,
                                           std::vector<std::unique_ptr<TPacket>>* spares,
                                           size_t wanted,
                                           std::vector<std::unique_ptr<TPacket>>* voiceOut) {
  size_t refused = 0;
  {
    TPerformanceTime now(clock_);
    TLockGuard lock(mutex_);
    for (std::unique_ptr<TPacket>& packet : batch) {
      if (!packet) continue;
      // Decided per datagram: a login queued earlier in this batch holds back the voice after it.
      // The listener must have nothing queued and no datagram in hand: voice relayed now would
      // otherwise overtake a datagram that came before it (a mute, a channel change).
      voiceOut_ = voiceOut && incomingQueue_.Empty() && packetEventsOut_ == packetEventsDone_.load()
                      ? voiceOut
                      : nullptr;
      if (OfferLocked(packet, now)) ++refused;
      if (packet) RecycleOne(packet);
    }
    voiceOut_ = nullptr;
    HandOutSpares(spares, wanted);
  }
  batch.clear();
  return refused;
}

const char* TCustomPacketBuffer::OfferLocked(std::unique_ptr<TPacket>& packet,
                                             const TPerformanceTime& now) {
  CountIncoming(*packet, now);
  const char* refusal = nullptr;
  try {
    refusal = ReceiveLocked(packet, now);
  } catch (const std::exception&) {
    refusal = "queue full";
  }
  if (refusal) TTrafficCounters::Add(counters_->datagramsRefused);
  return refusal;
}

namespace {

// The datagrams that may move a session to a new port of its address (NAT rebinding): those
// that passed the CRC test, a command or a keep-alive ping. Acknowledgements and voice carry
// no CRC and anybody can forge their source, so they never move a session.
bool MayMovePort(const TPacket& p) {
  return p.IsCommandPacket() || (p.IsConnectionPacket() && p.CommandNumber() == kConnKeepAlivePing);
}

}  // namespace

const char* TCustomPacketBuffer::ReceiveLocked(std::unique_ptr<TPacket>& packet,
                                               const TPerformanceTime& now) {
  if (!packet->IsValidPacket()) return "Invalid Packet";
  if (packet->IsServerVoicePacket()) return "S2C recv on Server";

  uint32_t playerId = packet->PacketPlayerId();
  if (packet->IsConnectionPacket() && packet->CommandNumber() == kConnLoginRequest &&
      playerId == 0 && packet->PacketConnectionId() == 0) {
    // Over budget: dropped here, so a flood of logins never wakes the listener.
    if (!loginLimiter_.Allow(SourceKey(packet->PeerAddress(), packet->PeerPort()), now.StartMs())) {
      TTrafficCounters::Add(counters_->loginsRateLimited);
      return "login rate exceeded";
    }
    incomingQueue_.Put(std::move(packet));
    incoming_.Set();
    return nullptr;
  }

  TSingleConnection* c = FindConnection(playerId);
  if (!c) {
    TTrafficCounters::Add(counters_->datagramsRefused);
    return nullptr;
  }
  if (packet->PacketConnectionId() != c->connectionId) return "wrong Connection + player combo";
  if (c->state == CS_CLOSED) return "recv data after close";
  // A session keeps the address it logged in from; see MayMovePort for its port.
  if (packet->PeerAddress() != c->loginAddress) return "wrong peer address";
  if (packet->PeerPort() != c->peerPort && MayMovePort(*packet)) {
    c->peerPort = packet->PeerPort();
    c->directAddresses = MakeDirectAddresses(c->peerAddress, c->peerPort, c->localAddress);
  }
  c->lastReceive.Assign(now);

  if (packet->IsAckPacket()) {
    if (c->HandleAck(*packet, now)) MarkReady(c->playerId);
    return nullptr;
  }
  if (packet->IsCommandPacket()) return ReceiveCommand(*c, packet);
  if (packet->IsClientVoicePacket()) return ReceiveClientVoice(*c, packet);
  ReceiveConnectionPacket(*c, packet);
  return nullptr;
}

const char* TCustomPacketBuffer::ReceiveCommand(TSingleConnection& c,
                                                std::unique_ptr<TPacket>& packet) {
  uint32_t sequence = packet->SequenceNumber();
  uint16_t resends = packet->ResendCount();
  c.packetsReceived += 1;
  c.bytesReceived += static_cast<uint64_t>(packet->Size());

  if (static_cast<uint64_t>(sequence) >=
      static_cast<uint64_t>(c.nextCommand) + TSingleConnection::kReceiveWindow) {
    TTrafficCounters::Add(
        counters_->datagramsRefused);  // beyond the window: the client resends it later
    return nullptr;
  }
  if (pool_.empty()) {
    c.ackQueue.Put(NewAckPacket(resends, c.connectionId, c.playerId, sequence));
  } else {
    std::unique_ptr<TPacket> ack = std::move(pool_.back());
    pool_.pop_back();
    FillAckPacket(*ack, resends, c.connectionId, c.playerId, sequence);
    c.ackQueue.Put(std::move(ack));
  }
  MarkReady(c.playerId);

  int slot = -1;
  if (sequence >= c.nextCommand) {
    slot = static_cast<int>((c.receiveIndex + (sequence - c.nextCommand)) %
                            TSingleConnection::kReceiveWindow);
    if (c.receiveWindow[slot]) return nullptr;  // a resend of one we hold already
  }
  if (c.state == CS_CLOSING || c.state == CS_CLOSING_PRECONNECTED ||
      c.state == CS_CLOSING_HANDED_OUT)
    return "recv command while closing.";
  if (slot < 0) return nullptr;  // delivered before; the acknowledgement was lost

  c.receiveWindow[slot] = std::move(packet);
  // Deliver everything now in order. A full incoming queue loses that one message but must
  // not strand the ones behind it in the window.
  bool queueFull = false;
  while (c.receiveWindow[c.receiveIndex]) {
    std::unique_ptr<TPacket> next = std::move(c.receiveWindow[c.receiveIndex]);
    c.nextCommand += 1;
    c.receiveIndex = (c.receiveIndex + 1) % TSingleConnection::kReceiveWindow;
    try {
      Deliver(c, std::move(next), false);
    } catch (const EFIFOList&) {
      queueFull = true;
    }
  }
  if (queueFull)
    ThrowFIFOFull(incomingQueue_.Capacity(), incomingQueue_.GrowStep(), incomingQueue_.MaxItems());
  return nullptr;
}

const char* TCustomPacketBuffer::ReceiveClientVoice(TSingleConnection& c,
                                                    std::unique_ptr<TPacket>& packet) {
  if (c.state == CS_PRECONNECTED) return "Recv voice data during login";
  uint16_t counter = packet->VoiceCounter();
  if (counter >= c.nextVoice || (c.nextVoice > 64535 && counter < 16)) {
    int32_t gap = static_cast<int32_t>(counter) - static_cast<int32_t>(c.nextVoice);
    if (gap > 0 && gap < 10000) c.packetsLost += static_cast<uint64_t>(gap);
    c.nextVoice = static_cast<uint16_t>(counter + 1);
  }
  // The receive path set lastReceive to now; the time in the socket buffer counts as well.
  packet->SetQueuedMs(c.lastReceive.StartMs() - std::max(0.0, packet->SocketWaitMs()));
  if (voiceOut_) {
    // The receive thread relays it itself (see OfferDatagrams).
    c.packetsReceived += 1;
    c.bytesReceived += static_cast<uint64_t>(packet->Size());
    packet->SetPosition(0);
    voiceOut_->push_back(std::move(packet));
    return nullptr;
  }
  Deliver(c, std::move(packet), true);
  return nullptr;
}

void TCustomPacketBuffer::ReceiveConnectionPacket(TSingleConnection& c,
                                                  std::unique_ptr<TPacket>& packet) {
  uint32_t sequence = packet->SequenceNumber();
  if (sequence >= c.nextConnection) {
    c.packetsLost += sequence - c.nextConnection;
    c.nextConnection = sequence + 1;
  }
  if (c.state != CS_CONNECTED || packet->CommandNumber() != kConnKeepAlivePing) return;
  c.lastPing.Start();
  auto reply = NewConnectionPacket(kConnKeepAliveReply, 0, c.playerId);
  reply->WriteU32(sequence);
  c.connectionQueue.Put(std::move(reply));
  MarkReady(c.playerId);
}

void TCustomPacketBuffer::Deliver(TSingleConnection& c, std::unique_ptr<TPacket> packet,
                                  bool count) {
  // Commands were counted on arrival; counting them here again would double the figures.
  if (count) {
    c.packetsReceived += 1;
    c.bytesReceived += static_cast<uint64_t>(packet->Size());
  }
  if (packet->IsCommandPacket()) packet = c.Reassemble(std::move(packet));
  if (packet) {
    packet->SetPosition(0);
    incomingQueue_.Put(std::move(packet));
  }
  incoming_.Set();
}

// ---- send path ----

void TCustomPacketBuffer::SendPacket(std::unique_ptr<TPacket> packet, bool closeAfter) {
  if (!packet) return;
  TPerformanceTime now(clock_);
  TLockGuard lock(mutex_);
  SendLocked(std::move(packet), closeAfter, now);
}

void TCustomPacketBuffer::SendPackets(std::vector<std::unique_ptr<TPacket>>& packets,
                                      std::vector<std::unique_ptr<TPacket>>* spares,
                                      size_t wanted) {
  TPerformanceTime now(clock_);
  TLockGuard lock(mutex_);
  for (std::unique_ptr<TPacket>& packet : packets) {
    if (!packet) continue;
    try {
      SendLocked(std::move(packet), false, now);
    } catch (const std::exception&) {
      // A refusal costs this copy only; the others of the batch still go.
    }
  }
  packets.clear();
  HandOutSpares(spares, wanted);
}

void TCustomPacketBuffer::HandOutSpares(std::vector<std::unique_ptr<TPacket>>* spares,
                                        size_t wanted) {
  while (spares && wanted-- > 0 && !pool_.empty()) {
    spares->push_back(std::move(pool_.back()));
    pool_.pop_back();
  }
}

void TCustomPacketBuffer::RecycleOne(std::unique_ptr<TPacket>& packet) {
  if (!packet || pool_.size() >= kPoolLimit || packet->Capacity() > kPooledCapacity) return;
  packet->Recycle();
  pool_.push_back(std::move(packet));
}

void TCustomPacketBuffer::QueueVoiceEvents(std::vector<std::unique_ptr<TPacket>>& voice) {
  {
    TLockGuard lock(mutex_);
    for (std::unique_ptr<TPacket>& packet : voice) {
      if (!packet) continue;
      try {
        incomingQueue_.Put(std::move(packet));
      } catch (const std::exception&) {
        TTrafficCounters::Add(counters_->datagramsRefused);  // full: dropped like any datagram
      }
    }
  }
  voice.clear();
  incoming_.Set();
}

void TCustomPacketBuffer::RecyclePackets(std::vector<std::unique_ptr<TPacket>>& packets) {
  TLockGuard lock(mutex_);
  Recycle(packets);
}

void TCustomPacketBuffer::Recycle(std::vector<std::unique_ptr<TPacket>>& packets) {
  for (std::unique_ptr<TPacket>& packet : packets) RecycleOne(packet);
  packets.clear();
}

void TCustomPacketBuffer::SendLocked(std::unique_ptr<TPacket> packet, bool closeAfter,
                                     const TPerformanceTime& now) {
  TSingleConnection* c = FindConnection(packet->PacketPlayerId());
  if (!c) return;
  bool voice = packet->IsClientVoicePacket() || packet->IsServerVoicePacket();
  // Refusals: the packet is dropped and the caller is not told.
  if (voice && c->state != CS_CONNECTED) return;
  if (c->state >= CS_CLOSING) return;

  if (packet->IsCommandPacket()) {
    packet->SetByteAt(18, 0);
    packet->SetByteAt(19, 0);
    int32_t size = packet->Size();
    if (size <= TSingleConnection::kLongestCommand) {
      c->commandQueue.Put(std::move(packet));
      MarkReady(c->playerId);
    } else {
      constexpr int32_t piece = TSingleConnection::kFragmentPayload;
      int32_t payload = size - kCommandHeaderSize;
      int32_t n = (payload + piece - 1) / piece;
      // All fragments or none: a partly queued message would corrupt the client's reassembly.
      TFIFOList& q = c->commandQueue;
      if (q.Count() + n > q.MaxItems()) ThrowFIFOFull(q.Capacity(), q.GrowStep(), q.MaxItems());
      const uint8_t* bytes = packet->Memory();
      for (int32_t k = 1; k <= n; ++k) {
        int32_t offset = kCommandHeaderSize + (k - 1) * piece;
        int32_t length = std::min(piece, size - offset);
        auto fragment = std::make_unique<TPacket>();
        fragment->SetSize(kCommandHeaderSize + length);
        std::copy(bytes, bytes + kCommandHeaderSize, fragment->Memory());
        std::copy(bytes + offset, bytes + offset + length, fragment->Memory() + kCommandHeaderSize);
        // Only "more follow" versus "last" matters to the receiver; very long messages
        // saturate the count instead of wrapping it to a false "last".
        fragment->SetByteAt(18, static_cast<uint8_t>(std::min(n - k, 255)));
        q.Put(std::move(fragment));
        MarkReady(c->playerId);
      }
    }
  } else if (packet->IsServerVoicePacket()) {
    int64_t limit = c->bandwidth.Limit();
    if (c->voiceQueue.Count() >= TSingleConnection::kVoiceQueueRoom)
      return TTrafficCounters::Add(counters_->voiceDroppedQueueFull);
    if (c->thinning &&
        (packet->SpeakerId() != c->keptSpeaker || c->voiceQueue.QueuedBytes() > 2 * limit))
      return TTrafficCounters::Add(counters_->voiceDroppedThinned);
    if (!packet->HasQueuedMs()) packet->SetQueuedMs(now.StartMs());
    c->voiceQueue.Put(std::move(packet));
    MarkReady(c->playerId);
  } else if (packet->IsConnectionPacket()) {
    c->connectionQueue.Put(std::move(packet));
    MarkReady(c->playerId);
  } else {
    throw ECustomPacketBuffer("Invalid packet on buffer");
  }
  if (closeAfter) c->StartClosing();
}

// ---- voice relayed from the relaying thread ----

namespace {

void PutWord(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

void PutLong(uint8_t* at, uint32_t v) {
  PutWord(at, static_cast<uint16_t>(v));
  PutWord(at + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace

void TCustomPacketBuffer::NoteHandedOut(TSingleConnection& c, const TPacket& p) {
  if (p.IsServerVoicePacket()) c.voicePick = pickNumber_;
}

bool TCustomPacketBuffer::MayGoDirect(TSingleConnection& c, const TPerformanceTime& now) {
  // Voice of this connection in the send thread's hand (picked, not yet sent) would be
  // overtaken: the copy queues behind it instead, as it does behind queued voice.
  if (c.voicePick == pickNumber_) return false;
  if (c.directAddresses.peerIn6Length == 0 || c.peerPort == 0) return false;
  return !c.VoiceMustWait(now);
}

std::unique_ptr<TPacket> TCustomPacketBuffer::TakePooled() {
  if (pool_.empty()) return std::make_unique<TPacket>();
  std::unique_ptr<TPacket> p = std::move(pool_.back());
  pool_.pop_back();
  return p;
}

size_t TCustomPacketBuffer::RelayVoiceCopies(const TVoiceFanout& fanout,
                                             std::span<const TVoiceListener> listeners,
                                             std::vector<TDirectVoice>* direct) {
  const int32_t size = kServerVoiceHeaderSize + static_cast<int32_t>(fanout.data.size());
  size_t sent = 0;
  TPerformanceTime now(clock_);
  {
    TLockGuard lock(mutex_);
    const double stamp = fanout.arrivedMs >= 0 ? fanout.arrivedMs : now.StartMs();
    for (const TVoiceListener& to : listeners) {
      TSingleConnection* c = FindConnection(to.playerId);
      if (!c || c->state != CS_CONNECTED) continue;  // as SendPacket: dropped without a word
      if (direct && MayGoDirect(*c, now)) {
        if (c->IsLateAt(stamp, now)) {
          TTrafficCounters::Add(counters_->voiceDroppedLate);
          continue;
        }
        TDirectVoice& d = direct->emplace_back();
        uint8_t* h = d.header.data();
        PutWord(h, kClassServerVoice);
        h[2] = to.selector;
        h[3] = fanout.dataByte;
        PutLong(h + 4, c->connectionId);
        PutLong(h + 8, c->playerId);
        PutWord(h + 12, ++c->voiceCounter);
        PutWord(h + 14, fanout.dataWord);
        PutLong(h + 16, fanout.speakerId);
        PutWord(h + 20, fanout.speakerCounter);
        d.data = fanout.data;
        d.addresses = c->directAddresses;
        c->ChargeDirectVoice(size, now);
        ++sent;
        continue;
      }
      // It waits its turn: a packet of its own, queued as any other copy.
      std::unique_ptr<TPacket> p = TakePooled();
      FillServerVoicePacket(*p, to.selector, fanout.dataByte, c->connectionId, c->playerId,
                            fanout.speakerCounter, fanout.dataWord, fanout.speakerId,
                            fanout.speakerCounter);
      p->Write(fanout.data.data(), static_cast<int32_t>(fanout.data.size()));
      p->SetQueuedMs(stamp);
      try {
        SendLocked(std::move(p), false, now);
      } catch (const std::exception&) {
        // A refusal costs this copy only.
      }
    }
    if (sent > 0) {
      TTrafficCounters::Add(counters_->datagramsOut, sent);
      TTrafficCounters::Add(counters_->bytesOut, sent * static_cast<uint64_t>(size));
      TTrafficCounters::Add(counters_->voiceBytesOut, sent * static_cast<uint64_t>(size));
    }
  }
  if (sent > 0) outBandwidth_.AddBytes(static_cast<int64_t>(sent) * size, now);
  return sent;
}

// ---- listener events ----

void TCustomPacketBuffer::GetNextEvent(uint32_t& playerId, uint8_t& kind,
                                       std::unique_ptr<TPacket>& packet) {
  for (;;) {
    int32_t waitMs = kPassMs;
    if (PollEvent(playerId, kind, packet, waitMs)) return;
    // No connection: nothing times out, so the wait is the long idle one.
    incoming_.Wait(waitMs < 0 ? -1 : waitMs + kWaitSlackMs);
  }
}

bool TCustomPacketBuffer::PollEvent(uint32_t& playerId, uint8_t& kind,
                                    std::unique_ptr<TPacket>& packet, int32_t& waitMs) {
  TPerformanceTime now(clock_);
  TLockGuard lock(mutex_);
  incoming_.Reset();
  return PickEventLocked(now, playerId, kind, packet, waitMs);
}

int TCustomPacketBuffer::ConnectionEvent(TSingleConnection& c, const TPerformanceTime& now) {
  bool timeouts = (c.flags & kConnTimeouts) != 0;
  if (timeouts &&
      (c.state == CS_CLOSING || c.state == CS_CLOSING_PRECONNECTED ||
       c.state == CS_CLOSING_HANDED_OUT) &&
      c.closingStart.ElapsedMsAt(kTimerLimitMs, now) >= TSingleConnection::kClosingLingerMs)
    c.state = CS_CLOSED;
  if (c.state == CS_CLOSED) return EV_CLOSED;
  if (timeouts && c.state != CS_CLOSING_HANDED_OUT &&
      c.lastReceive.ElapsedMsAt(kTimerLimitMs, now) >= c.InactivityTimeoutMs())
    return EV_TIMEOUT;
  if (c.commandQueue.Count() > kCommandBacklogLimit) return EV_TIMEOUT;
  return -1;
}

bool TCustomPacketBuffer::PickEventLocked(const TPerformanceTime& now, uint32_t& playerId,
                                          uint8_t& kind, std::unique_ptr<TPacket>& packet,
                                          int32_t& waitMs) {
  playerId = 0;
  packet.reset();
  if (stopRequested_.load()) {
    kind = EV_STOP;
    return true;
  }
  if (requestPending_) {
    requestPending_ = false;
    kind = EV_REQUEST;
    return true;
  }
  auto takeIncoming = [&]() REQUIRES(mutex_) {
    packet = incomingQueue_.Take();
    if (!packet) return false;
    playerId = packet->PacketPlayerId();
    kind = EV_PACKET;
    ++packetEventsOut_;
    return true;
  };

  if (eventPassComplete_) {
    int64_t elapsed = eventPassTimer_.ElapsedMsAt(kPassTimerLimitMs, now);
    if (elapsed < kPassMs + 1) {
      if (takeIncoming()) return true;
      waitMs = connections_.empty() ? kIdleWaitMs
                                    : static_cast<int32_t>(std::max<int64_t>(0, kPassMs - elapsed));
      return false;
    }
    eventPassComplete_ = false;
    eventCursor_ = 0;
    eventPassTimer_.Assign(now);
  }
  while (eventCursor_ < connections_.size()) {
    TSingleConnection& c = *connections_[eventCursor_++];
    int event = ConnectionEvent(c, now);
    if (event >= 0) {
      playerId = c.playerId;
      kind = static_cast<uint8_t>(event);
      return true;
    }
  }
  eventPassComplete_ = true;
  eventPasses_.fetch_add(1);
  PublishLinkQuality(now);
  if (takeIncoming()) return true;
  int64_t elapsed = eventPassTimer_.ElapsedMsAt(kPassTimerLimitMs, now);
  waitMs = connections_.empty() ? kIdleWaitMs
                                : static_cast<int32_t>(std::max<int64_t>(0, kPassMs - elapsed));
  return false;
}

void TCustomPacketBuffer::WakeListener() {
  TLockGuard lock(mutex_);
  requestPending_ = true;
  incoming_.Set();
}

// ---- scheduler ----

std::unique_ptr<TPacket> TCustomPacketBuffer::SendPassStep(const TPerformanceTime& now) {
  while (sendCursor_ < connections_.size()) {
    TSingleConnection& c = *connections_[sendCursor_++];
    if (c.state == CS_CLOSED) continue;
    // Nothing queued, in flight or being thinned: nothing to send or resend. Most connections
    // of a large server are like that at any one pass, so the pass costs little per connection.
    if (c.inFlightCount == 0 && !c.thinning && c.ackQueue.Empty() && c.commandQueue.Empty() &&
        c.voiceQueue.Empty() && c.connectionQueue.Empty())
      continue;
    if (std::unique_ptr<TPacket> p = c.NextPacket(now)) {
      ready_.Put(c.playerId);
      NoteHandedOut(c, *p);
      return p;
    }
  }
  sendPassComplete_ = true;
  return nullptr;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::ReadyService(const TPerformanceTime& now) {
  uint32_t playerId = 0;
  while (ready_.Take(playerId)) {
    TSingleConnection* c = FindConnection(playerId);
    if (!c || c->state == CS_CLOSED) continue;
    if (std::unique_ptr<TPacket> p = c->NextPacket(now)) {
      ready_.Put(playerId);
      NoteHandedOut(*c, *p);
      return p;
    }
  }
  return nullptr;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::PickOutgoingLocked(const TPerformanceTime& now,
                                                                 int32_t& waitMs) {
  auto newPass = [&]() REQUIRES(mutex_) {
    sendPassComplete_ = false;
    sendCursor_ = 0;
    sendPassTimer_.Assign(now);
    waitMs = kPassMs;
  };
  if (sendPassComplete_) {
    int64_t elapsed = sendPassTimer_.ElapsedMsAt(kPassTimerLimitMs, now);
    if (elapsed <= kPassMs) {
      waitMs = static_cast<int32_t>(kPassMs - elapsed);
      return ReadyService(now);
    }
    newPass();
    return SendPassStep(now);
  }
  if (std::unique_ptr<TPacket> p = SendPassStep(now)) return p;
  int64_t elapsed = sendPassTimer_.ElapsedMsAt(kPassTimerLimitMs, now);
  waitMs = static_cast<int32_t>(std::max<int64_t>(0, kPassMs - elapsed));
  if (waitMs == 0) {
    newPass();
    if (std::unique_ptr<TPacket> p = SendPassStep(now)) return p;
  }
  return ReadyService(now);
}

namespace {
// The wait before the next pick: the pick's own (negative = until woken) within the caller's
// limit (negative = none).
int32_t BoundWait(int32_t pickWait, int32_t timeoutMs) {
  if (timeoutMs < 0) return pickWait;
  return pickWait < 0 ? timeoutMs : std::min(timeoutMs, pickWait);
}
}  // namespace

std::unique_ptr<TPacket> TCustomPacketBuffer::PickAndCount(const TPerformanceTime& now,
                                                           int32_t& waitMs) {
  std::unique_ptr<TPacket> p;
  {
    TLockGuard lock(mutex_);
    outgoing_.Reset();
    ++pickNumber_;  // what the previous pick handed out has been sent
    p = PickOutgoingLocked(now, waitMs);
    if (!p) {
      // No connection: nothing to resend, so sleep until something is queued.
      if (connections_.empty()) waitMs = kIdleWaitMs;
      return p;
    }
    CountOutgoing(*p);
  }
  outBandwidth_.AddBytes(p->Size(), now);
  return p;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::NextOutgoingPacket(int32_t timeoutMs) {
  TPerformanceTime now(clock_);
  if (stopRequested_.load()) return nullptr;
  int32_t waitMs = kPassMs;
  std::unique_ptr<TPacket> p = PickAndCount(now, waitMs);
  waitMs = BoundWait(waitMs, timeoutMs);
  while (!p && !stopRequested_.load() && timeoutMs != 0) {
    const bool idle = waitMs == kIdleWaitMs;
    outgoing_.Wait(waitMs < 0 ? -1 : waitMs + kWaitSlackMs);
    now.Start();
    if (stopRequested_.load()) break;
    int32_t nextWait = kPassMs;
    p = PickAndCount(now, nextWait);
    // The idle wait goes back to the caller even empty-handed: its owner may have woken it
    // to leave (a sender destroyed without a stop), and a wake-up lost to a race costs
    // one idle wait at most.
    if (idle) break;
    if (timeoutMs >= 0) timeoutMs = std::max(0, timeoutMs - waitMs);
    waitMs = BoundWait(nextWait, timeoutMs);
  }
  return p;
}

size_t TCustomPacketBuffer::PickBatchAndCount(const TPerformanceTime& now, int32_t& waitMs,
                                              std::vector<std::unique_ptr<TPacket>>& batch,
                                              size_t max) {
  int64_t bytes = 0;
  size_t picked = 0;
  {
    TLockGuard lock(mutex_);
    Recycle(batch);
    outgoing_.Reset();
    ++pickNumber_;  // the batch that comes back has been sent
    while (picked < max) {
      std::unique_ptr<TPacket> p = PickOutgoingLocked(now, waitMs);
      if (!p) break;
      CountOutgoing(*p);
      bytes += p->Size();
      batch.push_back(std::move(p));
      ++picked;
    }
    if (picked == 0 && connections_.empty()) waitMs = kIdleWaitMs;
  }
  if (bytes > 0) outBandwidth_.AddBytes(bytes, now);
  return picked;
}

size_t TCustomPacketBuffer::NextOutgoingPackets(std::vector<std::unique_ptr<TPacket>>& batch,
                                                size_t max, int32_t timeoutMs) {
  TPerformanceTime now(clock_);
  if (stopRequested_.load() || max == 0) return 0;
  int32_t waitMs = kPassMs;
  size_t n = PickBatchAndCount(now, waitMs, batch, max);
  waitMs = BoundWait(waitMs, timeoutMs);
  while (n == 0 && !stopRequested_.load() && timeoutMs != 0) {
    const bool idle = waitMs == kIdleWaitMs;
    outgoing_.Wait(waitMs < 0 ? -1 : waitMs + kWaitSlackMs);
    now.Start();
    if (stopRequested_.load()) break;
    int32_t nextWait = kPassMs;
    n = PickBatchAndCount(now, nextWait, batch, max);
    // The idle wait goes back to the caller even empty-handed: its owner may have woken it
    // to leave (a sender destroyed without a stop), and a wake-up lost to a race costs
    // one idle wait at most.
    if (idle) break;
    if (timeoutMs >= 0) timeoutMs = std::max(0, timeoutMs - waitMs);
    waitMs = BoundWait(nextWait, timeoutMs);
  }
  return n;
}

std::unique_ptr<TPacket> TCustomPacketBuffer::DrainOutgoingPacket() {
  TPerformanceTime now(clock_);
  int32_t waitMs = 0;
  return PickAndCount(now, waitMs);
}

// ---- settings, statistics, stop ----

void TCustomPacketBuffer::SetClientBandwidth(uint32_t playerId, int32_t value) {
  if (value < 0) return;
  TLockGuard lock(mutex_);
  TSingleConnection* c = FindConnection(playerId);
  if (!c) return;
  c->bandwidth.SetLimit(static_cast<int64_t>(value) * 128);
  c->thinning = false;
}

TConnectionStats TCustomPacketBuffer::GetConnectionStats(uint32_t playerId) {
  TConnectionStats s;
  TLockGuard lock(mutex_);
  TSingleConnection* c = FindConnection(playerId);
  if (!c) return s;
  s.connectionId = c->connectionId;
  s.packetsSent = c->packetsSent;
  s.bytesSent = static_cast<uint32_t>(c->bytesSent);
  s.packetsReceived = c->packetsReceived;
  s.bytesReceived = static_cast<uint32_t>(c->bytesReceived);
  s.peerAddress = c->peerAddress;
  s.peerPort = c->peerPort;
  if (c->packetsReceived > 0) {
    double lost = static_cast<double>(c->packetsLost);
    double loss = std::round(lost * 10000 / (lost + c->packetsReceived));
    s.packetLoss = static_cast<uint16_t>(std::min(loss, 10000.0));
  }
  s.ping = static_cast<uint16_t>(std::clamp<int64_t>(c->averageRtt, 0, 65535));
  return s;
}

TServerStats TCustomPacketBuffer::GetServerStats() {
  TServerStats s;
  {
    TLockGuard lock(mutex_);
    const TTrafficCounters& k = *counters_;
    s.packetsSent = static_cast<uint32_t>(TTrafficCounters::Read(k.datagramsOut));
    s.packetsReceived = static_cast<uint32_t>(TTrafficCounters::Read(k.datagramsIn));
    s.bytesSent = TTrafficCounters::Read(k.bytesOut);
    s.bytesReceived = TTrafficCounters::Read(k.bytesIn);
    s.datagramsRefused = TTrafficCounters::Read(k.datagramsRefused);
    s.loginsRateLimited = TTrafficCounters::Read(k.loginsRateLimited);
  }
  inBandwidth_.Rates(s.inLastSecond, s.inLastMinute);
  outBandwidth_.Rates(s.outLastSecond, s.outLastMinute);
  return s;
}

void TCustomPacketBuffer::PublishLinkQuality(const TPerformanceTime& now) {
  if (qualityTimer_.ElapsedMsAt(kPassTimerLimitMs, now) < 1000) return;
  qualityTimer_.Assign(now);
  double lossSum = 0, rttSum = 0;
  size_t lossCount = 0, rttCount = 0;
  for (const auto& c : connections_) {
    if (c->state != CS_CONNECTED) continue;
    rttSum += static_cast<double>(c->averageRtt);
    ++rttCount;
    if (c->packetsReceived == 0) continue;
    const double lost = static_cast<double>(c->packetsLost);
    lossSum += std::min(lost * 10000 / (lost + c->packetsReceived), 10000.0);
    ++lossCount;
  }
  counters_->averageLoss.store(
      lossCount ? static_cast<uint32_t>(std::lround(lossSum / lossCount)) : 0,
      std::memory_order_relaxed);
  counters_->averageRoundTripMs.store(
      rttCount ? static_cast<uint32_t>(std::lround(std::max(0.0, rttSum / rttCount))) : 0,
      std::memory_order_relaxed);
}

void TCustomPacketBuffer::Stop() {
  stopRequested_.store(true);
  incoming_.Set();
  outgoing_.Set();
  // Both threads may have reported before (or a previous Stop took the signal): no wait then.
  if (stoppedThreads_.load() == 3) return;
  stopped_.Wait(2000);
}

void TCustomPacketBuffer::MarkThreadStopped(int bit) {
  if (bit < 0 || bit > 1) return;
  int all = stoppedThreads_.fetch_or(1 << bit) | (1 << bit);
  if (all == 3) stopped_.Set();
}

}  // namespace vh
