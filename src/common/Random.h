// Random values from the operating system's cryptographic source (getrandom). Any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vh {

// Fills `buffer` with cryptographically random bytes; throws std::runtime_error if the
// source fails (it does not on Linux after boot).
void SecureRandomBytes(void* buffer, size_t size);
// A uniformly distributed value in [0, bound) (bound > 0), without modulo bias.
uint32_t SecureRandomBelow(uint32_t bound);
// `length` characters from a-z, A-Z and 0-9 (libsodium's generator), for generated passwords.
std::string RandomPassword(int length);

}  // namespace vh
