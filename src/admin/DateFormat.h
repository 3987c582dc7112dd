// Date-times as the administration interfaces show them, in the configured "DateTimeFormat"
// ("dd-mm-yyyy hh:nn:ss" by default). Pure functions, any thread.
#pragma once

#include <string>
#include <string_view>

#include "storage/DateTime.h"

namespace vh {

// Tokens: yyyy, yy, mm, m, dd, d, hh, h, nn, n, ss, s, zzz (letters in either case); any
// other character is copied.
std::string FormatDateTime(std::string_view format, TDateTime value);

}  // namespace vh
