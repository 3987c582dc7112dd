// The query command table: one row per command, in registration order. The interpreter runs
// the checks a row names (login, selection, permission, parameter count) before its handler.

#include "admin/tcpquery/QueryCommands.h"
#include "common/Strings.h"
#include "model/Permissions.h"

namespace vh {

namespace {

using A = TQueryAccess;
using S = TQueryServerNeed;
constexpr int N = kNoLimit;
constexpr bool kCountFirst = true;
constexpr bool kClearsLogin = true;
constexpr bool kHides = true;

}  // namespace

const std::vector<TQueryCommand>& QueryCommandTable() {
  // clang-format off
  static const std::vector<TQueryCommand> table = {
    // name                  access    server               permission                 min max
    {"banlist",              A::Super, S::Selected,         -1,                        N, N, false, false, false, CmdBanList},
    {"banadd",               A::Super, S::Selected,         -1,                        1, N, false, false, false, CmdBanAdd},
    {"bandel",               A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdBanDelete},
    {"banclear",             A::Super, S::Selected,         -1,                        N, N, false, false, false, CmdBanClear},
    {"banplayer",            A::Super, S::Selected,         -1,                        1, N, false, false, false, CmdBanPlayer},
    {"sl",                   A::Free,  S::None,             -1,                        N, N, false, false, false, CmdServerList},
    {"pl",                   A::Free,  S::SelectedOrPort,   -1,                        N, N, false, false, false, CmdPlayerList},
    {"cl",                   A::Free,  S::SelectedOrPort,   -1,                        N, N, false, false, false, CmdChannelList},
    {"ver",                  A::Free,  S::None,             -1,                        N, N, false, false, false, CmdVersion},
    {"sel",                  A::Free,  S::None,             -1,                        N, N, false, false, false, CmdSelect},
    {"gi",                   A::Free,  S::None,             -1,                        N, N, false, false, false, CmdGlobalInfo},
    {"si",                   A::Free,  S::SelectedOrPort,   -1,                        N, N, false, false, false, CmdServerInfo},
    {"msg",                  A::Super, S::Selected,         -1,                        1, N, false, false, false, CmdMessage},
    {"msgu",                 A::Super, S::Selected,         -1,                        2, N, false, false, false, CmdMessageUser},
    {"msgall",               A::Super, S::None,             -1,                        1, N, false, false, false, CmdMessageAll},
    {"login",                A::Free,  S::Selected,         -1,                        2, 2, false, kClearsLogin, kHides, CmdLogin},
    {"slogin",               A::Free,  S::None,             -1,                        2, 2, false, kClearsLogin, kHides, CmdSuperLogin},
    {"sppriv",               A::Super, S::Selected,         -1,                        3, N, false, false, false, CmdSetPlayerPrivilege},
    {"kick",                 A::Admin, S::Selected,         upKickPlayerFromServer,    1, N, false, false, false, CmdKick},
    {"removeclient",         A::Admin, S::Selected,         upKickPlayerFromServer,    1, N, false, false, false, CmdRemoveClient},
    {"fp",                   A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdFindPlayer},
    {"dbfp",                 A::Super, S::Selected,         -1,                        1, N, false, false, false, CmdStoredFindPlayer},
    {"pi",                   A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdPlayerInfo},
    {"dbpi",                 A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdStoredPlayerInfo},
    {"gapl",                 A::Free,  S::SelectedOrPort,   -1,                        N, N, false, false, false, CmdAveragePacketLoss},
    {"fc",                   A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdFindChannel},
    {"ci",                   A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdChannelInfo},
    {"dbci",                 A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdStoredChannelInfo},
    {"mptc",                 A::Admin, S::Selected,         upAdminMovePlayer,         2, 2, false, false, false, CmdMovePlayer},
    {"serverstart",          A::Super, S::None,             -1,                        1, 1, false, false, false, CmdServerStart},
    {"serverstop",           A::Login, S::None,             -1,                        N, N, false, false, false, CmdServerStop},
    {"serveradd",            A::Super, S::None,             -1,                        1, 1, false, false, false, CmdServerAdd},
    {"serverdel",            A::Super, S::None,             -1,                        1, 1, kCountFirst, false, false, CmdServerDelete},
    {"serverset",            A::Super, S::Selected,         -1,                        2, N, false, false, false, CmdServerSet},
    {"dbserverlist",         A::Super, S::None,             -1,                        N, N, false, false, false, CmdStoredServerList},
    {"globalset",            A::Super, S::None,             -1,                        2, N, false, false, false, CmdGlobalSet},
    {"dbuseradd",            A::Admin, S::Selected,         upAdminRegisterPlayer,     4, N, false, false, kHides, CmdUserAdd},
    {"dbuserdel",            A::Admin, S::Selected,         upPrivilegePlayerDelete,   1, N, false, false, false, CmdUserDelete},
    {"dbuserchangepw",       A::Admin, S::Selected,         upAdminChangeUserPassword, 3, N, false, false, kHides, CmdUserChangePassword},
    {"dbuserchangeattribs",  A::Admin, S::Selected,         -1,                        2, 2, false, false, false, CmdUserChangeAttributes},
    {"dbuserlist",           A::Admin, S::Selected,         upAdminListDBUsers,        N, N, false, false, false, CmdUserList},
    {"dbuserid",             A::Super, S::Selected,         -1,                        1, 1, false, false, false, CmdUserId},
    {"dbsuseradd",           A::Super, S::None,             -1,                        3, N, false, false, kHides, CmdSuperUserAdd},
    {"dbsuserdel",           A::Super, S::None,             -1,                        1, 1, false, false, false, CmdSuperUserDelete},
    {"dbsuserchangepw",      A::Super, S::None,             -1,                        3, N, false, false, kHides, CmdSuperUserChangePassword},
    {"dbsuserlist",          A::Super, S::None,             -1,                        N, N, false, false, false, CmdSuperUserList},
    {"checkserverok",        A::Super, S::Selected,         -1,                        N, N, false, false, false, CmdCheckServerOk},
    {"rehash",               A::Super, S::Selected,         -1,                        N, N, false, false, false, CmdRehash},
    {"help",                 A::Free,  S::None,             -1,                        N, N, false, false, false, CmdHelp},
    {"dccl",                 A::Super, S::Selected,         -1,                        N, N, false, false, false, CmdChannelClientList},
    {"log",                  A::Super, S::None,             -1,                        N, N, false, false, false, CmdLog},
    {"logfind",              A::Super, S::None,             -1,                        1, N, false, false, false, CmdLogFind},
    {"logmark",              A::Super, S::None,             -1,                        1, N, false, false, false, CmdLogMark},
    {"lc",                   A::Super, S::None,             -1,                        N, N, false, false, false, CmdConnectionList},
    {"ki",                   A::Super, S::Selected,         -1,                        2, N, kCountFirst, false, false, CmdKickIdlers},
    {"channelset",           A::Super, S::Selected,         -1,                        2, 2, false, false, false, CmdChannelSet},
    {"quit",                 A::Free,  S::None,             -1,                        N, N, false, false, false, CmdQuit},
  };
  // clang-format on
  return table;
}

const TQueryCommand* FindQueryCommand(std::string_view word) {
  for (const TQueryCommand& c : QueryCommandTable())
    if (EqualsIgnoreCase(c.Name, word)) return &c;
  return nullptr;
}

}  // namespace vh
