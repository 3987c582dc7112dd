// The client registry of one virtual server: the connected players' records, player and
// connection ids, mute lists, and the registered-account operations (table vh2_clients).
// The listener changes the registry; administration threads read it. Callers hold the registry
// lock (Lock/Unlock, or Mutex() in a guard) around every use of the list; the lookups take no
// lock themselves (REQUIRES below). The account operations take the storage lock inside, so the
// registry lock may be held then. Lock order: vserver/ServerObject.h.
// Each operation logs an exception under its own name and gives its neutral result, except the
// two readers only the administration uses (DBLoadSuperUser, DBReadAccount): their storage
// errors reach the caller's boundary, which logs them and answers with an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/KeyedList.h"
#include "common/Mutex.h"
#include "model/ClientRecord.h"
#include "storage/StoreResult.h"

namespace vh {

class TCustomStorage;

// An account's row as a login reads it: the stored password (a hash, or plain text written by
// hand) and what a verified login takes over.
struct TStoredLogin {
  int32_t DBID = 0;
  std::string StoredPassword;
  bool ServerAdmin = false;
  TDateTime Created = 0;
};

class TClients {
 public:
  // `storage` may be null (no database); it is not owned.
  TClients(uint32_t serverID, TCustomStorage* storage);
  // Frees every record still in the registry.
  ~TClients();
  TClients(const TClients&) = delete;
  TClients& operator=(const TClients&) = delete;

  // The registry lock; re-entrant, as the listener's helpers may nest. It is taken before the
  // channel tree's (TModelLock in model/ModelLock.h takes both in order).
  void Lock() ACQUIRE(mutex_) { mutex_.lock(); }
  void Unlock() RELEASE(mutex_) { mutex_.unlock(); }
  TRecursiveMutex& Mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }
  bool Locked() const { return mutex_.Locked(); }

  uint32_t ServerID() const { return serverId_; }
  TCustomStorage* Storage() const { return storage_; }

  // The registry takes `record` in every case: true once it holds it; a record whose PlayerID
  // is already registered is refused (logged) and freed, as is null.
  bool AddClient(TClientRecordPtr record) REQUIRES(mutex_);
  // Takes the record out of the registry and hands it back; the channel lists must have let
  // go of it before it is dropped.
  TClientRecordPtr DeleteClient(TClientRecord* record) REQUIRES(mutex_);

  TClientRecord* GetClientByID(uint32_t playerID) const REQUIRES(mutex_);
  // Exact, case-sensitive comparison; the first in list order.
  TClientRecord* GetClientByNickName(std::string_view nickName) const REQUIRES(mutex_);
  // True when a registered player (logged in or logging in) carries this login name (exact);
  // false for an empty name. Anonymous records never count.
  bool isLoggedIn(std::string_view loginName) const REQUIRES(mutex_);

  // A random connection id from 1 below kConnectionIDLimit that no registered record carries, from
  // the operating system's cryptographic source: the id is all that ties a datagram to a
  // session, so it must not be guessable.
  uint32_t GetNewConnectionID() const REQUIRES(mutex_);
  uint32_t GetNewPlayerID() REQUIRES(mutex_);
  void ResetPlayerID() REQUIRES(mutex_);
  int32_t PlayerIDCounter() const REQUIRES(mutex_) { return playerIdCounter_; }

  size_t Count() const REQUIRES(mutex_) { return list_.Count(); }
  TClientRecord* Items(size_t index) const REQUIRES(mutex_) { return list_.Items(index); }
  size_t MaxCount() const REQUIRES(mutex_) { return list_.MaxCount(); }

  // A zero-filled record with an empty mute list.
  static TClientRecordPtr NewClient();

  // True when the id was added, false when it was there already (or no record).
  static bool AddToPlayerMuteList(TClientRecord* record, uint32_t playerID);
  // False when the id was present (and is now removed); true when it was not there.
  static bool RemoveFromPlayerMuteList(TClientRecord* record, uint32_t playerID);
  static bool IsInPlayerMuteList(const TClientRecord* record, uint32_t playerID);

  // ---- Accounts. Records returned by the loaders are new and belong to the caller.
  // The account with this name at the registry's server when `password` (as typed; cut to 29
  // characters) verifies against its stored hash, or null. A stored value that is plain text
  // or hashed with older parameters is replaced by a fresh hash on success. Costs one hash
  // check (common/PasswordHash.h). A database that cannot be asked also gives null;
  // `storageFailed`, when given, then says so (it is logged).
  TClientRecordPtr DBValidLogin(std::string_view name, std::string_view password,
                                bool* storageFailed = nullptr);
  // DBValidLogin in two halves, for a caller that checks the password on another thread (the
  // listener, which must not hold the model locks through a check): the account's stored row
  // without any check (nothing when there is none or the database fails, `storageFailed` then
  // says which), and the fresh hash a successful check may leave to store.
  std::optional<TStoredLogin> DBReadLogin(std::string_view name, bool* storageFailed = nullptr);
  void DBReplacePasswordHash(const TStoredLogin& login, const std::string& hash);
  // Stores the hash of `password` as the account's; failed when nothing could be stored.
  TStoreResult DBChangePassword(uint32_t serverID, int32_t clientID, std::string_view password);
  // 0, -141 when the name is taken, -107 when it holds a control character, -50 when the
  // database fails (DBID untouched then); on success the record's DBID is the new row's id.
  int32_t DBAddUser(uint32_t serverID, TClientRecord* record);
  // Updates the account of the record's login name (its name and server-admin flag; the
  // password stays), or creates it with the hash of the record's Password (DBID set when it
  // was 0).
  void DBSaveUser(uint32_t serverID, TClientRecord* record);
  // Deletes the record's account; then LoginName and Password are empty and DBID is -1.
  void DBDeleteUser(uint32_t serverID, TClientRecord* record);
  void _DBDeleteUser(uint32_t serverID, int32_t clientID);
  TClientRecordPtr _DBLoadUser(uint32_t serverID, int32_t clientID);
  TClientRecordPtr DBLoadUser(uint32_t serverID, std::string_view name);
  // Loaded records carry no password (the account's is stored only as a hash).
  // Super users are the accounts of server id 0, valid for every virtual server.
  int32_t DBAddSuperUser(TClientRecord* record);
  void _DBSaveSuperUser(TClientRecord* record);
  TClientRecordPtr DBLoadSuperUser(int32_t clientID);
  // Records now as the account's last-online time; done once the script ran.
  TStoreResult DBUpdateLastOnline(int32_t clientID);
  // The account of this id at `serverID`; a zeroed record when there is none. A storage error
  // (an unreadable row) reaches the caller.
  TClientAccount DBReadAccount(uint32_t serverID, int32_t clientID);

 private:
  int32_t AddUser(uint32_t serverID, TClientRecord* record, bool serverAdmin);
  void SaveUser(uint32_t serverID, TClientRecord* record, bool serverAdmin);
  TClientRecordPtr LoadUser(uint32_t serverID, int32_t clientID, std::string_view name, bool byName,
                            bool readServerAdmin);
  void LogError(std::string_view operation, const std::exception& e) const;

  // set at construction
  const uint32_t serverId_;
  TCustomStorage* const storage_;

  mutable TRecursiveMutex mutex_;
  int32_t playerIdCounter_ GUARDED_BY(mutex_) = 0;
  TOwningList<TClientRecord> list_ GUARDED_BY(mutex_);
};

}  // namespace vh
