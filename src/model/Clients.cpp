#include "model/Clients.h"

#include <string>

#include "common/Log.h"
#include "common/PasswordHash.h"
#include "common/Random.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "storage/CustomStorage.h"

namespace vh {

namespace {

constexpr std::string_view kCategory = "CLIENT";

// Runs `body`; an exception is logged under `operation` and `fallback` returned instead.
template <typename R, typename F>
R Guarded(std::string_view operation, R fallback, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    LogException(operation, e, kCategory);
    return fallback;
  }
}

}  // namespace

TClients::TClients(uint32_t serverID, TCustomStorage* storage)
    : serverId_(serverID), storage_(storage), list_(512) {}

TClients::~TClients() {
  try {
    list_.Clear();
  } catch (const std::exception& e) {
    LogError("Destroy", e);
  }
}

void TClients::LogError(std::string_view operation, const std::exception& e) const {
  LogException("SID: " + std::to_string(serverId_) + " " + std::string(operation), e, kCategory);
}

bool TClients::AddClient(TClientRecordPtr record) {
  if (!record) return false;
  try {
    const auto key = static_cast<int32_t>(record->PlayerID);
    list_.Add(std::move(record), key);
    return true;
  } catch (const std::exception& e) {
    LogError("AddClient", e);
    return false;
  }
}

TClientRecordPtr TClients::DeleteClient(TClientRecord* record) {
  if (!record) return nullptr;
  try {
    return list_.Remove(static_cast<int32_t>(record->PlayerID));
  } catch (const std::exception& e) {
    LogError("DeleteClient", e);
    return nullptr;
  }
}

TClientRecord* TClients::GetClientByID(uint32_t playerID) const {
  return list_.Get(static_cast<int32_t>(playerID));
}

TClientRecord* TClients::GetClientByNickName(std::string_view nickName) const {
  for (size_t i = 0; i < list_.Count(); ++i)
    if (list_.Items(i)->NickName == nickName) return list_.Items(i);
  return nullptr;
}

bool TClients::isLoggedIn(std::string_view loginName) const {
  if (loginName.empty()) return false;
  for (size_t i = 0; i < list_.Count(); ++i)
    if (list_.Items(i)->IsRegistered() && list_.Items(i)->LoginName == loginName) return true;
  return false;
}

uint32_t TClients::GetNewConnectionID() const {
  try {
    for (;;) {
      // Never 0: that is what a login request carries and what "no connection" reads as.
      uint32_t id = 1 + SecureRandomBelow(kConnectionIDLimit - 1);
      bool taken = false;
      for (size_t i = 0; i < list_.Count() && !taken; ++i)
        taken = list_.Items(i)->ConnectionID == id;
      if (!taken) return id;
    }
  } catch (const std::exception& e) {
    LogError("GetNewConnectionID", e);
    return 0;
  }
}

uint32_t TClients::GetNewPlayerID() {
  return static_cast<uint32_t>(++playerIdCounter_);
}

void TClients::ResetPlayerID() {
  playerIdCounter_ = 0;
}

TClientRecordPtr TClients::NewClient() {
  return std::make_unique<TClientRecord>();
}

bool TClients::AddToPlayerMuteList(TClientRecord* record, uint32_t playerID) {
  if (!record) return false;
  return Guarded("AddToPlayerMuteList", false, [&] {
    int32_t key = static_cast<int32_t>(playerID);
    if (record->MuteList.Contains(key)) return false;
    record->MuteList.Add(nullptr, key);
    return true;
  });
}

bool TClients::RemoveFromPlayerMuteList(TClientRecord* record, uint32_t playerID) {
  if (!record) return true;
  return Guarded("RemoveFromPlayerMuteList", false, [&] {
    int32_t key = static_cast<int32_t>(playerID);
    if (!record->MuteList.Contains(key)) return true;
    record->MuteList.Remove(key);
    return false;
  });
}

bool TClients::IsInPlayerMuteList(const TClientRecord* record, uint32_t playerID) {
  return record && record->MuteList.Contains(static_cast<int32_t>(playerID));
}

