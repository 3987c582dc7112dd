#include "transport/BandWidthCalc.h"

#include <algorithm>
#include <cmath>

namespace vh {

namespace {
constexpr double kTickTimerLimitMs = 7200000;
// Command ticks only matter up to 2; the cap keeps a long-idle counter from overflowing.
constexpr int64_t kCommandTicksCap = 1 << 30;
}  // namespace

TBandWidthCalc::TBandWidthCalc(const TClock& clock, bool withLock)
    : locked_(withLock), tickTimer_(clock) {}

void TBandWidthCalc::SetLimit(int64_t bytesPerSecond) {
  TOptionalLockGuard lock(mutex_, locked_);
  limit_ = std::max<int64_t>(bytesPerSecond, 0);
  allowance_ = std::llround(static_cast<double>(limit_) * 0.25) + 1;
}

int64_t TBandWidthCalc::Limit() const {
  TOptionalLockGuard lock(mutex_, locked_);
  return limit_;
}

int64_t TBandWidthCalc::Allowance() const {
  TOptionalLockGuard lock(mutex_, locked_);
  return allowance_;
}

int64_t TBandWidthCalc::Backlog() const {
  TOptionalLockGuard lock(mutex_, locked_);
  return backlog_;
}

int32_t TBandWidthCalc::AdvanceTicks(const TPerformanceTime* now) {
  TPerformanceTime present = now ? *now : TPerformanceTime(tickTimer_.Clock());
  int64_t n = tickTimer_.ElapsedMsAt(kTickTimerLimitMs, present) + carriedMs_;
  int64_t ticks = n / kTickMs;
  int64_t remainder = n % kTickMs;
  if (ticks == 0) return static_cast<int32_t>(kTickMs - remainder);

  // After a whole minute of ticks every ring slot holds an empty tick; the rest of a long
  // silence only moves the indexes and pays off the backlog.
  int64_t full = std::min<int64_t>(ticks, kMinuteSlots + 1);
  for (int64_t i = 0; i < full; ++i) {
    secondSum_ += tickBytes_ - second_[secondIndex_];
    second_[secondIndex_] = tickBytes_;
    if (++secondIndex_ == kSecondSlots) {
      secondIndex_ = 0;
      secondFilled_ = true;
    }
    // A minute slot holds at most 4 GiB a tick: far beyond any link, and half the memory.
    const auto stored = static_cast<uint32_t>(std::clamp<int64_t>(tickBytes_, 0, UINT32_MAX));
    minuteSum_ += static_cast<int64_t>(stored) - minute_[minuteIndex_];
    minute_[minuteIndex_] = stored;
    if (++minuteIndex_ == kMinuteSlots) {
      minuteIndex_ = 0;
      minuteFilled_ = true;
    }
    backlog_ += tickBytes_;
    tickBytes_ = 0;
    backlog_ = limit_ != 0 ? backlog_ - std::min(backlog_, allowance_) : 0;
  }
  int64_t rest = ticks - full;
  if (rest > 0) {
    secondIndex_ = static_cast<int>((secondIndex_ + rest) % kSecondSlots);
    minuteIndex_ = static_cast<int>((minuteIndex_ + rest) % kMinuteSlots);
    secondFilled_ = minuteFilled_ = true;
    backlog_ = limit_ != 0 ? std::max<int64_t>(0, backlog_ - rest * allowance_) : 0;
  }
  commandTicks_ = std::min(commandTicks_ + ticks, kCommandTicksCap);

  tickTimer_.Assign(present);
  carriedMs_ = remainder;
  return static_cast<int32_t>(kTickMs - remainder);
}

void TBandWidthCalc::AddBytes(int64_t count, const TPerformanceTime& now) {
  TOptionalLockGuard lock(mutex_, locked_);
  AdvanceTicks(&now);
  tickBytes_ += count;
}

void TBandWidthCalc::AddCommandBytes(int64_t count, const TPerformanceTime& now) {
  TOptionalLockGuard lock(mutex_, locked_);
  commandTicks_ = 0;
  AdvanceTicks(&now);
  tickBytes_ += count;
}

int32_t TBandWidthCalc::WaitTime(const TPerformanceTime& now) {
  TOptionalLockGuard lock(mutex_, locked_);
  // Nothing to wait for without a limit; the ticks move on with the next count or rate read.
  if (limit_ == 0) return 0;
  int32_t left = AdvanceTicks(&now);
  if (limit_ == 0 || tickBytes_ + backlog_ < allowance_) return 0;
  return left;
}

bool TBandWidthCalc::CommandAllowed() const {
  TOptionalLockGuard lock(mutex_, locked_);
  return limit_ == 0 || commandTicks_ >= 2;
}

void TBandWidthCalc::Rates(double& lastSecond, double& lastMinute) {
  TOptionalLockGuard lock(mutex_, locked_);
  AdvanceTicks(nullptr);
  if (secondFilled_)
    lastSecond = static_cast<double>(secondSum_);
  else
    lastSecond = secondIndex_ > 0 ? static_cast<double>(secondSum_) * 4 / secondIndex_ : 0;
  if (minuteFilled_)
    lastMinute = static_cast<double>(minuteSum_) / 60;
  else
    lastMinute =
        minuteIndex_ > 0 ? static_cast<double>(minuteSum_) / 60 * kMinuteSlots / minuteIndex_ : 0;
}

}  // namespace vh
