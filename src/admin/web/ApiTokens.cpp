#include "admin/web/ApiTokens.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "common/Log.h"
#include "common/PrivateFile.h"
#include "common/Random.h"
#include "common/Strings.h"

namespace vh {

namespace {

constexpr const char* kCategory = "WEBINTERFACE";
constexpr int kSecretLength = 40;  // letters and digits: about 238 bits

std::string HashOf(const std::string& secret) {
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(secret.data()),
                     secret.size(), nullptr, 0);
  char hex[2 * crypto_generichash_BYTES + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

}  // namespace

TApiTokens::TApiTokens(std::string file) : file_(std::move(file)) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium could not be initialised");
  Load();
}

// One token per line: id, server id, creation time, hash and label, separated by tabs. The
// label cannot hold a tab or a line end: Create refuses control characters.
void TApiTokens::Load() {
  if (file_.empty()) return;
  std::ifstream in(file_);
  if (!in) return;  // no tokens made yet
  TLockGuard lock(mutex_);
  std::string line;
  while (std::getline(in, line) && tokens_.size() < kMaxTokens) {
    std::istringstream fields(line);
    TApiToken t;
    std::string id, server, created;
    if (!std::getline(fields, id, '\t') || !std::getline(fields, server, '\t') ||
        !std::getline(fields, created, '\t') || !std::getline(fields, t.Hash, '\t')) {
      Log(LMT_ERROR, LMD_ALL, "API tokens: line skipped in " + file_, kCategory);
      continue;
    }
    std::getline(fields, t.Label);
    int64_t v = 0;
    if (!TryParseInt(id, v) || v <= 0 || v > INT32_MAX) continue;
    t.Id = static_cast<int32_t>(v);
    if (!TryParseInt(server, v) || v < 0 || v > INT32_MAX) continue;
    t.ServerId = static_cast<int32_t>(v);
    if (!TryParseInt(created, t.CreatedSeconds) || t.Hash.size() != 2 * crypto_generichash_BYTES)
      continue;
    nextId_ = std::max(nextId_, t.Id + 1);
    tokens_.push_back(std::move(t));
  }
}

bool TApiTokens::Save() const {
  if (file_.empty()) return true;
  const std::string temp = file_ + ".tmp";
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) {
    Log(LMT_ERROR, LMD_ALL, "API tokens: cannot write " + temp, kCategory);
    return false;
  }
  std::string text;
  for (const TApiToken& t : tokens_)
    text += std::to_string(t.Id) + "\t" + std::to_string(t.ServerId) + "\t" +
            std::to_string(t.CreatedSeconds) + "\t" + t.Hash + "\t" + t.Label + "\n";
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = std::rename(temp.c_str(), file_.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    Log(LMT_ERROR, LMD_ALL, "API tokens: cannot write " + file_, kCategory);
  }
  return ok;
}

std::optional<TApiToken> TApiTokens::Create(const std::string& label, int32_t serverId,
                                            std::string& secret) {
  if (HasControlChars(label) || serverId < 0) return std::nullopt;
  TLockGuard lock(mutex_);
  if (tokens_.size() >= kMaxTokens) return std::nullopt;
  const std::string text = kPrefix + RandomPassword(kSecretLength);
  TApiToken t;
  t.Id = nextId_;
  t.ServerId = serverId;
  t.Label = Cut(label, kMaxLabel);
  t.CreatedSeconds = static_cast<int64_t>(std::time(nullptr));
  t.Hash = HashOf(text);
  tokens_.push_back(t);
  if (!Save()) {
    tokens_.pop_back();
    return std::nullopt;
  }
  ++nextId_;
  secret = text;
  return t;
}

bool TApiTokens::Revoke(int32_t id) {
  TLockGuard lock(mutex_);
  for (size_t i = 0; i < tokens_.size(); ++i) {
    if (tokens_[i].Id != id) continue;
    const TApiToken removed = tokens_[i];
    tokens_.erase(tokens_.begin() + static_cast<std::ptrdiff_t>(i));
    if (Save()) return true;
    tokens_.insert(tokens_.begin() + static_cast<std::ptrdiff_t>(i), removed);
    return false;
  }
  return false;
}

std::optional<TApiToken> TApiTokens::Find(const std::string& secret) const {
  const std::string hash = HashOf(secret);
  TLockGuard lock(mutex_);
  std::optional<TApiToken> found;
  // Every entry is compared, whichever matches, so the time taken tells nothing.
  for (const TApiToken& t : tokens_)
    if (t.Hash.size() == hash.size() && sodium_memcmp(t.Hash.data(), hash.data(), hash.size()) == 0)
      found = t;
  return found;
}

std::vector<TApiToken> TApiTokens::List() const {
  TLockGuard lock(mutex_);
  return tokens_;
}

}  // namespace vh