// ---- Accounts

std::optional<TStoredLogin> TClients::DBReadLogin(std::string_view name, bool* storageFailed) {
  if (storageFailed) *storageFailed = false;
  if (!storage_) return std::nullopt;
  try {
    TStorageScript q(*storage_, "read_client_login.sql");
    q.SetString(":sName", name).SetInteger(":iServerID", serverId_);
    std::unique_ptr<TStorageContainer> rows = q.Open();
    if (!rows && q.OpenFailed() && storageFailed) *storageFailed = true;
    if (!rows || rows->Count() == 0) return std::nullopt;
    const TStorageRow& row = rows->Row(0);
    TStoredLogin login;
    login.StoredPassword = row.FieldByName("s_client_password").GetAsString();
    login.ServerAdmin = row.FieldByName("b_client_privilege_serveradmin").GetAsBoolean();
    login.Created = row.FieldByName("dt_client_created").GetAsDateTime();
    login.DBID = row.FieldByName("i_client_id").GetAsInteger();
    return login;
  } catch (const std::exception& e) {
    LogError("DBReadLogin", e);
    if (storageFailed) *storageFailed = true;
    return std::nullopt;
  }
}

void TClients::DBReplacePasswordHash(const TStoredLogin& login, const std::string& hash) {
  if (!storage_ || hash.empty()) return;
  try {
    // Only while the row still holds the value that was checked: a password changed meanwhile
    // stays. A failure leaves the old value, which still verifies.
    TStorageScript q(*storage_, "rehash_client_password.sql");
    q.SetString(":sPassword", hash)
        .SetInteger(":iClientID", login.DBID)
        .SetString(":sOldPassword", login.StoredPassword);
    static_cast<void>(q.Execute());  // logged by the storage; the old value still verifies
  } catch (const std::exception& e) {
    LogError("DBReplacePasswordHash", e);
  }
}

TClientRecordPtr TClients::DBValidLogin(std::string_view name, std::string_view password,
                                        bool* storageFailed) {
  const std::optional<TStoredLogin> login = DBReadLogin(name, storageFailed);
  if (!login) return nullptr;
  try {
    if (!TPasswordHash::Verify(login->StoredPassword, password)) return nullptr;
    auto record = std::make_unique<TClientRecord>();
    if (login->ServerAdmin) record->PlayerPrivileges |= PP_SERVER_ADMIN;
    record->Created = login->Created;
    record->DBID = login->DBID;
    // A plain-text value (written by hand) or a hash of other parameters is replaced now that
    // the password is known; hashed before the storage lock is taken.
    if (TPasswordHash::NeedsRehash(login->StoredPassword))
      DBReplacePasswordHash(*login, TPasswordHash::Make(password));
    return record;
  } catch (const std::exception& e) {
    LogError("DBValidLogin", e);
    if (storageFailed) *storageFailed = true;
    return nullptr;
  }
}

TStoreResult TClients::DBChangePassword(uint32_t serverID, int32_t clientID,
                                        std::string_view password) {
  if (!storage_) return TStoreResult::Failed(kNoDatabase);
  try {
    const std::string hash = TPasswordHash::Make(password);
    TStorageScript q(*storage_, "edit_client_password.sql");
    q.SetString(":sPassword", hash).SetInteger(":iClientID", clientID);
    q.SetInteger(":iServerID", serverID);
    return q.Execute();
  } catch (const std::exception& e) {
    LogError("DBChangePassword", e);
    return TStoreResult::Failed(e.what());
  }
}

