#include "admin/DateFormat.h"

#include <cctype>
#include <cstdio>

namespace vh {

namespace {

std::string Padded(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

size_t RunLength(std::string_view s, size_t at) {
  const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[at])));
  size_t n = 0;
  while (at + n < s.size() && std::tolower(static_cast<unsigned char>(s[at + n])) == c) ++n;
  return n;
}

}  // namespace

std::string FormatDateTime(std::string_view format, TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::string out;
  for (size_t i = 0; i < format.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    const size_t run = RunLength(format, i);
    size_t used = run;
    switch (c) {
      case 'y':
        if (run >= 4) {
          out += Padded(p.year, 4);
          used = 4;
        } else {
          out += Padded(p.year % 100, 2);
          used = run >= 2 ? 2 : run;
        }
        break;
      case 'm':
      case 'd':
      case 'h':
      case 'n':
      case 's': {
        const int v = c == 'm'   ? p.month
                      : c == 'd' ? p.day
                      : c == 'h' ? p.hour
                      : c == 'n' ? p.minute
                                 : p.second;
        used = run >= 2 ? 2 : 1;
        out += Padded(v, static_cast<int>(used));
        break;
      }
      case 'z':
        if (run >= 3) {
          out += Padded(p.millisecond, 3);
          used = 3;
        } else {
          out += std::to_string(p.millisecond);
          used = run;
        }
        break;
      default:
        out.push_back(format[i]);
        used = 1;
        break;
    }
    i += used;
  }
  return out;
}

}  // namespace vh
