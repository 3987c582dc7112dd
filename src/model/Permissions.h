// Server permission groups: the six 88-bit permission sets of a virtual server, the one
// permission test, and reading and writing the sets (table vh2_server_privileges). The sets
// belong to the virtual server; the listener reads them under the registry and channel tree
// locks. The storage functions take the storage lock inside.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "model/Channels.h"
#include "storage/StoreResult.h"

namespace vh {

class TCustomStorage;
struct TChannel;
struct TClientRecord;

enum TUserGroup : uint8_t { ugSA, ugCA, ugOP, ugV, ugRegisterred, ugAnonymous };
constexpr size_t kUserGroupCount = 6;

// Permission numbers. The reserved names stand for their whole range (noted beside them).
enum TUserPermissions : uint8_t {
  upAccessWebAdminServer = 0,
  upAccessTcpServer = 1,
  upAccessVoice = 2,
  upAccesReserved = 3,  // 3 to 7
  upAdminRegisterPlayer = 8,
  upAdminListDBUsers = 9,
  upAdminChangeOwnPassword = 10,
  upAdminChangeUserPassword = 11,
  upAdminSetServerPermissions = 12,
  upAdminListDBServers = 13,
  upAdminAddServer = 14,
  upAdminDeleteServer = 15,
  upAdminEditServerIpPort = 16,
  upAdminEditServerWebpostUrl = 17,
  upAdminEditServerName = 18,
  upAdminEditServerMaxUsers = 19,
  upAdminEditServerWelcomeMessage = 20,
  upAdminEditServerPassword = 21,
  upAdminEditServerType = 22,
  upAdminEditServerAllodCodecs = 23,
  upAdminBanIp = 24,
  upAdminMovePlayer = 25,
  upAdminStopServer = 26,
  upAdminStartServer = 27,
  upAdminReserved = 28,  // 28 to 32
  upChannelJoinRegisterred = 33,
  upChannelCreateRegisterred = 34,
  upChannelCreateUnregisterred = 35,
  upChannelCreateDefault = 36,
  upChannelCreateSubchannels = 37,
  upChannelCreateModerated = 38,
  upChannelDelete = 39,
  upChannelEditName = 40,
  upChannelEditPassword = 41,
  upChannelEditTopic = 42,
  upChannelEditDescription = 43,
  upChannelEditOrder = 44,
  upChannelEditMaxUsers = 45,
  upChannelEditCodec = 46,
  upChannelJoinChannelWithoutPassword = 47,
  upChannelReserved = 48,
  upPrivilegeGrantSA = 49,
  upPrivilegeGrantCA = 50,
  upPrivilegeGrantAutoOp = 51,
  upPrivilegeGrantOp = 52,
  upPrivilegeGrantAutoV = 53,
  upPrivilegeGrantV = 54,
  upPrivilegeGrantAllowRegistration = 55,
  upPrivilegeRevokeSA = 56,
  upPrivilegeRevokeCA = 57,
  upPrivilegeRevokeAutoOp = 58,
  upPrivilegeRevokeOp = 59,
  upPrivilegeRevokeAutoV = 60,
  upPrivilegeRevokeV = 61,
  upPrivilegeRevokeAllowRegistration = 62,
  upPrivilegeAdminPlayerRegister = 63,
  upPrivilegePlayerDelete = 64,
  upPrivilegeRegisterSelfByDefault = 65,
  upPrivilegeReserved = 66,  // 66 to 72
  upSendTextToAll = 73,
  upSendTextToOwnChannel = 74,
  upSendTextToAllChannel = 75,
  upSendTextToPlayer = 76,
  upKickPlayerFromServer = 77,
  upKickPlayerFromChannel = 78,
  upAllowChannelCommanderStatus = 79,
  upOtherReserved = 80,  // 80 to 87
};

constexpr int kPermissionCount = 88;

// Channel privilege n (0 channel admin, 1 operator, 2 voice, 3 auto-operator, 4 auto-voice:
// bit n of a player's ChannelPrivileges) and the permissions to grant and to revoke it.
struct TChannelPrivilegeRights {
  uint16_t bit;
  TUserPermissions grant;
  TUserPermissions revoke;
};
constexpr std::array<TChannelPrivilegeRights, 5> kChannelPrivilegeRights = {{
    {CP_CHANNEL_ADMIN, upPrivilegeGrantCA, upPrivilegeRevokeCA},
    {CP_OPERATOR, upPrivilegeGrantOp, upPrivilegeRevokeOp},
    {CP_VOICE, upPrivilegeGrantV, upPrivilegeRevokeV},
    {CP_AUTO_OPERATOR, upPrivilegeGrantAutoOp, upPrivilegeRevokeAutoOp},
    {CP_AUTO_VOICE, upPrivilegeGrantAutoV, upPrivilegeRevokeAutoV},
}};
constexpr size_t kPermissionSetSize = 11;

// One permission of the table: its number, its name (the stored column is "b_sp_" + Column,
// the script parameter ":b" + Name) and the groups that hold it by default (bit 1 << group).
struct TPermissionInfo {
  uint8_t Number;
  std::string_view Name;
  std::string_view Column;
  uint8_t DefaultGroups;
};
// The 62 permissions in use, by number; the reserved numbers are not stored.
const std::array<TPermissionInfo, 62>& PermissionTable();
// The name of a permission in use, or an empty text.
std::string_view PermissionName(int number);

// ":sGroup" value of a group: "_ugSA", ..., "_ugAnonymous".
std::string_view UserGroupName(TUserGroup group);

// A set of permission numbers 0..87, number n in bit n mod 8 of byte n div 8.
class TPermissionSet {
 public:
  TPermissionSet() { bytes_.fill(0); }
  explicit TPermissionSet(const std::array<uint8_t, kPermissionSetSize>& bytes) : bytes_(bytes) {}

