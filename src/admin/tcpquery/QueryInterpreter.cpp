#include "admin/tcpquery/QueryInterpreter.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "admin/AdminContext.h"
#include "admin/LoginFailures.h"
#include "admin/ServerAdmin.h"
#include "common/FieldLengths.h"
#include "common/Log.h"
#include "common/Strings.h"
#include "model/Clients.h"
#include "model/Permissions.h"
#include "transport/Clocks.h"
#include "vserver/ServerObject.h"
#include "vserver/VirtualServerList.h"

namespace vh {

namespace {

constexpr const char* kRefusedText =
    "You are still banned or a failed password try caused a 30 second delay!";
constexpr const char* kHiddenLogin = "login/slogin username=hidden password=hidden";
constexpr size_t kLastCommandRoom = kTextLength;

// The first word and the parameters of a line: split at blanks, runs of blanks give no empty
// parameters, each parameter trimmed.
std::vector<std::string> SplitWords(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) {
      std::string w = Trim(line.substr(i, j - i));
      if (!w.empty()) words.push_back(std::move(w));
    }
    i = j;
  }
  return words;
}

std::string CommandWord(std::string_view line) {
  const size_t blank = line.find(' ');
  return std::string(line.substr(0, blank));
}

bool CountOk(const TQueryCommand& c, size_t count) {
  if (c.MinParams != kNoLimit && count < static_cast<size_t>(c.MinParams)) return false;
  if (c.MaxParams != kNoLimit && count > static_cast<size_t>(c.MaxParams)) return false;
  return true;
}

bool IsSuper(const TQuerySession& s) {
  return s.Login && s.Login->IsSuperServerAdmin();
}

}  // namespace

