// IP-ban operations shared by the administration front ends: add (with the 20-ban limit),
// delete one, clear all; each reloads the running server's ban list afterwards. Any thread;
// the storage and the server's ban-list lock are taken inside.
#pragma once

#include <cstdint>
#include <string>

#include "model/BanMatch.h"

namespace vh {

class TServerObject;

enum class TBanResult { Done, LimitReached, Failed, BadPattern };

// Replaces any stored ban of `ip` with a new one by `by`. An IPv6 pattern (address or prefix)
// is stored in its compressed form; a malformed one gives BadPattern.
TBanResult AddBan(TServerObject& server, const std::string& ip, int32_t minutes,
                  const std::string& by);
TBanResult DeleteBan(TServerObject& server, int32_t banId);
TBanResult ClearBans(TServerObject& server);

}  // namespace vh
