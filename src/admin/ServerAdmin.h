// Virtual-server operations shared by the administration front ends: start a stored server,
// create a new one, stop one, delete a stored one, list the stored ones, and hand requests to
// a running server's listener. Called on the front ends' connection threads; the list and the
// storage take their own locks, so callers hold neither (a caller inside
// TVirtualServerList::WithVirtualServer may only use the request and settings helpers).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vserver/ServerObject.h"

namespace vh {

struct TAdminContext;

enum class TServerOpResult {
  Done,
  Running,        // "server is running"
  NoData,         // the stored server list is empty
  InvalidId,      // no stored server with that id
  InvalidNumber,  // the id is not a decimal number
  PortInUse,      // a stored server has that port already
  Failed          // the start or the database write failed
};

// Starts the stored virtual server whose id, as text, equals `idText` as typed.
TServerOpResult StartStoredServer(const TAdminContext& context, const std::string& idText);
// Creates and starts a new virtual server on `port`; the new server in `started`.
TServerOpResult AddNewServer(const TAdminContext& context, uint16_t port,
                             std::shared_ptr<TServerObject>* started = nullptr);
// Runs `use` on `server` under the list lock, so that no other thread stops it meanwhile, if
// it is still listed and owns its registry and tree (not starting, not a failed start); false
// otherwise. `use` may read the server's model and post listener requests, nothing that
// takes the list lock.
bool WithRunningServer(const TAdminContext& context, const TServerObject* server,
                       const std::function<void(TServerObject&)>& use);
// The players on running server `id`, read as WithRunningServer does; none when not running.
std::optional<size_t> RunningPlayerCount(const TAdminContext& context, int32_t id);
// Stops the running virtual server `id` (Stop, then out of the list).
void StopServer(const TAdminContext& context, int32_t id);
// Deletes the stored virtual server `idText` (with its channels, accounts and bans); it must
// not be running.
TServerOpResult DeleteStoredServer(const TAdminContext& context, const std::string& idText);

struct TStoredServer {
  int32_t Id = 0;
  int32_t Port = 0;
  std::string Name;
  bool Active = false;
  bool Running = false;
};
// Every stored virtual server; none when the database holds none (or cannot be read).
std::optional<std::vector<TStoredServer>> ListStoredServers(const TAdminContext& context);

// Runs one listener request on a running server and gives its result code (-10 when the
// listener did not answer in time). Texts are cut to the room of the request record.
int32_t RunListenerRequest(TServerObject& server, TListenerRequest request,
                           int timeoutMs = TServerObject::kRequestTimeoutMs);
// Stores the server's settings and tells its players (request 8); the request's result, or
// RC_INTERNAL_ERROR when the database refused the settings (the players hear of them anyway).
int32_t SaveServerSettings(TServerObject& server, int timeoutMs = TServerObject::kRequestTimeoutMs);
// The one edit of a running server's settings, for the web page and the query alike: takes
// `settings`, makes the server a clan (flags 5) or public (flags 6) server when `clanServer`
// is given, marking the type as changed when it is, then stores and announces the settings as
// SaveServerSettings does; the request's result.
int32_t EditServerSettings(TServerObject& server, const TVirtualServerSettings& settings,
                           std::optional<bool> clanServer,
                           int timeoutMs = TServerObject::kRequestTimeoutMs);

}  // namespace vh
