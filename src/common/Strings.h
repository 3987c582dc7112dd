// Small text helpers shared by every layer. Pure functions, any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vh {

std::string Trim(std::string_view s);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle);
// Cuts a text to at most `room` bytes, as the fixed-size short strings do.
std::string Cut(std::string_view s, size_t room);
// Parses a whole decimal integer (optional sign, surrounding blanks allowed).
bool TryParseInt(std::string_view s, int64_t& out);
// True when the text holds a C0 control character (0x00-0x1F) or DEL. Names and channel texts
// with one are refused where they enter: they would end lines and columns of the
// administration answers and the log.
bool HasControlChars(std::string_view s);
// A printable sample of arbitrary bytes for log lines (non-printables as \xNN, at most `max`).
std::string PrintableSample(std::string_view bytes, size_t max = 64);

// "hh:nn:ss", with "<days>D " in front from one day on; negative counts as 0.
std::string FormatUptime(int64_t seconds);

}  // namespace vh
