#include "client/ClientSession.h"

#include <algorithm>
#include <cmath>

namespace vh::client {

TClientSession::TClientSession(TSessionConfig config) : config_(config) {
  rttSamples_.fill(50);
  resendTimeout_ = std::max(std::chrono::milliseconds(75), config_.minResendTimeout);
}

void TClientSession::SetIdentity(uint32_t connectionId, uint32_t playerId) {
  if (connectionId == connectionId_ && playerId == playerId_) return;
  connectionId_ = connectionId;
  playerId_ = playerId;
  // A new connection numbers its commands from 1 in both directions.
  lastCommandSeq_ = 0;
  waiting_.clear();
  inFlight_.clear();
  nextExpected_ = 1;
  for (auto& slot : window_) slot.reset();
  reassembly_.reset();
}

void TClientSession::Emit(TPacket& packet) {
  packet.SetCRC();
  stats_.datagramsOut++;
  stats_.bytesOut += static_cast<uint64_t>(packet.Size());
  outbox_.emplace_back(packet.Bytes());
}

uint32_t TClientSession::QueueLogin(const TLoginOptions& options) {
  auto p = BuildLoginRequest(options, ++lastConnectionSeq_);
  Emit(*p);
  return lastConnectionSeq_;
}

uint32_t TClientSession::QueuePing() {
  auto p = NewConnectionPacket(kConnKeepAlivePing, connectionId_, playerId_, ++lastConnectionSeq_);
  Emit(*p);
  return lastConnectionSeq_;
}

uint32_t TClientSession::QueueCommand(uint16_t number, std::string_view payload, TTime now) {
  const int32_t total = kCommandHeaderSize + static_cast<int32_t>(payload.size());
  const uint32_t first = lastCommandSeq_ + 1;
  if (total <= kMaxUnfragmented) {
    auto p = NewCommandPacket(number, connectionId_, playerId_, ++lastCommandSeq_);
    p->Write(payload.data(), static_cast<int32_t>(payload.size()));
    waiting_.push_back(std::move(p));
  } else {
    // Each fragment repeats the header and says how many more follow.
    const size_t n = (payload.size() + kFragmentPayload - 1) / kFragmentPayload;
    for (size_t k = 0; k < n; ++k) {
      auto p = NewCommandPacket(number, connectionId_, playerId_, ++lastCommandSeq_);
      p->SetByteAt(18, static_cast<uint8_t>(std::min<size_t>(n - 1 - k, 255)));
      std::string_view piece = payload.substr(k * kFragmentPayload, kFragmentPayload);
      p->Write(piece.data(), static_cast<int32_t>(piece.size()));
      waiting_.push_back(std::move(p));
    }
  }
  FillWindow(now);
  return first;
}

void TClientSession::FillWindow(TTime now) {
  while (inFlight_.size() < kWindowSize && !waiting_.empty()) {
    TOutgoing out;
    out.packet = std::move(waiting_.front());
    waiting_.pop_front();
    out.firstSend = out.lastSend = now;
    Emit(*out.packet);
    inFlight_.push_back(std::move(out));
  }
}

void TClientSession::QueueVoice(uint8_t selector, uint8_t dataByte, uint16_t counter,
                                uint16_t dataWord, std::string_view payload) {
  auto p = NewClientVoicePacket(selector, dataByte, connectionId_, playerId_, counter, dataWord);
  p->SetPosition(kClientVoiceHeaderSize);
  p->Write(payload.data(), static_cast<int32_t>(payload.size()));
  Emit(*p);
}

void TClientSession::QueueRaw(std::string_view bytes) {
  stats_.datagramsOut++;
  stats_.bytesOut += bytes.size();
  outbox_.emplace_back(bytes);
}

void TClientSession::QueueAck(uint32_t sequence, uint16_t resendCount) {
  auto ack = NewAckPacket(resendCount, connectionId_, playerId_, sequence);
  stats_.acksSent++;
  Emit(*ack);
}

void TClientSession::HandleDatagram(std::string_view bytes, TTime now) {
  stats_.datagramsIn++;
  stats_.bytesIn += bytes.size();
  auto packet = PacketFromBytes(bytes);
  if (dropIncoming_ && dropIncoming_(*packet)) return;
  // Clients never receive client voice; everything else must pass the class, length and
  // (for command and connection packets) CRC test.
  if (packet->IsClientVoicePacket() || !packet->IsValidPacket()) {
    stats_.invalid++;
    return;
  }
  if (packet->IsCommandPacket()) {
    HandleCommand(std::move(packet));
  } else if (packet->IsAckPacket()) {
    HandleAck(*packet, now);
  } else if (packet->IsConnectionPacket()) {
    HandleConnection(*packet);
  } else if (auto voice = ParseServerVoice(*packet)) {
    stats_.voiceReceived++;
    if (!config_.keepVoice) return;
    if (voice_.size() >= config_.maxQueued) {
      voice_.pop_front();
      stats_.queueOverflow++;
    }
    voice_.push_back(std::move(*voice));
  }
}

bool TClientSession::IsOwn(const TPacket& packet) const {
  return playerId_ != 0 && packet.PacketPlayerId() == playerId_ &&
         packet.PacketConnectionId() == connectionId_;
}

void TClientSession::HandleCommand(std::unique_ptr<TPacket> packet) {
  // Only commands of our own connection count. When a login reply is lost, the server keeps
  // that half-made session for a while and may send it commands at this very address and
  // port; taking them (or acknowledging them) would run our numbering ahead of the session
  // we really get, whose commands would then be discarded as duplicates.
  if (!IsOwn(*packet)) {
    stats_.foreign++;
    return;
  }
  const uint32_t s = packet->SequenceNumber();
  // Unsigned distance: sequences behind the gap wrap to huge values, so test "behind" first.
  if (s >= nextExpected_ && s - nextExpected_ >= kReceiveWindow) {
    stats_.outOfWindow++;
    return;
  }
  if (autoAck_) {
    auto ack = NewAckPacket(packet->ResendCount(), packet->PacketConnectionId(),
                            packet->PacketPlayerId(), s);
    stats_.acksSent++;
    Emit(*ack);
  }
  auto& slot = window_[s % kReceiveWindow];
  if (s < nextExpected_ || slot) {
    stats_.duplicates++;
    return;
  }
  slot = std::move(packet);
  while (auto& next = window_[nextExpected_ % kReceiveWindow]) {
    auto ready = std::move(next);
    nextExpected_++;
    Deliver(std::move(ready));
  }
}

void TClientSession::Deliver(std::unique_ptr<TPacket> packet) {
  if (!reassembly_) {
    if (packet->FragmentsRemaining() > 0) {
      reassembly_ = std::move(packet);
      return;
    }
  } else {
    // Append this fragment's payload to the first fragment, whose header the message keeps.
    reassembly_->Seek(0, 2);
    reassembly_->Write(packet->Memory() + kCommandHeaderSize, packet->Size() - kCommandHeaderSize);
    if (packet->FragmentsRemaining() > 0 && reassembly_->Size() <= kMaxReassembled) return;
    packet = std::move(reassembly_);
  }
  packet->SetPosition(0);
  stats_.delivered++;
  history_.push_back(packet->CommandNumber());
  if (commands_.size() >= config_.maxQueued) {
    commands_.pop_front();
    stats_.queueOverflow++;
  }
  commands_.push_back(std::move(packet));
}

void TClientSession::HandleAck(const TPacket& packet, TTime now) {
  if (!IsOwn(packet)) {
    stats_.foreign++;
    return;
  }
  stats_.acksReceived++;
  const uint32_t s = packet.SequenceNumber();
  auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                         [s](const TOutgoing& o) { return o.packet->SequenceNumber() == s; });
  if (it == inFlight_.end()) return;
  // Only an answer to the first transmission times the round trip unambiguously.
  if (packet.AckResendCount() == 0) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - it->firstSend).count();
    if (ms > 0 && ms <= 120000) AddRoundTrip(static_cast<uint32_t>(ms));
  }
  inFlight_.erase(it);
  FillWindow(now);
}

