// The connection table's voice relay: copies of one voice packet numbered and charged under
// the table lock for the relaying thread, which writes those that need not wait itself.
#include <cassert>

#include "transport/ConnectionTable.h"

namespace vh {

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
                                             std::vector<TDirectVoice>* direct, uint64_t batch,
                                             size_t* relayed) {
  const int32_t size = kServerVoiceHeaderSize + static_cast<int32_t>(fanout.data.size());
  size_t sent = 0;
  assert((batch == 0 || relayed) && "a caller that batches must learn where the relay stopped");
  if (relayed) *relayed = listeners.size();
  TPerformanceTime now(clock_);
  {
    TLockGuard lock(mutex_);
    const double stamp = fanout.arrivedMs >= 0 ? fanout.arrivedMs : now.StartMs();
    for (size_t i = 0; i < listeners.size(); ++i) {
      const TVoiceListener& to = listeners[i];
      TSingleConnection* c = FindConnection(to.playerId);
      if (!c || c->state != CS_CONNECTED) continue;  // as SendPacket: dropped without a word
      const bool goesDirect = direct && MayGoDirect(*c, now);
      if (!goesDirect && direct && batch != 0 && c->directBatch == batch) {
        // Queued now, this copy could leave before the caller's unsent one: send that first.
        if (relayed) *relayed = i;
        break;
      }
      if (goesDirect) {
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
        c->directBatch = batch;
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

}  // namespace vh
