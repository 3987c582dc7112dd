// The server's version and its platform label. Constant; any thread.
#pragma once

#include <string>

namespace vh {

constexpr const char* kServerVersion = "2.0.20.1";
// The platform label as stored: hexadecimal pairs, unscrambled at start-up.
constexpr const char* kScrambledPlatformLabel = "4C696E7479";

std::string UnscramblePlatformLabel(const std::string& stored);

}  // namespace vh
