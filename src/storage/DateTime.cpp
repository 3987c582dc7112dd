#include "storage/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace vh {

namespace {

constexpr int64_t kMsPerDay = 86400000;
// Days from 1970-01-01 back to the date-time epoch 1899-12-30.
constexpr int64_t kEpochOffsetDays = 25569;
// Beyond year 9999 a value cannot be written as 17 digits.
constexpr double kMaxDateTime = 2958466.0;
constexpr double kMinDateTime = -693594.0;

bool IsLeapYear(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Proleptic Gregorian calendar <-> days since 1970-01-01.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

}  // namespace

bool TryEncodeDateTime(const TDateTimeParts& p, TDateTime& out) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
      p.minute > 59 || p.second < 0 || p.second > 59 || p.millisecond < 0 || p.millisecond > 999)
    return false;
  const double date = static_cast<double>(DaysFromCivil(p.year, p.month, p.day) + kEpochOffsetDays);
  const double time =
      static_cast<double>(((p.hour * 60 + p.minute) * 60 + p.second) * 1000 + p.millisecond) /
      kMsPerDay;
  // Before the epoch the fraction still counts forward from midnight: -1.25 is 29 Dec 06:00.
  out = date < 0 ? date - time : date + time;
  return true;
}

TDateTime EncodeDateTime(const TDateTimeParts& parts) {
  TDateTime value = 0;
  if (!TryEncodeDateTime(parts, value)) throw EConvertError("Invalid argument to date encode");
  return value;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts parts;
  if (!std::isfinite(value) || value > kMaxDateTime || value < kMinDateTime) return parts;
  int64_t days = static_cast<int64_t>(std::trunc(value));
  int64_t ms = std::llround(std::fabs(value - std::trunc(value)) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++days;
  }
  CivilFromDays(days - kEpochOffsetDays, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(ms / 3600000);
  parts.minute = static_cast<int>(ms / 60000 % 60);
  parts.second = static_cast<int>(ms / 1000 % 60);
  parts.millisecond = static_cast<int>(ms % 1000);
  return parts;
}

TDateTime NowDateTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm tm{};
  localtime_r(&ts.tv_sec, &tm);
  TDateTimeParts p;
  p.year = tm.tm_year + 1900;
  p.month = tm.tm_mon + 1;
  p.day = tm.tm_mday;
  p.hour = tm.tm_hour;
  p.minute = tm.tm_min;
  p.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second still names a valid time
  p.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  return EncodeDateTime(p);
}

std::string DateTimeToStorageText(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d%02d%04d%02d%02d%02d%03d", p.day, p.month, p.year, p.hour,
                p.minute, p.second, p.millisecond);
  return buf;
}

TDateTime StorageTextToDateTime(std::string_view text) {
  if (text.size() != 17) return 0;
  for (char c : text)
    if (c < '0' || c > '9')
      throw EConvertError("'" + std::string(text) + "' is not a valid date and time");
  auto num = [&](size_t pos, size_t len) {
    int n = 0;
    for (size_t i = pos; i < pos + len; ++i) n = n * 10 + (text[i] - '0');
    return n;
  };
  TDateTimeParts p;
  p.day = num(0, 2);
  p.month = num(2, 2);
  p.year = num(4, 4);
  p.hour = num(8, 2);
  p.minute = num(10, 2);
  p.second = num(12, 2);
  p.millisecond = num(14, 3);
  TDateTime value = 0;
  if (!TryEncodeDateTime(p, value))
    throw EConvertError("'" + std::string(text) + "' is not a valid date and time");
  return value;
}

}  // namespace vh
