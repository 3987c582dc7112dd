// The bearer tokens of the JSON API: made and revoked by a super server admin, each scoped to
// one virtual server or to all. A token's text is shown once, when it is made; only its hash
// (BLAKE2b, libsodium's generic hash) is kept, in memory and in a file of mode 0600 beside the
// settings. Any thread: the list is guarded by mutex_, the file is written under it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"

namespace vh {

struct TApiToken {
  int32_t Id = 0;
  int32_t ServerId = 0;  // 0: every virtual server
  std::string Label;
  int64_t CreatedSeconds = 0;  // since the epoch
  std::string Hash;            // hexadecimal
};

class TApiTokens {
 public:
  static constexpr size_t kMaxTokens = 256;
  static constexpr size_t kMaxLabel = 64;
  static constexpr const char* kPrefix = "vh_";

  // `file` empty: the tokens live in memory only. A file that cannot be read leaves the list
  // empty and is logged.
  explicit TApiTokens(std::string file);

  // A new token; its text (returned once, in `secret`) is never stored. Null when the list is
  // full, the label holds a control character, or the file cannot be written.
  std::optional<TApiToken> Create(const std::string& label, int32_t serverId, std::string& secret);
  // False for an unknown id or a file that cannot be written (the token then stays).
  bool Revoke(int32_t id);
  // The token whose text is `secret`, every entry compared in constant time.
  std::optional<TApiToken> Find(const std::string& secret) const;
  std::vector<TApiToken> List() const;

 private:
  bool Save() const REQUIRES(mutex_);
  void Load();

  // set at construction
  const std::string file_;

  mutable TMutex mutex_;
  std::vector<TApiToken> tokens_ GUARDED_BY(mutex_);
  int32_t nextId_ GUARDED_BY(mutex_) = 1;
};

}  // namespace vh
