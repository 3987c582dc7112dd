// The channel tree of one virtual server: a flat list of channels forming at most two levels,
// the per-channel player lists and privilege entries, and the stored channels and channel
// privileges (tables vh2_channels, vh2_channel_privileges). The listener changes it; the
// administration threads read it. Callers hold the tree lock (taken after the registry lock)
// around every use; the operations take no lock themselves except the storage lock inside.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

#include "model/Channel.h"
#include "model/ClientRecord.h"
#include "model/MultiList.h"

namespace vh {

class TCustomStorage;
class TStorageContainer;
class TClients;

class TChannels {
 public:
  // `storage` may be null (nothing is stored); it is not owned.
  TChannels(uint32_t serverID, TCustomStorage* storage);
  // Frees every channel with its privilege entries; player records are not touched.
  ~TChannels();
  TChannels(const TChannels&) = delete;
  TChannels& operator=(const TChannels&) = delete;

  // The tree lock; re-entrant. lock/unlock make it usable with std::lock_guard.
  void Lock();
  void Unlock();
  void lock() { Lock(); }
  void unlock() { Unlock(); }
  bool Locked() const { return locked_.load() != 0; }

  uint32_t ServerID() const { return serverId_; }
  int32_t LastID() const { return lastId_; }
  size_t Count() const { return list_.Count(); }
  TChannel* Items(size_t index) const { return list_.Items(index); }
  // Ids the last structural operation touched (see AddChannel, DeleteChannelTree,
  // UpdateSubChannels); the caller announces them.
  const std::vector<int32_t>& ChangedIDs() const { return changedIds_; }

  // Codec of a default channel created from nothing; the virtual server sets it.
  uint16_t DefaultCodec = 9;

  // A zero-filled channel with its two empty lists.
  static TChannelPtr NewChannel();

  // Adds a channel filled by the caller (all but ID, Created and the P bit) and takes it in
  // every case: the new ID, or a negative result code with the channel freed.
  int32_t AddChannel(TChannelPtr channel);
  // The same for a channel whose ID the caller chose (administrative interfaces).
  int32_t AddChannelID(TChannelPtr channel);
  // Removes a channel and, for a top-level one, its sub-channels (stored rows too). The caller
  // has made sure nobody is in the tree. 0, -102 or -117.
  int32_t DeleteChannelTree(int32_t id);

  // Loads the stored channels (or creates the default channel when there are none); true when
  // at least one channel exists afterwards.
  bool LoadChannels();
  void CreateDefaultChannel();
  // One stored channel by its row id, as a new channel outside the tree; null when absent.
  TChannelPtr ReadStoredChannel(int32_t channelDBID);

  TChannel* GetChannel(int32_t id) const;
  // Case-insensitive; parentID -1 accepts any parent.
  TChannel* GetChannelByName(std::string_view name, int32_t parentID) const;
  // The channel that makes `name` taken under `parentID` (-1: among top-level channels).
  TChannel* ExistsChannelName(std::string_view name, int32_t parentID) const;
  int32_t GetDefaultChannel() const;
  TChannel* GetDefaultChannelAsPointer() const;
  TChannel* GetMainChannel(int32_t id) const;
  int32_t GetTopChannelId(int32_t id) const;
  bool SameChannelTree(int32_t id1, int32_t id2) const;
  bool HasSubChannels(const TChannel* channel) const;
  void SetDefaultChannelMaxUsers(uint16_t value);
  // -109 when players are in the channel or (for a top-level one) its sub-channels, else 0.
  int32_t CheckChannelTreeForPlayers(const TChannel* channel) const;
  // Players in the channel's top-level channel and all of its sub-channels.
  size_t GetPlayersInChannelTree(const TChannel* channel) const;

  // After a top-level channel's properties changed: its sub-channels follow its flags, and
  // their stored rows follow its registration.
  void UpdateSubChannels(TChannel* channel);

  // Database writes of one channel; they raise on storage errors (the in-memory change made
  // before stays).
  void SaveChannel(TChannel* channel);
  void DeleteStoredChannel(TChannel* channel);

  void ClientJoinedChannel(TChannel* channel, TClientRecord* player);
  void ClientLeftChannel(TChannel* channel, TClientRecord* player);
  void ClearChannelClientLists(uint32_t playerID);

  // The player's privilege bits in `channel`: his entry, or his stored privileges (registered
  // player, registered channel); O comes with AO and V with AV.
  uint16_t GetChannelAttribs(TChannel* channel, TClientRecord* player);
  // Records the player's ChannelPrivileges as his entry of `channel` and stores the CA, AO and
  // AV part for a registered player in a registered channel.
  void SetChannelAttribs(TChannel* channel, TClientRecord* player);
  void ClearChannelAttribs(uint32_t playerID);
  // Stores the player's entries of all registered channels (after he registered).
  void UpdatePlayerChannelAttribs(TClientRecord* player);
  // Stores the entries of every registered player of `channel` (after it became registered).
  void UpdateChannelAttribs(TChannel* channel, TClients& registry);
  // Moderation ended: O, V, AO and AV go from the channel and its sub-channels, CA stays.
  void ClearModeratedChannelAttribs(TChannel* channel);
  void RemoveModeratedAttribs(TChannel* channel);

  bool Loading() const { return loading_ != 0; }

 private:
  int32_t AddChannelChecked(TChannel* channel);
  int32_t AddChannelIDChecked(TChannel* channel);
  void StoreChannelAttribs(TChannel* channel, const TClientRecord* player, uint16_t flags);
  void RemoveChannel(TChannel* channel);
  void RemoveOrphanRows(const TStorageContainer& rows);
  void LogError(std::string_view operation, const std::exception& e) const;

  // set at construction
  const uint32_t serverId_;
  TCustomStorage* const storage_;

  std::recursive_mutex mutex_;
  std::atomic<uint8_t> locked_{0};
  int32_t lastId_ = 0;               // guarded by mutex_
  TMultiList<TChannel> list_;        // guarded by mutex_; owns the channels
  std::vector<int32_t> changedIds_;  // guarded by mutex_
  uint8_t loading_ = 0;              // guarded by mutex_
};

}  // namespace vh
