// The memory the charts' history takes for 1,000 virtual servers over a whole hour, idle and
// with traffic, as the allocator counts it: bytes in use (mallinfo2) before the history is
// made and after its last sampling pass. Run: build/bin/statistics_memory_bench (the counters
// "bytes" and "bytesPerServer"; the timing is that of the hour's 720 passes).

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <map>
#include <memory>

#include "admin/StatisticsHistory.h"

namespace {

constexpr int32_t kServers = 1000;

size_t BytesInUse() {
  return mallinfo2().uordblks;
}

void BM_StatisticsHistoryMemory(benchmark::State& state) {
  const bool busy = state.range(0) != 0;
  size_t bytes = 0, counted = 0;
  for (auto _ : state) {
    std::map<int32_t, vh::TStatisticsReading> readings;
    for (int32_t id = 1; id <= kServers; ++id) readings[id] = {};
    const size_t before = BytesInUse();
    auto history = std::make_unique<vh::TStatisticsHistory>();
    history->Record(readings, 0);  // the bases
    for (size_t pass = 1; pass <= vh::TStatisticsHistory::kSamples; ++pass) {
      if (busy)
        for (auto& [id, r] : readings) {
          r.players = 8;
          r.bytesIn += 60'000 + pass % 7 * 100;
          r.voiceBytesIn += 55'000;
          r.bytesOut += 400'000 + pass % 5 * 1000;
          r.voiceBytesOut += 380'000;
          r.lossHundredths = 50 + static_cast<uint32_t>(pass % 30);
          r.pingMs = 40 + static_cast<uint32_t>(pass % 11);
        }
      history->Record(readings,
                      static_cast<int64_t>(pass) * vh::TStatisticsHistory::kIntervalSeconds);
    }
    bytes = BytesInUse() - before;
    counted = history->MemoryBytes();
    benchmark::DoNotOptimize(history.get());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytesPerServer"] = static_cast<double>(bytes) / kServers;
  state.counters["countedBytes"] = static_cast<double>(counted);
}
BENCHMARK(BM_StatisticsHistoryMemory)
    ->ArgName("busy")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
