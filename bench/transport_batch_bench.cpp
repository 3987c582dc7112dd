// The batched transport paths: a receive batch handed to the connection table under one lock
// hold, one voice packet fanned out to 100 listeners (pooled copies, one lock hold), and the
// send thread's pick of a batch. Each has its one-at-a-time counterpart beside it.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <vector>

#include "BenchLogin.h"
#include "transport/ConnectionTable.h"

namespace vh {
namespace {

using bench::LogIn;

constexpr uint32_t kListeners = 100;
constexpr size_t kBatch = 32;

// A client voice datagram of player `id` as the receive thread builds it.
std::unique_ptr<TPacket> ClientVoice(uint32_t id, uint16_t counter) {
  auto p = NewClientVoicePacket(0, 5, id * 100, id, counter, 0);
  static const uint8_t frame[40] = {};
  p->Write(frame, sizeof frame);
  p->SetAddress("127.0.0.1", static_cast<uint16_t>(4000 + id), "127.0.0.1");
  p->SetPosition(0);
  return p;
}

void DrainEvents(TCustomPacketBuffer& table) {
  uint32_t player = 0;
  uint8_t kind = 0;
  std::unique_ptr<TPacket> event;
  int32_t wait = 0;
  while (table.PollEvent(player, kind, event, wait) && kind == EV_PACKET) {
  }
}

// 32 voice datagrams of different players: one OfferDatagrams (one lock hold) per batch.
void BM_ReceiveBatch(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, kListeners);
  std::vector<std::unique_ptr<TPacket>> batch;
  uint16_t counter = 1;
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t i = 0; i < kBatch; ++i) batch.push_back(ClientVoice(1 + i % kListeners, counter));
    ++counter;
    state.ResumeTiming();
    table.OfferDatagrams(batch);
    state.PauseTiming();
    DrainEvents(table);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}
BENCHMARK(BM_ReceiveBatch);

// The same datagrams one OfferDatagram (one lock hold) each.
void BM_ReceiveOneByOne(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, kListeners);
  std::vector<std::unique_ptr<TPacket>> batch;
  uint16_t counter = 1;
  for (auto _ : state) {
    state.PauseTiming();
    for (size_t i = 0; i < kBatch; ++i) batch.push_back(ClientVoice(1 + i % kListeners, counter));
    ++counter;
    state.ResumeTiming();
    for (auto& p : batch) table.OfferDatagram(std::move(p));
    batch.clear();
    state.PauseTiming();
    DrainEvents(table);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kBatch));
}
BENCHMARK(BM_ReceiveOneByOne);

// One voice packet to 100 listeners as the relay does it: copies built in pooled packets,
// queued with one SendPackets; then the send thread's batch picks return them to the pool.
// Items are copies.
void BM_FanOut100Pooled(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, kListeners + 1);
  static const uint8_t frame[40] = {};
  std::vector<std::unique_ptr<TPacket>> copies, spares, sent;
  for (auto _ : state) {
    for (uint32_t id = 2; id <= kListeners + 1; ++id) {
      std::unique_ptr<TPacket> p;
      if (!spares.empty()) {
        p = std::move(spares.back());
        spares.pop_back();
      } else {
        p = std::make_unique<TPacket>();
      }
      FillServerVoicePacket(*p, 0, 5, id * 100, id, 7, 0, 1, 7);
      p->Write(frame, sizeof frame);
      copies.push_back(std::move(p));
    }
    table.SendPackets(copies, &spares, kListeners + 1 - spares.size());
    while (table.NextOutgoingPackets(sent, 64, 0) > 0) benchmark::DoNotOptimize(sent.data());
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_FanOut100Pooled);

// The same fan-out the old way: a new packet and a SendPacket (one lock hold) per copy, and
// one pick per packet.
void BM_FanOut100PerCopy(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, kListeners + 1);
  static const uint8_t frame[40] = {};
  for (auto _ : state) {
    for (uint32_t id = 2; id <= kListeners + 1; ++id) {
      auto p = NewServerVoicePacket(0, 5, id * 100, id, 7, 0, 1, 7);
      p->Write(frame, sizeof frame);
      table.SendPacket(std::move(p), false);
    }
    while (auto p = table.NextOutgoingPacket(0)) benchmark::DoNotOptimize(p.get());
  }
  state.SetItemsProcessed(state.iterations() * kListeners);
}
BENCHMARK(BM_FanOut100PerCopy);

// The send thread's pick: 64 queued voice packets over 100 connections taken as one batch.
void BM_PickBatch(benchmark::State& state) {
  TCustomPacketBuffer table;
  LogIn(table, kListeners);
  static const uint8_t frame[40] = {};
  std::vector<std::unique_ptr<TPacket>> queued, sent;
  for (auto _ : state) {
    state.PauseTiming();
    for (uint32_t i = 0; i < 64; ++i) {
      auto p = NewServerVoicePacket(0, 5, 0, 1 + i % kListeners, 7, 0, 1, 7);
      p->Write(frame, sizeof frame);
      queued.push_back(std::move(p));
    }
    table.SendPackets(queued);
    state.ResumeTiming();
    if (table.NextOutgoingPackets(sent, 64, 0) != 64) state.SkipWithError("short batch");
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_PickBatch);

}  // namespace
}  // namespace vh

BENCHMARK_MAIN();
