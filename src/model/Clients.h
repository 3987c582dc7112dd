// The client registry of one virtual server: the connected players' records, player and
// connection ids, mute lists, and the registered-account operations (table vh2_clients).
// The listener changes the registry; administration threads read it. Callers hold the registry
// lock (Lock/Unlock) around every use of the list; the lookups take no lock themselves. The
// account operations take the storage lock inside, so the registry lock may be held then.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "model/ClientRecord.h"
#include "model/MultiList.h"

namespace vh {

class TCustomStorage;

class TClients {
 public:
  // `storage` may be null (no database); it is not owned.
  TClients(uint32_t serverID, TCustomStorage* storage);
  // Frees every record still in the registry.
  ~TClients();
  TClients(const TClients&) = delete;
  TClients& operator=(const TClients&) = delete;

  // The registry lock; re-entrant, as the listener's helpers may nest. lock/unlock make it
  // usable with std::lock_guard.
  void Lock();
  void Unlock();
  void lock() { Lock(); }
  void unlock() { Unlock(); }
  bool Locked() const { return locked_.load() != 0; }

  uint32_t ServerID() const { return serverId_; }
  TCustomStorage* Storage() const { return storage_; }

  // The registry takes `record` in every case: true once it holds it; a record whose PlayerID
  // is already registered is refused (logged) and freed, as is null.
  bool AddClient(TClientRecordPtr record);
  // Takes the record out of the registry and hands it back; the channel lists must have let
  // go of it before it is dropped.
  TClientRecordPtr DeleteClient(TClientRecord* record);

  TClientRecord* GetClientByID(uint32_t playerID) const;
  // Exact, case-sensitive comparison; the first in list order.
  TClientRecord* GetClientByNickName(std::string_view nickName) const;
  // True when a registered player (logged in or logging in) carries this login name (exact);
  // false for an empty name. Anonymous records never count.
  bool isLoggedIn(std::string_view loginName) const;

  // A random connection id from 1 below kConnectionIDLimit that no registered record carries, from
  // the operating system's cryptographic source: the id is all that ties a datagram to a
  // session, so it must not be guessable.
  uint32_t GetNewConnectionID() const;
  uint32_t GetNewPlayerID();
  void ResetPlayerID();
  int32_t PlayerIDCounter() const { return playerIdCounter_; }

  size_t Count() const { return list_.Count(); }
  TClientRecord* Items(size_t index) const { return list_.Items(index); }
  size_t MaxCount() const { return list_.MaxCount(); }

  // A zero-filled record with an empty mute list.
  static TClientRecordPtr NewClient();

  // True when the id was added, false when it was there already (or no record).
  static bool AddToPlayerMuteList(TClientRecord* record, uint32_t playerID);
  // False when the id was present (and is now removed); true when it was not there.
  static bool RemoveFromPlayerMuteList(TClientRecord* record, uint32_t playerID);
  static bool IsInPlayerMuteList(const TClientRecord* record, uint32_t playerID);

  // ---- Accounts. Records returned by the loaders are new and belong to the caller.
  // The account with this name and password at the registry's server, or null.
  TClientRecordPtr DBValidLogin(std::string_view name, std::string_view password);
  // 0, or -141 when the name is taken or the database fails (DBID untouched then); on
  // success the record's DBID is the new row's id.
  int32_t DBAddUser(uint32_t serverID, TClientRecord* record);
  // Updates the account of the record's login name, or creates it (DBID set when it was 0).
  void DBSaveUser(uint32_t serverID, TClientRecord* record);
  // Deletes the record's account; then LoginName and Password are empty and DBID is -1.
  void DBDeleteUser(uint32_t serverID, TClientRecord* record);
  void _DBDeleteUser(uint32_t serverID, int32_t clientID);
  TClientRecordPtr _DBLoadUser(uint32_t serverID, int32_t clientID);
  TClientRecordPtr DBLoadUser(uint32_t serverID, std::string_view name);
  // Super users are the accounts of server id 0, valid for every virtual server.
  int32_t DBAddSuperUser(TClientRecord* record);
  void _DBSaveSuperUser(TClientRecord* record);
  TClientRecordPtr DBLoadSuperUser(int32_t clientID);
  // Records now as the account's last-online time; true once the script ran.
  bool DBUpdateLastOnline(int32_t clientID);
  // The account of this id at `serverID`; a zeroed record when there is none.
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

  std::recursive_mutex mutex_;
  std::atomic<uint8_t> locked_{0};
  int32_t playerIdCounter_ = 0;     // guarded by mutex_
  TMultiList<TClientRecord> list_;  // guarded by mutex_; owns the records
};

}  // namespace vh
