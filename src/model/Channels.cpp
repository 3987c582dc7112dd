#include "model/Channels.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Log.h"
#include "common/ResultCodes.h"
#include "common/Strings.h"
#include "model/Clients.h"

namespace vh {

namespace {

constexpr uint16_t kModeratedPrivileges = CP_OPERATOR | CP_VOICE | CP_AUTO_OPERATOR | CP_AUTO_VOICE;

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
  LogException("SID: " + std::to_string(serverId_) + " " + std::string(operation), e, kLogCategory);
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
    channel->ClearFlags(CF_DEFAULT | CF_HIERARCHICAL);
    channel->Codec = parent->Codec;
    // A sub-channel is registered exactly when its parent is: a stored row under a temporary
    // parent would point at no row and outlive it.
    channel->Flags = static_cast<uint16_t>((channel->Flags & ~CF_UNREGISTERED) |
                                           (parent->Flags & CF_UNREGISTERED));
  }
  channel->SetPasswordBit();

  TChannel* oldDefault = nullptr;
  if (channel->HasFlag(CF_DEFAULT)) {
    oldDefault = GetDefaultChannelAsPointer();
    if (oldDefault) {
      oldDefault->ClearFlags(CF_DEFAULT);
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
    channel->ClearFlags(CF_HIERARCHICAL);
    channel->Codec = parent->Codec;
    if (parent->IsRegistered()) channel->ClearFlags(CF_UNREGISTERED);
  }
  channel->SetPasswordBit();
  if (channel->HasFlag(CF_DEFAULT)) {
    if (TChannel* oldDefault = GetDefaultChannelAsPointer()) {
      oldDefault->ClearFlags(CF_DEFAULT);
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

// ---- Sub-channels following their parent

void TChannels::UpdateSubChannels(TChannel* channel) {
  try {
    changedIds_.clear();
    if (!channel) return;
    for (size_t i = 0; i < list_.Count(); ++i) {
      TChannel* sub = list_.Items(i);
      if (sub->ParentID != channel->ID) continue;
      sub->Flags = channel->Flags & static_cast<uint16_t>(~(CF_HIERARCHICAL | CF_DEFAULT));
      sub->Password.Clear();
      sub->SetPasswordBit();
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

}  // namespace vh