int32_t TClients::AddUser(uint32_t serverID, TClientRecord* record, bool serverAdmin) {
  if (!storage_ || !record) return RC_LOGIN_NAME_IN_USE;
  // A control character in a login name would break the lines of every administration
  // answer and log line that shows it.
  if (HasControlChars(record->LoginName.Str())) return RC_BAD_ARGUMENT;
  TStorageScript q(*storage_, "read_clients_name.sql");
  q.SetString(":sName", record->LoginName.Str()).SetInteger(":iServerID", serverID);
  auto rows = q.Open();
  if (rows && rows->Count() > 0) return RC_LOGIN_NAME_IN_USE;
  q.Load("new_client.sql");
  q.SetString(":sName", record->LoginName.Str());
  q.SetString(":sPassword", TPasswordHash::Make(record->Password.Str()));
  q.SetInteger(":iServerID", serverID);
  q.SetDateTime(":dtCreated", NowDateTime());
  q.SetBoolean(":bServerAdmin", serverAdmin);
  // A failed insert must not hand out the id of some earlier insert, nor pass for a taken
  // name: the storage has logged why it failed.
  if (!q.Execute()) {
    Log(LMT_ERROR, LMD_ALL,
        "SID: " + std::to_string(serverID) + " AddUser, unable to store account " +
            record->LoginName.Str(),
        kCategory);
    return RC_INTERNAL_ERROR;
  }
  record->DBID = static_cast<int32_t>(q.LastInsertId());
  return RC_OK;
}

int32_t TClients::DBAddUser(uint32_t serverID, TClientRecord* record) {
  try {
    return AddUser(serverID, record, record && record->IsServerAdmin());
  } catch (const std::exception& e) {
    LogError("DBAddUser", e);
    return RC_INTERNAL_ERROR;
  }
}

int32_t TClients::DBAddSuperUser(TClientRecord* record) {
  try {
    return AddUser(0, record, true);
  } catch (const std::exception& e) {
    LogError("DBAddSuperUser", e);
    return RC_INTERNAL_ERROR;
  }
}

void TClients::SaveUser(uint32_t serverID, TClientRecord* record, bool serverAdmin) {
  if (!storage_ || !record || Trim(record->LoginName.Str()).empty()) return;
  TStorageScript q(*storage_, "read_clients_name.sql");
  q.SetString(":sName", record->LoginName.Str()).SetInteger(":iServerID", serverID);
  auto rows = q.Open();
  int32_t existing = 0;
  if (rows && rows->Count() > 0) {
    // An existing account keeps its password: only DBChangePassword sets one.
    existing = rows->Row(0).FieldByName("i_client_id").GetAsInteger();
    q.Load("edit_client.sql");
    q.SetInteger(":iClientId", existing);
  } else {
    q.Load("new_client.sql");
    q.SetDateTime(":dtCreated", NowDateTime());
    q.SetString(":sPassword", TPasswordHash::Make(record->Password.Str()));
  }
  q.SetString(":sName", record->LoginName.Str());
  q.SetBoolean(":bServerAdmin", serverAdmin);
  q.SetInteger(":iServerID", serverID);
  if (!q.Execute() || record->DBID != 0) return;
  // A record not yet tied to its account takes the id of the row it was saved to.
  record->DBID = existing != 0 ? existing : static_cast<int32_t>(q.LastInsertId());
}

void TClients::DBSaveUser(uint32_t serverID, TClientRecord* record) {
  try {
    SaveUser(serverID, record, record && record->IsServerAdmin());
  } catch (const std::exception& e) {
    LogError("DBSaveUser", e);
  }
}

void TClients::_DBSaveSuperUser(TClientRecord* record) {
  try {
    SaveUser(0, record, true);
  } catch (const std::exception& e) {
    LogError("_DBSaveSuperUser", e);
  }
}

void TClients::DBDeleteUser(uint32_t serverID, TClientRecord* record) {
  if (!storage_ || !record) return;
  try {
    {
      TStorageScript q(*storage_, "delete_client.sql");
      q.SetInteger(":iServerID", serverID).SetInteger(":iClientID", record->DBID);
      // The row is still there (the storage logged why): the player stays registered.
      if (!q.Execute()) return;
    }
    record->LoginName.Clear();
    record->Password.Clear();
    record->DBID = -1;
  } catch (const std::exception& e) {
    LogError("DBDeleteUser", e);
  }
}

