#include "admin/StatisticsHistory.h"

#include <cmath>

#include "transport/TrafficCounters.h"
#include "vserver/ServerCounters.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

TStatisticsHistory::~TStatisticsHistory() {
  Stop();
}

uint8_t TStatisticsHistory::Encode(uint64_t value) {
  const double code = std::round(std::log2(1.0 + static_cast<double>(value)) * 8.0);
  return static_cast<uint8_t>(std::min(code, 255.0));
}

uint64_t TStatisticsHistory::Decode(uint8_t code) {
  return static_cast<uint64_t>(std::llround(std::exp2(code / 8.0) - 1.0));
}

void TStatisticsHistory::Record(const std::map<int32_t, TStatisticsReading>& readings,
                                int64_t nowSeconds) {
  TLockGuard lock(mutex_);
  for (auto it = servers_.begin(); it != servers_.end();)
    it = readings.count(it->first) ? std::next(it) : servers_.erase(it);
  for (const auto& [id, r] : readings) {
    auto [it, fresh] = servers_.try_emplace(id);
    TServer& s = it->second;
    if (fresh || r.bytesIn < s.lastIn || r.bytesOut < s.lastOut || r.voiceBytesIn < s.lastVoiceIn ||
        r.voiceBytesOut < s.lastVoiceOut) {
      // The first reading (or one after a restart of the counters) only sets the base.
      s.lastIn = r.bytesIn;
      s.lastOut = r.bytesOut;
      s.lastVoiceIn = r.voiceBytesIn;
      s.lastVoiceOut = r.voiceBytesOut;
      s.lastTime = nowSeconds;
      continue;
    }
    const auto seconds = static_cast<uint64_t>(std::max<int64_t>(1, nowSeconds - s.lastTime));
    // The counters are read one after the other while they grow: voice can be a little ahead
    // of the total it is part of, and the command share never goes below zero.
    const uint64_t voiceIn = r.voiceBytesIn - s.lastVoiceIn;
    const uint64_t voiceOut = r.voiceBytesOut - s.lastVoiceOut;
    const uint64_t in = r.bytesIn - s.lastIn, out = r.bytesOut - s.lastOut;
    const TSample sample{static_cast<uint16_t>(std::min<uint32_t>(r.players, 0xFFFF)),
                         Encode(voiceIn / seconds),
                         Encode(voiceOut / seconds),
                         Encode((in > voiceIn ? in - voiceIn : 0) / seconds),
                         Encode((out > voiceOut ? out - voiceOut : 0) / seconds),
                         Encode(r.lossHundredths),
                         Encode(r.pingMs)};
    s.lastIn = r.bytesIn;
    s.lastOut = r.bytesOut;
    s.lastVoiceIn = r.voiceBytesIn;
    s.lastVoiceOut = r.voiceBytesOut;
    s.lastTime = nowSeconds;
    const bool zero = sample.players == 0 && sample.voiceIn == 0 && sample.voiceOut == 0 &&
                      sample.commandIn == 0 && sample.commandOut == 0;
    s.zeroRun = zero ? s.zeroRun + 1 : 0;
    if (!s.ring) {
      if (zero) continue;
      s.ring = std::make_unique<std::array<TSample, kSamples>>();
      s.head = s.count = 0;
    } else if (s.zeroRun >= kSamples) {
      s.ring.reset();  // an hour of nothing: the chart would be flat anyway
      continue;
    }
    (*s.ring)[s.head] = sample;
    s.head = (s.head + 1) % kSamples;
    s.count = std::min(s.count + 1, kSamples);
  }
}

std::string TStatisticsHistory::Json(int32_t serverId) const {
  std::string j = "{\"intervalSeconds\":" + std::to_string(kIntervalSeconds) + ",\"samples\":[";
  TLockGuard lock(mutex_);
  auto it = servers_.find(serverId);
  if (it != servers_.end() && it->second.ring) {
    const TServer& s = it->second;
    for (size_t k = 0; k < s.count; ++k) {
      const TSample& x = (*s.ring)[(s.head + kSamples - s.count + k) % kSamples];
      const int64_t time = s.lastTime - static_cast<int64_t>(s.count - 1 - k) * kIntervalSeconds;
      char loss[32];
      std::snprintf(loss, sizeof loss, "%.2f", static_cast<double>(Decode(x.loss)) / 100.0);
      const uint64_t voiceIn = Decode(x.voiceIn), voiceOut = Decode(x.voiceOut);
      const uint64_t commandIn = Decode(x.commandIn), commandOut = Decode(x.commandOut);
      j += (k ? ",[" : "[") + std::to_string(time) + "," + std::to_string(x.players) + "," +
           std::to_string(voiceIn + commandIn) + "," + std::to_string(voiceOut + commandOut) + "," +
           loss + "," + std::to_string(Decode(x.ping)) + "," + std::to_string(voiceIn) + "," +
           std::to_string(voiceOut) + "," + std::to_string(commandIn) + "," +
           std::to_string(commandOut) + "]";
    }
  }
  return j + "]}";
}

size_t TStatisticsHistory::MemoryBytes() const {
  TLockGuard lock(mutex_);
  // A map node holds the key, the value and about four words of links and colour.
  size_t bytes = sizeof *this;
  for (const auto& [id, s] : servers_)
    bytes += sizeof id + sizeof s + 4 * sizeof(void*) +
             (s.ring ? sizeof(std::array<TSample, kSamples>) : 0);
  return bytes;
}

void TStatisticsHistory::Start(const TVirtualServerList& servers) {
  Stop();
  {
    std::lock_guard lock(wakeMutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this, &servers] { Run(servers); });
}

void TStatisticsHistory::Stop() {
  {
    std::lock_guard lock(wakeMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TStatisticsHistory::Run(const TVirtualServerList& list) {
  std::unique_lock wait(wakeMutex_);
  while (!stopping_) {
    wait.unlock();
    std::vector<std::shared_ptr<TServerObject>> servers;
    if (list.TryListVirtualServers(servers)) {
      std::map<int32_t, TStatisticsReading> readings;
      for (const auto& server : servers) {
        // The server's own counters live as long as the server object; its registry and
        // connection table go when it stops, which may happen while this pass runs.
        const std::shared_ptr<TServerCounters> counters = server->Counters();
        const TTrafficCounters& c = counters->traffic;
        TStatisticsReading r;
        r.players = counters->players.load(std::memory_order_relaxed);
        r.bytesIn = TTrafficCounters::Read(c.bytesIn);
        r.bytesOut = TTrafficCounters::Read(c.bytesOut);
        r.voiceBytesIn = TTrafficCounters::Read(c.voiceBytesIn);
        r.voiceBytesOut = TTrafficCounters::Read(c.voiceBytesOut);
        r.lossHundredths = c.averageLoss.load(std::memory_order_relaxed);
        r.pingMs = c.averageRoundTripMs.load(std::memory_order_relaxed);
        readings[server->ServerID()] = r;
      }
      Record(readings, static_cast<int64_t>(std::time(nullptr)));
    }
    wait.lock();
    wake_.wait_for(wait, std::chrono::seconds(kIntervalSeconds), [this] { return stopping_; });
  }
}

}  // namespace vh
