// The cost a whisper's recipient list adds to the relay: the list of range(0) players built
// as the relay builds it (mode 0, as before each player heard a whisper once), plus the test
// for repeated players of a list of two channels (mode 1), plus keeping one entry per player
// for a channel and one of its players by name (mode 2). Compare with BM_RelayHotPath of
// transport_bench at the same count: what relaying to the kept recipients costs afterwards.
#include <benchmark/benchmark.h>

#include <vector>

#include "vserver/handlers/WhisperRecipients.h"

namespace vh {
namespace {

void BM_WhisperRecipients(benchmark::State& state) {
  const auto players = static_cast<uint32_t>(state.range(0));
  const auto mode = state.range(1);
  std::vector<TWhisperTarget> targets;
  if (mode == 2)
    targets = {{0, 1}, {1, players / 2 + 1}};
  else
    targets = {{0, 1}, {0, 2}};
  std::vector<TWhisperRecipient> list;
  list.reserve(players + 1);
  for (auto _ : state) {
    list.clear();
    for (uint32_t id = 1; id <= players; ++id) list.push_back({id, 0});
    if (mode == 2) list.push_back({players / 2 + 1, 1});
    if (mode != 0 && MayNameAPlayerTwice(targets, targets.size())) KeepFirstPerPlayer(list);
    benchmark::DoNotOptimize(list.data());
  }
  state.SetItemsProcessed(state.iterations() * players);
}
BENCHMARK(BM_WhisperRecipients)
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({32, 0})
    ->Args({32, 1})
    ->Args({32, 2});

}  // namespace
}  // namespace vh

BENCHMARK_MAIN();
