// The stored half of the channel tree: loading the channels at start, reading and writing
// channel rows and the stored channel privileges (CA, AO, AV) of registered players.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/Strings.h"
#include "model/Channels.h"
#include "storage/CustomStorage.h"

namespace vh {

namespace {

constexpr uint16_t kStoredPrivileges = CP_CHANNEL_ADMIN | CP_AUTO_OPERATOR | CP_AUTO_VOICE;

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
              "SID: %1 removed %2 stored subchannels without a parent channel", kLogCategory);
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
  channel->SetPasswordBit();
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
}

void TChannels::SaveChannel(TChannel* channel) {
  if (loading_ || !storage_ || !channel || !channel->IsRegistered()) return;
  TChannel* parent = nullptr;
  if (!channel->IsTopLevel()) {
    channel->ClearFlags(CF_HIERARCHICAL | CF_DEFAULT | CF_PASSWORD);
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

void TChannels::RemoveModeratedAttribs(TChannel* channel) {
  if (!channel || !storage_ || !channel->IsRegistered() || channel->DBID <= 0) return;
  TStorageScript q(*storage_, "remove_moderatedattribs.sql");
  q.SetInteger(":iServerID", serverId_).SetInteger(":iChannelID", channel->DBID);
  if (!q.Execute())
    throw EChannelStorage("unable to remove moderated privileges of channel " +
                          std::to_string(channel->ID));
}

}  // namespace vh
