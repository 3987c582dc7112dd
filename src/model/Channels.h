// The channel tree of one virtual server: a flat list of channels forming at most two levels,
// the per-channel player lists and privilege entries, and the stored channels and channel
// privileges (tables vh2_channels, vh2_channel_privileges). The listener changes it; the
// administration threads read it. Callers hold the tree lock (taken after the registry lock)
// around every use (REQUIRES below); the operations take no lock themselves except the storage
// lock inside. Lock order: vserver/ServerObject.h.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/KeyedList.h"
#include "common/Mutex.h"
#include "model/Channel.h"
#include "model/ClientRecord.h"
#include "model/Clients.h"

namespace vh {

class TCustomStorage;
class TStorageContainer;

class TChannels {
 public:
  // `storage` may be null (nothing is stored); it is not owned.
  TChannels(uint32_t serverID, TCustomStorage* storage);
  // Frees every channel with its privilege entries; player records are not touched.
  ~TChannels();
  TChannels(const TChannels&) = delete;
  TChannels& operator=(const TChannels&) = delete;

  // The tree lock; re-entrant. Taken after the registry's (TModelLock takes both in order).
  void Lock() ACQUIRE(mutex_) { mutex_.lock(); }
  void Unlock() RELEASE(mutex_) { mutex_.unlock(); }
  TRecursiveMutex& Mutex() RETURN_CAPABILITY(mutex_) { return mutex_; }
  bool Locked() const { return mutex_.Locked(); }

  uint32_t ServerID() const { return serverId_; }
  int32_t LastID() const REQUIRES(mutex_) { return lastId_; }
  size_t Count() const REQUIRES(mutex_) { return list_.Count(); }
  TChannel* Items(size_t index) const REQUIRES(mutex_) { return list_.Items(index); }
  // Ids the last structural operation touched (see AddChannel, DeleteChannelTree,
  // UpdateSubChannels); the caller announces them.
  const std::vector<int32_t>& ChangedIDs() const REQUIRES(mutex_) { return changedIds_; }

  // Codec of a default channel created from nothing; the virtual server sets it.
  uint16_t DefaultCodec = 9;

  // A zero-filled channel with its two empty lists.
  static TChannelPtr NewChannel();

  // Adds a channel filled by the caller (all but ID, Created and the P bit) and takes it in
  // every case: the new ID, or a negative result code with the channel freed.
  int32_t AddChannel(TChannelPtr channel) REQUIRES(mutex_);
  // The same for a channel whose ID the caller chose (administrative interfaces).
  int32_t AddChannelID(TChannelPtr channel) REQUIRES(mutex_);
  // Removes a channel and, for a top-level one, its sub-channels (stored rows too). The caller
  // has made sure nobody is in the tree. 0, -102 or -117.
  int32_t DeleteChannelTree(int32_t id) REQUIRES(mutex_);

  // Loads the stored channels (or creates the default channel when there are none); true when
  // at least one channel exists afterwards.
  bool LoadChannels() REQUIRES(mutex_);
  void CreateDefaultChannel() REQUIRES(mutex_);
  // One stored channel by its row id, as a new channel outside the tree; null when absent. A
  // storage error reaches the caller.
  TChannelPtr ReadStoredChannel(int32_t channelDBID) REQUIRES(mutex_);

  TChannel* GetChannel(int32_t id) const REQUIRES(mutex_);
  // Case-insensitive; parentID -1 accepts any parent.
  TChannel* GetChannelByName(std::string_view name, int32_t parentID) const REQUIRES(mutex_);
  // The channel that makes `name` taken under `parentID` (-1: among top-level channels).
  TChannel* ExistsChannelName(std::string_view name, int32_t parentID) const REQUIRES(mutex_);
  int32_t GetDefaultChannel() const REQUIRES(mutex_);
  TChannel* GetDefaultChannelAsPointer() const REQUIRES(mutex_);
  TChannel* GetMainChannel(int32_t id) const REQUIRES(mutex_);
  int32_t GetTopChannelId(int32_t id) const REQUIRES(mutex_);
  bool SameChannelTree(int32_t id1, int32_t id2) const REQUIRES(mutex_);
  bool HasSubChannels(const TChannel* channel) const REQUIRES(mutex_);
  void SetDefaultChannelMaxUsers(uint16_t value) REQUIRES(mutex_);
  // -109 when players are in the channel or (for a top-level one) its sub-channels, else 0.
  int32_t CheckChannelTreeForPlayers(const TChannel* channel) const REQUIRES(mutex_);
  // Players in the channel's top-level channel and all of its sub-channels.
  size_t GetPlayersInChannelTree(const TChannel* channel) const REQUIRES(mutex_);

