// The server's version and its platform label. Constant; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vh {

// The four numbers every form of the version is made from: the text "2.0.20.1", the login
// reply's four words, the web-list record's four bytes and the desktop label.
struct TVersion {
  uint16_t Major, Minor, Release, Build;
  std::string Text() const {
    return std::to_string(Major) + "." + std::to_string(Minor) + "." + std::to_string(Release) +
           "." + std::to_string(Build);
  }
};

inline constexpr TVersion kVersion{2, 0, 20, 1};
// The platform label as stored: hexadecimal pairs, unscrambled at start-up.
constexpr const char* kScrambledPlatformLabel = "4C696E7479";

std::string UnscramblePlatformLabel(const std::string& stored);

}  // namespace vh
