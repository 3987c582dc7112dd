// Fixed-room text as records and packets carry it: a length byte followed by room for
// `Room` characters. Longer values are cut on assignment, so a stored value always fits its
// wire slot. A plain value type; its owner's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/FieldLengths.h"

namespace vh {

template <size_t Room>
class TShortString {
  static_assert(Room > 0 && Room <= 255, "a length byte counts at most 255 characters");

 public:
  static constexpr size_t kRoom = Room;
  // Bytes the value takes on the wire: the length byte and the whole room.
  static constexpr size_t kWireSize = Room + 1;

  TShortString() = default;
  explicit TShortString(std::string_view s) : text_(s.substr(0, Room)) {}
  explicit TShortString(const char* s) : TShortString(std::string_view(s ? s : "")) {}
  explicit TShortString(const std::string& s) : TShortString(std::string_view(s)) {}
  TShortString& operator=(std::string_view s) {
    text_.assign(s.substr(0, Room));
    return *this;
  }
  TShortString& operator=(const char* s) { return *this = std::string_view(s ? s : ""); }
  TShortString& operator=(const std::string& s) { return *this = std::string_view(s); }

  const std::string& Str() const { return text_; }
  bool Empty() const { return text_.empty(); }
  size_t Length() const { return text_.size(); }
  void Clear() { text_.clear(); }

  bool operator==(const TShortString& other) const { return text_ == other.text_; }
  bool operator==(std::string_view other) const { return text_ == other; }

  // Writes kWireSize bytes: the length, the text, zeros for the unused room.
  void WriteTo(uint8_t* dest) const {
    dest[0] = static_cast<uint8_t>(text_.size());
    std::memset(dest + 1, 0, Room);
    std::memcpy(dest + 1, text_.data(), text_.size());
  }
  // Reads kWireSize bytes; a length byte larger than the room is taken as the room.
  static TShortString ReadFrom(const uint8_t* src) {
    size_t n = src[0] < Room ? src[0] : Room;
    return TShortString(std::string_view(reinterpret_cast<const char*>(src + 1), n));
  }

 private:
  std::string text_;
};

// Names and passwords.
using TName29 = TShortString<kNameLength>;

}  // namespace vh
