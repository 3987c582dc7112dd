// The player record: one connected (or logging-in) player, and the registered-account record
// of the account listing. Records in the registry are guarded by the registry lock (the
// listener changes them; the administration threads read them under the same lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/KeyedList.h"
#include "model/ShortString.h"
#include "storage/DateTime.h"

namespace vh {

// PlayerPrivileges bits.
constexpr uint16_t PP_SERVER_ADMIN = 1;
constexpr uint16_t PP_ALLOWED_TO_REGISTER = 2;
constexpr uint16_t PP_REGISTERED = 4;
// Set only on records the administrative logins build; passes every permission test.
constexpr uint16_t PP_SUPER_SERVER_ADMIN = 8;
constexpr uint16_t PP_STICKY = 16;

// ChannelPrivileges bits; the same bits as the channel privilege entries.
constexpr uint16_t CP_CHANNEL_ADMIN = 1;
constexpr uint16_t CP_OPERATOR = 2;
constexpr uint16_t CP_VOICE = 4;
constexpr uint16_t CP_AUTO_OPERATOR = 8;
constexpr uint16_t CP_AUTO_VOICE = 16;

// PlayerFlags bits the server interprets; the others are stored and relayed unchanged.
constexpr uint16_t PF_CHANNEL_COMMANDER = 1;
constexpr uint16_t PF_VOICE_REQUESTED = 2;
constexpr uint16_t PF_REFUSES_WHISPERS = 4;
constexpr uint16_t PF_HEARS_NOTHING = 32;

// Highest connection id plus one; ids are drawn below it.
constexpr uint32_t kConnectionIDLimit = 0xFFFFFF;

// Mute-list items carry no data; only the keys (player ids) count.
struct TMuteEntry {};

// Fields in wire order: the block from PlayerID to NickName is what the player list and the
// player-entered notification carry (see EncodePlayerBlock). Date-times are day counts with
// a fraction, as the storage layer reads and writes them.
struct TClientRecord {
  TClientRecord() : MuteList(8) {}
  TClientRecord(const TClientRecord&) = delete;
  TClientRecord& operator=(const TClientRecord&) = delete;

  uint32_t ConnectionID = 0;
  uint32_t PlayerID = 0;
  int32_t ChannelID = 0;  // -1 from login until the player is seated
  uint16_t ChannelPrivileges = 0;
  uint16_t PlayerPrivileges = 0;
  uint16_t PlayerFlags = 0;
  TName29 NickName;
  TName29 ClientInfo1;  // stored as sent, not interpreted
  TName29 ClientInfo2;
  uint16_t VersionMajor = 0;
  uint16_t VersionMinor = 0;
  uint16_t VersionRelease = 0;
  uint16_t VersionBuild = 0;
  TName29 LoginName;  // empty for an anonymous player
  TName29 Password;   // as typed at login or registration; never the stored hash
  TDateTime Created = 0;
  uint8_t LoginOption = 0;
  uint8_t LeftNotified = 0;  // the player-left notification goes out once
  TDateTime LastActivity = 0;
  TDateTime LoginTime = 0;
  int32_t UploadBandwidth = 0;
  uint8_t LoggedIn = 0;
  int32_t DBID = 0;               // account id; 0 anonymous, -1 after the account was deleted
  TRefList<TMuteEntry> MuteList;  // only the keys count: every item is null
  TDateTime FloodTime = 0;
  uint32_t FloodCount = 0;

  bool IsRegistered() const { return (PlayerPrivileges & PP_REGISTERED) != 0; }
  bool IsServerAdmin() const { return (PlayerPrivileges & PP_SERVER_ADMIN) != 0; }
};

// A player record with its one owner: the registry once added, else whoever holds it.
using TClientRecordPtr = std::unique_ptr<TClientRecord>;

// The player block: PlayerID u32, ChannelID i32, ChannelPrivileges u16, PlayerPrivileges u16,
// PlayerFlags u16, NickName (length byte + 29), little-endian.
constexpr size_t kPlayerBlockSize = 44;
void EncodePlayerBlock(const TClientRecord& record, uint8_t* out);
// Fills the block's fields of `record` from `in` (kPlayerBlockSize bytes); a nickname length
// byte above 29 is taken as 29.
void DecodePlayerBlock(const uint8_t* in, TClientRecord& record);

// A registered account as the account listing shows it.
constexpr uint8_t ACCOUNT_FLAG_SERVER_ADMIN = 1;
struct TClientAccount {
  int32_t DBID = 0;
  TName29 LoginName;
  TDateTime Created = 0;
  TDateTime LastOnline = 0;
  uint8_t Flags = 0;
};

}  // namespace vh
