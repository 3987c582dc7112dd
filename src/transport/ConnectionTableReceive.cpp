// The connection table's receive path: datagrams from the socket receive thread are
// checked against their connection, acknowledged and queued for the listener.
#include <algorithm>

#include "transport/ConnectionTable.h"

namespace vh {

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

}  // namespace vh
