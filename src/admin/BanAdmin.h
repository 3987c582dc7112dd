// IP-ban operations shared by the administration front ends: add (with the 20-ban limit),
// delete one, clear all; each reloads the running server's ban list afterwards. Any thread;
// the storage and the server's ban-list lock are taken inside.
#pragma once

#include <cstdint>
#include <string>

namespace vh {

class TServerObject;

// More loaded bans than this refuse a new one.
constexpr size_t kMaxBans = 20;

enum class TBanResult { Done, LimitReached, Failed };

// Replaces any stored ban of `ip` with a new one by `by`.
TBanResult AddBan(TServerObject& server, const std::string& ip, int32_t minutes,
                  const std::string& by);
TBanResult DeleteBan(TServerObject& server, int32_t banId);
TBanResult ClearBans(TServerObject& server);

}  // namespace vh