  // After a top-level channel's properties changed: its sub-channels follow its flags, and
  // their stored rows follow its registration.
  void UpdateSubChannels(TChannel* channel) REQUIRES(mutex_);

  // Database writes of one channel; they raise on storage errors (the in-memory change made
  // before stays).
  void SaveChannel(TChannel* channel) REQUIRES(mutex_);
  void DeleteStoredChannel(TChannel* channel) REQUIRES(mutex_);

  void ClientJoinedChannel(TChannel* channel, TClientRecord* player) REQUIRES(mutex_);
  void ClientLeftChannel(TChannel* channel, TClientRecord* player) REQUIRES(mutex_);
  void ClearChannelClientLists(uint32_t playerID) REQUIRES(mutex_);

  // The player's privilege bits in `channel`: his entry, or his stored privileges (registered
  // player, registered channel); O comes with AO and V with AV.
  uint16_t GetChannelAttribs(TChannel* channel, TClientRecord* player) REQUIRES(mutex_);
  // Records the player's ChannelPrivileges as his entry of `channel` and stores the CA, AO and
  // AV part for a registered player in a registered channel.
  void SetChannelAttribs(TChannel* channel, TClientRecord* player) REQUIRES(mutex_);
  void ClearChannelAttribs(uint32_t playerID) REQUIRES(mutex_);
  // Stores the player's entries of all registered channels (after he registered).
  void UpdatePlayerChannelAttribs(TClientRecord* player) REQUIRES(mutex_);
  // Stores the entries of every registered player of `channel` (after it became registered).
  void UpdateChannelAttribs(TChannel* channel, TClients& registry)
      REQUIRES(mutex_, registry.Mutex());
  // Moderation ended: O, V, AO and AV go from the channel and its sub-channels, CA stays.
  void ClearModeratedChannelAttribs(TChannel* channel) REQUIRES(mutex_);
  void RemoveModeratedAttribs(TChannel* channel) REQUIRES(mutex_);

  bool Loading() const REQUIRES(mutex_) { return loading_ != 0; }

 private:
  // Runs `add` on the channel and keeps it when added; the result code of `add`, or -50 (logged
  // under `operation`) when its row could not be stored.
  int32_t TakeChannel(TChannelPtr channel, int32_t (TChannels::*add)(TChannelPtr&),
                      std::string_view operation) REQUIRES(mutex_);
  // The checks and the addition; the tree takes `owned` when it adds the channel.
  int32_t AddChannelChecked(TChannelPtr& owned) REQUIRES(mutex_);
  int32_t AddChannelIDChecked(TChannelPtr& owned) REQUIRES(mutex_);
  void StoreChannelAttribs(TChannel* channel, const TClientRecord* player, uint16_t flags);
  void RemoveChannel(TChannel* channel) REQUIRES(mutex_);
  void RemoveOrphanRows(const TStorageContainer& rows) REQUIRES(mutex_);
  void LogError(std::string_view operation, const std::exception& e) const;

  static constexpr std::string_view kLogCategory = "CHANNEL";

  // set at construction
  const uint32_t serverId_;
  TCustomStorage* const storage_;

  mutable TRecursiveMutex mutex_;
  int32_t lastId_ GUARDED_BY(mutex_) = 0;
  TOwningList<TChannel> list_ GUARDED_BY(mutex_);
  std::vector<int32_t> changedIds_ GUARDED_BY(mutex_);
  uint8_t loading_ GUARDED_BY(mutex_) = 0;
};

}  // namespace vh
