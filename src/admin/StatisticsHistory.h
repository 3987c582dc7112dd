// The last hour of each virtual server at 5-second resolution, for the web interface's charts:
// players, voice and command bytes per second in and out, average loss and round trip. Kept in
// memory by the
// host (one sampling thread, started and stopped with the administration interfaces) and read
// by the web interface's connection threads; everything is guarded by mutex_.
//
// A sample takes 8 bytes: the player count as it is, the other six figures as one byte each on
// a logarithmic scale (steps of about 4.4 %, from 0 to 4 GB/s). A server's ring of 720 samples
// (5.6 KB) is made with its first sample that is not all zero and dropped after an hour of
// zeros, so a host of idle servers keeps only their counters.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vh {

class TVirtualServerList;

// What one server showed at one sampling time.
struct TStatisticsReading {
  uint32_t players = 0;
  uint64_t bytesIn = 0;   // total since the server started
  uint64_t bytesOut = 0;  // total since the server started
  uint32_t lossHundredths = 0;
  uint32_t pingMs = 0;
  uint64_t voiceBytesIn = 0;   // the voice among bytesIn
  uint64_t voiceBytesOut = 0;  // the voice among bytesOut
};

class TStatisticsHistory {
 public:
  static constexpr int kIntervalSeconds = 5;
  static constexpr size_t kSamples = 3600 / kIntervalSeconds;

  TStatisticsHistory() = default;
  ~TStatisticsHistory();
  TStatisticsHistory(const TStatisticsHistory&) = delete;
  TStatisticsHistory& operator=(const TStatisticsHistory&) = delete;

  // Samples every running server of `servers` each kIntervalSeconds on a thread of its own.
  void Start(const TVirtualServerList& servers);
  void Stop();

  // One sampling pass: `readings` by server id, taken at `nowSeconds`. Servers missing from it
  // have stopped and are forgotten.
  void Record(const std::map<int32_t, TStatisticsReading>& readings, int64_t nowSeconds);
  // {"intervalSeconds":5,"samples":[[time,players,bytesInPerSecond,bytesOutPerSecond,
  // lossPercent,pingMs,voiceInPerSecond,voiceOutPerSecond,commandInPerSecond,
  // commandOutPerSecond],...]}, oldest first, times in seconds since the epoch; the bytes per
  // second in and out are the sums of voice and commands.
  std::string Json(int32_t serverId) const;
  // Bytes held for all servers (the figure the README gives for 1,000 servers).
  size_t MemoryBytes() const;

  static uint8_t Encode(uint64_t value);
  static uint64_t Decode(uint8_t code);

 private:
  struct TSample {
    uint16_t players;
    uint8_t voiceIn, voiceOut, commandIn, commandOut, loss, ping;
  };
  struct TServer {
    uint64_t lastIn = 0, lastOut = 0, lastVoiceIn = 0, lastVoiceOut = 0;
    int64_t lastTime = 0;  // of the newest sample
    size_t head = 0;       // where the next sample goes
    size_t count = 0;
    size_t zeroRun = 0;  // samples in a row that were all zero
    std::unique_ptr<std::array<TSample, kSamples>> ring;
  };
  void Run(const TVirtualServerList& servers);

  mutable TMutex mutex_;
  std::map<int32_t, TServer> servers_ GUARDED_BY(mutex_);

  std::mutex wakeMutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by wakeMutex_
  std::thread thread_;
};

}  // namespace vh
