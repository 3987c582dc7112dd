// Date-times as the storage layer keeps them: local time as a day count since 30 December 1899
// with the time of day as the fraction (so 0.0 is the "zero date-time"). Pure functions, any
// thread; no state.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vh {

using TDateTime = double;

// A text that cannot be turned into the value asked for (a bad integer, boolean or date).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TDateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Builds a date-time; false (and `out` untouched) for a date or time that does not exist.
bool TryEncodeDateTime(const TDateTimeParts& parts, TDateTime& out);
// Same, raising EConvertError for an impossible date or time.
TDateTime EncodeDateTime(const TDateTimeParts& parts);
// Splits a date-time, rounded to the millisecond.
TDateTimeParts DecodeDateTime(TDateTime value);
// The current local time.
TDateTime NowDateTime();

// The 17-digit "ddmmyyyyhhnnsszzz" text used for stored date-times and their parameters.
std::string DateTimeToStorageText(TDateTime value);
// Reads that text back: any length other than 17 gives the zero date-time; 17 characters that
// are not a valid date raise EConvertError.
TDateTime StorageTextToDateTime(std::string_view text);

}  // namespace vh
