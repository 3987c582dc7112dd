// A virtual server's record as stored (settings, type, the six permission sets), read and
// written without a running server: for the administration pages that edit a stopped one.
// Any thread; the storage lock is taken inside each script.
#pragma once

#include <cstdint>
#include <optional>

#include "model/Permissions.h"
#include "vserver/ServerObject.h"

namespace vh {

class TCustomStorage;

struct TStoredServerSettings {
  int32_t ServerId = 0;
  TVirtualServerSettings Server;
  bool ClanServer = true;
  TServerPermissions Permissions;
};

// None when there is no record of that id.
std::optional<TStoredServerSettings> ReadStoredServerSettings(TCustomStorage& storage,
                                                              int32_t serverId);
// Writes the record ("edit_server.sql"), not the permission sets; false when it failed.
bool WriteStoredServerSettings(TCustomStorage& storage, const TStoredServerSettings& s);

}  // namespace vh
