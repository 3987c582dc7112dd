// The connection table's send path and scheduler: answers queued by any thread, and the
// passes that hand the send thread what to transmit next.
#include <algorithm>

#include "transport/ConnectionTable.h"

namespace vh {

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

}  // namespace vh
