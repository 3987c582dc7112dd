#include "model/Channels.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "storage/CustomStorage.h"

namespace vh {

namespace {

constexpr std::string_view kCategory = "CHANNEL";
constexpr uint16_t kStoredPrivileges = CP_CHANNEL_ADMIN | CP_AUTO_OPERATOR | CP_AUTO_VOICE;
constexpr uint16_t kModeratedPrivileges = CP_OPERATOR | CP_VOICE | CP_AUTO_OPERATOR | CP_AUTO_VOICE;

// A database write that did not happen; raised so that no caller takes it for done.
class EChannelStorage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

uint16_t WithImpliedPrivileges(uint16_t flags) {
  if (flags & CP_AUTO_OPERATOR) flags |= CP_OPERATOR;
  if (flags & CP_AUTO_VOICE) flags |= CP_VOICE;
  return flags;
}

void SetPasswordBit(TChannel* channel) {
  if (channel->Password.Empty())
    channel->Flags &= static_cast<uint16_t>(~CF_PASSWORD);
  else
    channel->Flags |= CF_PASSWORD;
}

void ClearFlags(TChannel* channel, uint16_t flags) {
  channel->Flags &= static_cast<uint16_t>(~flags);
}

// Fills the stored fields of a channel row (both the tree load and the single read use it).
void ReadChannelRow(const TStorageRow& row, TChannel* channel) {
  channel->Created = row.FieldByName("dt_channel_created").GetAsDateTime();
  channel->MaxUsers = static_cast<uint16_t>(row.FieldByName("i_channel_maxusers").GetAsInteger());
  channel->Order = static_cast<uint16_t>(row.FieldByName("i_channel_order").GetAsInteger());
  channel->Description = row.FieldByName("s_channel_description").GetAsString();
  channel->Topic = row.FieldByName("s_channel_topic").GetAsString();
  channel->Name = row.FieldByName("s_channel_name").GetAsString();
  channel->DBID = row.FieldByName("i_channel_id").GetAsInteger();
}

uint16_t ReadChannelRowFlags(const TStorageRow& row) {
  uint16_t flags = 0;
  if (row.FieldByName("b_channel_flag_moderated").GetAsBoolean()) flags |= CF_MODERATED;
  if (row.FieldByName("b_channel_flag_hierarchical").GetAsBoolean()) flags |= CF_HIERARCHICAL;
  if (row.FieldByName("b_channel_flag_default").GetAsBoolean()) flags |= CF_DEFAULT;
  return flags;
}

}  // namespace

TChannels::TChannels(uint32_t serverID, TCustomStorage* storage)
    : serverId_(serverID), storage_(storage), list_(128) {}

TChannels::~TChannels() {
  try {
    list_.Clear();
  } catch (const std::exception& e) {
    LogError("Destroy", e);
  }
}

void TChannels::LogError(std::string_view operation, const std::exception& e) const {
  LogException("SID: " + std::to_string(serverId_) + " " + std::string(operation), e, kCategory);
}

TChannelPtr TChannels::NewChannel() {
  return std::make_unique<TChannel>();
}

// ---- Adding and removing

int32_t TChannels::AddChannel(TChannelPtr channel) {
  return TakeChannel(std::move(channel), &TChannels::AddChannelChecked, "AddChannel");
}

int32_t TChannels::AddChannelID(TChannelPtr channel) {
  return TakeChannel(std::move(channel), &TChannels::AddChannelIDChecked, "AddChannelID");
}

int32_t TChannels::TakeChannel(TChannelPtr channel, int32_t (TChannels::*add)(TChannelPtr&),
                               std::string_view operation) {
  if (!channel) return RC_BAD_ARGUMENT;
  try {
    return (this->*add)(channel);
  } catch (const std::exception& e) {
    LogError(operation, e);
    return RC_INTERNAL_ERROR;  // the channel's row could not be stored
  }
}

int32_t TChannels::AddChannelChecked(TChannelPtr& owned) {
  TChannel* channel = owned.get();
  changedIds_.clear();
  const bool sub = !channel->IsTopLevel();
  if (sub && !channel->Password.Empty()) return RC_SUBCHANNEL_PASSWORD;
  if (ExistsChannelName(channel->Name, channel->ParentID)) return RC_CHANNEL_ALREADY_EXISTS;
  if (sub) {
    TChannel* parent = GetChannel(channel->ParentID);
    if (!parent) return RC_PARENT_CHANNEL_NOT_FOUND;
    if (!parent->IsTopLevel()) return RC_SUBCHANNEL_CANNOT_NEST;
    if (!parent->HasFlag(CF_HIERARCHICAL)) return RC_CHANNEL_NOT_HIERARCHICAL;
    if (parent->HasFlag(CF_MODERATED)) channel->Flags |= CF_MODERATED;
    ClearFlags(channel, CF_DEFAULT | CF_HIERARCHICAL);
    channel->Codec = parent->Codec;
    // A sub-channel is registered exactly when its parent is: a stored row under a temporary
    // parent would point at no row and outlive it.
    channel->Flags = static_cast<uint16_t>((channel->Flags & ~CF_UNREGISTERED) |
                                           (parent->Flags & CF_UNREGISTERED));
  }
  SetPasswordBit(channel);

  TChannel* oldDefault = nullptr;
  if (channel->HasFlag(CF_DEFAULT)) {
    oldDefault = GetDefaultChannelAsPointer();
    if (oldDefault) {
      ClearFlags(oldDefault, CF_DEFAULT);
      changedIds_.push_back(oldDefault->ID);
    }
  }

  // Stored channels keep their creation time when the tree is loaded.
  if (!loading_) channel->Created = NowDateTime();
  // Ids chosen by an administrator (AddChannelID) may lie ahead of the counter; skip them.
  do {
    ++lastId_;
  } while (list_.Contains(lastId_));
  channel->ID = lastId_;
  list_.Add(std::move(owned), channel->ID);

  if (channel->IsRegistered()) {
    try {
      SaveChannel(channel);
    } catch (...) {
      // The caller keeps a channel it is told was not added, so the tree must let go of it.
      list_.Remove(channel->ID);
      if (oldDefault) oldDefault->Flags |= CF_DEFAULT;
      changedIds_.clear();
      throw;
    }
  }
  return channel->ID;
}

int32_t TChannels::AddChannelIDChecked(TChannelPtr& owned) {
  TChannel* channel = owned.get();
  changedIds_.clear();
  if (channel->ID <= 0) return RC_BAD_ARGUMENT;
  const bool sub = !channel->IsTopLevel();
  if (sub && !channel->Password.Empty()) return RC_SUBCHANNEL_PASSWORD;
  // An administrator names the channel by its id: the id is the clash test, not the name
  // (the administrative add makes channels without names).
  if (list_.Contains(channel->ID)) return RC_CHANNEL_ALREADY_EXISTS;
  if (sub) {
    TChannel* parent = GetChannel(channel->ParentID);
    if (!parent) return RC_PARENT_CHANNEL_NOT_FOUND;
    if (!parent->IsTopLevel()) return RC_SUBCHANNEL_CANNOT_NEST;
    if (!parent->HasFlag(CF_HIERARCHICAL)) return RC_CHANNEL_NOT_HIERARCHICAL;
    ClearFlags(channel, CF_HIERARCHICAL);
    channel->Codec = parent->Codec;
    if (parent->IsRegistered()) ClearFlags(channel, CF_UNREGISTERED);
  }
  SetPasswordBit(channel);
  if (channel->HasFlag(CF_DEFAULT)) {
    if (TChannel* oldDefault = GetDefaultChannelAsPointer()) {
      ClearFlags(oldDefault, CF_DEFAULT);
      changedIds_.push_back(oldDefault->ID);
    }
  }
  channel->Created = NowDateTime();
  list_.Add(std::move(owned), channel->ID);
  return channel->ID;
}

void TChannels::RemoveChannel(TChannel* channel) {
  changedIds_.push_back(channel->ID);
  try {
    DeleteStoredChannel(channel);
  } catch (const std::exception& e) {
    // The row stays behind; the channel still goes, so memory and callers agree.
    LogError("DeleteChannelTree", e);
  }
  TChannelPtr gone(list_.Remove(channel->ID));
}

int32_t TChannels::DeleteChannelTree(int32_t id) {
  try {
    changedIds_.clear();
    TChannel* channel = GetChannel(id);
    if (!channel) return RC_CHANNEL_NOT_FOUND;
    if (channel->HasFlag(CF_DEFAULT)) return RC_DEFAULT_CHANNEL_UNDELETABLE;
    if (channel->IsTopLevel()) {
      for (size_t i = list_.Count(); i-- > 0;) {
        TChannel* sub = list_.Items(i);
        if (sub->ParentID == id) RemoveChannel(sub);
      }
    }
    RemoveChannel(channel);
    return RC_OK;
  } catch (const std::exception& e) {
    LogError("DeleteChannelTree", e);
    return RC_INTERNAL_ERROR;
  }
}

// ---- Loading and storing

bool TChannels::LoadChannels() {
  loading_ = 1;
  try {
    std::unique_ptr<TStorageContainer> rows;
    if (storage_) {
      TStorageScript q(*storage_, "read_channels.sql");
      q.SetInteger(":iServerID", serverId_);
      rows = q.Open();
    }
    if (!rows) {
      loading_ = 0;
      CreateDefaultChannel();
      return list_.Count() > 0;
    }
    // Top-level channels first, so that every sub-channel finds its parent loaded.
    for (size_t i = 0; i < rows->Count(); ++i) {
      const TStorageRow& row = rows->Row(i);
      if (row.FieldByName("i_channel_parent_id").GetAsInteger() != -1) continue;
      TChannelPtr channel = NewChannel();
      ReadChannelRow(row, channel.get());
      channel->Password = Trim(row.FieldByName("s_channel_password").GetAsString());
      channel->Codec = static_cast<uint16_t>(row.FieldByName("i_channel_codec").GetAsInteger());
      channel->ParentID = -1;
      channel->ParentDBID = -1;
      channel->Flags = ReadChannelRowFlags(row);
      AddChannel(std::move(channel));
    }
    RemoveOrphanRows(*rows);
    for (size_t i = 0; i < rows->Count(); ++i) {
      const TStorageRow& row = rows->Row(i);
      int32_t parentDBID = row.FieldByName("i_channel_parent_id").GetAsInteger();
      if (parentDBID <= 0) continue;
      // The parent is the loaded top-level channel of that row id; a row whose parent did not
      // load (missing, itself a sub-channel, refused) is skipped.
      TChannel* parent = nullptr;
      for (size_t k = 0; k < list_.Count() && !parent; ++k) {
        TChannel* c = list_.Items(k);
        if (c->IsTopLevel() && c->DBID == parentDBID) parent = c;
      }
      if (!parent) continue;
      TChannelPtr channel = NewChannel();
      ReadChannelRow(row, channel.get());
      channel->ParentDBID = parent->DBID;
      channel->ParentID = parent->ID;
      channel->Codec = parent->Codec;
      channel->Flags = parent->Flags;
      AddChannel(std::move(channel));
    }
  } catch (const std::exception& e) {
    LogError("LoadChannels", e);
  }
  loading_ = 0;
  return list_.Count() > 0;
}

// Sub-channel rows whose parent row is gone (older servers stored sub-channels of temporary
// channels with parent row 0) would never load and never be deleted: they go here, at start.
void TChannels::RemoveOrphanRows(const TStorageContainer& rows) {
  std::vector<int32_t> rowIds;
  rowIds.reserve(rows.Count());
  for (size_t i = 0; i < rows.Count(); ++i)
    rowIds.push_back(rows.Row(i).FieldByName("i_channel_id").GetAsInteger());
  std::sort(rowIds.begin(), rowIds.end());
  size_t removed = 0;
  for (size_t i = 0; i < rows.Count(); ++i) {
    const TStorageRow& row = rows.Row(i);
    const int32_t parentDBID = row.FieldByName("i_channel_parent_id").GetAsInteger();
    if (parentDBID == -1 || std::binary_search(rowIds.begin(), rowIds.end(), parentDBID)) continue;
    TStorageScript q(*storage_, "delete_channel.sql");
    q.SetInteger(":iServerID", serverId_);
    q.SetInteger(":iChannelID", row.FieldByName("i_channel_id").GetAsInteger());
    if (q.Execute()) ++removed;
  }
  if (removed > 0)
    LogFormat(LMT_WARNING, LMD_IMPORTANT, {serverId_, removed},
              "SID: %1 removed %2 stored subchannels without a parent channel", kCategory);
}

void TChannels::CreateDefaultChannel() {
  try {
    TChannelPtr channel = NewChannel();
    channel->Flags = CF_DEFAULT;
    channel->Codec = DefaultCodec;
    channel->ParentID = -1;
    channel->Name = "Default";
    channel->Topic = "Default";
    channel->Description = "Default Channel";
    channel->MaxUsers = 32000;
    channel->Order = 0;
    channel->DBID = 0;
    channel->ParentDBID = -1;
    AddChannel(std::move(channel));
  } catch (const std::exception& e) {
    LogError("CreateDefaultChannel", e);
  }
}

TChannelPtr TChannels::ReadStoredChannel(int32_t channelDBID) {
  if (!storage_) return nullptr;
  try {
    std::unique_ptr<TStorageContainer> rows;
    {
      TStorageScript q(*storage_, "read_channel.sql");
      q.SetInteger(":iServerID", serverId_).SetInteger(":iChannelID", channelDBID);
      rows = q.Open();
    }
    if (!rows || rows->Count() == 0) return nullptr;
    const TStorageRow& row = rows->Row(0);
    TChannelPtr channel = NewChannel();
    ReadChannelRow(row, channel.get());
    channel->Password = Trim(row.FieldByName("s_channel_password").GetAsString());
    channel->Codec = static_cast<uint16_t>(row.FieldByName("i_channel_codec").GetAsInteger());
    channel->Flags = ReadChannelRowFlags(row);
    SetPasswordBit(channel.get());
    channel->ParentDBID = row.FieldByName("i_channel_parent_id").GetAsInteger();
    channel->ParentID = -1;
    if (channel->ParentDBID != -1) {
      channel->ParentID = 0;
      for (size_t k = 0; k < list_.Count(); ++k)
        if (list_.Items(k)->DBID == channel->ParentDBID) channel->ParentID = list_.Items(k)->ID;
    }
    // The in-memory id of the loaded channel of this row, when there is one.
    for (size_t k = 0; k < list_.Count(); ++k)
      if (list_.Items(k)->DBID == channel->DBID) channel->ID = list_.Items(k)->ID;
    return channel;
  } catch (const std::exception& e) {
    LogError("ReadStoredChannel", e);
    return nullptr;
  }
}

void TChannels::SaveChannel(TChannel* channel) {
  if (loading_ || !storage_ || !channel || !channel->IsRegistered()) return;
  TChannel* parent = nullptr;
  if (!channel->IsTopLevel()) {
    ClearFlags(channel, CF_HIERARCHICAL | CF_DEFAULT | CF_PASSWORD);
    channel->Password.Clear();
    // The parent may have been stored after this channel was made; its row id is the one
    // the new row must point to.
    parent = GetChannel(channel->ParentID);
    if (parent && parent->DBID > 0) channel->ParentDBID = parent->DBID;
  }
  const bool insert = channel->DBID == 0;
  TStorageScript q(*storage_, insert ? "new_channel.sql" : "edit_channel.sql");
  if (insert)
    q.SetInteger(":iParentID", channel->ParentDBID).SetDateTime(":dtCreated", channel->Created);
  else
    q.SetInteger(":iChannelID", channel->DBID);
  q.SetInteger(":iServerID", serverId_);
  q.SetString(":sPassword", channel->Password.Str());
  q.SetString(":sName", channel->Name);
  q.SetString(":sTopic", channel->Topic);
  q.SetString(":sDescription", channel->Description);
  q.SetInteger(":iMaxUsers", channel->MaxUsers);
  q.SetInteger(":iOrder", channel->Order);
  q.SetInteger(":iCodec", channel->Codec);
  q.SetBoolean(":bModerated", channel->HasFlag(CF_MODERATED));
  q.SetBoolean(":bHierarchical", channel->HasFlag(CF_HIERARCHICAL));
  q.SetBoolean(":bDefault", channel->HasFlag(CF_DEFAULT));
  if (!q.Execute()) throw EChannelStorage("unable to store channel " + std::to_string(channel->ID));
  if (insert) channel->DBID = static_cast<int32_t>(q.LastInsertId());
}

void TChannels::DeleteStoredChannel(TChannel* channel) {
  if (!channel || channel->DBID <= 0 || !storage_) return;
  TStorageScript q(*storage_, "delete_channel.sql");
  q.SetInteger(":iServerID", serverId_).SetInteger(":iChannelID", channel->DBID);
  if (!q.Execute())
    throw EChannelStorage("unable to delete stored channel " + std::to_string(channel->ID));
  channel->DBID = 0;
}

void TChannels::UpdateSubChannels(TChannel* channel) {
  try {
    changedIds_.clear();
    if (!channel) return;
    for (size_t i = 0; i < list_.Count(); ++i) {
      TChannel* sub = list_.Items(i);
      if (sub->ParentID != channel->ID) continue;
      sub->Flags = channel->Flags & static_cast<uint16_t>(~(CF_HIERARCHICAL | CF_DEFAULT));
      sub->Password.Clear();
      SetPasswordBit(sub);
      changedIds_.push_back(sub->ID);
      // The sub-channel's row follows the parent's registration.
      if (sub->DBID == 0 && channel->IsRegistered())
        SaveChannel(sub);
      else if (sub->DBID != 0 && !channel->IsRegistered())
        DeleteStoredChannel(sub);
      if (!channel->HasFlag(CF_MODERATED) && channel->IsRegistered()) RemoveModeratedAttribs(sub);
    }
  } catch (const std::exception& e) {
    LogError("UpdateSubChannels", e);
  }
}

// ---- Lookups

TChannel* TChannels::GetChannel(int32_t id) const {
  return list_.Get(id);
}

TChannel* TChannels::GetChannelByName(std::string_view name, int32_t parentID) const {
  for (size_t i = 0; i < list_.Count(); ++i) {
    TChannel* c = list_.Items(i);
    if ((parentID == -1 || c->ParentID == parentID) && EqualsIgnoreCase(c->Name, name)) return c;
  }
  return nullptr;
}

TChannel* TChannels::ExistsChannelName(std::string_view name, int32_t parentID) const {
  for (size_t i = 0; i < list_.Count(); ++i) {
    TChannel* c = list_.Items(i);
    if (c->ParentID == parentID && EqualsIgnoreCase(c->Name, name)) return c;
  }
  return nullptr;
}

int32_t TChannels::GetDefaultChannel() const {
  TChannel* c = GetDefaultChannelAsPointer();
  return c ? c->ID : -1;
}

TChannel* TChannels::GetDefaultChannelAsPointer() const {
  for (size_t i = 0; i < list_.Count(); ++i)
    if (list_.Items(i)->HasFlag(CF_DEFAULT)) return list_.Items(i);
  return nullptr;
}

TChannel* TChannels::GetMainChannel(int32_t id) const {
  TChannel* c = GetChannel(id);
  if (!c || c->IsTopLevel()) return nullptr;
  return GetChannel(c->ParentID);
}

int32_t TChannels::GetTopChannelId(int32_t id) const {
  TChannel* c = GetChannel(id);
  if (!c) return -1;
  if (c->IsTopLevel()) return c->ID;
  TChannel* parent = GetChannel(c->ParentID);
  return parent ? parent->ID : -1;
}

bool TChannels::SameChannelTree(int32_t id1, int32_t id2) const {
  int32_t top1 = GetTopChannelId(id1);
  return top1 != -1 && top1 == GetTopChannelId(id2);
}

bool TChannels::HasSubChannels(const TChannel* channel) const {
  if (!channel) return false;
  for (size_t i = 0; i < list_.Count(); ++i)
    if (list_.Items(i)->ParentID == channel->ID) return true;
  return false;
}

void TChannels::SetDefaultChannelMaxUsers(uint16_t value) {
  if (TChannel* c = GetDefaultChannelAsPointer()) c->MaxUsers = value;
}

int32_t TChannels::CheckChannelTreeForPlayers(const TChannel* channel) const {
  if (!channel) return RC_OK;
  if (channel->Players.Count() > 0) return RC_CHANNEL_NOT_EMPTY;
  if (!channel->IsTopLevel()) return RC_OK;
  for (size_t i = 0; i < list_.Count(); ++i) {
    const TChannel* c = list_.Items(i);
    if (c->ParentID == channel->ID && c->Players.Count() > 0) return RC_CHANNEL_NOT_EMPTY;
  }
  return RC_OK;
}

size_t TChannels::GetPlayersInChannelTree(const TChannel* channel) const {
  if (!channel) return 0;
  const TChannel* top = channel->IsTopLevel() ? channel : GetChannel(channel->ParentID);
  if (!top) return channel->Players.Count();
  size_t count = top->Players.Count();
  for (size_t i = 0; i < list_.Count(); ++i)
    if (list_.Items(i)->ParentID == top->ID) count += list_.Items(i)->Players.Count();
  return count;
}

// ---- Players in channels

void TChannels::ClientJoinedChannel(TChannel* channel, TClientRecord* player) {
  if (!channel || !player) return;
  try {
    int32_t key = static_cast<int32_t>(player->PlayerID);
    if (!channel->Players.Contains(key)) channel->Players.Add(player, key);
  } catch (const std::exception& e) {
    LogError("ClientJoinedChannel", e);
  }
}

void TChannels::ClientLeftChannel(TChannel* channel, TClientRecord* player) {
  if (!channel || !player) return;
  channel->Players.Remove(static_cast<int32_t>(player->PlayerID));
}

void TChannels::ClearChannelClientLists(uint32_t playerID) {
  for (size_t i = 0; i < list_.Count(); ++i)
    list_.Items(i)->Players.Remove(static_cast<int32_t>(playerID));
}

// ---- Channel privileges

uint16_t TChannels::GetChannelAttribs(TChannel* channel, TClientRecord* player) {
  if (!channel || !player) return 0;
  try {
    int32_t key = static_cast<int32_t>(player->PlayerID);
    if (TChannelPrivilege* entry = channel->Privileges.Get(key))
      return WithImpliedPrivileges(entry->Flags);
    if (!player->IsRegistered() || !channel->IsRegistered() || !storage_ || player->DBID <= 0 ||
        channel->DBID <= 0)
      return 0;
    uint16_t flags = 0;
    {
      TStorageScript q(*storage_, "read_channel_privilege.sql");
      q.SetInteger(":iServerID", serverId_);
      q.SetInteger(":iClientID", player->DBID).SetInteger(":iChannelID", channel->DBID);
      auto rows = q.Open();
      if (rows && rows->Count() > 0) {
        const TStorageRow& row = rows->Row(0);
        if (row.FieldByName("b_cp_flag_admin").GetAsBoolean()) flags |= CP_CHANNEL_ADMIN;
        if (row.FieldByName("b_cp_flag_autoop").GetAsBoolean()) flags |= CP_AUTO_OPERATOR;
        if (row.FieldByName("b_cp_flag_autovoice").GetAsBoolean()) flags |= CP_AUTO_VOICE;
      }
    }
    if (flags == 0) return 0;
    flags = WithImpliedPrivileges(flags);
    auto entry = std::make_unique<TChannelPrivilege>();
    entry->Flags = flags;
    entry->PlayerID = key;
    channel->Privileges.Add(std::move(entry), key);
    return flags;
  } catch (const std::exception& e) {
    LogError("GetChannelAttribs", e);
    return 0;
  }
}

void TChannels::StoreChannelAttribs(TChannel* channel, const TClientRecord* player,
                                    uint16_t flags) {
  if (!storage_ || !channel->IsRegistered() || !player->IsRegistered() || channel->DBID <= 0 ||
      player->DBID <= 0)
    return;
  const uint16_t stored = flags & kStoredPrivileges;
  TStorageScript q(*storage_, "read_channel_privilege.sql");
  auto setIds = [&] {
    q.SetInteger(":iServerID", serverId_);
    q.SetInteger(":iClientID", player->DBID).SetInteger(":iChannelID", channel->DBID);
  };
  if (stored == 0) {
    q.Load("delete_channel_privilege.sql");
    setIds();
    if (!q.Execute())
      throw EChannelStorage("unable to delete channel privileges of player " +
                            std::to_string(player->PlayerID));
    return;
  }
  setIds();
  auto rows = q.Open();
  q.Load(rows && rows->Count() > 0 ? "edit_channel_privilege.sql" : "new_channel_privilege.sql");
  setIds();
  q.SetBoolean(":bAdmin", (stored & CP_CHANNEL_ADMIN) != 0);
  q.SetBoolean(":bAutoOP", (stored & CP_AUTO_OPERATOR) != 0);
  q.SetBoolean(":bAutoVoice", (stored & CP_AUTO_VOICE) != 0);
  if (!q.Execute())
    throw EChannelStorage("unable to store channel privileges of player " +
                          std::to_string(player->PlayerID));
}

void TChannels::SetChannelAttribs(TChannel* channel, TClientRecord* player) {
  if (!channel || !player) return;
  try {
    int32_t key = static_cast<int32_t>(player->PlayerID);
    TChannelPrivilege* entry = channel->Privileges.Get(key);
    if (!entry) {
      auto created = std::make_unique<TChannelPrivilege>();
      created->PlayerID = key;
      entry = created.get();
      channel->Privileges.Add(std::move(created), key);
    }
    entry->Flags = player->ChannelPrivileges;
    StoreChannelAttribs(channel, player, entry->Flags);
  } catch (const std::exception& e) {
    LogError("SetChannelAttribs", e);
  }
}

void TChannels::ClearChannelAttribs(uint32_t playerID) {
  try {
    for (size_t i = 0; i < list_.Count(); ++i)
      list_.Items(i)->Privileges.Remove(static_cast<int32_t>(playerID));
  } catch (const std::exception& e) {
    LogError("ClearChannelAttribs", e);
  }
}

void TChannels::UpdatePlayerChannelAttribs(TClientRecord* player) {
  if (!player) return;
  try {
    for (size_t i = 0; i < list_.Count(); ++i) {
      TChannel* channel = list_.Items(i);
      if (!channel->IsRegistered()) continue;
      if (TChannelPrivilege* entry =
              channel->Privileges.Get(static_cast<int32_t>(player->PlayerID)))
        StoreChannelAttribs(channel, player, entry->Flags);
    }
  } catch (const std::exception& e) {
    LogError("UpdatePlayerChannelAttribs", e);
  }
}

void TChannels::UpdateChannelAttribs(TChannel* channel, TClients& registry) {
  if (!channel || !channel->IsRegistered()) return;
  try {
    for (size_t i = 0; i < channel->Privileges.Count(); ++i) {
      TChannelPrivilege* entry = channel->Privileges.Items(i);
      TClientRecord* player = registry.GetClientByID(static_cast<uint32_t>(entry->PlayerID));
      if (player && player->IsRegistered()) StoreChannelAttribs(channel, player, entry->Flags);
    }
  } catch (const std::exception& e) {
    LogError("UpdateChannelAttribs", e);
  }
}

void TChannels::ClearModeratedChannelAttribs(TChannel* channel) {
  if (!channel) return;
  try {
    std::vector<TChannel*> affected{channel};
    for (size_t i = 0; i < list_.Count(); ++i)
      if (list_.Items(i)->ParentID == channel->ID) affected.push_back(list_.Items(i));
    for (TChannel* c : affected)
      for (size_t i = 0; i < c->Privileges.Count(); ++i)
        c->Privileges.Items(i)->Flags &= static_cast<uint16_t>(~kModeratedPrivileges);
    for (TChannel* c : affected) RemoveModeratedAttribs(c);
  } catch (const std::exception& e) {
    LogError("ClearModeratedChannelAttribs", e);
  }
}

void TChannels::RemoveModeratedAttribs(TChannel* channel) {
  if (!channel || !storage_ || !channel->IsRegistered() || channel->DBID <= 0) return;
  TStorageScript q(*storage_, "remove_moderatedattribs.sql");
  q.SetInteger(":iServerID", serverId_).SetInteger(":iChannelID", channel->DBID);
  if (!q.Execute())
    throw EChannelStorage("unable to remove moderated privileges of channel " +
                          std::to_string(channel->ID));
}

}  // namespace vh
