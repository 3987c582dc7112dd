// Cookie sessions of the web interface: a name=value list per browser (names without regard
// to letter case) and its TWebSessionData, ended after 15 minutes without a request. Used by
// the HTTP connection threads; the table is guarded by mutex_, each session's values by its
// own lock. Time comes from an injected clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
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

struct TWebSessionData {
  double LastCheckMs = 0;     // last login re-validation, on the web clock
  double SettingsTimeMs = 0;  // when Settings was read; 0 forces a new read
  std::optional<TWorkingSettings> Settings;
};

class TWebSession {
 public:
  explicit TWebSession(std::string id) : id_(std::move(id)) {}
  const std::string& Id() const { return id_; }
  std::string Get(const std::string& name) const;
  void Set(const std::string& name, const std::string& value);
  std::map<std::string, std::string> Values() const;
  // Login and logout change several values as one step under this lock.
  std::mutex& Lock() { return lock_; }
  TWebSessionData& Data() { return data_; }

 private:
  const std::string id_;
  mutable TMutex valuesMutex_;
  std::map<std::string, std::string> values_ GUARDED_BY(valuesMutex_);  // lower-case names
  std::mutex lock_;
  TWebSessionData data_;  // used by the requests of this session
};

class TWebSessions {
 public:
  static constexpr double kTimeoutMs = 900000;
  static constexpr size_t kMaxSessions = 4096;

  explicit TWebSessions(const TClock& clock) : clock_(clock) {}
  // The live session of `id`, or a new one (started as the session start handler says).
  std::shared_ptr<TWebSession> Find(const std::string& id, bool* created);
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
