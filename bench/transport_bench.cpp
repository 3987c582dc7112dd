// Transport hot paths: CRC-32, relaying a server voice packet through the connection table to
// the send scheduler, and receiving a command (validate, acknowledge, deliver).
#include <benchmark/benchmark.h>

#include <vector>

#include "BenchLogin.h"
#include "transport/ConnectionTable.h"

namespace vh {
namespace {

using bench::LogIn;

void BM_Crc32(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(Crc32(data.data(), data.size()));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(24)->Arg(560)->Arg(8192);

std::unique_ptr<TPacket> VoiceFor(uint32_t listener) {
  auto p = NewServerVoicePacket(0, 5, 0, listener, 0, 0, 9999, 17);
  static const uint8_t frame[60] = {};
  p->Write(frame, sizeof frame);
  return p;
}

// One speaker's voice relayed to range(0) listeners: SendPacket per listener, then every
// packet picked by the scheduler. Items are relayed packets.
void BM_RelayHotPath(benchmark::State& state) {
  const uint32_t listeners = static_cast<uint32_t>(state.range(0));
  TCustomPacketBuffer table;
  LogIn(table, listeners);
  for (auto _ : state) {
    for (uint32_t id = 1; id <= listeners; ++id) table.SendPacket(VoiceFor(id), false);
    for (uint32_t i = 0; i < listeners; ++i) {
      auto p = table.NextOutgoingPacket(0);
      if (!p) {
        state.SkipWithError("the voice was not queued");
        return;
      }
      benchmark::DoNotOptimize(p.get());
    }
  }
  state.SetItemsProcessed(state.iterations() * listeners);
}
BENCHMARK(BM_RelayHotPath)->Arg(1)->Arg(32);

// A client command arriving as datagram bytes: copied into a packet (as the receive thread
// does), validated, acknowledged, delivered to the listener, and its acknowledgement picked.
void BM_CommandReceivePath(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, 1);
  auto wire = NewCommandPacket(430, 100, 1, 0);
  wire->WriteCString("a chat line of ordinary length for the benchmark");
  uint32_t seq = 1;
  uint32_t player = 0;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> event;
  int32_t wait = 0;
  for (auto _ : state) {
    wire->SetLongAt(12, seq++);
    wire->SetCRC();
    auto p = std::make_unique<TPacket>();
    p->SetAddress("127.0.0.1", 4000, "127.0.0.1");
    p->Write(wire->Memory(), wire->Size());
    table.ReceiveDatagram(std::move(p));
    if (!table.PollEvent(player, kind, event, wait)) state.SkipWithError("nothing delivered");
    auto ack = table.NextOutgoingPacket(0);
    benchmark::DoNotOptimize(ack.get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CommandReceivePath);

}  // namespace
}  // namespace vh

BENCHMARK_MAIN();
