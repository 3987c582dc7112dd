#include "common/Version.h"

#include <cstdint>

namespace vh {

std::string UnscramblePlatformLabel(const std::string& stored) {
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  uint16_t key = 5;
  for (size_t i = 0; i + 1 < stored.size(); i += 2) {
    int hi = hexValue(stored[i]), lo = hexValue(stored[i + 1]);
    uint8_t b = (hi < 0 || lo < 0) ? 0 : static_cast<uint8_t>(hi * 16 + lo);
    out.push_back(static_cast<char>(b ^ static_cast<uint8_t>(key >> 8)));
    key = static_cast<uint16_t>(key + b);
  }
  return out;
}

}  // namespace vh
