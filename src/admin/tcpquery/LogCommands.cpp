// Log, help and connections: log, logfind, logmark, lc, help, quit.

#include <deque>
#include <fstream>

#include "admin/AdminContext.h"
#include "admin/tcpquery/QueryCommands.h"
#include "common/Log.h"
#include "common/Strings.h"

namespace vh {

namespace {

constexpr int32_t kDefaultLogLines = 30;

// The rows of the built-in overview, in the order it shows them ("channelset" has none).
constexpr std::pair<const char*, const char*> kHelpOverview[] = {
    {"help", "this helpfile"},
    {"sl", "serverlist"},
    {"pl", "playerlist"},
    {"cl", "channellist"},
    {"ver", "version"},
    {"gi", "global information"},
    {"sel", "select"},
    {"si", "server information"},
    {"msg", "message to server"},
    {"msgu", "message to user"},
    {"msgall", "message to all servers"},
    {"login", "login to server"},
    {"slogin", "superlogin to server"},
    {"fc", "finds a channel"},
    {"ci", "display channel info"},
    {"dbci", "display db channel info"},
    {"fp", "finds a player"},
    {"dbfp", "db find player"},
    {"pi", "display infos about a player"},
    {"dbpi", "display db infos about a player"},
    {"sppriv", "set user privilege"},
    {"kick", "kick player"},
    {"removeclient", "remove client"},
    {"mptc", "move player to channel"},
    {"gapl", "get average packet loss"},
    {"log", "show serverlog"},
    {"logfind", "search serverlog"},
    {"logmark", "add a line to serverlog"},
    {"dccl", "channel client list"},
    {"serverstart", "start server"},
    {"serverstop", "stop server"},
    {"serveradd", "adds a server"},
    {"serverdel", "deletes a server"},
    {"serverset", "set a server variable"},
    {"dbserverlist", "list all servers from db"},
    {"checkserverok", "checks if server hangs"},
    {"rehash", "reload server settings"},
    {"dbuserlist", "display server user list"},
    {"dbuseradd", "adds a user to server"},
    {"dbuserdel", "deletes a user from server"},
    {"dbuserchangepw", "changes password of a user"},
    {"dbuserchangeattribs", "changes rights of a user"},
    {"dbuserid", "display dbid from loginname"},
    {"dbsuserlist", "display superadmin serverlist"},
    {"dbsuseradd", "adds a superadmin to server"},
    {"dbsuserdel", "deletes a superadmin from server"},
    {"dbsuserchangepw", "changes password of a superadmin"},
    {"lc", "list all open tcpquery connections"},
    {"ki", "kick idlers"},
    {"banlist", "show banlist"},
    {"banadd", "add ip ban"},
    {"bandel", "del ip ban"},
    {"banclear", "clear banlist"},
    {"banplayer", "bans a player"},
    {"globalset", "set a global variable"},
    {"quit", "close connection"},
};

// Reads the log file and hands every kept line to `keep`, oldest first. Kept lines are those
// that are not blank; CR bytes are dropped, and the file's first line (the banner) is never
// kept. False when the file cannot be opened.
template <typename Keep>
bool ReadLogLines(const std::string& path, Keep keep) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  bool first = true;
  char buf[65536];
  auto finish = [&] {
    if (!first && !Trim(line).empty()) keep(std::move(line));
    first = false;
    line.clear();
  };
  while (in) {
    in.read(buf, sizeof buf);
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
      const char c = buf[i];
      if (c == '\r') continue;
      if (c == '\n')
        finish();
      else
        line.push_back(c);
    }
  }
  if (!line.empty()) finish();
  return true;
}

// Help topics name a file in the help directory: plain names only.
bool IsPlainTopic(const std::string& topic) {
  if (topic.empty()) return false;
  for (char c : topic)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') return false;
  return true;
}

}  // namespace

void CmdLog(TQueryCall& call) {
  int32_t count = kDefaultLogLines;
  if (call.Count() > 0 && !call.NumberOrError(0, count)) return;
  std::deque<std::string> kept;
  const bool opened = ReadLogLines(call.services.admin.logFile, [&](std::string line) {
    if (count <= 0) return;
    kept.push_back(std::move(line));
    if (kept.size() > static_cast<size_t>(count)) kept.pop_front();
  });
  if (!opened) return call.out.Error("error");
  for (const std::string& line : kept) call.out.Line(line);
  call.out.Ok();
}

void CmdLogFind(TQueryCall& call) {
  const std::string text = LowerCase(call.FreeText());
  std::vector<std::string> found;
  const bool opened = ReadLogLines(call.services.admin.logFile, [&](std::string line) {
    if (LowerCase(line).find(text) != std::string::npos) found.push_back(std::move(line));
  });
  if (!opened) return call.out.Error("error");
  for (const std::string& line : found) call.out.Line(line);
  call.out.Ok();
}

void CmdLogMark(TQueryCall& call) {
  LogFormat(LMT_ALL, LMD_INFO, {call.LoginName(), call.FreeText()}, "*remark by %1* %2", "Info");
  call.out.Ok();
}

void CmdConnectionList(TQueryCall& call) {
  call.out.Line("login_name\tserver_id\tssa\tsa\tip\tlast_command");
  for (const TSessionSummary& s :
       call.services.connections ? call.services.connections() : std::vector<TSessionSummary>{}) {
    call.out.Line(QueryQuoted(s.LoggedIn ? s.LoginName : "<not_logged_in>") + "\t" +
                  std::to_string(s.LoginServerId) + "\t" + (s.SuperServerAdmin ? "1" : "0") + "\t" +
                  (s.ServerAdmin ? "1" : "0") + "\t" + QueryQuoted(s.RemoteIP) + "\t" +
                  QueryQuoted(s.LoggedIn ? s.LastCommand : std::string()));
  }
  call.out.Ok();
}

void CmdHelp(TQueryCall& call) {
  if (call.Count() == 1) {
    const std::string topic = LowerCase(call.params[0]);
    std::ifstream in;
    if (IsPlainTopic(topic)) in.open(call.services.admin.helpDirectory + "/" + topic + ".txt");
    if (!in.is_open()) return call.out.Error("no data available");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      call.out.Line(line);
    }
    return call.out.Ok();
  }
  call.out.Line("command overview: ");
  for (const auto& [name, description] : kHelpOverview) {
    std::string row = name;
    row.resize(20, ' ');
    call.out.Line(row + ": " + description);
  }
  call.out.Ok();
}

void CmdQuit(TQueryCall& call) {
  call.session.Close = true;
}

}  // namespace vh
