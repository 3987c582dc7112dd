// One channel of a virtual server's two-level channel tree, with the players in it and the
// channel privileges of connected players. Owned by the tree (TChannels) once added; guarded by
// the channel tree lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/KeyedList.h"
#include "model/ClientRecord.h"
#include "model/ShortString.h"
#include "storage/DateTime.h"

namespace vh {

// Channel flag bits.
constexpr uint16_t CF_UNREGISTERED = 1;  // temporary, never stored
constexpr uint16_t CF_MODERATED = 2;
constexpr uint16_t CF_PASSWORD = 4;  // kept by the tree from Password, never from a request
constexpr uint16_t CF_HIERARCHICAL = 8;
constexpr uint16_t CF_DEFAULT = 16;

// Privilege bits of a connected player in one channel (the ChannelPrivileges bits). Only CA,
// AO and AV are stored; O and V live in memory only.
struct TChannelPrivilege {
  uint16_t Flags = 0;
  int32_t PlayerID = 0;
};

struct TChannel {
  TChannel() : Privileges(512), Players(32) {}
  TChannel(const TChannel&) = delete;
  TChannel& operator=(const TChannel&) = delete;

  int32_t ID = 0;
  uint16_t Flags = 0;
  uint16_t Codec = 0;
  int32_t ParentID = 0;  // -1 for a top-level channel
  uint16_t Order = 0;
  uint16_t MaxUsers = 0;  // for the whole tree under a top-level channel
  std::string Name;       // any bytes; unique among siblings without regard to case
  std::string Topic;
  std::string Description;
  TName29 Password;  // sub-channels never have one
  TDateTime Created = 0;
  int32_t DBID = 0;                           // stored row id; 0 when not stored
  int32_t ParentDBID = 0;                     // -1 for a top-level channel
  TOwningList<TChannelPrivilege> Privileges;  // keyed by PlayerID
  TRefList<TClientRecord> Players;            // the registry owns the records

  bool IsTopLevel() const { return ParentID == -1; }
  bool IsRegistered() const { return (Flags & CF_UNREGISTERED) == 0; }
  bool HasFlag(uint16_t flag) const { return (Flags & flag) != 0; }
  void ClearFlags(uint16_t flags) { Flags &= static_cast<uint16_t>(~flags); }
  // The P bit says whether Password is set; the tree keeps it so.
  void SetPasswordBit() {
    if (Password.Empty())
      ClearFlags(CF_PASSWORD);
    else
      Flags |= CF_PASSWORD;
  }
};

// A channel with its one owner: the tree once added, else whoever holds it.
using TChannelPtr = std::unique_ptr<TChannel>;

}  // namespace vh