void TClients::_DBDeleteUser(uint32_t serverID, int32_t clientID) {
  if (!storage_) return;
  try {
    TStorageScript q(*storage_, "delete_client.sql");
    q.SetInteger(":iServerID", serverID).SetInteger(":iClientID", clientID);
    // The administration has no failure answer for a deletion: the storage logs it.
    static_cast<void>(q.Execute());
  } catch (const std::exception& e) {
    LogError("_DBDeleteUser", e);
  }
}

TClientRecordPtr TClients::LoadUser(uint32_t serverID, int32_t clientID, std::string_view name,
                                    bool byName, bool readServerAdmin) {
  if (!storage_) return nullptr;
  std::unique_ptr<TStorageContainer> rows;
  {
    TStorageScript q(*storage_, byName ? "read_clients_name.sql" : "read_clients_id.sql");
    if (byName)
      q.SetString(":sName", name);
    else
      q.SetInteger(":iClientID", clientID);
    q.SetInteger(":iServerID", serverID);
    rows = q.Open();
  }
  if (!rows || rows->Count() == 0) return nullptr;
  const TStorageRow& row = rows->Row(0);
  auto record = std::make_unique<TClientRecord>();
  if (readServerAdmin && row.FieldByName("b_client_privilege_serveradmin").GetAsBoolean())
    record->PlayerPrivileges |= PP_SERVER_ADMIN;
  // A longer stored name is cut to the 29 characters a record (and the wire) has room for.
  // The stored password is a hash: the record's Password (what a user typed) stays empty.
  record->LoginName = row.FieldByName("s_client_name").GetAsString();
  record->Created = row.FieldByName("dt_client_created").GetAsDateTime();
  record->DBID = row.FieldByName("i_client_id").GetAsInteger();
  return record;
}

TClientRecordPtr TClients::_DBLoadUser(uint32_t serverID, int32_t clientID) {
  try {
    return LoadUser(serverID, clientID, {}, false, true);
  } catch (const std::exception& e) {
    LogError("_DBLoadUser", e);
    return nullptr;
  }
}

TClientRecordPtr TClients::DBLoadUser(uint32_t serverID, std::string_view name) {
  try {
    return LoadUser(serverID, 0, name, true, true);
  } catch (const std::exception& e) {
    LogError("DBLoadUser", e);
    return nullptr;
  }
}

TClientRecordPtr TClients::DBLoadSuperUser(int32_t clientID) {
  return LoadUser(0, clientID, {}, false, false);
}

TStoreResult TClients::DBUpdateLastOnline(int32_t clientID) {
  if (!storage_) return TStoreResult::Failed(kNoDatabase);
  try {
    TStorageScript q(*storage_, "edit_client_lastonline.sql");
    q.SetInteger(":iClientID", clientID).SetDateTime(":dtLastOnline", NowDateTime());
    return q.Execute();
  } catch (const std::exception& e) {
    LogError("DBUpdateLastOnline", e);
    return TStoreResult::Failed(e.what());
  }
}

TClientAccount TClients::DBReadAccount(uint32_t serverID, int32_t clientID) {
  TClientAccount account;
  if (!storage_) return account;
  std::unique_ptr<TStorageContainer> rows;
  {
    TStorageScript q(*storage_, "read_clients_id.sql");
    q.SetInteger(":iClientID", clientID).SetInteger(":iServerID", serverID);
    rows = q.Open();
  }
  if (!rows || rows->Count() == 0) return account;
  const TStorageRow& row = rows->Row(0);
  account.DBID = row.FieldByName("i_client_id").GetAsInteger();
  account.LoginName = row.FieldByName("s_client_name").GetAsString();
  account.Created = row.FieldByName("dt_client_created").GetAsDateTime();
  account.LastOnline = row.FieldByName("dt_client_lastonline").GetAsDateTime();
  if (row.FieldByName("b_client_privilege_serveradmin").GetAsBoolean())
    account.Flags |= ACCOUNT_FLAG_SERVER_ADMIN;
  return account;
}

}  // namespace vh
