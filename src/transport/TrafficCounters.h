// The traffic figures of one connection table, kept as relaxed atomics so that the receive,
// listener and send threads count without a lock of their own (most increments happen under
// the table lock anyway) and a monitoring thread reads them without taking any lock. Shared
// by pointer: the block may outlive the table that counts into it.
#pragma once

#include <atomic>
#include <cstdint>

namespace vh {

struct TTrafficCounters {
  using TCounter = std::atomic<uint64_t>;

  TCounter datagramsIn{0};
  TCounter bytesIn{0};
  TCounter datagramsOut{0};
  TCounter bytesOut{0};
  // The voice among those bytes (client voice in, server voice out); the rest is commands,
  // acknowledgements and the connection's own packets.
  TCounter voiceBytesIn{0};
  TCounter voiceBytesOut{0};
  // Received datagrams dropped before reaching the listener; the rate-limited logins among
  // them are also counted on their own.
  TCounter datagramsRefused{0};
  TCounter loginsRateLimited{0};
  // Voice for a player that was not queued or was thrown away before it was sent.
  TCounter voiceDroppedQueueFull{0};
  TCounter voiceDroppedThinned{0};  // over the player's bandwidth: other speakers dropped
  TCounter voiceDroppedLate{0};     // too old to be worth sending when its turn came
  TCounter commandResends{0};       // command packets sent again for want of an acknowledgement

  // Link quality over the connections of the last published pass: average loss in hundredths
  // of a percent and average round trip in milliseconds (0 with no connection).
  std::atomic<uint32_t> averageLoss{0};
  std::atomic<uint32_t> averageRoundTripMs{0};

  static void Add(TCounter& counter, uint64_t n = 1) {
    counter.fetch_add(n, std::memory_order_relaxed);
  }
  static uint64_t Read(const TCounter& counter) { return counter.load(std::memory_order_relaxed); }
};

}  // namespace vh
