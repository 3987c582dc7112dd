#include "common/Random.h"

#include <sys/random.h>

#include <cerrno>
#include <stdexcept>

namespace vh {

void SecureRandomBytes(void* buffer, size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = ::getrandom(p, size, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("getrandom failed");
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
}

uint32_t SecureRandomBelow(uint32_t bound) {
  if (bound == 0) return 0;
  // Reject the top values that would make the modulo uneven.
  const uint32_t limit = UINT32_MAX - (UINT32_MAX % bound);
  uint32_t v;
  do {
    SecureRandomBytes(&v, sizeof v);
  } while (v >= limit);
  return v % bound;
}

std::string RandomPassword(int length) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz1234567890";
  std::string password;
  while (static_cast<int>(password.size()) < length)
    password.push_back(kAlphabet[SecureRandomBelow(sizeof kAlphabet - 1)]);
  return password;
}

}  // namespace vh