void TClientSession::AddRoundTrip(uint32_t ms) {
  rttSamples_[rttIndex_] = ms;
  rttIndex_ = (rttIndex_ + 1) % rttSamples_.size();
  uint64_t sum = 0;
  for (uint32_t v : rttSamples_) sum += v;
  double average = static_cast<double>(sum) / rttSamples_.size();
  rttAverage_ = static_cast<uint32_t>(std::lround(average));
  auto timeout = std::chrono::milliseconds(std::lround(average * 1.5));
  resendTimeout_ = std::max(timeout, config_.minResendTimeout);
}

void TClientSession::HandleConnection(const TPacket& packet) {
  switch (packet.CommandNumber()) {
    case kConnKeepAliveReply:
      if (packet.Size() >= kConnectionHeaderSize + 4) {
        pingReplies_.push_back(packet.LongAt(kConnectionHeaderSize));
        if (pingReplies_.size() > config_.maxQueued) pingReplies_.pop_front();
      } else {
        stats_.invalid++;
      }
      break;
    case kConnLoginReply:
      if (auto reply = ParseLoginReply(packet)) {
        loginReplies_.push_back(std::move(*reply));
      } else {
        stats_.invalid++;
      }
      break;
    default:
      stats_.invalid++;  // pings and login requests travel towards servers only
  }
}

