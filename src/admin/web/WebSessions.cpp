#include "admin/web/WebSessions.h"

#include <algorithm>
#include <cctype>
#include <random>

#include "storage/DateTime.h"
#include "transport/Clocks.h"

namespace vh {

namespace {

std::string LowerName(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// 128 bits from the system's random source, as hex: the cookie cannot be guessed.
std::string NewSessionId() {
  static TMutex m;
  static std::random_device device;
  TLockGuard lock(m);
  std::string id;
  static const char* kHex = "0123456789abcdef";
  for (int i = 0; i < 4; ++i) {
    uint32_t v = device();
    for (int k = 0; k < 8; ++k, v >>= 4) id += kHex[v & 15];
  }
  return id;
}

}  // namespace

std::string TWebSession::Get(const std::string& name) const {
  TLockGuard lock(valuesMutex_);
  auto it = values_.find(LowerName(name));
  return it == values_.end() ? std::string() : it->second;
}

void TWebSession::Set(const std::string& name, const std::string& value) {
  TLockGuard lock(valuesMutex_);
  values_[LowerName(name)] = value;
}

std::map<std::string, std::string> TWebSession::Values() const {
  TLockGuard lock(valuesMutex_);
  return values_;
}

double TWebSession::LastCheckMs() const {
  TLockGuard lock(dataMutex_);
  return lastCheckMs_;
}

void TWebSession::SetLastCheckMs(double ms) {
  TLockGuard lock(dataMutex_);
  lastCheckMs_ = ms;
}

std::optional<TWorkingSettings> TWebSession::CachedSettings(int32_t serverId, double nowMs,
                                                            double maxAgeMs) const {
  TLockGuard lock(dataMutex_);
  if (settings_ && settings_->ServerId == serverId && settingsTimeMs_ > 0 &&
      nowMs - settingsTimeMs_ < maxAgeMs)
    return settings_;
  return std::nullopt;
}

void TWebSession::CacheSettings(TWorkingSettings settings, double nowMs) {
  TLockGuard lock(dataMutex_);
  settings_ = std::move(settings);
  settingsTimeMs_ = nowMs;
}

void TWebSession::ForgetSettings() {
  TLockGuard lock(dataMutex_);
  settingsTimeMs_ = 0;
}

bool TWebSession::TokenMatches(const std::string& token) const {
  if (token_.empty() || token.size() != token_.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < token.size(); ++i)
    diff |= static_cast<unsigned char>(token[i] ^ token_[i]);
  return diff == 0;
}

std::shared_ptr<TWebSession> TWebSessions::Find(const std::string& id) {
  if (id.empty()) return nullptr;
  const double now = clock_.NowMs();
  TLockGuard lock(mutex_);
  PurgeExpired(now);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return nullptr;
  it->second.lastUseMs = now;
  return it->second.session;
}

std::shared_ptr<TWebSession> TWebSessions::NewSession() {
  auto session = std::make_shared<TWebSession>(NewSessionId(), NewSessionId());
  session->Set("StartTime", DateTimeToStorageText(NowDateTime()));
  for (const char* name : {"superadmin", "serverid", "admin", "LOGGEDIN"}) session->Set(name, "");
  return session;
}

std::shared_ptr<TWebSession> TWebSessions::Transient() {
  auto session = std::make_shared<TWebSession>(std::string(), std::string());
  for (const char* name : {"superadmin", "serverid", "admin", "LOGGEDIN"}) session->Set(name, "");
  return session;
}

void TWebSessions::Add(std::shared_ptr<TWebSession> session) {
  const double now = clock_.NowMs();
  TLockGuard lock(mutex_);
  PurgeExpired(now);
  if (sessions_.size() >= kMaxSessions) {
    auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](auto& a, auto& b) {
      return a.second.lastUseMs < b.second.lastUseMs;
    });
    sessions_.erase(oldest);
  }
  const std::string id = session->Id();
  sessions_[id] = TEntry{std::move(session), now};
}

void TWebSessions::End(const std::string& id) {
  TLockGuard lock(mutex_);
  sessions_.erase(id);
}

size_t TWebSessions::Count() const {
  TLockGuard lock(mutex_);
  return sessions_.size();
}

void TWebSessions::PurgeExpired(double now) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second.lastUseMs >= kTimeoutMs)
      it = sessions_.erase(it);
    else
      ++it;
  }
}

}  // namespace vh
