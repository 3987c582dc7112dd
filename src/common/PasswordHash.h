// Account passwords at rest: Argon2id strings made and checked by libsodium. Every place that
// stores or checks an account's password goes through this pair. Any thread.
//
// The parameters are chosen so that one check costs a few milliseconds on a small server
// (a login checks on the listener thread): 2 passes over 4 MiB. A stored string carries its
// own parameters, so raising them later leaves older hashes valid; NeedsRehash tells a login
// to store a fresh one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/FieldLengths.h"

namespace vh {

class TPasswordHash {
 public:
  static constexpr uint64_t kOpsLimit = 2;              // passes over the memory
  static constexpr size_t kMemLimit = size_t{4} << 20;  // bytes
  // What a user types is cut to this many bytes, as every login field is; the stored hash is
  // never cut.
  static constexpr size_t kTypedRoom = kNameLength;

  // The Argon2id string for `password` (cut to kTypedRoom). Throws std::runtime_error when
  // the library cannot hash (out of memory).
  static std::string Make(std::string_view password);

  // Whether `typed` (cut to kTypedRoom) is the password of `stored`. A stored value that is not
  // a hash is a plain-text password written by hand or by an older version: it is compared in
  // constant time, and NeedsRehash asks for its replacement.
  static bool Verify(std::string_view stored, std::string_view typed);

  // True for a plain-text value and for a hash made with other parameters than today's.
  static bool NeedsRehash(std::string_view stored);

  // True when `stored` is an Argon2id string (longer than any typed password can be).
  static bool IsHash(std::string_view stored);
};

}  // namespace vh
