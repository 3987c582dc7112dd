#include "model/Permissions.h"

#include <string>

#include "model/Channels.h"
#include "model/ClientRecord.h"
#include "storage/CustomStorage.h"

namespace vh {

namespace {

// Default-group bits of the permission table.
constexpr uint8_t SA = 1 << ugSA;
constexpr uint8_t CA = 1 << ugCA;
constexpr uint8_t OP = 1 << ugOP;
constexpr uint8_t V = 1 << ugV;
constexpr uint8_t REG = 1 << ugRegisterred;
constexpr uint8_t ANON = 1 << ugAnonymous;
constexpr uint8_t ALL = SA | CA | OP | V | REG | ANON;

constexpr std::array<TPermissionInfo, 62> kPermissions{{
    {0, "AccessWebAdminServer", "AccessWebAdminServer", SA},
    {1, "AccessTcpServer", "AccessTcpServer", SA},
    {2, "AccessVoice", "AccessVoice", SA | REG | ANON},
    {8, "AdminRegisterPlayer", "AdminRegisterPlayer", SA},
    {9, "AdminListDBUsers", "AdminListDBUsers", SA},
    {10, "AdminChangeOwnPassword", "AdminChangeOwnPassword", SA},
    {11, "AdminChangeUserPassword", "AdminChangeUserPassword", SA},
    {12, "AdminSetServerPermissions", "AdminSetServerPermissions", SA},
    {13, "AdminListDBServers", "AdminListDBServers", SA},
    {14, "AdminAddServer", "AdminAddServer", SA},
    {15, "AdminDeleteServer", "AdminDeleteServer", SA},
    {16, "AdminEditServerIpPort", "AdminEditServerIpPort", SA},
    {17, "AdminEditServerWebpostUrl", "AdminEditServerWebpostUrl", SA},
    {18, "AdminEditServerName", "AdminEditServerName", SA},
    {19, "AdminEditServerMaxUsers", "AdminEditServerMaxUsers", SA},
    {20, "AdminEditServerWelcomeMessage", "AdminEditServerWelcomeMessage", SA},
    {21, "AdminEditServerPassword", "AdminEditServerPassword", SA},
    {22, "AdminEditServerType", "AdminEditServerType", SA},
    {23, "AdminEditServerAllodCodecs", "AdminEditServerAllodCodecs", SA},
    {24, "AdminBanIp", "AdminBanIp", SA},
    {25, "AdminMovePlayer", "AdminMovePlayer", SA},
    {26, "AdminStopServer", "AdminStopServer", SA},
    {27, "AdminStartServer", "AdminStartServer", SA},
    {33, "ChannelJoinRegisterred", "ChannelJoinRegisterred", SA | REG | ANON},
    {34, "ChannelCreateRegisterred", "ChannelCreateRegisterred", SA | REG},
    {35, "ChannelCreateUnregisterred", "ChannelCreateUnregisterred", SA | REG | ANON},
    {36, "ChannelCreateDefault", "ChannelCreateDefault", SA},
    {37, "ChannelCreateSubchannels", "ChannelCreateSubchannels", SA | CA},
    {38, "ChannelCreateModerated", "ChannelCreateModerated", SA | CA | REG | ANON},
    {39, "ChannelDelete", "ChannelDelete", SA | CA},
    {40, "ChannelEditName", "ChannelEditName", SA | CA},
    {41, "ChannelEditPassword", "ChannelEditPassword", SA | CA},
    {42, "ChannelEditTopic", "ChannelEditTopic", SA | CA | OP},
    {43, "ChannelEditDescription", "ChannelEditDescription", SA | CA | OP},
    {44, "ChannelEditOrder", "ChannelEditOrder", SA | CA},
    {45, "ChannelEditMaxUsers", "ChannelEditMaxUsers", SA | CA | OP},
    {46, "ChannelEditCodec", "ChannelEditCodec", SA | CA | OP},
    {47, "ChannelJoinChannelWithoutPassword", "ChannelJoinChannelWithoutPassword", SA},
    {49, "PrivilegeGrantSA", "PrivilegeGrantSA", SA},
    {50, "PrivilegeGrantCA", "PrivilegeGrantCA", SA | CA},
    {51, "PrivilegeGrantAutoOp", "PrivilegeGrantAutoOp", SA | CA},
    {52, "PrivilegeGrantOp", "PrivilegeGrantOp", SA | CA | OP},
    {53, "PrivilegeGrantAutoV", "PrivilegeGrantAutoV", SA | CA},
    {54, "PrivilegeGrantV", "PrivilegeGrantV", SA | CA | OP},
    {55, "PrivilegeGrantAllowRegistration", "PrivilegeGrantAllowRegistration", SA},
    {56, "PrivilegeRevokeSA", "PrivilegeRevokeSA", SA},
    {57, "PrivilegeRevokeCA", "PrivilegeRevokeCA", SA | CA},
    {58, "PrivilegeRevokeAutoOp", "PrivilegeRevokeAutoOp", SA | CA},
    {59, "PrivilegeRevokeOp", "PrivilegeRevokeOp", SA | CA | OP},
    {60, "PrivilegeRevokeAutoV", "PrivilegeRevokeAutoV", SA | CA},
    {61, "PrivilegeRevokeV", "PrivilegeRevokeV", SA | CA | OP},
    {62, "PrivilegeRevokeAllowRegistration", "PrivilegeRevokeAllowRegistration", SA},
    {63, "PrivilegeAdminPlayerRegister", "PrivilegeAdminPlayerRegister", SA},
    {64, "PrivilegePlayerDelete", "PrivilegePlayerDelete", SA},
    {65, "PrivilegeRegisterSelfByDefault", "PrivilegeRegisterSelfByDefault", SA},
    // The one column named differently from its parameter, kept for stored databases.
    {73, "SendTextToAllPlayers", "SendTextToAll", SA},
    {74, "SendTextToOwnChannel", "SendTextToOwnChannel", SA | CA | OP | V},
    {75, "SendTextToAllChannel", "SendTextToAllChannel", SA},
    {76, "SendTextToPlayer", "SendTextToPlayer", ALL},
    {77, "KickPlayerFromServer", "KickPlayerFromServer", SA},
    {78, "KickPlayerFromChannel", "KickPlayerFromChannel", SA | CA | OP},
    {79, "AllowChannelCommanderStatus", "AllowChannelCommanderStatus", ALL},
}};

constexpr std::array<std::string_view, kUserGroupCount> kGroupNames{
    "_ugSA", "_ugCA", "_ugOP", "_ugV", "_ugRegisterred", "_ugAnonymous"};

}  // namespace

const std::array<TPermissionInfo, 62>& PermissionTable() {
  return kPermissions;
}

std::string_view PermissionName(int number) {
  for (const TPermissionInfo& p : kPermissions)
    if (p.Number == number) return p.Name;
  return {};
}

std::string_view UserGroupName(TUserGroup group) {
  return group < kUserGroupCount ? kGroupNames[group] : std::string_view();
}

void TPermissionSet::Include(int number) {
  if (number < 0 || number >= kPermissionCount) return;
  bytes_[static_cast<size_t>(number) / 8] |= static_cast<uint8_t>(1u << (number % 8));
}

void TPermissionSet::Exclude(int number) {
  if (number < 0 || number >= kPermissionCount) return;
  bytes_[static_cast<size_t>(number) / 8] &= static_cast<uint8_t>(~(1u << (number % 8)));
}

bool TPermissionSet::Empty() const {
  for (uint8_t b : bytes_)
    if (b) return false;
  return true;
}

void TServerPermissions::WriteTo(uint8_t* out) const {
  for (size_t g = 0; g < kUserGroupCount; ++g)
    for (size_t i = 0; i < kPermissionSetSize; ++i)
      out[g * kPermissionSetSize + i] = Sets[g].Bytes()[i];
}

TServerPermissions DefaultServerPrivileges() {
  TServerPermissions sets;
  for (const TPermissionInfo& p : kPermissions)
    for (size_t g = 0; g < kUserGroupCount; ++g)
      if (p.DefaultGroups & (1u << g)) sets.Sets[g].Include(p.Number);
  return sets;
}

bool HasPermission(uint16_t playerPrivileges, uint16_t channelPrivileges, int number,
                   const TServerPermissions& sets) {
  const bool superAdmin = (playerPrivileges & PP_SUPER_SERVER_ADMIN) != 0;
  if ((playerPrivileges & PP_SERVER_ADMIN) && sets[ugSA].Has(number)) return true;
  if ((channelPrivileges & CP_CHANNEL_ADMIN) && sets[ugCA].Has(number)) return true;
  if ((channelPrivileges & CP_OPERATOR) && sets[ugOP].Has(number)) return true;
  if ((channelPrivileges & CP_VOICE) && sets[ugV].Has(number)) return true;
  if ((playerPrivileges & PP_REGISTERED) && sets[ugRegisterred].Has(number)) return true;
  if (sets[ugAnonymous].Has(number)) return true;
  return superAdmin;
}

bool HasPermission(const TClientRecord* player, int number, const TServerPermissions& sets) {
  if (!player) return false;
  return HasPermission(player->PlayerPrivileges, player->ChannelPrivileges, number, sets);
}

bool CheckClientChannelPermission(TChannels& tree, TChannel* channel, TClientRecord* player,
                                  int number, const TServerPermissions& sets) {
  if (!player) return false;
  uint16_t channelPrivileges = tree.GetChannelAttribs(channel, player);
  if (channel && !channel->IsTopLevel()) {
    TChannel* parent = tree.GetChannel(channel->ParentID);
    if (parent && (tree.GetChannelAttribs(parent, player) & CP_CHANNEL_ADMIN))
      channelPrivileges |= CP_CHANNEL_ADMIN;
  }
  return HasPermission(player->PlayerPrivileges, channelPrivileges, number, sets);
}

bool CheckClientCAPermission(const TClientRecord* player, int number,
                             const TServerPermissions& sets) {
  if (!player) return false;
  return HasPermission(player->PlayerPrivileges, CP_CHANNEL_ADMIN, number, sets);
}

TPermissionSet ReadServerPrivileges(TCustomStorage* storage, uint32_t serverID,
                                    std::string_view group) {
  TPermissionSet set;
  if (!storage) return set;
  TStorageScript q(*storage, "read_server_privilege.sql");
  q.SetInteger(":iServerID", serverID).SetString(":sGroup", group);
  auto rows = q.Open();
  if (!rows || rows->Count() == 0) return set;
  const TStorageRow& row = rows->Row(0);
  for (const TPermissionInfo& p : kPermissions)
    if (row.FieldByName("b_sp_" + std::string(p.Column)).GetAsBoolean()) set.Include(p.Number);
  return set;
}

TStoreResult WriteServerPrivileges(TCustomStorage* storage, uint32_t serverID,
                                   std::string_view group, const TPermissionSet& set) {
  if (!storage) return TStoreResult::Failed(kNoDatabase);
  TStorageScript q(*storage, "read_server_privilege.sql");
  q.SetInteger(":iServerID", serverID).SetString(":sGroup", group);
  auto rows = q.Open();
  q.Load(rows && rows->Count() > 0 ? "edit_server_privilege.sql" : "new_server_privilege.sql");
  q.SetInteger(":iServerID", serverID).SetString(":sGroup", group);
  for (const TPermissionInfo& p : kPermissions)
    q.SetBoolean(":b" + std::string(p.Name), set.Has(p.Number));
  return q.Execute();
}

}  // namespace vh
