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
