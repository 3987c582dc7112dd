#include "transport/SingleConnection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>

namespace vh {

TDirectAddresses MakeDirectAddresses(const std::string& peerAddress, uint16_t peerPort,
                                     const std::string& localAddress) {
  TDirectAddresses a;
  if (!MakeSockAddr(peerAddress, peerPort, AF_INET, a.peerIn4, a.peerIn4Length))
    a.peerIn4Length = 0;
  if (!MakeSockAddr(peerAddress, peerPort, AF_INET6, a.peerIn6, a.peerIn6Length))
    a.peerIn6Length = 0;
  socklen_t length = 0;
  a.hasLocalIn4 = MakeSockAddr(localAddress, 0, AF_INET, a.localIn4, length);
  a.hasLocalIn6 = MakeSockAddr(localAddress, 0, AF_INET6, a.localIn6, length);
  return a;
}

TSingleConnection::TSingleConnection(uint8_t flags_, uint32_t playerId_, uint32_t connectionId_,
                                     std::string localAddress_, uint32_t firstConnectionPacket,
                                     uint16_t peerPort_, std::string peerAddress_,
                                     const TClock& clock)
    : playerId(playerId_),
      connectionId(connectionId_),
      lastSend(clock),
      bandwidth(clock),
      flags(flags_),
      peerAddress(std::move(peerAddress_)),
      peerPort(peerPort_),
      loginAddress(peerAddress),
      loginPort(peerPort),
      connectionSequence(firstConnectionPacket),
      nextConnection(firstConnectionPacket + 2),
      lastReceive(clock),
      lastPing(clock),
      closingStart(clock),
      thinningTimer(clock),
      localAddress(std::move(localAddress_)) {
  rtt.fill(50);
  directAddresses = MakeDirectAddresses(peerAddress, peerPort, localAddress);
  for (TInFlight& slot : inFlight) {
    slot.firstSend = TPerformanceTime(clock);
    slot.lastSend = TPerformanceTime(clock);
  }
}

double TSingleConnection::InactivityTimeoutMs() const {
  switch (state) {
    case CS_PRECONNECTED:
    case CS_CLOSING_PRECONNECTED:
      return 2000;
    case CS_CONNECTED:
    case CS_CLOSING:
      return 30000;
    default:
      return 0;
  }
}

void TSingleConnection::AddRttSample(int64_t ms) {
  rttSum += ms - rtt[rttIndex];
  rtt[rttIndex] = ms;
  rttIndex = (rttIndex + 1) % kRttSamples;
  double mean = static_cast<double>(rttSum) / kRttSamples;
  averageRtt = std::llround(mean);
  resendTimeoutMs = std::max<int64_t>(std::llround(mean * 1.5), 100);
}

bool TSingleConnection::HandleAck(const TPacket& ack, const TPerformanceTime& now) {
  packetsReceived += 1;
  bytesReceived += kAckPacketSize;
  uint32_t sequence = ack.SequenceNumber();
  uint16_t resends = ack.AckResendCount();
  int slot = -1;
  for (int i = 0; i < inFlightCount; ++i) {
    if (inFlight[i].packet->SequenceNumber() == sequence) {
      slot = i;
      break;
    }
  }
  if (slot < 0) return false;

  if (resends > 0) {
    packetsLost += resends;
  } else {
    int64_t ms = inFlight[slot].firstSend.ElapsedMsAt(kTimerLimitMs, now);
    if (ms > 0) AddRttSample(ms);
  }
  // The client has everything of the login once it acknowledges its last step, the closing
  // packet (command 8), whatever sequence number the channel and player lists left it.
  if (state == CS_PRECONNECTED && inFlight[slot].packet->IsCommandPacket() &&
      inFlight[slot].packet->CommandNumber() == kLoginClosingCommand)
    state = CS_CONNECTED;

  for (int i = slot; i + 1 < inFlightCount; ++i) {
    inFlight[i].packet = std::move(inFlight[i + 1].packet);
    inFlight[i].firstSend.Assign(inFlight[i + 1].firstSend);
    inFlight[i].lastSend.Assign(inFlight[i + 1].lastSend);
  }
  --inFlightCount;
  inFlight[inFlightCount].packet.reset();

  if (state == CS_CLOSING_HANDED_OUT && inFlightCount == 0) state = CS_CLOSED;
  return true;
}

std::unique_ptr<TPacket> TSingleConnection::Reassemble(std::unique_ptr<TPacket> packet) {
  if (!reassembly) {
    if (packet->FragmentsRemaining() == 0) return packet;
    reassembly = std::move(packet);
    return nullptr;
  }
  bool last = packet->FragmentsRemaining() == 0;
  reassembly->Seek(0, 2);
  reassembly->Write(packet->Memory() + kCommandHeaderSize, packet->Size() - kCommandHeaderSize);
  packet.reset();
  if (!last && reassembly->Size() <= kLongestReassembly) return nullptr;
  reassembly->SetPosition(0);
  return std::move(reassembly);
}

void TSingleConnection::StartClosing() {
  state = state == CS_PRECONNECTED ? CS_CLOSING_PRECONNECTED : CS_CLOSING;
  closingStart.Start();
}

std::unique_ptr<TPacket> TSingleConnection::Finish(std::unique_ptr<TPacket> packet, bool command,
                                                   const TPerformanceTime& now) {
  packet->SetCRC();
  packet->SetAddress(peerAddress, peerPort, localAddress);
  packet->SetPosition(0);
  lastSend.Assign(now);
  packetsSent += 1;
  bytesSent += static_cast<uint64_t>(packet->Size());
  if (command)
    bandwidth.AddCommandBytes(packet->Size(), now);
  else
    bandwidth.AddBytes(packet->Size(), now);
  return packet;
}

bool TSingleConnection::IsLateVoice(const TPacket& packet, const TPerformanceTime& now) const {
  return IsLateAt(packet.QueuedMs(), now);
}

bool TSingleConnection::IsLateAt(double queuedMs, const TPerformanceTime& now) const {
  if (!voiceAge) return false;
  double limit = voiceAge->limitMs.load(std::memory_order_relaxed);
  return limit > 0 && now.StartMs() - queuedMs > limit;
}

bool TSingleConnection::VoiceMustWait(const TPerformanceTime& now) {
  return thinning || !voiceQueue.Empty() || bandwidth.WaitTime(now) > 0;
}

void TSingleConnection::ChargeDirectVoice(int32_t bytes, const TPerformanceTime& now) {
  lastSend.Assign(now);
  packetsSent += 1;
  bytesSent += static_cast<uint64_t>(bytes);
  bandwidth.AddBytes(bytes, now);
}

std::unique_ptr<TPacket> TSingleConnection::NextPacket(const TPerformanceTime& now) {
  int32_t wait = bandwidth.WaitTime(now);

  // Acknowledgements ignore the budget: holding them back would only cause resends.
  if (!ackQueue.Empty()) return Finish(ackQueue.Take(), false, now);

  if (wait > 0) {
    uint32_t speaker = 0;
    if (!thinning && voiceQueue.QueuedBytes() > bandwidth.Limit() &&
        voiceQueue.HeadSpeaker(speaker)) {
      thinning = true;
      thinningTimer.Assign(now);
      keptSpeaker = speaker;
      const int32_t queued = voiceQueue.Count();
      voiceQueue.KeepOnlySpeaker(speaker);
      if (counters)
        TTrafficCounters::Add(counters->voiceDroppedThinned,
                              static_cast<uint64_t>(queued - voiceQueue.Count()));
    }
    return nullptr;
  }

  if (thinning && commandQueue.Empty() && voiceQueue.Empty() &&
      thinningTimer.ElapsedMsAt(kTimerLimitMs, now) > 1000)
    thinning = false;

  bool commandAllowed = voiceQueue.Empty() || bandwidth.CommandAllowed();

  if ((flags & kConnRetransmit) && commandAllowed) {
    for (int i = 0; i < inFlightCount; ++i) {
      TInFlight& slot = inFlight[i];
      if (slot.lastSend.ElapsedMsAt(kTimerLimitMs, now) > resendTimeoutMs) {
        slot.packet->SetWordAt(16, static_cast<uint16_t>(slot.packet->ResendCount() + 1));
        slot.lastSend.Assign(now);
        return Finish(ClonePacket(*slot.packet), true, now);
      }
    }
  }

  if (inFlightCount < kWindowSize && !commandQueue.Empty() && commandAllowed) {
    TInFlight& slot = inFlight[inFlightCount];
    std::unique_ptr<TPacket> packet = commandQueue.Take();
    packet->SetLongAt(12, ++commandSequence);
    packet->SetLongAt(4, connectionId);
    packet->SetWordAt(16, 0);
    slot.firstSend.Assign(now);
    slot.lastSend.Assign(now);
    std::unique_ptr<TPacket> copy = ClonePacket(*packet);
    slot.packet = std::move(packet);
    ++inFlightCount;
    if (state == CS_CLOSING && commandQueue.Empty()) state = CS_CLOSING_HANDED_OUT;
    return Finish(std::move(copy), true, now);
  }

  while (!voiceQueue.Empty()) {
    std::unique_ptr<TPacket> packet = voiceQueue.Take();
    if (IsLateVoice(*packet, now)) {
      if (counters) TTrafficCounters::Add(counters->voiceDroppedLate);
      continue;
    }
    if (thinning) thinningTimer.Assign(now);
    packet->SetWordAt(12, ++voiceCounter);
    packet->SetLongAt(4, connectionId);
    return Finish(std::move(packet), false, now);
  }

  if (!connectionQueue.Empty()) {
    std::unique_ptr<TPacket> packet = connectionQueue.Take();
    packet->SetLongAt(12, ++connectionSequence);
    packet->SetLongAt(4, packet->CommandNumber() == kConnLoginReply ? 0 : connectionId);
    if (state == CS_CLOSING_PRECONNECTED && commandQueue.Empty()) state = CS_CLOSED;
    return Finish(std::move(packet), false, now);
  }
  return nullptr;
}

}  // namespace vh
