#include "transport/Clocks.h"

#include <chrono>
#include <ctime>

namespace vh {

double TSteadyClock::NowMs() const {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double TTimeOfDayClock::NowMs() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::time_t secs = ts.tv_sec;
  std::tm local{};
  localtime_r(&secs, &local);
  double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  return seconds * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

const TClock& SystemClock() {
  static const TSteadyClock clock;
  return clock;
}

TPerformanceTime::TPerformanceTime() : TPerformanceTime(SystemClock()) {}

bool TPerformanceTime::IsElapsed(double threshold, double limit, bool restart) {
  double x = clock_->NowMs() - start_;
  if (x >= 0 && x <= limit) return x > threshold;
  if (restart) {
    Start();
    return false;
  }
  return true;
}

int64_t TPerformanceTime::ElapsedMs(double limit, bool restart) {
  double x = clock_->NowMs() - start_;
  if (x >= 0 && x <= limit) return static_cast<int64_t>(x);
  if (restart) {
    Start();
    return 0;
  }
  return -1;
}

int64_t TPerformanceTime::ElapsedMsAt(double limit, const TPerformanceTime& now) {
  double x = now.start_ - start_;
  if (x >= 0 && x <= limit) return static_cast<int64_t>(x);
  Assign(now);
  return 0;
}

}  // namespace vh
