// One virtual server: its settings, permission sets, ban list, administration request record,
// and the objects it owns (socket, connection table, listener and send threads, registry,
// channel tree). Created and started on the main thread (or an administration thread through
// the virtual-server list); its threads run until Stop.
//
// Lock order of the whole server, outermost first:
//   1. the virtual-server list lock (TVirtualServerList)
//   2. a virtual server's request lock (one administration request at a time)
//   3. the client registry lock, then the channel tree lock (released in the same order)
//   4. the process-wide storage lock (around each load-bind-run-read of a script)
//   5. innermost: the connection-table lock and the two table-wide bandwidth-counter locks
// Every wait of the listener and send threads is bounded (at most 52 ms).
#pragma once

#include <cstdint>

namespace vh {

class TServerObject {
 public:
  TServerObject() = default;
  virtual ~TServerObject() = default;
  TServerObject(const TServerObject&) = delete;
  TServerObject& operator=(const TServerObject&) = delete;

  int32_t ServerID() const { return serverId_; }
  // Tells every player, closes the connections and ends the threads.
  virtual void Stop() {}

 protected:
  int32_t serverId_ = 0;  // set by Start
};

}  // namespace vh
