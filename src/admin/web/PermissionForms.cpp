#include "admin/web/PermissionForms.h"

#include <array>
#include <cstdint>

namespace vh {

namespace {

// Bit n of group g set: permission n does not apply to the group (byte i holds bits 8i..8i+7).
constexpr std::array<std::array<uint8_t, 11>, kUserGroupCount> kNotApplicable{{
    {0x00, 0xe0, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x07, 0xff, 0xff, 0x0f, 0x1e, 0x80, 0x82, 0xc1, 0x03, 0x08, 0x00},
    {0x07, 0xff, 0xff, 0x0f, 0x1e, 0x80, 0x82, 0xc1, 0x03, 0x08, 0x00},
    {0x07, 0xff, 0xff, 0x0f, 0x1e, 0x80, 0x82, 0xc1, 0x03, 0x08, 0x00},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
    {0x07, 0xff, 0xff, 0x0d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
}};

constexpr const char* kAccess = "Access";
constexpr const char* kAdmin = "Administration";
constexpr const char* kChannels = "Channels";
constexpr const char* kPrivileges = "Privileges";
constexpr const char* kText = "Text messages";

// clang-format off
constexpr TPermissionText kTexts[kWebPermissionCount] = {
  {"Web administration", "May log in to this web interface for the server.", kAccess},
  {"TCP query", "May log in to the TCP query interface for the server.", kAccess},
  {"Voice", "May log in with a voice client.", kAccess},
  {}, {}, {}, {}, {},
  {"Register players", "May make accounts for players.", kAdmin},
  {"List accounts", "May see the list of the server's accounts.", kAdmin},
  {"Change own password", "May change the password of the own account.", kAdmin},
  {"Change passwords", "May change the password of any account.", kAdmin},
  {"Edit permissions", "May change these permission pages.", kAdmin},
  {"List virtual servers", "May see the stored virtual servers.", kAdmin},
  {"Add virtual servers", "May create virtual servers.", kAdmin},
  {"Delete virtual servers", "May delete virtual servers.", kAdmin},
  {"Change port", "May move the server to another address or UDP port.", kAdmin},
  {"Change web-list URLs", "May change the server's web-list link and post addresses.", kAdmin},
  {"Change name", "May rename the server.", kAdmin},
  {"Change player limit", "May change the maximum number of players.", kAdmin},
  {"Change welcome message", "May change the message players see when they log in.", kAdmin},
  {"Change server password", "May change the password needed to join the server.", kAdmin},
  {"Change server type", "May switch between clan and public server.", kAdmin},
  {"Change codecs", "May choose which voice codecs the server allows.", kAdmin},
  {"Ban addresses", "May ban a player's address from the server.", kAdmin},
  {"Move players", "May move other players to another channel.", kAdmin},
  {"Stop server", "May stop the virtual server.", kAdmin},
  {"Start server", "May start the virtual server.", kAdmin},
  {}, {}, {}, {}, {},
  {"Join registered channels", "May enter channels that are stored permanently.", kChannels},
  {"Create registered channels", "May create channels that stay after the server restarts.", kChannels},
  {"Create unregistered channels", "May create temporary channels, gone when empty.", kChannels},
  {"Create default channel", "May create a channel new players start in.", kChannels},
  {"Create sub-channels", "May create channels inside other channels.", kChannels},
  {"Create moderated channels", "May create channels where only voiced players speak.", kChannels},
  {"Delete channels", "May delete channels.", kChannels},
  {"Rename channels", "May change a channel's name.", kChannels},
  {"Change channel passwords", "May set or remove a channel's password.", kChannels},
  {"Change channel topics", "May change a channel's topic.", kChannels},
  {"Change channel descriptions", "May change a channel's description.", kChannels},
  {"Change channel order", "May change where a channel is listed.", kChannels},
  {"Change channel player limit", "May change how many players a channel holds.", kChannels},
  {"Change channel codec", "May change a channel's voice codec.", kChannels},
  {"Join without password", "May enter channels without knowing their password.", kChannels},
  {},
  {"Grant server admin", "May make a player a server admin.", kPrivileges},
  {"Grant channel admin", "May make a player channel admin of a channel.", kPrivileges},
  {"Grant auto-operator", "May make a player operator of a channel each time he joins.", kPrivileges},
  {"Grant operator", "May make a player operator of a channel.", kPrivileges},
  {"Grant auto-voice", "May give a player voice in a channel each time he joins.", kPrivileges},
  {"Grant voice", "May give a player voice in a moderated channel.", kPrivileges},
  {"Grant may register", "May allow a player to register himself.", kPrivileges},
  {"Revoke server admin", "May take server admin from a player.", kPrivileges},
  {"Revoke channel admin", "May take channel admin from a player.", kPrivileges},
  {"Revoke auto-operator", "May take auto-operator from a player.", kPrivileges},
  {"Revoke operator", "May take operator from a player.", kPrivileges},
  {"Revoke auto-voice", "May take auto-voice from a player.", kPrivileges},
  {"Revoke voice", "May take voice from a player.", kPrivileges},
  {"Revoke may register", "May forbid a player to register himself.", kPrivileges},
  {"Register players online", "May register a connected player's account.", kPrivileges},
  {"Delete accounts", "May delete accounts of the server.", kPrivileges},
  {"Register by default", "Players may register themselves without being allowed first.", kPrivileges},
  {}, {}, {}, {}, {}, {}, {},
  {"Message to all", "May send a text to every player of the server.", kText},
  {"Message to own channel", "May send a text to the own channel.", kText},
  {"Message to any channel", "May send a text to any channel.", kText},
  {"Message to a player", "May send a private text to one player.", kText},
  {"Kick from server", "May throw other players off the server.", kAdmin},
  {"Kick from channel", "May throw other players out of a channel.", kChannels},
  {"Channel commander", "May speak as channel commander.", kChannels},
  {},
};
// clang-format on

}  // namespace

const TPermissionText& WebPermissionText(int number) {
  static const TPermissionText kNone{"", "", ""};
  if (number < 0 || number >= kWebPermissionCount || !kTexts[number].Label) return kNone;
  return kTexts[number];
}

std::string WebPermissionName(int n) {
  if (n >= 3 && n <= 7) return "upAccesReserved" + std::to_string(n + 2);
  if (n >= 28 && n <= 32) return "upAdminReserved" + std::to_string(n - 9);
  if (n == 48) return "upChannelReserved15";
  if (n >= 66 && n <= 72) return "upPrivilegeReserved" + std::to_string(n - 47);
  if (n == 80) return "upOtherReserved7";
  if (n == upSendTextToAll) return "upSendTextToAll";  // the model's name says "Players"
  return "up" + std::string(PermissionName(n));
}

std::string WebGroupName(TUserGroup group) {
  return std::string(UserGroupName(group).substr(1));
}

bool NotApplicable(TUserGroup group, int number) {
  if (group >= kUserGroupCount || number < 0 || number >= kWebPermissionCount) return true;
  return (kNotApplicable[group][static_cast<size_t>(number) / 8] >> (number % 8)) & 1;
}

}  // namespace vh
