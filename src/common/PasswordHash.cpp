#include "common/PasswordHash.h"

#include <sodium.h>

#include <mutex>
#include <stdexcept>

#include "common/Strings.h"

namespace vh {

namespace {

constexpr std::string_view kPrefix = "$argon2id$";

void InitSodium() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  });
}

}  // namespace

std::string TPasswordHash::Make(std::string_view password) {
  InitSodium();
  const std::string typed = Cut(password, kTypedRoom);
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, typed.data(), typed.size(), kOpsLimit, kMemLimit,
                            crypto_pwhash_ALG_ARGON2ID13) != 0)
    throw std::runtime_error("password hashing failed (out of memory)");
  return std::string(out);
}

bool TPasswordHash::Verify(std::string_view stored, std::string_view typed) {
  InitSodium();
  const std::string cut = Cut(typed, kTypedRoom);
  if (!IsHash(stored)) {
    const std::string plain = Cut(stored, kTypedRoom);
    return plain.size() == cut.size() &&
           (cut.empty() || sodium_memcmp(plain.data(), cut.data(), cut.size()) == 0);
  }
  const std::string hash(stored);  // the library reads a terminated string
  return crypto_pwhash_str_verify(hash.c_str(), cut.data(), cut.size()) == 0;
}

bool TPasswordHash::NeedsRehash(std::string_view stored) {
  if (!IsHash(stored)) return true;
  InitSodium();
  const std::string hash(stored);
  return crypto_pwhash_str_needs_rehash(hash.c_str(), kOpsLimit, kMemLimit) != 0;
}

bool TPasswordHash::IsHash(std::string_view stored) {
  return stored.size() > kTypedRoom && stored.substr(0, kPrefix.size()) == kPrefix;
}

}  // namespace vh
