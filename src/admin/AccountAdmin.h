// Account operations shared by the administration front ends: the registered accounts of one
// virtual server and the super server admin accounts (stored with server id 0). Any thread;
// each operation takes the storage lock inside and holds no other lock.
#pragma once

#include <cstdint>
#include <string>

namespace vh {

class TCustomStorage;

// Server id 0 addresses the super server admin accounts throughout.
constexpr uint32_t kSuperUserServerId = 0;

// Stores a new account (the name cut to 29 characters, the hash of the password cut to 29);
// 0 and the new id in `id`, or a negative result code (-141 when the name is taken or the
// write failed).
int32_t AddAccount(TCustomStorage& storage, uint32_t serverId, const std::string& loginName,
                   const std::string& password, bool serverAdmin, int32_t* id = nullptr);
int32_t AddSuperAccount(TCustomStorage& storage, const std::string& loginName,
                        const std::string& password, int32_t* id = nullptr);
bool AccountExists(TCustomStorage& storage, uint32_t serverId, int32_t accountId);
// Deletes the account; no check that it existed.
void DeleteAccount(TCustomStorage& storage, uint32_t serverId, int32_t accountId);
// Stores the hash of `password`; false when there is no such account (server id 0: a super
// server admin account).
bool ChangeAccountPassword(TCustomStorage& storage, uint32_t serverId, int32_t accountId,
                           const std::string& password);
// False when there is no such account; `loginName` receives the account's name.
bool SetAccountServerAdmin(TCustomStorage& storage, uint32_t serverId, int32_t accountId,
                           bool serverAdmin, std::string* loginName = nullptr);

}  // namespace vh