  bool Has(int number) const {
    if (number < 0 || number >= kPermissionCount) return false;
    return (bytes_[static_cast<size_t>(number) / 8] >> (number % 8)) & 1;
  }
  void Include(int number);
  void Exclude(int number);
  bool Empty() const;
  const std::array<uint8_t, kPermissionSetSize>& Bytes() const { return bytes_; }
  bool operator==(const TPermissionSet& other) const = default;

 private:
  std::array<uint8_t, kPermissionSetSize> bytes_;
};

// The six sets of a virtual server in group order; 66 bytes on the wire.
struct TServerPermissions {
  std::array<TPermissionSet, kUserGroupCount> Sets;

  TPermissionSet& operator[](TUserGroup g) { return Sets[g]; }
  const TPermissionSet& operator[](TUserGroup g) const { return Sets[g]; }
  static constexpr size_t kWireSize = kUserGroupCount * kPermissionSetSize;
  void WriteTo(uint8_t* out) const;  // kWireSize bytes
  bool operator==(const TServerPermissions& other) const = default;
};

// The sets a new virtual server starts with.
TServerPermissions DefaultServerPrivileges();

// True when any group the player belongs to holds permission `number`, or the player is a
// super server admin. False for no player.
bool HasPermission(const TClientRecord* player, int number, const TServerPermissions& sets);
bool HasPermission(uint16_t playerPrivileges, uint16_t channelPrivileges, int number,
                   const TServerPermissions& sets);

// What the player may do on `channel`, from his privileges in that channel (and CA inherited
// from the parent of a sub-channel) rather than those of the channel he sits in. Takes the
// channel tree lock's protection from the caller.
bool CheckClientChannelPermission(TChannels& tree, TChannel* channel, TClientRecord* player,
                                  int number, const TServerPermissions& sets)
    REQUIRES(tree.Mutex());
// What the player could do as channel admin of a channel he is about to create.
bool CheckClientCAPermission(const TClientRecord* player, int number,
                             const TServerPermissions& sets);

// Reads one group's set; empty without a storage or without a stored row. Database errors
// pass to the caller.
TPermissionSet ReadServerPrivileges(TCustomStorage* storage, uint32_t serverID,
                                    std::string_view group);
// Writes one group's set, creating its row when there is none. Nothing (failed) without a
// storage.
TStoreResult WriteServerPrivileges(TCustomStorage* storage, uint32_t serverID,
                                   std::string_view group, const TPermissionSet& set);

}  // namespace vh
