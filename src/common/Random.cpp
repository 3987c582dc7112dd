#include "common/Random.h"

#include <sodium.h>
#include <sys/random.h>

#include <cerrno>
#include <mutex>
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
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  });
  std::string password;
  while (static_cast<int>(password.size()) < length)
    password.push_back(kAlphabet[randombytes_uniform(sizeof kAlphabet - 1)]);
  return password;
}

}  // namespace vh
