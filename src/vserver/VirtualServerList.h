// The process-wide list of running virtual servers. Every lookup, listing, addition and
// removal holds the list lock for the whole walk (the outermost lock of the server; see
// ServerObject.h for the full order). Used by the main thread and the administration threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/Mutex.h"

namespace vh {

class TServerObject;

class TVirtualServerList {
 public:
  static constexpr size_t kStopThreads = 128;

  TVirtualServerList() = default;
  ~TVirtualServerList();
  TVirtualServerList(const TVirtualServerList&) = delete;
  TVirtualServerList& operator=(const TVirtualServerList&) = delete;

  void Add(std::shared_ptr<TServerObject> server) EXCLUDES(mutex_);
  // Pairs of (id as decimal text, server); the caller owns the returned list. Servers are
  // shared so that a listing stays valid while another thread stops one.
  std::vector<std::pair<std::string, std::shared_ptr<TServerObject>>> ListVirtualServers() const
      EXCLUDES(mutex_);
  // The servers, for monitoring: waits at most ~50 ms for the list lock (held for seconds while
  // servers stop) and returns false without touching `out` when it did not get it.
  bool TryListVirtualServers(std::vector<std::shared_ptr<TServerObject>>& out) const
      EXCLUDES(mutex_);
  std::shared_ptr<TServerObject> FindVirtualServer(int32_t id) const EXCLUDES(mutex_);
  // Runs `fn` on the server with that id while the list lock is held, so that no other thread
  // stops it meanwhile; false when none has the id. `fn` must be short and take only locks
  // that come after the list lock.
  bool WithVirtualServer(int32_t id, const std::function<void(TServerObject&)>& fn) const
      EXCLUDES(mutex_);
  // The text is trimmed; empty or not an integer yields none.
  std::shared_ptr<TServerObject> FindVirtualServerByText(const std::string& text) const;
  // Id 0 stops all; otherwise only the one with that id. They are removed, then stopped side
  // by side (kStopThreads at a time) and released, all while the lock is held.
  void StopVirtualServers(int32_t id) EXCLUDES(mutex_);
  // Takes one server out of the list without stopping it (a start that failed).
  void Remove(const TServerObject* server) EXCLUDES(mutex_);
  size_t Count() const EXCLUDES(mutex_);
  // Runs `use` on `server` while the list lock is held, if the server is still listed (so no
  // other thread can stop it meanwhile); false when it is not. `use` must not call back into
  // the list: the lock is not re-entrant.
  bool WithVirtualServer(const TServerObject* server,
                         const std::function<void(TServerObject&)>& use) const EXCLUDES(mutex_);

 private:
  mutable TMutex mutex_;
  std::vector<std::shared_ptr<TServerObject>> servers_ GUARDED_BY(mutex_);
};

}  // namespace vh
