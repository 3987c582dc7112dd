#include "admin/AccountAdmin.h"

#include <memory>

#include "model/Clients.h"

namespace vh {

int32_t AddAccount(TCustomStorage& storage, uint32_t serverId, const std::string& loginName,
                   const std::string& password, bool serverAdmin, int32_t* id) {
  TClients accounts(serverId, &storage);
  TClientRecord record;
  record.LoginName = loginName;
  record.Password = password;
  record.PlayerPrivileges = serverAdmin ? PP_SERVER_ADMIN : 0;
  const int32_t result = accounts.DBAddUser(serverId, &record);
  if (result == 0 && id) *id = record.DBID;
  return result;
}

int32_t AddSuperAccount(TCustomStorage& storage, const std::string& loginName,
                        const std::string& password, int32_t* id) {
  TClients accounts(kSuperUserServerId, &storage);
  TClientRecord record;
  record.LoginName = loginName;
  record.Password = password;
  record.PlayerPrivileges = PP_SUPER_SERVER_ADMIN;
  const int32_t result = accounts.DBAddSuperUser(&record);
  if (result == 0 && id) *id = record.DBID;
  return result;
}

bool AccountExists(TCustomStorage& storage, uint32_t serverId, int32_t accountId) {
  TClients accounts(serverId, &storage);
  return accounts._DBLoadUser(serverId, accountId) != nullptr;
}

void DeleteAccount(TCustomStorage& storage, uint32_t serverId, int32_t accountId) {
  TClients accounts(serverId, &storage);
  accounts._DBDeleteUser(serverId, accountId);
}

bool ChangeAccountPassword(TCustomStorage& storage, uint32_t serverId, int32_t accountId,
                           const std::string& password) {
  TClients accounts(serverId, &storage);
  if (!accounts._DBLoadUser(serverId, accountId)) return false;
  // A failed write is logged by the registry; as before, only a missing account is refused.
  static_cast<void>(accounts.DBChangePassword(serverId, accountId, password));
  return true;
}

bool SetAccountServerAdmin(TCustomStorage& storage, uint32_t serverId, int32_t accountId,
                           bool serverAdmin, std::string* loginName) {
  TClients accounts(serverId, &storage);
  TClientRecordPtr record = accounts._DBLoadUser(serverId, accountId);
  if (!record) return false;
  if (serverAdmin)
    record->PlayerPrivileges |= PP_SERVER_ADMIN;
  else
    record->PlayerPrivileges &= static_cast<uint16_t>(~PP_SERVER_ADMIN);
  accounts.DBSaveUser(serverId, record.get());
  if (loginName) *loginName = record->LoginName.Str();
  return true;
}

}  // namespace vh
