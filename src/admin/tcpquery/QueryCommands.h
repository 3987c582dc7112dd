// The query command table (name, access, server need, permission, parameter counts, handler)
// and what a handler is given. The interpreter (QueryInterpreter.h) runs the checks the table
// names, in the fixed order, before it calls the handler; handlers check number formats and
// ids themselves. Handlers run on their connection's thread; one that is given a server runs
// while the virtual-server list lock is held, so it must not call back into the list.
// The protocol for client authors: docs/tcpquery.md.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "admin/tcpquery/QuerySession.h"

namespace vh {

struct TAdminContext;
class TLoginFailures;
class TClock;
class TServerObject;

// The answer to one line: data lines, then "OK" or one error line.
class TQueryOutput {
 public:
  void Line(std::string_view text) {
    text_.append(text);
    text_.append("\r\n");
  }
  void Ok() { Line("OK"); }
  // "ERROR, " and the first 29 characters of the text.
  void Error(std::string_view text);
  void Raw(std::string_view text) { text_.append(text); }
  const std::string& Text() const { return text_; }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

// The query's one escaping function: every value an answer writes inside quotes or after
// "key=" goes through it, so no value can end a line or a column or close its quotes. Tab, CR,
// LF, quote and backslash become \t \r \n \" and \\; other bytes pass unchanged.
std::string QueryEscaped(std::string_view value);
// The value escaped and in double quotes.
std::string QueryQuoted(std::string_view value);

// What every handler may use besides its session.
struct TQueryServices {
  const TAdminContext& admin;
  TLoginFailures& failures;
  const TClock& clock;
  // The summaries of all open connections, for "lc".
  std::function<std::vector<TSessionSummary>()> connections;
};

struct TQueryCall {
  TQuerySession& session;
  const TQueryServices& services;
  std::vector<std::string> params;
  TQueryOutput& out;
  // The selected (or port-resolved) server, valid for the call; null for commands without one.
  TServerObject* server = nullptr;

  size_t Count() const { return params.size(); }
  // Parameters `from` on, joined with single blanks.
  std::string FreeText(size_t from = 0) const;
  // Parameter `index` as a 32-bit decimal number; false (nothing written) when it is not one.
  bool Number(size_t index, int32_t& value) const;
  // The same, answering "invalid number format" when it is not one.
  bool NumberOrError(size_t index, int32_t& value);
  // The session's login name, for log lines and "by" fields.
  std::string LoginName() const;
  bool SuperServerAdmin() const;
};

using TQueryHandler = void (*)(TQueryCall&);

enum class TQueryAccess : uint8_t {
  Free,   // no login needed
  Login,  // any login; the handler checks the rest
  Super,  // a super server admin
  Admin   // a super server admin, or a server admin of the selected server with `permission`
};

enum class TQueryServerNeed : uint8_t {
  None,
  Selected,        // the session's selected server
  SelectedOrPort,  // the selection, or without one parameter 1 as a UDP port
};

constexpr int kNoLimit = -1;

struct TQueryCommand {
  std::string_view Name;
  TQueryAccess Access;
  TQueryServerNeed Server;
  int Permission;  // server permission number for Admin commands; -1 none
  int MinParams;   // kNoLimit: not checked
  int MaxParams;   // kNoLimit: no upper bound
  bool CountBeforePermission;
  bool ClearsLogin;     // login and slogin log the session out before anything else
  bool HidesPasswords;  // the line must never be shown as typed ("lc")
  TQueryHandler Handler;
};

// Registration order.
const std::vector<TQueryCommand>& QueryCommandTable();
// The command of a line's first word, or null.
const TQueryCommand* FindQueryCommand(std::string_view word);

// Handlers, by family (one file each).
// Selection and information.
void CmdServerList(TQueryCall&);
void CmdSelect(TQueryCall&);
void CmdServerInfo(TQueryCall&);
void CmdChannelList(TQueryCall&);
void CmdPlayerList(TQueryCall&);
void CmdAveragePacketLoss(TQueryCall&);
void CmdGlobalInfo(TQueryCall&);
void CmdVersion(TQueryCall&);
// Logins.
void CmdLogin(TQueryCall&);
void CmdSuperLogin(TQueryCall&);
// Text messages.
void CmdMessage(TQueryCall&);
void CmdMessageUser(TQueryCall&);
void CmdMessageAll(TQueryCall&);
// Virtual-server management.
void CmdServerStart(TQueryCall&);
void CmdServerStop(TQueryCall&);
void CmdServerAdd(TQueryCall&);
void CmdServerDelete(TQueryCall&);
void CmdStoredServerList(TQueryCall&);
void CmdServerSet(TQueryCall&);
void CmdRehash(TQueryCall&);
void CmdCheckServerOk(TQueryCall&);
void CmdGlobalSet(TQueryCall&);
// Accounts.
void CmdUserAdd(TQueryCall&);
void CmdUserDelete(TQueryCall&);
void CmdUserChangePassword(TQueryCall&);
void CmdUserChangeAttributes(TQueryCall&);
void CmdUserList(TQueryCall&);
void CmdUserId(TQueryCall&);
void CmdStoredFindPlayer(TQueryCall&);
void CmdStoredPlayerInfo(TQueryCall&);
void CmdSuperUserAdd(TQueryCall&);
void CmdSuperUserDelete(TQueryCall&);
void CmdSuperUserChangePassword(TQueryCall&);
void CmdSuperUserList(TQueryCall&);
// Connected players and channels.
void CmdFindPlayer(TQueryCall&);
void CmdPlayerInfo(TQueryCall&);
void CmdFindChannel(TQueryCall&);
void CmdChannelInfo(TQueryCall&);
void CmdStoredChannelInfo(TQueryCall&);
void CmdChannelClientList(TQueryCall&);
void CmdSetPlayerPrivilege(TQueryCall&);
void CmdKick(TQueryCall&);
void CmdRemoveClient(TQueryCall&);
void CmdMovePlayer(TQueryCall&);
void CmdKickIdlers(TQueryCall&);
void CmdChannelSet(TQueryCall&);
// Bans.
void CmdBanList(TQueryCall&);
void CmdBanAdd(TQueryCall&);
void CmdBanDelete(TQueryCall&);
void CmdBanClear(TQueryCall&);
void CmdBanPlayer(TQueryCall&);
// Log, help and connections.
void CmdLog(TQueryCall&);
void CmdLogFind(TQueryCall&);
void CmdLogMark(TQueryCall&);
void CmdConnectionList(TQueryCall&);
void CmdHelp(TQueryCall&);
void CmdQuit(TQueryCall&);

}  // namespace vh
