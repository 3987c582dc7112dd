// One voice packet relayed to 100 listeners: the relaying thread's direct batch (headers built
// under one table-lock hold, the voice data shared by every copy) against the queue path (a
// packet per listener with its own copy of the data, queued, then picked by the send thread),
// first in memory, then through a socket (one sendmmsg against the send thread's batch).
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchLogin.h"
#include "transport/ConnectionTable.h"
#include "transport/udp/UDPSocket.h"

namespace vh {
namespace {

using bench::LogIn;

constexpr uint32_t kListeners = 100;

struct TFanoutSetup {
  TCustomPacketBuffer table;
  std::vector<uint8_t> data = std::vector<uint8_t>(static_cast<size_t>(40), 0x33);
  std::vector<TVoiceListener> listeners;
  TVoiceFanout fanout;
  std::vector<TDirectVoice> direct;
  std::vector<std::unique_ptr<TPacket>> batch;

  TFanoutSetup() {
    table.SetVoiceAgeLimitMs(0);
    LogIn(table, kListeners);
    for (uint32_t id = 1; id <= kListeners; ++id) listeners.push_back({id, 0});
    fanout.speakerId = 1;
    fanout.data = data;
    direct.reserve(kListeners);
  }
  // The send thread's side of the queue path: every copy picked, in batches of 128.
  size_t PickAll() {
    size_t n = 0;
    while (size_t got = table.NextOutgoingPackets(batch, TUDPServerSocket::kSendChunk, 0)) n += got;
    return n;
  }
};

void BM_FanoutSharedPayload(benchmark::State& state) {
  TFanoutSetup s;
  for (auto _ : state) {
    s.direct.clear();
    benchmark::DoNotOptimize(s.table.RelayVoiceCopies(s.fanout, s.listeners, &s.direct));
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_FanoutSharedPayload);

void BM_FanoutCopyPerListener(benchmark::State& state) {
  TFanoutSetup s;
  for (auto _ : state) {
    s.table.RelayVoiceCopies(s.fanout, s.listeners, nullptr);
    benchmark::DoNotOptimize(s.PickAll());
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_FanoutCopyPerListener);

// One fan-out to the 9 other players of a channel of 10, the channels taken in turn across a
// table of range(0) connections: on a large server the connections of one fan-out are not in
// the cache, so this counts the cache misses a copy costs (the index lookup and the
// connection's fields), which the 100-listener loop above hides.
void BM_FanoutAcrossLargeTable(benchmark::State& state) {
  const auto connections = static_cast<uint32_t>(state.range(0));
  TCustomPacketBuffer table;
  table.SetVoiceAgeLimitMs(0);
  LogIn(table, connections);
  std::vector<uint8_t> data(40, 0x33);
  TVoiceFanout fanout;
  fanout.data = data;
  std::vector<TVoiceListener> listeners;
  std::vector<TDirectVoice> direct;
  uint32_t channel = 0;
  for (auto _ : state) {
    const uint32_t first = channel * 10 + 1;
    channel = (channel + 1) % (connections / 10);
    fanout.speakerId = first;
    listeners.clear();
    for (uint32_t id = first + 1; id < first + 10; ++id) listeners.push_back({id, 0});
    direct.clear();
    benchmark::DoNotOptimize(table.RelayVoiceCopies(fanout, listeners, &direct));
  }
  state.SetItemsProcessed(state.iterations() * 9);
}
BENCHMARK(BM_FanoutAcrossLargeTable)->Arg(100)->Arg(1000)->Arg(4000);

// The same through a socket on a free loopback port (the listeners' ports are closed: the
// kernel takes each datagram and drops it, as it would deliver it).
struct TSocketSetup : TFanoutSetup {
  TUDPServerSocket socket{0, [](std::unique_ptr<TPacket>) {}};
  TSocketSetup() {
    socket.Bindings().push_back({"127.0.0.1", 0});
    socket.Open();
  }
};

void BM_DirectBatchSend(benchmark::State& state) {
  TSocketSetup s;
  for (auto _ : state) {
    s.direct.clear();
    s.table.RelayVoiceCopies(s.fanout, s.listeners, &s.direct);
    benchmark::DoNotOptimize(s.socket.SendVoiceCopies(s.direct));
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_DirectBatchSend);

void BM_QueuePathSend(benchmark::State& state) {
  TSocketSetup s;
  for (auto _ : state) {
    s.table.RelayVoiceCopies(s.fanout, s.listeners, nullptr);
    while (s.table.NextOutgoingPackets(s.batch, TUDPServerSocket::kSendChunk, 0) > 0)
      benchmark::DoNotOptimize(s.socket.SendBatch(s.batch));
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_QueuePathSend);

}  // namespace
}  // namespace vh

BENCHMARK_MAIN();
