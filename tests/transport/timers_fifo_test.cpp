// Timers, bandwidth budget and rates on a manual clock; the FIFO rings against a reference.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <random>
#include <set>
#include <thread>

#include "transport/AutoResetEvent.h"
#include "transport/BandWidthCalc.h"
#include "transport/FIFOList.h"

namespace vh {
namespace {

TEST(PerformanceTime, OutOfRangeReadingsRestart) {
  TManualClock clock(86399900);  // 23:59:59.900 on a time-of-day scale
  TPerformanceTime timer(clock);
  clock.Set(100);  // 00:00:00.100
  EXPECT_EQ(timer.ElapsedMs(120000, false), -1);
  EXPECT_EQ(timer.ElapsedMs(120000, true), 0);
  clock.Advance(30);
  EXPECT_EQ(timer.ElapsedMs(120000, false), 30);  // restarted at 00:00:00.100
  EXPECT_TRUE(timer.IsElapsed(29, 100, false));
  EXPECT_FALSE(timer.IsElapsed(30, 100, false));
  clock.Advance(200);
  EXPECT_FALSE(timer.IsElapsed(10, 100, true));  // beyond the limit: restart, not elapsed
  EXPECT_EQ(timer.ElapsedMs(100, false), 0);
}

class BandWidth : public ::testing::Test {
 protected:
  TManualClock clock;
  TPerformanceTime Now() { return TPerformanceTime(clock); }
};

TEST_F(BandWidth, BudgetPerTickAndBacklog) {
  TClientBandWidthCalc calc(clock);
  calc.SetLimit(12800);
  EXPECT_EQ(calc.Allowance(), 3201);
  EXPECT_TRUE(calc.CommandAllowed());
  clock.Advance(40);
  calc.AddCommandBytes(3300, Now());
  EXPECT_FALSE(calc.CommandAllowed());
  clock.Advance(60);  // 100 ms into the tick
  EXPECT_EQ(calc.WaitTime(Now()), 150);
  clock.Advance(150);  // next tick: 3300 - 3201 left over
  EXPECT_EQ(calc.WaitTime(Now()), 0);
  EXPECT_EQ(calc.Backlog(), 99);
  EXPECT_FALSE(calc.CommandAllowed());
  clock.Advance(250);
  calc.WaitTime(Now());
  EXPECT_TRUE(calc.CommandAllowed());  // two ticks since the command

  TClientBandWidthCalc unlimited(clock);
  unlimited.AddCommandBytes(1000000, Now());
  EXPECT_EQ(unlimited.WaitTime(Now()), 0);
  EXPECT_TRUE(unlimited.CommandAllowed());
}

TEST_F(BandWidth, RatesScalePartialRingsAndFallToZero) {
  TBandWidthCalc calc(clock, true);
  calc.AddBytes(1000, Now());
  clock.Advance(250);
  double second = 0, minute = 0;
  calc.Rates(second, minute);
  EXPECT_DOUBLE_EQ(second, 4000);
  EXPECT_NEAR(minute, 4000, 1e-9);
  clock.Advance(1000);
  calc.Rates(second, minute);
  EXPECT_DOUBLE_EQ(second, 0);
  EXPECT_GT(minute, 0);
  clock.Advance(60000);
  calc.Rates(second, minute);
  EXPECT_DOUBLE_EQ(minute, 0);
  // A long silence followed by traffic is measured afresh.
  clock.Advance(3600000);
  calc.AddBytes(500, Now());
  clock.Advance(250);
  calc.Rates(second, minute);
  EXPECT_DOUBLE_EQ(second, 500);
  EXPECT_NEAR(minute, 500.0 / 60, 1e-9);
}

TEST(FIFOList, GrowsInOrderAndStopsAtItsMaximum) {
  TFIFOList list(2, 5, 2);
  for (uint32_t i = 1; i <= 2; ++i) list.Put(NewAckPacket(0, 0, i, 0));
  EXPECT_EQ(list.Take()->PacketPlayerId(), 1u);  // head moves, so growth must unwrap
  for (uint32_t i = 3; i <= 6; ++i) list.Put(NewAckPacket(0, 0, i, 0));
  EXPECT_EQ(list.Capacity(), 5);
  EXPECT_EQ(list.QueuedBytes(), 5 * 16);
  try {
    list.Put(NewAckPacket(0, 0, 7, 0));
    ADD_FAILURE();
  } catch (const EFIFOList& e) {
    EXPECT_STREQ(e.what(), "TFIFOList max items reached( 5, 2, 5)");
  }
  for (uint32_t i = 2; i <= 6; ++i) EXPECT_EQ(list.Take()->PacketPlayerId(), i);
  EXPECT_EQ(list.Take(), nullptr);
  EXPECT_EQ(list.QueuedBytes(), 0);
}

TEST(FIFOList, CreationLimitsAndSpeakerFilter) {
  auto message = [](int32_t start, int32_t max, int32_t grow) {
    try {
      TFIFOList l(start, max, grow);
      return std::string();
    } catch (const EFIFOList& e) {
      return std::string(e.what());
    }
  };
  EXPECT_EQ(message(10, 5, 1), "StartItems if more than MaxItems");
  EXPECT_EQ(message(1, 100001, 1), "100001 Items is to much. A FifoList can contain 100.000 items");
  EXPECT_EQ(message(1, 10, 10001),
            "10001 Items is to much. A FifoList can grow with 10.000 items at a time max");
  EXPECT_EQ(message(-1, 10, 1), "Negative parameter is not allowed");

  TFIFOList voice(4, 64, 4);
  uint32_t speaker = 0;
  EXPECT_FALSE(voice.HeadSpeaker(speaker));
  for (uint32_t s : {5u, 6u, 5u, 7u, 5u, 6u})
    voice.Put(NewServerVoicePacket(0, 0, 0, 99, 0, 0, s, static_cast<uint16_t>(voice.Count())));
  ASSERT_TRUE(voice.HeadSpeaker(speaker));
  EXPECT_EQ(speaker, 5u);
  voice.KeepOnlySpeaker(5);
  ASSERT_EQ(voice.Count(), 3);
  EXPECT_EQ(voice.QueuedBytes(), 3 * 22);
  for (uint16_t order : {0, 2, 4}) EXPECT_EQ(voice.Take()->WordAt(20), order);
}

TEST(FIFOList, PlayerIdQueueMatchesReference) {
  TFIFOList_Playerid ready(4, 100000, 4);
  std::deque<uint32_t> order;
  std::set<uint32_t> members;
  std::mt19937 rng(99);
  for (int i = 0; i < 200000; ++i) {
    if (rng() % 3 != 0) {
      uint32_t id = rng() % 500;  // id 0 included
      ready.Put(id);
      if (members.insert(id).second) order.push_back(id);
    } else {
      uint32_t got = 0;
      bool took = ready.Take(got);
      ASSERT_EQ(took, !order.empty());
      if (!took) continue;
      ASSERT_EQ(got, order.front());
      members.erase(got);
      order.pop_front();
    }
    ASSERT_EQ(ready.Count(), static_cast<int32_t>(order.size()));
  }
  for (uint32_t id = 0; id < 500; ++id) EXPECT_EQ(ready.Contains(id), members.count(id) == 1);
}

TEST(WindowsEvent, AutoResetAndTimedWait) {
  TWindowsEvent e;
  EXPECT_EQ(e.Wait(0), TWindowsEvent::kTimedOut);
  e.Set();
  e.Set();
  EXPECT_EQ(e.Wait(0), TWindowsEvent::kSignalled);
  EXPECT_EQ(e.Wait(1), TWindowsEvent::kTimedOut);  // one signal wakes one wait
  std::thread setter([&] { e.Set(); });
  EXPECT_EQ(e.Wait(-1), TWindowsEvent::kSignalled);
  setter.join();

  // Ping-pong between two threads: a wake-up lost between a waiter's look and its sleep would
  // show as a wait that runs out.
  TWindowsEvent ping, pong;
  constexpr int kRounds = 2000;
  std::atomic<int> lost{0};
  std::thread echo([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (ping.Wait(5000) != TWindowsEvent::kSignalled) lost.fetch_add(1);
      pong.Set();
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    if (pong.Wait(5000) != TWindowsEvent::kSignalled) lost.fetch_add(1);
  }
  echo.join();
  EXPECT_EQ(lost.load(), 0);
}

}  // namespace
}  // namespace vh
