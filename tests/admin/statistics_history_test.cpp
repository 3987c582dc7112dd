// The charts' history: rates from the counters' growth, the ring's order and wrap, forgetting
// stopped and long-idle servers, the one-byte scale, and the memory it takes for 1,000 servers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>

#include "admin/StatisticsHistory.h"

namespace vh::test {
namespace {

TEST(StatisticsHistory, RatesComeFromGrowthAndTheRingKeepsTheLastHourInOrder) {
  TStatisticsHistory history;
  const int64_t t0 = 1'000'000;
  history.Record({{7, {3, 1000, 500, 150, 40}}}, t0);  // the base only
  EXPECT_EQ(history.Json(7), "{\"intervalSeconds\":5,\"samples\":[]}");
  history.Record({{7, {3, 6000, 3000, 150, 40}}}, t0 + 5);
  const std::string one = history.Json(7);
  // 5000 bytes in 5 s: 1000 B/s, within the scale's step.
  EXPECT_NE(one.find("[1000005,3,"), std::string::npos) << one;
  const uint64_t in = TStatisticsHistory::Decode(TStatisticsHistory::Encode(1000));
  EXPECT_NE(one.find("," + std::to_string(in) + ","), std::string::npos) << one;
  for (size_t i = 2; i <= TStatisticsHistory::kSamples + 10; ++i)
    history.Record({{7, {static_cast<uint32_t>(i % 50), 6000 + i, 3000, 0, 0}}},
                   t0 + static_cast<int64_t>(i) * 5);
  const std::string full = history.Json(7);
  size_t samples = 0;
  for (size_t at = 0; (at = full.find('[', at + 1)) != std::string::npos;) ++samples;
  EXPECT_EQ(samples - 1, TStatisticsHistory::kSamples);  // minus the array's own bracket
  const int64_t last = t0 + static_cast<int64_t>(TStatisticsHistory::kSamples + 10) * 5;
  EXPECT_NE(full.find("[" + std::to_string(last - 3595) + ","), std::string::npos);
  EXPECT_NE(full.find("[" + std::to_string(last) + ","), std::string::npos);
  EXPECT_EQ(full.find("[" + std::to_string(last - 3600) + ","), std::string::npos);
  // Voice and commands apart: 8000 of 10000 bytes in and 2000 of 5000 out were voice.
  history.Record({{9, {1, 1000, 1000, 0, 0, 100, 200}}}, t0);
  history.Record({{9, {1, 11000, 6000, 0, 0, 8100, 2200}}}, t0 + 5);
  auto coded = [](uint64_t v) {
    return std::to_string(TStatisticsHistory::Decode(TStatisticsHistory::Encode(v)));
  };
  const std::string split = history.Json(9);
  EXPECT_NE(
      split.find("," + coded(1600) + "," + coded(400) + "," + coded(400) + "," + coded(600) + "]"),
      std::string::npos)
      << split;
  // A server that is gone from a pass is forgotten; counters that went back start a new base.
  history.Record({{8, {0, 0, 0, 0, 0}}}, last + 5);
  EXPECT_EQ(history.Json(7), "{\"intervalSeconds\":5,\"samples\":[]}");
}

TEST(StatisticsHistory, OneByteScaleStaysWithinItsStep) {
  for (uint64_t v : {0ull, 1ull, 7ull, 999ull, 123456ull, 40'000'000ull}) {
    const double back =
        static_cast<double>(TStatisticsHistory::Decode(TStatisticsHistory::Encode(v)));
    EXPECT_LE(std::fabs(back - static_cast<double>(v)), 0.05 * static_cast<double>(v) + 1) << v;
  }
}

TEST(StatisticsHistory, IdleServersKeepNoRingAndAThousandBusyOnesStayInSixMegabytes) {
  TStatisticsHistory history;
  std::map<int32_t, TStatisticsReading> idle, busy;
  for (int32_t id = 1; id <= 1000; ++id) {
    idle[id] = {};
    busy[id] = {2, 0, 0, 10, 30};
  }
  history.Record(idle, 100);
  history.Record(idle, 105);
  const size_t idleBytes = history.MemoryBytes();
  for (int i = 0; i < 3; ++i) {
    for (auto& [id, r] : busy) r.bytesIn += 4000, r.bytesOut += 9000;
    history.Record(busy, 110 + i * 5);
  }
  const size_t busyBytes = history.MemoryBytes();
  std::printf("statistics history, 1000 servers: idle %zu bytes, with traffic %zu bytes\n",
              idleBytes, busyBytes);
  EXPECT_LT(idleBytes, 200u * 1024);
  EXPECT_LT(busyBytes, 6u * 1024 * 1024);
  // After an hour of nothing a ring is given back.
  for (auto& [id, r] : busy) r.players = 0;
  for (size_t i = 0; i <= TStatisticsHistory::kSamples; ++i)
    history.Record(busy, 200 + 5 * static_cast<int64_t>(i));
  EXPECT_EQ(history.MemoryBytes(), idleBytes);
}

}  // namespace
}  // namespace vh::test
