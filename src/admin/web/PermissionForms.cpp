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

}  // namespace

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
