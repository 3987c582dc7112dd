// Cookie sessions of the web interface: a name=value list per browser (names without regard
// to letter case) and its cached login data, ended after 15 minutes without a request. A
// session is made only by a successful login (with a new id each time, so an id planted
// before the login is worthless) and ended by the logout; a request without one works on a
// transient session that is never stored, so anonymous requests cannot push a logged-in
// session out of the table. Used by the HTTP connection threads (two tabs with one cookie use
// one session at once); the table is guarded by mutex_, each session's values and cached
// settings by the session's own locks, and settings leave a session only as copies. Time
// comes from an injected clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "admin/StoredServerSettings.h"
#include "common/Mutex.h"
#include "common/ThreadAnnotations.h"
#include "model/Permissions.h"
#include "vserver/ServerObject.h"

namespace vh {

class TClock;

// One virtual server's stored settings as the web pages show and change them.
using TWorkingSettings = TStoredServerSettings;

class TWebSession {
 public:
  // An empty id makes the transient session of a request without a login (no token).
  TWebSession(std::string id, std::string token) : id_(std::move(id)), token_(std::move(token)) {}
  const std::string& Id() const { return id_; }
  // The secret every command of this session must carry (the engine puts it into the forms
  // of its pages); empty for a transient session.
  const std::string& Token() const { return token_; }
  // Whether `token` is this session's, compared in constant time.
  bool TokenMatches(const std::string& token) const;
  std::string Get(const std::string& name) const;
  void Set(const std::string& name, const std::string& value);
  std::map<std::string, std::string> Values() const;
  // Login and logout change several values as one step under this lock (taken before the
  // values lock, never inside it).
  TMutex& Lock() RETURN_CAPABILITY(loginMutex_) { return loginMutex_; }

  // When the login was last re-validated, on the web clock (0: never).
  double LastCheckMs() const;
  void SetLastCheckMs(double ms);
  // A copy of the cached settings of server `serverId` when they were read less than `maxAgeMs`
  // before `nowMs`, else nothing.
  std::optional<TWorkingSettings> CachedSettings(int32_t serverId, double nowMs,
                                                 double maxAgeMs) const;
  void CacheSettings(TWorkingSettings settings, double nowMs);
  // The next CachedSettings reads again (after the selected server or its settings changed).
  void ForgetSettings();

 private:
  const std::string id_;
  const std::string token_;
  TMutex loginMutex_ ACQUIRED_BEFORE(valuesMutex_);
  mutable TMutex valuesMutex_;
  std::map<std::string, std::string> values_ GUARDED_BY(valuesMutex_);  // lower-case names
  // Guarded by dataMutex_ (a leaf):
  mutable TMutex dataMutex_;
  double lastCheckMs_ GUARDED_BY(dataMutex_) = 0;
  double settingsTimeMs_ GUARDED_BY(dataMutex_) = 0;  // when settings_ was read; 0: read again
  std::optional<TWorkingSettings> settings_ GUARDED_BY(dataMutex_);
};

class TWebSessions {
 public:
  static constexpr double kTimeoutMs = 900000;
  static constexpr size_t kMaxSessions = 4096;

  explicit TWebSessions(const TClock& clock) : clock_(clock) {}
  // The live session of `id` (its 15 minutes start again), or null.
  std::shared_ptr<TWebSession> Find(const std::string& id);
  // A new session with a fresh id and token, started as the session start handler says; not
  // stored until Add.
  static std::shared_ptr<TWebSession> NewSession();
  // The session of a request that has none: never stored, no id, no token.
  static std::shared_ptr<TWebSession> Transient();
  // Stores a session made by a login; when the table is full, the session used least recently
  // makes room (only logins, which need valid credentials, get here).
  void Add(std::shared_ptr<TWebSession> session);
  void End(const std::string& id);
  size_t Count() const;

 private:
  struct TEntry {
    std::shared_ptr<TWebSession> session;
    double lastUseMs = 0;
  };
  void PurgeExpired(double now) REQUIRES(mutex_);

  const TClock& clock_;
  mutable TMutex mutex_;
  std::map<std::string, TEntry> sessions_ GUARDED_BY(mutex_);
};

}  // namespace vh