std::string QueryEscaped(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string QueryQuoted(std::string_view value) {
  return "\"" + QueryEscaped(value) + "\"";
}

void TQueryOutput::Error(std::string_view text) {
  Line("ERROR, " + Cut(text, kNameLength));
}

std::string TQueryCall::FreeText(size_t from) const {
  std::string text;
  for (size_t i = from; i < params.size(); ++i) {
    if (i > from) text.push_back(' ');
    text += params[i];
  }
  return text;
}

bool TQueryCall::Number(size_t index, int32_t& value) const {
  int64_t v = 0;
  if (index >= params.size() || !TryParseInt(params[index], v) || v < INT32_MIN || v > INT32_MAX)
    return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool TQueryCall::NumberOrError(size_t index, int32_t& value) {
  if (Number(index, value)) return true;
  out.Error("invalid number format");
  return false;
}

std::string TQueryCall::LoginName() const {
  return session.Login ? session.Login->LoginName : std::string();
}

bool TQueryCall::SuperServerAdmin() const {
  return IsSuper(session);
}

std::vector<TListedServer> SnapshotServerList(const TAdminContext& admin) {
  std::vector<TListedServer> list;
  for (auto& [idText, server] : admin.servers->ListVirtualServers())
    list.push_back(TListedServer{server->ServerID(), server->Settings().Port, server});
  return list;
}

bool WithListedServer(const TAdminContext& admin, const TListedServer& listed,
                      const std::function<void(TServerObject&)>& use) {
  const std::shared_ptr<TServerObject> server = listed.Server.lock();
  return server && WithRunningServer(admin, server.get(), use);
}

std::string HiddenCommandLine(const std::string& line, const TQueryCommand* command) {
  // A line with leading blanks or a tab after its first word is unknown to the table, yet it
  // is shown all the same: its passwords are hidden by the word it starts with.
  const size_t start = line.find_first_not_of(" \t");
  const std::string_view rest =
      start == std::string::npos ? std::string_view() : std::string_view(line).substr(start);
  const std::string lower = LowerCase(rest);
  if (!command) command = FindQueryCommand(rest.substr(0, rest.find_first_of(" \t")));
  if (lower.rfind("login", 0) == 0 || lower.rfind("slogin", 0) == 0 ||
      (command && command->ClearsLogin))
    return kHiddenLogin;
  if (command && command->HidesPasswords) {
    // Parameters 2 and 3 are the passwords of every such command.
    std::string blanked(rest);
    std::replace(blanked.begin(), blanked.end(), '\t', ' ');
    std::vector<std::string> words = SplitWords(blanked);
    for (size_t i = 2; i < words.size() && i <= 3; ++i) words[i] = "hidden";
    std::string shown;
    for (const std::string& w : words) shown += (shown.empty() ? "" : " ") + w;
    return Cut(shown, kLastCommandRoom);
  }
  return Cut(line, kLastCommandRoom);
}

std::string TQueryInterpreter::Open(TQuerySession& session) {
  TQueryOutput out;
  if (services_.failures.IsRefused(session.RemoteIP)) {
    out.Line(kRefusedText);
    session.Close = true;
    return out.Take();
  }
  try {
    session.ServerList = SnapshotServerList(services_.admin);
  } catch (const std::exception&) {
    Log(LMT_ERROR, LMD_ALL, "TTCPQuery.OnConnect: unable to initialize object", "TCPQUERY");
  }
  session.Publish();
  out.Line("[VH]");
  return out.Take();
}

void TQueryInterpreter::Revalidate(TQuerySession& session) {
  if (!session.SelectedServer) session.LoginServerId = 0;
  TQueryLogin& login = *session.Login;
  const double now = services_.clock.NowMs();
  if (std::floor((now - login.LastCheckMs) / 1000.0) < kRevalidateMs / 1000.0) return;
  const double lastCheck = login.LastCheckMs;
  login.LastCheckMs = now;
  bool valid = false;
  bool storageFailed = false;
  try {
    if (login.IsSuperServerAdmin()) {
      TClients accounts(0, services_.admin.storage);
      TClientRecordPtr found =
          accounts.DBValidLogin(login.LoginName, login.Password, &storageFailed);
      valid = found != nullptr;
    } else if (session.SelectedServer) {
      // Without a selection there is no registry to look the account up in: logged out.
      WithListedServer(services_.admin, *session.SelectedServer, [&](TServerObject& s) {
        TClientRecordPtr found =
            s.Clients()->DBValidLogin(login.LoginName, login.Password, &storageFailed);
        valid = found != nullptr;
      });
    }
  } catch (const std::exception& e) {
    LogException("TCPQuery re-validation", e, "TCPQUERY");
    storageFailed = true;
  }
  if (storageFailed) {
    // A database that cannot be asked says nothing about the login: it stays, and the next
    // command checks again.
    login.LastCheckMs = lastCheck;
    Log(LMT_ERROR, LMD_ALL,
        "TCPQuery re-validation postponed, the database failed [IP: " + session.RemoteIP + "]",
        "TCPQUERY");
    return;
  }
  if (!valid) session.Login.reset();
}

std::string TQueryInterpreter::HandleLine(TQuerySession& session, const TQueryLine& line) {
  TQueryOutput out;
  if (line.TooLong) {
    Log(LMT_WARNING, LMD_ALL,
        "TCPQuery: line over 4096 bytes from " + session.RemoteIP + " discarded", "TCPQUERY");
    out.Line("error");
    return out.Take();
  }
  if (line.Text.empty()) return {};
  const TQueryCommand* command = FindQueryCommand(CommandWord(line.Text));
  // Only a logged-in session keeps its last command ("lc" never shows what an anonymous
  // connection typed); the login line itself is kept, hidden, and shows once it succeeded.
  if (session.Login || (command && command->ClearsLogin))
    session.LastCommand = HiddenCommandLine(line.Text, command);
  if (session.Login) Revalidate(session);
  session.Publish();
  if (!command) {
    out.Line("error");
  } else {
    std::vector<std::string> words = SplitWords(line.Text);
    if (!words.empty()) words.erase(words.begin());
    TQueryCall call{session, services_, std::move(words), out, nullptr};
    try {
      Dispatch(*command, call);
    } catch (const std::exception& e) {
      LogException("TCPQuery " + std::string(command->Name), e, "TCPQUERY");
      out.Error("error");
    }
  }
  session.Publish();
  return out.Take();
}

void TQueryInterpreter::Dispatch(const TQueryCommand& c, TQueryCall& call) {
  TQuerySession& session = call.session;
  if (c.ClearsLogin) session.Login.reset();
  if (c.Access != TQueryAccess::Free && !session.Login) return call.out.Error("not logged in");
  if (c.Server == TQueryServerNeed::Selected && !session.SelectedServer)
    return call.out.Error("no server selected");

  // Permission and parameter count, in that order unless the row says otherwise.
  auto checks = [&](TServerObject* server) {
    if (c.CountBeforePermission && !CountOk(c, call.Count())) {
      call.out.Error("invalid paramcount");
      return false;
    }
    if (c.Access == TQueryAccess::Super && !IsSuper(session)) {
      call.out.Error("invalid permissions");
      return false;
    }
    if (c.Access == TQueryAccess::Admin && !IsSuper(session)) {
      if (!server || session.LoginServerId != server->ServerID()) {
        call.out.Error("invalid permissions");
        return false;
      }
      // A server admin login is a registered account of this server.
      const uint16_t privileges = session.Login->PlayerPrivileges | PP_REGISTERED;
      if (c.Permission >= 0 && !HasPermission(privileges, 0, c.Permission, server->Permissions())) {
        call.out.Error("invalid permissions");
        return false;
      }
    }
    if (!CountOk(c, call.Count())) {
      call.out.Error("invalid paramcount");
      return false;
    }
    return true;
  };

  if (c.Server == TQueryServerNeed::None) {
    if (checks(nullptr)) c.Handler(call);
    return;
  }
  std::optional<TListedServer> target = session.SelectedServer;
  if (!target) {
    // Without a selection, parameter 1 names the server by its UDP port.
    int32_t port = 0;
    if (call.Count() == 0) return call.out.Error("invalid paramcount");
    if (!call.NumberOrError(0, port)) return;
    for (const TListedServer& s : session.ServerList)
      if (port > 0 && s.Port == port) target = s;
    if (!target) return call.out.Error("invalid id");
  }
  const bool found = WithListedServer(call.services.admin, *target, [&](TServerObject& s) {
    call.server = &s;
    if (checks(&s)) c.Handler(call);
  });
  call.server = nullptr;
  if (!found) call.out.Error("invalid id");
}

}  // namespace vh