void TClientSession::Tick(TTime now) {
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (now - it->lastSend < resendTimeout_) {
      ++it;
      continue;
    }
    if (it->resends >= config_.maxResends) {
      linkFailed_ = true;
      stats_.abandoned++;
      it = inFlight_.erase(it);
      continue;
    }
    it->resends++;
    it->packet->SetWordAt(16, static_cast<uint16_t>(std::min(it->resends, 0xFFFF)));
    it->lastSend = now;
    stats_.resends++;
    Emit(*it->packet);
    ++it;
  }
  FillWindow(now);
}

std::optional<TTime> TClientSession::NextDeadline() const {
  std::optional<TTime> next;
  for (const auto& o : inFlight_) {
    TTime due = o.lastSend + resendTimeout_;
    if (!next || due < *next) next = due;
  }
  return next;
}

std::vector<std::string> TClientSession::TakeOutbox() {
  std::vector<std::string> out;
  out.swap(outbox_);
  return out;
}

std::unique_ptr<TPacket> TClientSession::TakeCommandIf(
    const std::function<bool(const TPacket&)>& match) {
  auto it =
      std::find_if(commands_.begin(), commands_.end(), [&](const auto& p) { return match(*p); });
  if (it == commands_.end()) return nullptr;
  auto p = std::move(*it);
  commands_.erase(it);
  return p;
}

std::unique_ptr<TPacket> TClientSession::TakeCommand(uint16_t number) {
  return TakeCommandIf([number](const TPacket& p) { return p.CommandNumber() == number; });
}

std::unique_ptr<TPacket> TClientSession::TakeAnyCommand() {
  if (commands_.empty()) return nullptr;
  auto p = std::move(commands_.front());
  commands_.pop_front();
  return p;
}

std::unique_ptr<TPacket> TClientSession::TakeErrorReply() {
  return TakeCommandIf([](const TPacket& p) { return IsErrorReply(p); });
}

std::optional<TServerVoice> TClientSession::TakeVoice() {
  if (voice_.empty()) return std::nullopt;
  TServerVoice v = std::move(voice_.front());
  voice_.pop_front();
  return v;
}

std::optional<TLoginReply> TClientSession::TakeLoginReply() {
  if (loginReplies_.empty()) return std::nullopt;
  TLoginReply r = std::move(loginReplies_.front());
  loginReplies_.pop_front();
  return r;
}

bool TClientSession::TakePingReply(uint32_t sequence) {
  auto it = std::find(pingReplies_.begin(), pingReplies_.end(), sequence);
  if (it == pingReplies_.end()) return false;
  pingReplies_.erase(it);
  return true;
}

}  // namespace vh::client
