// The permission names the web forms use (every number 0 to 80, reserved ones included) and
// which permissions a group's page leaves out. Immutable tables; any thread.
#pragma once

#include <string>

#include "model/Permissions.h"

namespace vh {

constexpr int kWebPermissionCount = 81;

// "upAdminBanIp" for 24; reserved numbers have names containing "Reserved".
std::string WebPermissionName(int number);
// "ugSA" ... "ugAnonymous".
std::string WebGroupName(TUserGroup group);
// How a permission page explains a permission: a label, one line of help and the section it is
// listed under. Reserved numbers have empty texts.
struct TPermissionText {
  const char* Label;
  const char* Help;
  const char* Section;
};
const TPermissionText& WebPermissionText(int number);
// The sections in the order a page shows them.
constexpr const char* kPermissionSections[] = {"Access", "Administration", "Channels", "Privileges",
                                               "Text messages"};

// True when the permission is not shown on (and not set from) the group's page.
bool NotApplicable(TUserGroup group, int number);

}  // namespace vh
